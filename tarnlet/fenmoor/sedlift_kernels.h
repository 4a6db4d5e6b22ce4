// First-flush block: six pollutant components retained in a store up to a
// capacity and washed out by a flow-dependent factor.
#pragma once

#include <cmath>

#include "block.h"

namespace sedlift {

// Floor of the flow divisor, and the capacity at or below which the
// capacity limit is off.
constexpr double SMALLEST = 1e-12;

inline double clamp01(double v) { return v < 0.0 ? 0.0 : (v > 1.0 ? 1.0 : v); }

// What outputs and derivatives of one state share: the wash-off factor, a
// Hill function of the flow that is 1/2 at Q = sspars[1].
struct Flow {
    double f;
};

struct Block {
    static constexpr int NSTATES = 6;
    static constexpr int NINPUTS = 7;
    static constexpr int NOUTPUTS = 13;
    // sspars: capacity, flow of half wash-off, exponent, wash-off rate.
    static constexpr frame::Param params[] = {{"sspars", 4, 4}};

    using Shared = Flow;

    // Both operands are scaled by 1e4 before the power, which moves the
    // range where the powers overflow.
    static Flow share(const double*, const double* u, const double* const* p) {
        const double* p1 = p[0];
        const double g = std::pow(u[0] / 10000, p1[2]);
        const double k = std::pow(p1[1] / 10000, p1[2]);
        return {g / (k + g)};
    }

    static void outputs(const Flow& s, const double* x, const double* u, const double* const* p,
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

    static void derivatives(const Flow& s, const double* x, const double* u,
                            const double* const* p, double* dx) {
        const double* p1 = p[0];
        const double q = u[0];
        const double free = p1[0] > SMALLEST ? 1 - x[0] / p1[0] : 1.0;
        const double h = clamp01(free);
        for (int i = 0; i < NSTATES; ++i) dx[i] = (q * u[i + 1]) * h - (s.f * x[i]) * p1[3];
    }
};

}  // namespace sedlift
