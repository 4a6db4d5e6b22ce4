// The kernels of the block declared in sedlift_kernels.h, compiled once: the modules
// and the run layer call the same machine code, so their results agree bit
// for bit, NaN payloads included.
#include "sedlift_kernels.h"

#include <cmath>

namespace sedlift {

Flow Block::share(const double*, const double* u, const double* const* p) {
    const double* p1 = p[0];
    const double g = std::pow(u[0] / 10000, p1[2]);
    const double k = std::pow(p1[1] / 10000, p1[2]);
    return {g / (k + g)};
}

void Block::outputs(const Flow& s, const double* x, const double* u, const double* const* p,
                    double* y) {
    const double* p1 = p[0];
    double xc[NSTATES];
    for (int i = 0; i < NSTATES; ++i) xc[i] = x[i] < 0.0 ? 0.0 : x[i];
    const double q = u[0];
    const double qs = q > SMALLEST ? q : SMALLEST;
    const double r = p1[0] > SMALLEST ? xc[0] / p1[0] : 0.0;
    const double t = clamp01(r);
    y[0] = q;
    for (int k = 1; k <= 6; ++k) y[k] = ((xc[k - 1] * s.f) * p1[3]) / qs + t * u[k];
    y[7] = xc[0];
    for (int k = 8; k <= 12; ++k) y[k] = xc[k - 7] / 1000;
}

void Block::derivatives(const Flow& s, const double* x, const double* u, const double* const* p,
                        double* dx) {
    const double* p1 = p[0];
    const double q = u[0];
    const double free = p1[0] > SMALLEST ? 1 - x[0] / p1[0] : 1.0;
    const double h = clamp01(free);
    for (int i = 0; i < NSTATES; ++i) dx[i] = (q * u[i + 1]) * h - (s.f * x[i]) * p1[3];
}

}  // namespace sedlift
