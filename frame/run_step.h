// What the run layer (tarnlet._runs) and the model engine
// (tarnlet.model._engine) share: a step of a state-space block with x +
// dt*dx as NumPy forms it, and steps run in chunks with the interpreter lock
// released, Ctrl-C and the caller's Python code between chunks.
//
// A step is what a Python loop over the block's module does, y =
// outputs(x, u, ...) and then x = euler_step(x, u, ..., dt): the same
// kernels (step.h), and a row that is not quiet formed again by NumPy's own
// float64 inner loops of multiply and add, which each module looks up when
// it is executed (find_loops).
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>

#include "errors.h"
#include "frame.h"
#include "step.h"
#include "vectors.h"

namespace frame {

// ---- x + dt*dx as NumPy forms it ---------------------------------------

// Looks up NumPy's float64 inner loops of multiply and add; the import
// fails without them (ImportError naming the module): a run would differ
// from the loop.
bool find_loops();

// NumPy's floating-point error flags (as np.seterrcall reports them).
inline constexpr int fpe_divide = 1, fpe_over = 2, fpe_under = 4, fpe_invalid = 8;

int numpy_flags(int raised);

// x + dt*dx of one state of n entries (at most max_length) as euler_step
// forms it with NumPy; returns the flags of the floating-point exceptions
// the two loops raised, which NumPy would report. x_next may not be x.
int numpy_update(const double* x, double dt, const double* dx, npy_intp n, double* x_next);

// The floating-point exceptions a run's Euler steps gather (NumPy's flags),
// and whether they need an underflow at all: where the caller's np.geterr()
// ignores underflow (NumPy's default), a row whose sums are all finite can
// have raised nothing else, and NumPy would form the same bits (no NaN is
// involved), so it is taken as formed. A state that decays into the
// subnormal range then costs no NumPy call per step.
struct Fpe {
    int raised = 0;
    bool underflow_ignored = false;
};

// The run's Fpe from np.geterr(), read once with the interpreter lock held
// before the run; when that fails, underflow is taken as reported.
Fpe run_fpe();

// One step of a state-space block (step.h), a row that is not quiet formed
// again as NumPy forms it; `fpe` gathers the exceptions NumPy would have
// reported. x_next may not be x: x is read again for a row that is not
// quiet.
template <class B>
inline void advance(const double* x, const double* u, const double* const* p, double dt, double* y,
                    double* x_next, Fpe& fpe) {
    double dx[B::NSTATES];
    if (!blocks::step<B>(x, u, p, dt, y, dx, x_next)) [[unlikely]] {
        if (fpe.underflow_ignored) {
            bool finite = true;
            for (int i = 0; i < B::NSTATES; ++i) finite &= std::isfinite(x_next[i]);
            if (finite) return;
        }
        fpe.raised |= numpy_update(x, dt, dx, B::NSTATES, x_next);
    }
}

// Counts steps to the next multiple of every: tick() is true at a multiple,
// counted from step `first`.
struct Ticker {
    Py_ssize_t every = 1, left = 0;
    Ticker(Py_ssize_t every, Py_ssize_t first) : every(every), left(first % every) {
        if (left) left = every - left;
    }
    bool tick() {
        if (left == 0) {
            left = every - 1;
            return true;
        }
        --left;
        return false;
    }
};

// ---- steps in chunks ---------------------------------------------------------

// Steps [0, steps) as work(from, to) over chunks of at most `chunk` steps,
// each with the interpreter lock released. After each chunk, with the lock
// held: PyErr_CheckSignals() (Ctrl-C raises KeyboardInterrupt there), then
// between(done), which may run Python code and returns false with an
// exception set to stop. False with the exception set when the run stopped.
//
// With `seconds` > 0, `chunk` is only the first chunk's size: each next one
// is sized from the pace of the one before to take about `seconds` (at
// most eight times as many steps). Taking the lock back waits for a thread
// that runs Python code to let go of it (up to the switch interval, 5 ms),
// so chunks of a few milliseconds would slow a run beside such a thread.
template <class Work, class Between>
bool run_in_chunks(Py_ssize_t steps, Py_ssize_t chunk, Work&& work, Between&& between,
                   double seconds = 0.0) {
    using clock = std::chrono::steady_clock;
    for (Py_ssize_t done = 0; done < steps;) {
        const Py_ssize_t to = steps - done > chunk ? done + chunk : steps;
        clock::duration took{};
        Py_BEGIN_ALLOW_THREADS
            const auto begin = clock::now();
            work(done, to);
            took = clock::now() - begin;
        Py_END_ALLOW_THREADS
        if (seconds > 0) {
            const double s = std::chrono::duration<double>(took).count();
            const double most = 8.0 * static_cast<double>(chunk);
            const double next = s > 0 ? static_cast<double>(to - done) * (seconds / s) : most;
            chunk = static_cast<Py_ssize_t>(std::max(1.0, std::min(next, most)));
        }
        done = to;
        if (PyErr_CheckSignals() < 0 || !between(done)) return false;
    }
    return true;
}

// An array a run reads or writes, as it was when the run began: after
// Python code has run between chunks (a signal handler, a progress
// callback), it must still be the same memory of the same shape, dtype and
// layout, held (owners.h), and writable when the run writes it.
struct Kept {
    PyArrayObject* array = nullptr;
    const void* data = nullptr;
    int ndim = 0;
    npy_intp dims[3] = {};
    bool written = false;

    static Kept of(PyObject* a, bool written = false);
    bool unchanged(const Call& call) const;
};

// The error for an array that changed between chunks: "Argument '<name>'
// changed during the run (...)." (ValueError); false.
FRAME_COLD bool changed_between_chunks(const char* name);

}  // namespace frame
