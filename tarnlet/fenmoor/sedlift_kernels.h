// First-flush block: six pollutant components retained in a store up to a
// capacity and washed out by a flow-dependent factor.
#pragma once

#include <cmath>

namespace sedlift {

constexpr int NSTATES = 6;
constexpr int NINPUTS = 7;
constexpr int NOUTPUTS = 13;

// Floor of the flow divisor, and the capacity at or below which the
// capacity limit is off.
constexpr double SMALLEST = 1e-12;

inline double clamp01(double v) { return v < 0.0 ? 0.0 : (v > 1.0 ? 1.0 : v); }

// Hill function of the flow: 1/2 at Q = p1[1]. Both operands are scaled by
// 1e4 before the power, which moves the range where the powers overflow.
inline double flow_factor(double q, const double* p1) {
    const double g = std::pow(q / 10000, p1[2]);
    const double k = std::pow(p1[1] / 10000, p1[2]);
    return g / (k + g);
}

inline void sedlift_outputs_kernel(const double* x, const double* u, const double* p1,
                                   double* y) {
    double xc[NSTATES];
    for (int i = 0; i < NSTATES; ++i) xc[i] = x[i] < 0.0 ? 0.0 : x[i];
    const double q = u[0];
    const double qs = q > SMALLEST ? q : SMALLEST;
    const double r = p1[0] > SMALLEST ? xc[0] / p1[0] : 0.0;
    const double t = clamp01(r);
    const double f = flow_factor(q, p1);
    y[0] = q;
    for (int k = 1; k <= 6; ++k) y[k] = ((xc[k - 1] * f) * p1[3]) / qs + t * u[k];
    y[7] = xc[0];
    for (int k = 8; k <= 12; ++k) y[k] = xc[k - 7] / 1000;
}

inline void sedlift_derivatives_kernel(const double* x, const double* u, const double* p1,
                                       double* dx) {
    const double q = u[0];
    const double free = p1[0] > SMALLEST ? 1 - x[0] / p1[0] : 1.0;
    const double h = clamp01(free);
    const double f = flow_factor(q, p1);
    for (int i = 0; i < NSTATES; ++i) dx[i] = (q * u[i + 1]) * h - (f * x[i]) * p1[3];
}

}  // namespace sedlift
