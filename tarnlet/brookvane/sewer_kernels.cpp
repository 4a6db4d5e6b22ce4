// The kernels of the block declared in sewer_kernels.h, compiled once: the modules
// and the run layer call the same machine code, so their results agree bit
// for bit, NaN payloads included.
#include "sewer_kernels.h"

#include <cmath>
#include <cstring>

namespace sewer {

Storage Block::share(const double* x, const double*, const double* const* p) {
    const double* spar = p[1];
    const double h = spar[2] > x[LEVEL] ? spar[2] : x[LEVEL];
    return {h, h * spar[0], std::pow(h - spar[2], 1.5) * spar[1]};
}

void Block::outputs(const Storage& s, const double* x, const double* u, const double* const* p,
                    double* y) {
    const double* pars = p[0];
    for (int i = 0; i < 18; ++i) y[i] = x[i] / s.v;
    double solids = pars[19] * x[9];
    solids = solids + pars[20] * x[10];
    solids = solids + pars[21] * x[11];
    solids = solids + pars[21] * x[12];
    solids = solids + pars[22] * x[13];
    solids = solids + pars[23] * x[14];
    solids = solids + pars[21] * x[15];
    solids = solids + pars[24] * x[16];
    solids = solids + pars[24] * x[17];
    y[18] = solids / s.v;
    y[FLOW] = s.q_out;
    std::memcpy(&y[20], &u[20], sizeof(double));  // bit for bit, NaN payloads included
    for (int k = 0; k < 5; ++k) y[21 + k] = x[18 + k] / s.v;
    y[26] = s.h;
}

void Block::derivatives(const Storage& s, const double* x, const double* u, const double* const* p,
                        double* dx) {
    const double q_in = u[FLOW];
    for (int i = 0; i < 18; ++i) dx[i] = q_in * u[i] - (s.q_out * x[i]) / s.v;
    for (int k = 0; k < 5; ++k) dx[18 + k] = q_in * u[21 + k] - (s.q_out * x[18 + k]) / s.v;
    dx[LEVEL] = (q_in - s.q_out) / p[1][0];
}

}  // namespace sewer
