// tarnlet.runs: whole input time series through a block in one call, with
// the interpreter lock released while the steps run. Each step is what a
// Python loop does with the block's module: y = outputs(x, u[t], ...), then
// x = euler_step(x, u[t], ..., dt), the same kernels and x + dt*dx with the
// product first, so the results are identical bit for bit.
#include <algorithm>
#include <cstring>

#include "brookvane/loamtank_kernels.h"
#include "brookvane/sewer_kernels.h"
#include "convert.h"
#include "fenmoor/sedlift_kernels.h"
#include "frame.h"
#include "numpy_api.h"

namespace {

using frame::Matrix;
using frame::Ref;

struct Sewer {
    static constexpr int N = sewer::NSTATES, NIN = sewer::NINPUTS, NOUT = sewer::NOUTPUTS;
    static constexpr const char* params[] = {"pars", "spar"};
    static constexpr Py_ssize_t min_lengths[] = {25, 3};
    static void outputs(const double* x, const double* u, const double* const* p, double* y) {
        sewer::outputs(x, u, p[0], p[1], y);
    }
    static void derivatives(const double* x, const double* u, const double* const* p,
                            double* dx) {
        sewer::derivatives(x, u, p[1], dx);
    }
};

struct Sedlift {
    static constexpr int N = sedlift::NSTATES, NIN = sedlift::NINPUTS, NOUT = sedlift::NOUTPUTS;
    static constexpr const char* params[] = {"sspars"};
    static constexpr Py_ssize_t min_lengths[] = {4};
    static void outputs(const double* x, const double* u, const double* const* p, double* y) {
        sedlift::sedlift_outputs_kernel(x, u, p[0], y);
    }
    static void derivatives(const double* x, const double* u, const double* const* p,
                            double* dx) {
        sedlift::sedlift_derivatives_kernel(x, u, p[0], dx);
    }
};

struct Loamtank {
    static constexpr int N = loamtank::NSTATES, NIN = loamtank::NINPUTS,
                         NOUT = loamtank::NOUTPUTS;
    static constexpr const char* params[] = {"par"};
    static constexpr Py_ssize_t min_lengths[] = {6};
    static void outputs(const double* x, const double* u, const double* const* p, double* y) {
        loamtank::outputs(x, u, p[0], y);
    }
    static void derivatives(const double* x, const double* u, const double* const* p,
                            double* dx) {
        loamtank::derivatives(x, u, p[0], dx);
    }
};

// One step of one block: y from x, then the next state.
template <class B>
void step(const double* x, const double* u, const double* const* p, double dt, double* y,
          double* x_next) {
    B::outputs(x, u, p, y);
    double dx[B::N];
    B::derivatives(x, u, p, dx);
    for (int i = 0; i < B::N; ++i) x_next[i] = x[i] + dt * dx[i];
}

bool fail(const char* text) {
    PyErr_SetString(PyExc_ValueError, text);
    return false;
}

bool check_columns(const Matrix& m, Py_ssize_t cols, const char* name) {
    if (m.cols() == cols) return true;
    PyErr_Format(PyExc_ValueError, "Expected %s with %zd columns.", name, cols);
    return false;
}

bool check_at_least(const Matrix& m, Py_ssize_t n, const char* name) {
    if (m.cols() >= n) return true;
    PyErr_Format(PyExc_ValueError, "Expected %s of length at least %zd.", name, n);
    return false;
}

PyObject* new_array(int ndim, npy_intp* dims) {
    return PyArray_SimpleNew(ndim, dims, NPY_DOUBLE);
}

double* data_of(const Ref& a) {
    return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())));
}

PyObject* pair(Ref states, Ref outputs) { return PyTuple_Pack(2, states.get(), outputs.get()); }

// block_run(x0, u, *params, dt) -> (states (steps + 1, N), outputs (steps, NOUT))
template <class B>
PyObject* block_run(PyObject* module, const frame::Function&, PyObject* const* args) {
    constexpr int np = std::size(B::params);
    Matrix x0, u, p[np];
    if (!frame::convert(module, args[0], x0, 1, 1) || !frame::convert(module, args[1], u, 2, 2))
        return nullptr;
    for (int i = 0; i < np; ++i)
        if (!frame::convert(module, args[2 + i], p[i], 1, 1)) return nullptr;
    if (x0.cols() != B::N) {
        PyErr_Format(PyExc_ValueError, "Expected x0 of length %d.", B::N);
        return nullptr;
    }
    if (!check_columns(u, B::NIN, "u")) return nullptr;
    for (int i = 0; i < np; ++i)
        if (!check_at_least(p[i], B::min_lengths[i], B::params[i])) return nullptr;
    Ref dt_obj = Ref::steal(PyNumber_Float(args[2 + np]));
    if (!dt_obj) return nullptr;
    const double dt = PyFloat_AS_DOUBLE(dt_obj.get());

    const Py_ssize_t steps = u.rows();
    npy_intp state_dims[] = {steps + 1, B::N}, output_dims[] = {steps, B::NOUT};
    Ref states = Ref::steal(new_array(2, state_dims));
    Ref outputs = states ? Ref::steal(new_array(2, output_dims)) : Ref();
    if (!outputs) return nullptr;

    double* xs = data_of(states);
    double* ys = data_of(outputs);
    const double* us = u.data();
    const double* params[np];
    for (int i = 0; i < np; ++i) params[i] = p[i].data();
    std::memcpy(xs, x0.data(), B::N * sizeof(double));
    Py_BEGIN_ALLOW_THREADS
    for (Py_ssize_t t = 0; t < steps; ++t)
        step<B>(xs + t * B::N, us + t * B::NIN, params, dt, ys + t * B::NOUT, xs + (t + 1) * B::N);
    Py_END_ALLOW_THREADS
    return pair(std::move(states), std::move(outputs));
}

// sewer_chain_run(x0, u, pars, spar, dt): n storages in series; in each step
// storage j's output row is storage j+1's input row.
PyObject* sewer_chain_run(PyObject* module, const frame::Function&, PyObject* const* args) {
    constexpr int N = Sewer::N, NIN = Sewer::NIN, NOUT = Sewer::NOUT;
    Matrix x0, u, pars, spar;
    if (!frame::convert(module, args[0], x0, 2, 2) || !frame::convert(module, args[1], u, 2, 2) ||
        !frame::convert(module, args[2], pars, 1, 1) ||
        !frame::convert(module, args[3], spar, 1, 2))
        return nullptr;
    if (!check_columns(x0, N, "x0")) return nullptr;
    const Py_ssize_t n = x0.rows();
    if (n < 1) return fail("Expected x0 with at least one row."), nullptr;
    if (!check_columns(u, NIN, "u") || !check_at_least(pars, 25, "pars")) return nullptr;
    if (spar.cols() < 3 || (spar.ndim() == 2 && spar.rows() != n))
        return fail("Expected spar of length at least 3, or one such row per storage."), nullptr;
    Ref dt_obj = Ref::steal(PyNumber_Float(args[4]));
    if (!dt_obj) return nullptr;
    const double dt = PyFloat_AS_DOUBLE(dt_obj.get());

    const Py_ssize_t steps = u.rows();
    npy_intp state_dims[] = {steps + 1, n, N}, output_dims[] = {steps, n, NOUT};
    Ref states = Ref::steal(new_array(3, state_dims));
    Ref outputs = states ? Ref::steal(new_array(3, output_dims)) : Ref();
    if (!outputs) return nullptr;

    double* xs = data_of(states);
    double* ys = data_of(outputs);
    const double* us = u.data();
    const Py_ssize_t spar_stride = spar.ndim() == 2 ? spar.cols() : 0;
    std::memcpy(xs, x0.data(), n * N * sizeof(double));
    Py_BEGIN_ALLOW_THREADS
    for (Py_ssize_t t = 0; t < steps; ++t) {
        const double* in = us + t * NIN;
        for (Py_ssize_t j = 0; j < n; ++j) {
            const double* params[] = {pars.data(), spar.data() + j * spar_stride};
            double* y = ys + (t * n + j) * NOUT;
            step<Sewer>(xs + (t * n + j) * N, in, params, dt, y, xs + ((t + 1) * n + j) * N);
            in = y;
        }
    }
    Py_END_ALLOW_THREADS
    return pair(std::move(states), std::move(outputs));
}

constexpr frame::Function functions[] = {
    {.name = "sewer_run", .params = {"x0", "u", "pars", "spar", "dt"}, .impl = block_run<Sewer>},
    {.name = "sedlift_run", .params = {"x0", "u", "sspars", "dt"}, .impl = block_run<Sedlift>},
    {.name = "loamtank_run", .params = {"x0", "u", "par", "dt"}, .impl = block_run<Loamtank>},
    {.name = "sewer_chain_run", .params = {"x0", "u", "pars", "spar", "dt"},
     .impl = sewer_chain_run},
};

constexpr frame::Module module = {"runs", "tarnlet.runs", {}, functions, {}};

}  // namespace

TARNLET_MODULE(runs, module)
