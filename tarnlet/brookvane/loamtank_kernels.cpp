// The kernels of the block declared in loamtank_kernels.h, compiled once: the modules
// and the run layer call the same machine code, so their results agree bit
// for bit, NaN payloads included.
#include "loamtank_kernels.h"

#include <cmath>

namespace loamtank {

void Block::outputs(Shared, const double* x, const double* u, const double* const* p, double* y) {
    const double* par = p[0];
    y[0] = par[1] > x[0] ? 0.0 : std::sqrt(x[0] - par[1]) * par[4];
    const double cap = par[3] * par[2];
    y[1] = cap > u[0] ? 0.0 : u[0] - cap;
    y[2] = par[5] * x[0];
    y[3] = x[0];
}

void Block::derivatives(Shared, const double* x, const double* u, const double* const* p,
                        double* dx) {
    const double* par = p[0];
    const double h = 0.0 > x[0] ? 0.0 : x[0];
    const double cap = par[2] * par[3];
    const double q_in = cap < u[0] ? cap : u[0];
    const double e = h > par[1] ? h - par[1] : 0.0;
    const double q_drain = std::sqrt(e) * par[4];
    const double q_2 = h >= par[0] ? 0.0 : u[1];
    const double q_lin = par[5] * h;
    const double s = ((q_in + q_2) - q_drain) - q_lin;
    dx[0] = s * (1.0 / par[2]);
}

Block::Shared Block::share(const double*, const double*, const double* const*) { return {}; }

}  // namespace loamtank
