// tarnlet._runs: whole input series through a block in one call, with the
// interpreter lock released while the steps run; tarnlet.runs gives it its
// keyword-only options. A step of a state-space block is what a Python loop
// does with the block's module, y = outputs(x, u[t], ...) and then
// x = euler_step(x, u[t], ..., dt): the same kernels, sharing what both
// compute from the same state, and x + dt*dx as NumPy forms it, so the
// results are identical bit for bit. A row of a stream run is the block's
// one function on that row.
//
// Arguments are converted and dt is converted first; every piece of Python
// code a call can run (an argument's __array__, __float__ or __buffer__, a
// caller's `np`) runs before the arrays are settled, their data pointers
// and shapes read, and the caller's out= arrays checked. From there to the
// end of the run no Python code runs.
#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <string>

#include "brookvane/loamtank_kernels.h"
#include "brookvane/sewer_kernels.h"
#include "errors.h"
#include "fenmoor/sedlift_kernels.h"
#include "frame.h"
#include "sallowby/combiner_kernels.h"
#include "sallowby/fractionation_kernels.h"
#include "state.h"
#include "step.h"
#include "vectors.h"

#define NO_IMPORT_UFUNC
#define PY_UFUNC_UNIQUE_SYMBOL tarnlet_runs_UFUNC_API
#include <numpy/ufuncobject.h>

namespace {

using frame::Array;
using frame::Call;
using frame::Ref;

constexpr int max_width = 64;  // the longest state or output vector

// ---- x + dt*dx as NumPy forms it ---------------------------------------

// NumPy's own inner loop of a ufunc for two doubles, found at import.
struct Loop {
    PyUFuncGenericFunction fn = nullptr;
    void* data = nullptr;
};

Loop multiply_loop, add_loop;

Loop double_loop(PyObject* numpy, const char* name) {
    Ref ufunc = Ref::steal(PyObject_GetAttrString(numpy, name));
    if (!ufunc) {
        PyErr_Clear();
        return {};
    }
    if (std::strcmp(Py_TYPE(ufunc.get())->tp_name, "numpy.ufunc") != 0) return {};
    auto* u = reinterpret_cast<PyUFuncObject*>(ufunc.get());
    if (u->nin != 2 || u->nout != 1) return {};
    for (int i = 0; i < u->ntypes; ++i) {
        const char* t = u->types + 3 * i;
        if (t[0] == NPY_DOUBLE && t[1] == NPY_DOUBLE && t[2] == NPY_DOUBLE)
            return {u->functions[i], u->data[i]};
    }
    return {};
}

// The import fails without them: a run would differ from the loop.
bool find_loops(PyObject*) {
    multiply_loop = double_loop(frame::state.numpy, "multiply");
    add_loop = double_loop(frame::state.numpy, "add");
    if (multiply_loop.fn && add_loop.fn) return true;
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_ImportError,
                        "tarnlet._runs needs NumPy's float64 inner loops of multiply and add, "
                        "which this NumPy does not provide");
    return false;
}

// NumPy's floating-point error flags (as np.seterrcall reports them).
constexpr int fpe_divide = 1, fpe_over = 2, fpe_under = 4, fpe_invalid = 8;

int numpy_flags(int raised) {
    return (raised & FE_DIVBYZERO ? fpe_divide : 0) | (raised & FE_OVERFLOW ? fpe_over : 0) |
           (raised & FE_UNDERFLOW ? fpe_under : 0) | (raised & FE_INVALID ? fpe_invalid : 0);
}

// x + dt*dx of one state as euler_step forms it with NumPy: dt*dx (the
// float first), then x plus that product, by NumPy's own inner loops, on
// fresh aligned memory as NumPy's are. Where two NaNs meet, the sign and
// payload of the result depend on the order in which NumPy's compiled loop
// hands them to the processor. Returns the floating-point exceptions the two
// loops raised, which NumPy would report.
int numpy_update(const double* x, double dt, const double* dx, npy_intp n, double* x_next) {
    alignas(64) double xa[max_width], p[max_width], s[max_width];
    std::memcpy(xa, x, n * sizeof(double));
    char* product_args[] = {reinterpret_cast<char*>(&dt),
                            reinterpret_cast<char*>(const_cast<double*>(dx)),
                            reinterpret_cast<char*>(p)};
    const npy_intp scalar_first[] = {0, sizeof(double), sizeof(double)};
    char* sum_args[] = {reinterpret_cast<char*>(xa), reinterpret_cast<char*>(p),
                        reinterpret_cast<char*>(s)};
    const npy_intp contiguous[] = {sizeof(double), sizeof(double), sizeof(double)};
    std::feclearexcept(FE_ALL_EXCEPT);
    multiply_loop.fn(product_args, &n, scalar_first, multiply_loop.data);
    add_loop.fn(sum_args, &n, contiguous, add_loop.data);
    const int raised = std::fetestexcept(FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID);
    std::memcpy(x_next, s, n * sizeof(double));
    return numpy_flags(raised);
}

// One step of a state-space block (step.h), with a row that is not quiet
// formed again as NumPy forms it; `fpe` gathers the exceptions NumPy would
// have reported.
template <class B>
inline void step(const double* x, const double* u, const double* const* p, double dt, double* y,
                 double* x_next, int& fpe) {
    double dx[B::NSTATES];
    if (!blocks::step<B>(x, u, p, dt, y, dx, x_next)) [[unlikely]]
        fpe |= numpy_update(x, dt, dx, B::NSTATES, x_next);
}

// ---- what a run keeps -----------------------------------------------------

// Outputs are kept at steps 0, every, 2*every, ... (ceil(steps / every)
// rows); states after steps 0, every, 2*every, ... (steps / every + 1 rows),
// or only the state after the last step.
struct Keep {
    Py_ssize_t steps = 0;
    Py_ssize_t every = 1;
    bool last = false;
    Py_ssize_t record[max_width];  // the kept output indices
    int width = 0;                 // how many
    bool all = true;               // every output index, in order
    double* states = nullptr;
    double* outputs = nullptr;
    int fpe = 0;  // the floating-point exceptions of the run's Euler steps

    Py_ssize_t output_rows() const { return steps / every + (steps % every != 0); }
    Py_ssize_t state_rows() const { return last ? 1 : steps / every + 1; }
    void pick(const double* y, double* row) const {
        for (int i = 0; i < width; ++i) row[i] = y[record[i]];
    }
};

// Counts steps to the next kept row.
struct Ticker {
    Py_ssize_t every, left = 0, row = 0;
    bool tick() {  // true at a kept step
        if (left == 0) {
            left = every - 1;
            return true;
        }
        --left;
        return false;
    }
};

// n blocks of one kind in series (n is 1 but for a chain of storages): in
// each step block j's output row is block j+1's input row. Block j's
// parameter vector i is p[i] + j * p_strides[i]; roll holds 2 * n states.
template <class B>
void run_series(const double* x0, Py_ssize_t n, const double* us, const double* const* p,
                const Py_ssize_t* p_strides, double dt, double* roll, Keep& k) {
    constexpr int N = B::NSTATES, NIN = B::NINPUTS, NOUT = B::NOUTPUTS;
    constexpr int NP = static_cast<int>(std::size(B::params));
    double ybuf[2][NOUT];
    const double* x = x0;
    if (!k.last) {
        std::memcpy(k.states, x0, n * N * sizeof(double));
        x = k.states;
    }
    Ticker out_tick{k.every}, state_tick{k.every};
    state_tick.tick();
    Py_ssize_t out_row = 0, state_row = 1;
    for (Py_ssize_t t = 0; t < k.steps; ++t) {
        const bool keep_y = out_tick.tick(), keep_x = state_tick.tick() && !k.last;
        double* x_next = keep_x ? k.states + state_row * n * N : roll + (t & 1) * n * N;
        const double* in = us + t * NIN;
        for (Py_ssize_t j = 0; j < n; ++j) {
            const double* pj[NP];
            for (int i = 0; i < NP; ++i) pj[i] = p[i] + j * p_strides[i];
            double* y = keep_y && k.all ? k.outputs + (out_row * n + j) * NOUT : ybuf[j & 1];
            step<B>(x + j * N, in, pj, dt, y, x_next + j * N, k.fpe);
            if (keep_y && !k.all) k.pick(y, k.outputs + (out_row * n + j) * k.width);
            in = y;
        }
        out_row += keep_y;
        state_row += keep_x;
        x = x_next;
    }
    if (k.last) std::memcpy(k.states, x, n * N * sizeof(double));
}

// A stream block on the kept rows; strides[i] is 0 for an input that is one
// vector for every step.
template <class B>
void run_stream(const double* const* inputs, const Py_ssize_t* strides, const Keep& k) {
    constexpr int NIN = static_cast<int>(std::size(B::inputs));
    double ybuf[B::NOUTPUTS];
    const Py_ssize_t rows = k.output_rows();
    for (Py_ssize_t row = 0; row < rows; ++row) {
        const Py_ssize_t t = row * k.every;
        const double* in[NIN];
        for (int i = 0; i < NIN; ++i) in[i] = inputs[i] + t * strides[i];
        if (k.all) {
            B::compute(in, k.outputs + row * B::NOUTPUTS);
        } else {
            B::compute(in, ybuf);
            k.pick(ybuf, k.outputs + row * k.width);
        }
    }
}

// ---- arguments --------------------------------------------------------------

FRAME_COLD bool value_error(const char* text) {
    PyErr_SetString(PyExc_ValueError, text);
    return false;
}

FRAME_COLD bool columns_error(const char* name, Py_ssize_t cols) {
    PyErr_Format(PyExc_ValueError, "Expected %s with %zd columns.", name, cols);
    return false;
}

std::string shape_text(int ndim, const npy_intp* dims) {
    std::string s = "(";
    for (int d = 0; d < ndim; ++d) {
        if (d) s += ", ";
        s += std::to_string(dims[d]);
    }
    return s + (ndim == 1 ? ",)" : ")");
}

// record: a tuple of distinct output indices (ints) below nout.
bool parse_record(PyObject* record, int nout, Keep& k) {
    if (!PyTuple_CheckExact(record)) {
        PyErr_SetString(PyExc_TypeError, "record must be None or a tuple of ints");
        return false;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(record);
    if (n > nout) {
        PyErr_Format(PyExc_ValueError, "record holds %zd indices; there are %d outputs", n, nout);
        return false;
    }
    bool seen[max_width] = {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(record, i);
        if (!PyLong_CheckExact(item)) {
            PyErr_SetString(PyExc_TypeError, "record must be None or a tuple of ints");
            return false;
        }
        const Py_ssize_t index = PyLong_AsSsize_t(item);
        if (index == -1 && PyErr_Occurred()) PyErr_Clear();
        if (index < 0 || index >= nout) {
            PyErr_Format(PyExc_ValueError, "record index %R is out of range 0 to %d", item,
                         nout - 1);
            return false;
        }
        if (seen[index]) {
            PyErr_Format(PyExc_ValueError, "record holds index %zd twice", index);
            return false;
        }
        seen[index] = true;
        k.record[i] = index;
    }
    k.width = static_cast<int>(n);
    k.all = n == nout;
    for (Py_ssize_t i = 0; k.all && i < n; ++i) k.all = k.record[i] == i;
    return true;
}

// Parses record (None or a tuple of ints, f's parameter at `at`), every
// (an int, at `at + 1`) and the states option (a bool: only the last state)
// for outputs of length nout; an error names the option.
bool parse_options(const frame::Function& f, int at, PyObject* record, PyObject* every,
                   PyObject* last, int nout, Keep& k) {
    const char* every_name = f.params[at + 1];
    if (!PyLong_CheckExact(every)) {
        PyErr_SetString(PyExc_TypeError, "every must be an int");
        return frame::argument_note("checking", every_name, f.name);
    }
    k.every = PyLong_AsSsize_t(every);
    if (k.every == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_OverflowError, "every is too large: %R", every);
        }
        return frame::argument_note("checking", every_name, f.name);
    }
    if (k.every < 1) {
        PyErr_Format(PyExc_ValueError, "every must be at least 1, not %zd", k.every);
        return frame::argument_note("checking", every_name, f.name);
    }
    k.last = last == Py_True;
    if (record == Py_None) {
        k.width = nout;
        for (int i = 0; i < nout; ++i) k.record[i] = i;
        return true;
    }
    if (!parse_record(record, nout, k)) return frame::argument_note("checking", f.params[at], f.name);
    return true;
}

// rows * cols * ... doubles, or MemoryError when that many cannot exist.
bool count_elements(int ndim, const npy_intp* dims) {
    npy_intp total = 1;
    for (int d = 0; d < ndim; ++d) {
        if (dims[d] != 0 &&
            total > NPY_MAX_INTP / static_cast<npy_intp>(sizeof(double)) / dims[d]) {
            PyErr_NoMemory();
            return false;
        }
        total *= dims[d];
    }
    return true;
}

bool overlaps(PyObject* a, const double* data, Py_ssize_t n) {
    auto* arr = frame::as_array(a);
    const auto lo = reinterpret_cast<uintptr_t>(PyArray_DATA(arr));
    const auto hi = lo + static_cast<uintptr_t>(PyArray_NBYTES(arr));
    const auto other_lo = reinterpret_cast<uintptr_t>(data);
    const auto other_hi = other_lo + static_cast<uintptr_t>(n) * sizeof(double);
    return lo < other_hi && other_lo < hi && lo != hi && other_lo != other_hi;
}

// A result: a new array, or the caller's out array checked for its shape,
// dtype, layout and write access and against overlap with the inputs.
struct Result {
    Ref array;
    double* data = nullptr;

    bool make(const Call& call, PyObject* out, const char* what, int ndim, const npy_intp* dims,
              const Array* const* inputs, int ninputs, const Result* other) {
        if (!count_elements(ndim, dims)) return false;
        if (!out) {
            array = Ref::steal(PyArray_SimpleNew(ndim, const_cast<npy_intp*>(dims), NPY_DOUBLE));
            if (!array) return false;
            data = static_cast<double*>(PyArray_DATA(frame::as_array(array.get())));
            return true;
        }
        auto* a = frame::as_array(out);
        bool fits =
            frame::is_usable(a, ndim, ndim) && PyArray_ISWRITEABLE(a) && call.memory_held(a);
        for (int d = 0; fits && d < ndim; ++d) fits = PyArray_DIM(a, d) == dims[d];
        if (!fits) {
            const std::string shape = shape_text(ndim, dims);
            PyErr_Format(PyExc_ValueError,
                         "%s must be a writable, C-contiguous, aligned float64 array of shape %s",
                         what, shape.c_str());
            return false;
        }
        data = static_cast<double*>(PyArray_DATA(a));
        const Py_ssize_t n = PyArray_SIZE(a);
        bool shared = other && other->array && overlaps(other->array.get(), data, n);
        for (int i = 0; !shared && i < ninputs; ++i)
            shared = overlaps(out, inputs[i]->data(), inputs[i]->rows() * inputs[i]->cols());
        if (shared) {
            PyErr_Format(PyExc_ValueError, "%s shares memory with another argument", what);
            return false;
        }
        array = Ref::borrow(out);
        return true;
    }
};

// out: None, or for a state-space run a pair (states, outputs) of arrays.
bool unpack_out(PyObject* out, PyObject*& states, PyObject*& outputs) {
    states = outputs = nullptr;
    if (out == Py_None) return true;
    if (!PyTuple_CheckExact(out) || PyTuple_GET_SIZE(out) != 2 ||
        !PyArray_Check(PyTuple_GET_ITEM(out, 0)) || !PyArray_Check(PyTuple_GET_ITEM(out, 1))) {
        PyErr_SetString(PyExc_TypeError, "out must be None or a pair of arrays (states, outputs)");
        return false;
    }
    states = PyTuple_GET_ITEM(out, 0);
    outputs = PyTuple_GET_ITEM(out, 1);
    return true;
}

bool unpack_out(PyObject* out, PyObject*& outputs) {
    outputs = nullptr;
    if (out == Py_None) return true;
    if (!PyArray_Check(out)) {
        PyErr_SetString(PyExc_TypeError, "out must be None or an array");
        return false;
    }
    outputs = out;
    return true;
}

// An error about the out= arrays, with the note naming `out`.
PyObject* out_note(const frame::Function& f) {
    frame::argument_note("checking", f.params[f.written], f.name);
    return nullptr;
}

bool convert(Call& call, const frame::Function& f, PyObject* const* args, int i, Array& a,
             int min_ndim, int max_ndim) {
    if (frame::convert(call, args[i], a, min_ndim, max_ndim)) return true;
    return frame::argument_note("converting", f.params[i], f.name);
}

}  // namespace

namespace {

bool settle(const Call& call, const frame::Function& f, int i, Array& a) {
    return a.settle(call, f.params[i]) || frame::argument_note("checking", f.params[i], f.name);
}

bool note(const frame::Function& f, int i) {
    return frame::argument_note("checking", f.params[i], f.name);
}

// dt as float() converts it.
bool float_of(Call& call, const frame::Function& f, PyObject* obj, int i, double& dt) {
    if (!PyFloat_CheckExact(obj)) call.python_ran();
    Ref value = Ref::steal(PyNumber_Float(obj));
    if (!value) return frame::argument_note("converting", f.params[i], f.name);
    dt = PyFloat_AS_DOUBLE(value.get());
    return true;
}

// ---- one block over a series --------------------------------------------------

// x0, u and the parameter vectors, settled and checked in this order.
template <class B>
bool check_block(const Call& call, const frame::Function& f, Array* a) {
    constexpr int np = static_cast<int>(std::size(B::params));
    for (int i = 0; i < 2 + np; ++i)
        if (!settle(call, f, i, a[i])) return false;
    if (a[0].cols() != B::NSTATES) {
        PyErr_Format(PyExc_ValueError, "Expected x0 of length %d.", B::NSTATES);
        return note(f, 0);
    }
    if (a[1].cols() != B::NINPUTS) return columns_error("u", B::NINPUTS) || note(f, 1);
    for (int i = 0; i < np; ++i)
        if (a[2 + i].cols() < B::params[i].reads())
            return frame::at_least_error(B::params[i].name, B::params[i].reads()) || note(f, 2 + i);
    return true;
}

// block_run(x0, u, *params, dt, record, every, out, last) -> (states, outputs)
template <class B>
PyObject* block_run(Call& call, const frame::Function& f, PyObject* const* args) {
    constexpr int np = static_cast<int>(std::size(B::params));
    constexpr int n_arrays = 2 + np;
    Array a[n_arrays];
    for (int i = 0; i < n_arrays; ++i)
        if (!convert(call, f, args, i, a[i], i == 1 ? 2 : 1, i == 1 ? 2 : 1)) return nullptr;
    if (!check_block<B>(call, f, a)) return nullptr;
    const unsigned epoch = call.epoch();
    double dt = 0.0;
    Keep k;
    PyObject *states_out, *outputs_out;
    if (!float_of(call, f, args[n_arrays], n_arrays, dt) ||
        !parse_options(f, n_arrays + 1, args[n_arrays + 1], args[n_arrays + 2],
                       args[n_arrays + 4], B::NOUTPUTS, k))
        return nullptr;
    if (!unpack_out(args[n_arrays + 3], states_out, outputs_out)) return out_note(f);
    if (call.epoch() != epoch && !check_block<B>(call, f, a)) return nullptr;

    k.steps = a[1].rows();
    const Array* inputs[n_arrays];
    for (int i = 0; i < n_arrays; ++i) inputs[i] = &a[i];
    const npy_intp state_dims[] = {k.state_rows(), B::NSTATES};
    const npy_intp output_dims[] = {k.output_rows(), k.width};
    Result states, outputs;
    if (!states.make(call, states_out, "out[0]", 2, state_dims, inputs, n_arrays, nullptr) ||
        !outputs.make(call, outputs_out, "out[1]", 2, output_dims, inputs, n_arrays, &states))
        return out_note(f);
    k.states = states.data;
    k.outputs = outputs.data;
    const double* p[np];
    const Py_ssize_t shared[np] = {};
    for (int i = 0; i < np; ++i) p[i] = a[2 + i].data();
    double roll[2 * B::NSTATES];
    Py_BEGIN_ALLOW_THREADS
        run_series<B>(a[0].data(), 1, a[1].data(), p, shared, dt, roll, k);
    Py_END_ALLOW_THREADS
    return Py_BuildValue("OOi", states.array.get(), outputs.array.get(), k.fpe);
}

// ---- a chain of storages ------------------------------------------------------

bool check_chain(const Call& call, const frame::Function& f, Array* a) {
    using B = sewer::Block;
    for (int i = 0; i < 4; ++i)
        if (!settle(call, f, i, a[i])) return false;
    if (a[0].cols() != B::NSTATES) return columns_error("x0", B::NSTATES) || note(f, 0);
    if (a[0].rows() < 1) return value_error("Expected x0 with at least one row.") || note(f, 0);
    if (a[1].cols() != B::NINPUTS) return columns_error("u", B::NINPUTS) || note(f, 1);
    if (a[2].cols() < B::params[0].reads())
        return frame::at_least_error("pars", B::params[0].reads()) || note(f, 2);
    if (a[3].cols() < B::params[1].reads() || (a[3].ndim() == 2 && a[3].rows() != a[0].rows()))
        return value_error("Expected spar of length at least 3, or one such row per storage.") ||
               note(f, 3);
    return true;
}

// sewer_chain_run(x0, u, pars, spar, dt, record, every, out, last): n
// storages in series, x0 one row per storage, spar one row or one per storage.
PyObject* sewer_chain_run(Call& call, const frame::Function& f, PyObject* const* args) {
    using B = sewer::Block;
    constexpr int N = B::NSTATES;
    Array a[4];
    if (!convert(call, f, args, 0, a[0], 2, 2) || !convert(call, f, args, 1, a[1], 2, 2) ||
        !convert(call, f, args, 2, a[2], 1, 1) || !convert(call, f, args, 3, a[3], 1, 2) ||
        !check_chain(call, f, a))
        return nullptr;
    const unsigned epoch = call.epoch();
    double dt = 0.0;
    Keep k;
    PyObject *states_out, *outputs_out;
    if (!float_of(call, f, args[4], 4, dt) ||
        !parse_options(f, 5, args[5], args[6], args[8], B::NOUTPUTS, k))
        return nullptr;
    if (!unpack_out(args[7], states_out, outputs_out)) return out_note(f);
    if (call.epoch() != epoch && !check_chain(call, f, a)) return nullptr;

    const Py_ssize_t n = a[0].rows();
    k.steps = a[1].rows();
    const Array* inputs[] = {&a[0], &a[1], &a[2], &a[3]};
    const npy_intp state_dims[] = {k.state_rows(), n, N};
    const npy_intp output_dims[] = {k.output_rows(), n, k.width};
    Result states, outputs, roll;
    if (!states.make(call, states_out, "out[0]", 3, state_dims, inputs, 4, nullptr) ||
        !outputs.make(call, outputs_out, "out[1]", 3, output_dims, inputs, 4, &states))
        return out_note(f);
    const npy_intp roll_dims[] = {2, n, N};
    if ((k.every > 1 || k.last) && !roll.make(call, nullptr, "", 3, roll_dims, inputs, 0, nullptr))
        return nullptr;
    k.states = states.data;
    k.outputs = outputs.data;
    const double* p[] = {a[2].data(), a[3].data()};
    const Py_ssize_t strides[] = {0, a[3].ndim() == 2 ? a[3].cols() : 0};
    Py_BEGIN_ALLOW_THREADS
        run_series<B>(a[0].data(), n, a[1].data(), p, strides, dt, roll.data, k);
    Py_END_ALLOW_THREADS
    return Py_BuildValue("OOi", states.array.get(), outputs.array.get(), k.fpe);
}

// ---- a stream block over a series ---------------------------------------------

// Its vectors of exact length are series: one row per step, or one vector
// for every step; its parameter vectors are vectors.
template <class B>
bool check_stream(const Call& call, const frame::Function& f, Array* a, Py_ssize_t& steps) {
    constexpr int NIN = static_cast<int>(std::size(B::inputs));
    steps = -1;
    for (int i = 0; i < NIN; ++i)
        if (!settle(call, f, i, a[i])) return false;
    for (int i = 0; i < NIN; ++i) {
        const frame::Input& in = B::inputs[i];
        if (!in.exact) {
            if (a[i].cols() < in.length)
                return frame::at_least_error(in.name, in.length) || note(f, i);
            continue;
        }
        if (a[i].cols() != in.length) return columns_error(in.name, in.length) || note(f, i);
        if (a[i].ndim() != 2) continue;
        if (steps >= 0 && a[i].rows() != steps)
            return value_error("Expected every series with the same number of rows.") || note(f, i);
        steps = a[i].rows();
    }
    if (steps < 0) steps = 1;
    return true;
}

// stream_run(*inputs, record, every, out) -> outputs
template <class B>
PyObject* stream_run(Call& call, const frame::Function& f, PyObject* const* args) {
    constexpr int NIN = static_cast<int>(std::size(B::inputs));
    Array a[NIN];
    for (int i = 0; i < NIN; ++i)
        if (!convert(call, f, args, i, a[i], 1, B::inputs[i].exact ? 2 : 1)) return nullptr;
    Keep k;
    PyObject* outputs_out;
    if (!check_stream<B>(call, f, a, k.steps) ||
        !parse_options(f, NIN, args[NIN], args[NIN + 1], Py_False, B::NOUTPUTS, k))
        return nullptr;
    if (!unpack_out(args[NIN + 2], outputs_out)) return out_note(f);
    const Array* inputs[NIN];
    const double* data[NIN];
    Py_ssize_t strides[NIN];
    for (int i = 0; i < NIN; ++i) {
        inputs[i] = &a[i];
        data[i] = a[i].data();
        strides[i] = a[i].ndim() == 2 ? a[i].cols() : 0;
    }
    const npy_intp output_dims[] = {k.output_rows(), k.width};
    Result outputs;
    if (!outputs.make(call, outputs_out, "out", 2, output_dims, inputs, NIN, nullptr))
        return out_note(f);
    k.outputs = outputs.data;
    Py_BEGIN_ALLOW_THREADS
        run_stream<B>(data, strides, k);
    Py_END_ALLOW_THREADS
    return outputs.array.release();
}

// ---- the module -------------------------------------------------------------------

template <class B>
constexpr frame::Function block_function(const char* name) {
    frame::Function f{};
    f.name = name;
    int i = 0;
    f.params[i++] = "x0";
    f.params[i++] = "u";
    for (const frame::Param& p : B::params) f.params[i++] = p.name;
    for (const char* option : {"dt", "record", "every", "out", "last"}) f.params[i++] = option;
    f.written = i - 2;
    f.impl = block_run<B>;
    return f;
}

template <class B>
constexpr frame::Function stream_function(const char* name) {
    frame::Function f{};
    f.name = name;
    int i = 0;
    for (const frame::Input& in : B::inputs) f.params[i++] = in.name;
    for (const char* option : {"record", "every", "out"}) f.params[i++] = option;
    f.written = i - 1;
    f.impl = stream_run<B>;
    return f;
}

constexpr frame::Function functions[] = {
    block_function<sewer::Block>("sewer_run"),
    block_function<sedlift::Block>("sedlift_run"),
    block_function<loamtank::Block>("loamtank_run"),
    {.name = "sewer_chain_run",
     .params = {"x0", "u", "pars", "spar", "dt", "record", "every", "out", "last"},
     .impl = sewer_chain_run,
     .written = 7},
    stream_function<fractionation::Block>("fractionation_run"),
    stream_function<combiner::Block>("combiner_run"),
};

constexpr frame::Module module = {.name = "_runs",
                                  .dotted = "tarnlet._runs",
                                  .constants = {},
                                  .functions = functions,
                                  .aliases = {},
                                  .shown = "tarnlet.runs",
                                  .exec = find_loops};

}  // namespace

TARNLET_MODULE(_runs, module)
