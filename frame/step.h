// The explicit Euler step x + dt*dx, the one place it is written: the
// modules' euler_step (euler.cpp), the run layer and the model engine form
// it here, and the kernel-floor benchmark times it. A step of a state-space
// block (block.h): y from x, then x + dt*dx, with what outputs and
// derivatives share computed once. No Python here.
#pragma once

#include <cfloat>
#include <cmath>

namespace blocks {

// x + dt*dx of one state: dt*dx rounded, then the sum rounded (no fused
// multiply-add: the build turns contraction off), as NumPy forms it. True
// when the row is quiet: every sum finite (so x, dt, dx and every product
// were finite: no overflow, no invalid operation) and every product exact
// or out of the subnormal range (no underflow). A row that is not quiet
// may have raised a floating-point exception, which NumPy reports, or hold
// a NaN, whose sign and payload depend on the order in which NumPy's loops
// hand two NaNs to the processor: the caller forms it again with NumPy.
inline bool euler_sum(const double* x, double dt, const double* dx, int n, double* x_next) {
    const bool exact = dt == 0;  // 0*dx is 0 for every finite dx
    bool quiet = true;
    for (int i = 0; i < n; ++i) {
        const double p = dt * dx[i];
        x_next[i] = x[i] + p;
        quiet &= std::isfinite(x_next[i]) & (exact | (std::fabs(p) >= DBL_MIN) | (dx[i] == 0));
    }
    return quiet;
}

// The same for a state of N entries, unrolled by the compiler.
template <int N>
inline bool euler_sum(const double* x, double dt, const double* dx, double* x_next) {
    return euler_sum(x, dt, dx, N, x_next);
}

// One step: y = outputs(x), dx = derivatives(x), x_next = x + dt*dx. dx is
// the caller's (NSTATES entries), left holding the derivatives. Returns
// euler_sum's flag: false when the row is to be formed again with NumPy.
template <class B>
inline bool step(const double* x, const double* u, const double* const* p, double dt, double* y,
                 double* dx, double* x_next) {
    const auto shared = B::share(x, u, p);
    B::outputs(shared, x, u, p, y);
    B::derivatives(shared, x, u, p, dx);
    return euler_sum<B::NSTATES>(x, dt, dx, x_next);
}

}  // namespace blocks
