// The kernels of the block declared in fractionation_kernels.h, compiled once: the modules
// and the run layer call the same machine code, so their results agree bit
// for bit, NaN payloads included.
#include "fractionation_kernels.h"

#include <cstring>

namespace fractionation {

namespace {

void copy(double* to, const double* from, int n) { std::memcpy(to, from, n * sizeof(double)); }

// The 44 background values in their places.
void place_background(const double* bg, double* y) {
    copy(&y[0], &bg[0], 1);
    copy(&y[5], &bg[1], 4);
    copy(&y[10], &bg[5], 1);
    copy(&y[12], &bg[6], 1);
    copy(&y[16], &bg[7], 20);
    copy(&y[37], &bg[27], 17);
}

double suspended_solids(const double* pars, const double* y) {
    const double s1 = y[29] + y[27] + y[30] + y[31] + y[32] + y[33] + y[34] + y[35];
    const double p = pars[30] * (y[15] + y[16] + y[19] + y[20] + y[28] + y[50]);
    const double b = pars[28] * y[13] + pars[29] * y[14];
    double i = (p + b) + pars[155] * y[17];
    if (pars[154] > SMALLEST) i = i + y[18] / pars[154];
    const double s2 = y[41] + y[40] + y[42] + y[43] + y[44];
    const double s3 = y[47] + y[45] + y[48] + y[49];
    const double s4 = y[52] + y[51] + y[53];
    const double s = (((s1 + i) + s2) + s3) + s4;
    return s < 0 ? 0.0 : s;
}

}  // namespace

void Block::compute(const double* const* in, double* y) {
    const double *u = in[0], *pars = in[1], *fr = in[2], *bg = in[3];
    const double qd = u[11] > SMALLEST ? u[11] : SMALLEST;
    const double excess = u[11] - u[10];
    const double qx = excess < 0 ? 0.0 : excess;
    const double l0 = u[5] + u[0], l1 = u[6] + u[1], l2 = u[7] + u[2], l3 = u[8] + u[3],
                 l4 = u[9] + u[4];
    const double a = qx * fr[2];
    if (l0 >= a) {
        const double r = l0 - a;
        y[1] = (r * fr[0]) / qd;
        y[2] = (r * fr[1]) / qd;
        y[3] = a / qd;
    } else {
        y[1] = 0.0;
        y[2] = 0.0;
        y[3] = l0 / qd;
    }
    y[4] = (fr[3] * l2) / qd;
    y[9] = (fr[4] * l3) / qd;
    y[11] = (fr[5] * l4) / qd;
    y[13] = (fr[6] * l1) / qd;
    y[14] = (fr[7] * l1) / qd;
    y[15] = (fr[8] * l1) / qd;
    place_background(bg, y);
    y[36] = suspended_solids(pars, y);
}

}  // namespace fractionation
