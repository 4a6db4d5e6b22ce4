// Soil reservoir: one storage level with capacity-limited inflow, excess
// flow, square-root drainage and linear outflow.
#pragma once

#include <cmath>

#include "block.h"

namespace loamtank {

struct Block {
    static constexpr int NSTATES = 1;
    static constexpr int NINPUTS = 2;
    static constexpr int NOUTPUTS = 4;
    // par: 0 upper level, 1 drainage threshold, 2 area, 3 capacity per area,
    // 4 drainage coefficient, 5 linear outflow coefficient. The output
    // kernel reads 1-5, the derivative kernel 0-5.
    static constexpr frame::Param params[] = {{"par", 6, 6}};

    // The two kernels treat a negative level differently and share nothing.
    struct Shared {};

    static Shared share(const double*, const double*, const double* const*) { return {}; }

    static void outputs(Shared, const double* x, const double* u, const double* const* p,
                        double* y) {
        const double* par = p[0];
        y[0] = par[1] > x[0] ? 0.0 : std::sqrt(x[0] - par[1]) * par[4];
        const double cap = par[3] * par[2];
        y[1] = cap > u[0] ? 0.0 : u[0] - cap;
        y[2] = par[5] * x[0];
        y[3] = x[0];
    }

    static void derivatives(Shared, const double* x, const double* u, const double* const* p,
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
};

}  // namespace loamtank
