// First-flush block: six pollutant components retained in a store up to a
// capacity and washed out by a flow-dependent factor.
#pragma once

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
    static Flow share(const double*, const double* u, const double* const* p);

    static void outputs(const Flow& s, const double* x, const double* u, const double* const* p,
                        double* y);

    static void derivatives(const Flow& s, const double* x, const double* u, const double* const* p,
                            double* dx);
};

}  // namespace sedlift
