// One explicit Euler step of a state-space block (block.h), as the run layer
// takes it and the kernel-floor benchmark times it: y from x, then
// x + dt*dx, with what outputs and derivatives share computed once. No
// Python here.
#pragma once

#include <cmath>

namespace blocks {

// x + dt*dx of one state: dt*dx rounded, then the sum rounded (no fused
// multiply-add: the build turns contraction off). True when a NaN came out,
// where the caller may form the row again with NumPy's own loops, whose
// order of NaN operands decides the sign and payload of the result.
template <int N>
inline bool euler_sum(const double* x, double dt, const double* dx, double* x_next) {
    bool nan = false;
    for (int i = 0; i < N; ++i) {
        x_next[i] = x[i] + dt * dx[i];
        nan |= std::isnan(x_next[i]);
    }
    return nan;
}

// One step: y = outputs(x), dx = derivatives(x), x_next = x + dt*dx. dx is
// the caller's (NSTATES entries), left holding the derivatives. Returns
// euler_sum's NaN flag.
template <class B>
inline bool step(const double* x, const double* u, const double* const* p, double dt, double* y,
                 double* dx, double* x_next) {
    const auto shared = B::share(x, u, p);
    B::outputs(shared, x, u, p, y);
    B::derivatives(shared, x, u, p, dx);
    return euler_sum<B::NSTATES>(x, dt, dx, x_next);
}

}  // namespace blocks
