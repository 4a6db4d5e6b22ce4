// A call: conversion of array arguments, length checks, result allocation,
// the kernel, and the explicit Euler step.
//
// Every step has a general form, at the Python level through the module
// attribute `np` (np.ascontiguousarray, np.empty, np.asarray), and a fast
// form through the NumPy C API that gives the same objects while `np` is
// still the numpy module bound at import: an argument that already is a
// 1-D, aligned, C-contiguous, native float64 ndarray is used as it is, and
// results are allocated as np.empty allocates them.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "convert.h"
#include "numpy_api.h"
#include "state.h"

namespace frame {

namespace {

PyArrayObject* as_array(PyObject* o) { return reinterpret_cast<PyArrayObject*>(o); }

// What np.ascontiguousarray(arg, dtype=np.float64) returns unchanged.
bool is_ready_vector(PyObject* arg) {
    if (!PyArray_CheckExact(arg)) return false;
    PyArrayObject* a = as_array(arg);
    return PyArray_NDIM(a) == 1 && PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a) &&
           PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a);
}

bool is_double_format(const char* format) {
    if (!format) return false;
    if (format[0] == '@' || format[0] == '=' || format[0] == '<') ++format;
    return std::strcmp(format, "d") == 0;
}

// One call's view of the module. Whether `np` is still the numpy module is
// looked up once and forgotten whenever Python code may have run.
class Call {
public:
    explicit Call(PyObject* module) : module(module) {}
    PyObject* const module;

    bool numpy_is_original() {
        if (np_ < 0) {
            PyObject* np = PyDict_GetItemWithError(PyModule_GetDict(module), state.names.np);
            if (!np) PyErr_Clear();
            np_ = np == state.numpy;
        }
        return np_ == 1;
    }
    void python_ran() { np_ = -1; }

private:
    int np_ = -1;
};

// ---- NumPy at the Python level --------------------------------------------

// np.<function>(arg, dtype=np.float64), with `np` the module attribute.
Ref call_numpy(PyObject* module, PyObject* function, PyObject* arg) {
    Ref np = global(module, state.names.np);
    if (!np) return Ref();
    Ref fn = Ref::steal(PyObject_GetAttr(np.get(), function));
    if (!fn) return Ref();
    Ref float64 = Ref::steal(PyObject_GetAttr(np.get(), state.names.float64));
    if (!float64) return Ref();
    PyObject* argv[] = {arg, float64.get()};
    return Ref::steal(PyObject_Vectorcall(fn.get(), argv, 1, state.names.dtype_kwnames));
}

// ---- conversion and allocation ------------------------------------------

// np.ascontiguousarray(arg, dtype=np.float64), without the call when it
// would return `arg` itself.
Ref contiguous(Call& call, PyObject* arg) {
    if (is_ready_vector(arg) && call.numpy_is_original()) return Ref::borrow(arg);
    Ref converted = call_numpy(call.module, state.names.ascontiguousarray, arg);
    call.python_ran();
    return converted;
}

bool convert(Call& call, PyObject* arg, Vector& v) {
    Ref converted = contiguous(call, arg);
    if (!converted) return false;
    if (is_ready_vector(converted.get())) {
        v.hold_array(std::move(converted));
        return true;
    }
    if (!v.acquire(std::move(converted), false)) return false;
    if (reinterpret_cast<uintptr_t>(v.data()) % alignof(double) == 0) return true;
    // A misaligned buffer (np.ascontiguousarray keeps one as it is): the
    // kernels read an aligned copy of it.
    npy_intp dims[] = {v.size()};
    Ref copy = Ref::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
    if (!copy) return false;
    std::memcpy(PyArray_DATA(as_array(copy.get())), v.data(), v.size() * sizeof(double));
    v.hold_array(std::move(copy));
    return true;
}

// np.empty(n, dtype=np.float64); into `scratch` instead when it is given
// and nothing could observe the difference.
bool allocate(Call& call, Py_ssize_t n, Vector& out, double* scratch = nullptr) {
    if (call.numpy_is_original()) {
        if (scratch) {
            out.hold_scratch(scratch, n);
            return true;
        }
        npy_intp dims[] = {n};
        Ref y = Ref::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
        if (!y) return false;
        out.hold_array(std::move(y));
        return true;
    }
    Ref length = Ref::steal(PyLong_FromSsize_t(n));
    if (!length) return false;
    Ref y = call_numpy(call.module, state.names.empty, length.get());
    call.python_ran();
    if (!y || !out.acquire(std::move(y), true)) return false;
    if (out.size() == n) return true;
    PyErr_Format(PyExc_ValueError, "np.empty(%zd) gave a vector of length %zd", n, out.size());
    out.release();
    return false;
}

// np.asarray(y), which is y itself.
PyObject* finish(Call& call, Vector& out) {
    Ref y = out.take_object();
    if (call.numpy_is_original()) return y.release();
    Ref np = global(call.module, state.names.np);
    if (!np) return nullptr;
    Ref asarray = Ref::steal(PyObject_GetAttr(np.get(), state.names.asarray));
    if (!asarray) return nullptr;
    return PyObject_CallOneArg(asarray.get(), y.get());
}

// ---- checks and kernels --------------------------------------------------

bool length_error(const Function& f, const Check& c) {
    const char* param = f.params[c.arg];
    if (c.at_least)
        PyErr_Format(PyExc_ValueError, "Expected %s of length at least %zd.", param, c.length);
    else if (c.prefix)
        PyErr_Format(PyExc_ValueError, "%s%zd.", c.prefix, c.length);
    else
        PyErr_Format(PyExc_ValueError, "Expected %s of length %zd.", param, c.length);
    return false;
}

bool check_lengths(const Function& f, const Vector* in) {
    for (const Check& c : f.checks) {
        if (c.arg < 0) break;
        const Py_ssize_t n = in[c.arg].size();
        if (c.at_least ? n < c.length : n != c.length) return length_error(f, c);
    }
    return true;
}

// Converts every argument, checks the lengths, allocates the result (into
// `scratch` where possible) and runs the kernel.
bool run_body(Call& call, const Function& f, PyObject* const* args, Vector& out,
              double* scratch = nullptr) {
    const int n = f.nparams();
    Vector in[max_params];
    for (int i = 0; i < n; ++i)
        if (!convert(call, args[i], in[i])) return false;
    if (f.allocate_first && !allocate(call, f.result, out, scratch)) return false;
    if (!check_lengths(f, in)) return false;
    if (!f.allocate_first) {
        if (!allocate(call, f.result, out, scratch)) return false;
        // An np.empty of the caller's may have run Python code that resized
        // an argument: no vector reaches the kernel unchecked.
        if (!check_lengths(f, in)) return false;
    }
    const double* data[max_params];
    for (int i = 0; i < n; ++i) data[i] = in[i].data();
    f.kernel(data, out.data());
    return true;
}

PyObject* run_kernel(PyObject* module, const Function& f, PyObject* const* args) {
    Call call(module);
    Vector out;
    if (!run_body(call, f, args, out)) return nullptr;
    return finish(call, out);
}

// ---- the Euler step --------------------------------------------------------

constexpr Py_ssize_t max_states = 64;

// The module's own `derivatives`, when `fn` is its function object.
const Function* own_derivatives(PyObject* fn) {
    const auto functions = state.def->functions;
    for (size_t i = 0; i < functions.size(); ++i)
        if (state.functions[i] == fn && std::strcmp(functions[i].name, "derivatives") == 0 &&
            functions[i].kernel && functions[i].result <= max_states)
            return &functions[i];
    return nullptr;
}

// True when forming p = dt*dx and s = x + p raises no floating-point
// exception: every operand and result finite (no overflow, no invalid
// operation) and the product exact or out of the subnormal range (no
// underflow).
bool quiet(double x, double dt, double dx, double p, double s) {
    return std::isfinite(x) && std::isfinite(dt) && std::isfinite(dx) && std::isfinite(s) &&
           (std::fabs(p) >= DBL_MIN || dt == 0 || dx == 0);
}

// x_arr + dt*dx as NumPy forms it (the product, then the sum: two
// roundings), computed here for a ready x_arr of length n. NumPy reports
// floating-point exceptions (a warning, or an error under np.seterr), so a
// step that may raise one is left to NumPy: the result is null then, with
// no exception set.
PyObject* euler_sum(PyObject* x_arr, double dt, const double* dx, Py_ssize_t n) {
    if (!is_ready_vector(x_arr) || PyArray_DIM(as_array(x_arr), 0) != n) return nullptr;
    npy_intp dims[] = {n};
    Ref sum = Ref::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
    if (!sum) return nullptr;
    const double* x = static_cast<const double*>(PyArray_DATA(as_array(x_arr)));
    double* s = static_cast<double*>(PyArray_DATA(as_array(sum.get())));
    bool all_quiet = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double p = dt * dx[i];
        s[i] = x[i] + p;
        all_quiet &= quiet(x[i], dt, dx[i], p, s[i]);
    }
    return all_quiet ? sum.release() : nullptr;
}

PyObject* numpy_euler_sum(PyObject* x_arr, PyObject* dt, PyObject* dx) {
    Ref step = Ref::steal(PyNumber_Multiply(dt, dx));
    if (!step) return nullptr;
    return PyNumber_Add(x_arr, step.get());
}

// The module's own derivatives without a Python call in between: its body
// runs into scratch memory and x_arr + dt*dx is formed here.
PyObject* own_euler_step(Call& call, const Function& derivatives, PyObject* x_arr,
                         PyObject* const* argv, PyObject* dt_arg) {
    double dx[max_states];
    Vector out;
    if (!run_body(call, derivatives, argv, out, dx)) return nullptr;
    Ref dx_arr;
    if (out.object()) {
        dx_arr = Ref::steal(finish(call, out));
        if (!dx_arr) return nullptr;
    }
    Ref dt = Ref::steal(PyNumber_Float(dt_arg));
    if (!dt) return nullptr;
    if (!dx_arr) {
        const Py_ssize_t n = derivatives.result;
        if (PyObject* sum = euler_sum(x_arr, PyFloat_AS_DOUBLE(dt.get()), dx, n)) return sum;
        if (PyErr_Occurred()) return nullptr;
        npy_intp dims[] = {n};
        dx_arr = Ref::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
        if (!dx_arr) return nullptr;
        std::memcpy(PyArray_DATA(as_array(dx_arr.get())), dx, n * sizeof(double));
    }
    return numpy_euler_sum(x_arr, dt.get(), dx_arr.get());
}

}  // namespace

// ---- conversion for function bodies of their own ------------------------

Ref global(PyObject* module, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (!value && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref::borrow(value);
}

Ref as_contiguous(PyObject* module, PyObject* arg) {
    Call call(module);
    return contiguous(call, arg);
}

bool convert(PyObject* module, PyObject* arg, Vector& v) {
    Call call(module);
    return convert(call, arg, v);
}

bool Vector::acquire(Ref obj, bool writable) {
    release();
    const int flags = PyBUF_ND | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj.get(), &view_, flags) < 0) return false;
    held_ = true;
    obj_ = std::move(obj);
    if (view_.ndim != 1) {
        const int ndim = view_.ndim;
        release();
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                     1, ndim);
        return false;
    }
    if (!is_double_format(view_.format) || view_.itemsize != 8) {
        release();
        PyErr_SetString(PyExc_ValueError, "Buffer dtype mismatch, expected 'double'");
        return false;
    }
    data_ = static_cast<double*>(view_.buf);
    size_ = view_.shape[0];
    return true;
}

bool Matrix::acquire(Ref obj, int min_ndim, int max_ndim) {
    if (PyObject_GetBuffer(obj.get(), &view_, PyBUF_ND | PyBUF_FORMAT) < 0) return false;
    held_ = true;
    obj_ = std::move(obj);
    ndim_ = view_.ndim;
    if (ndim_ < min_ndim || ndim_ > max_ndim) {
        if (min_ndim == max_ndim)
            PyErr_Format(PyExc_ValueError,
                         "Buffer has wrong number of dimensions (expected %d, got %d)", min_ndim,
                         ndim_);
        else
            PyErr_Format(PyExc_ValueError,
                         "Buffer has wrong number of dimensions (expected %d or %d, got %d)",
                         min_ndim, max_ndim, ndim_);
        return false;
    }
    if (!is_double_format(view_.format) || view_.itemsize != 8) {
        PyErr_SetString(PyExc_ValueError, "Buffer dtype mismatch, expected 'double'");
        return false;
    }
    rows_ = ndim_ == 2 ? view_.shape[0] : 1;
    cols_ = view_.shape[ndim_ - 1];
    data_ = static_cast<const double*>(view_.buf);
    if (reinterpret_cast<uintptr_t>(data_) % alignof(double) == 0) return true;
    npy_intp dims[] = {rows_ * cols_};
    copy_ = Ref::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
    if (!copy_) return false;
    std::memcpy(PyArray_DATA(as_array(copy_.get())), data_, dims[0] * sizeof(double));
    data_ = static_cast<const double*>(PyArray_DATA(as_array(copy_.get())));
    return true;
}

bool convert(PyObject* module, PyObject* arg, Matrix& m, int min_ndim, int max_ndim) {
    Ref converted = as_contiguous(module, arg);
    return converted && m.acquire(std::move(converted), min_ndim, max_ndim);
}

double* Vector::data() const {
    return array_ ? static_cast<double*>(PyArray_DATA(as_array(obj_.get()))) : data_;
}

Py_ssize_t Vector::size() const { return array_ ? PyArray_DIM(as_array(obj_.get()), 0) : size_; }

PyObject* euler_step_impl(PyObject* module, const Function& f, PyObject* const* args) {
    const int n = f.nparams();
    Call call(module);
    Ref x_arr = contiguous(call, args[0]);
    if (!x_arr) return nullptr;
    Ref derivatives = global(module, state.names.derivatives);
    if (!derivatives) return nullptr;
    PyObject* argv[max_params];
    argv[0] = x_arr.get();
    for (int i = 1; i < n - 1; ++i) argv[i] = args[i];
    if (const Function* own = own_derivatives(derivatives.get()))
        return own_euler_step(call, *own, x_arr.get(), argv, args[n - 1]);

    Ref dx = Ref::steal(PyObject_Vectorcall(derivatives.get(), argv, n - 1, nullptr));
    if (!dx) return nullptr;
    Ref dt = Ref::steal(PyNumber_Float(args[n - 1]));
    if (!dt) return nullptr;
    return numpy_euler_sum(x_arr.get(), dt.get(), dx.get());
}

PyObject* call(int index, PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
               PyObject* kwnames) {
    const Function& f = state.def->functions[index];
    PyObject* bound[max_params];
    if (!bind(f, index, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
    return f.impl ? f.impl(module, f, bound) : run_kernel(module, f, bound);
}

}  // namespace frame
