// The explicit Euler step: x_arr + dt*dx, with dx from the module attribute
// `derivatives` as found at call time.
#include <cstring>

#include "body.h"
#include "errors.h"
#include "state.h"
#include "step.h"

namespace frame {

namespace {

// The module's own `derivatives`, when `fn` is its function object.
const Function* own_derivatives(PyObject* fn) {
    const auto functions = state.def->functions;
    for (size_t i = 0; i < functions.size(); ++i)
        if (state.functions[i] == fn && std::strcmp(functions[i].name, "derivatives") == 0 &&
            functions[i].kernel)
            return &functions[i];
    return nullptr;
}

// x_arr + dt*dx as NumPy forms it (the product, then the sum: two
// roundings), computed here while x_arr is still a ready vector of length n
// (still_vector() has made sure its memory is held). NumPy reports
// floating-point exceptions (a warning, or an error under np.seterr), so a
// step that is not quiet (step.h) is left to NumPy: the result is null then,
// with no exception set.
PyObject* compiled_sum(PyObject* x_arr, double dt, const double* dx, Py_ssize_t n) {
    if (!is_ready(x_arr) || PyArray_DIM(as_array(x_arr), 0) != n) return nullptr;
    npy_intp dims[] = {n};
    Ref sum = Ref::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
    if (!sum) return nullptr;
    const double* x = static_cast<const double*>(PyArray_DATA(as_array(x_arr)));
    double* s = static_cast<double*>(PyArray_DATA(as_array(sum.get())));
    return blocks::euler_sum(x, dt, dx, static_cast<int>(n), s) ? sum.release() : nullptr;
}

// x_arr, which derivatives checked, is still a float64 vector of length n
// whose memory is held: dt's conversion may have run Python code.
bool still_vector(const Call& call, PyObject* x_arr, Py_ssize_t n) {
    if (!PyArray_Check(x_arr)) return true;  // a caller's np gave another buffer: NumPy's sum
    PyArrayObject* a = as_array(x_arr);
    return PyArray_NDIM(a) == 1 && PyArray_DIM(a, 0) == n && PyArray_TYPE(a) == NPY_DOUBLE &&
           call.memory_held(a);
}

PyObject* numpy_sum(PyObject* x_arr, PyObject* dt, PyObject* dx) {
    Ref step = Ref::steal(PyNumber_Multiply(dt, dx));
    if (!step) return nullptr;
    return PyNumber_Add(x_arr, step.get());
}

Ref float_dt(const Function& f, PyObject* dt_arg) {
    Ref dt = Ref::steal(PyNumber_Float(dt_arg));
    if (!dt) argument_note("converting", "dt", f.name);
    return dt;
}

// The module's own derivatives without a Python call in between: its body
// runs into scratch memory and x_arr + dt*dx is formed here.
PyObject* own_euler_step(Call& call, const Function& f, const Function& derivatives,
                         PyObject* x_arr, PyObject* const* argv, PyObject* dt_arg) {
    double dx[max_length];
    Array out;
    if (!run_body(call, derivatives, argv, out, dx, f.name)) return nullptr;
    Ref dx_arr;
    if (out.object()) {
        dx_arr = Ref::steal(finish(call, out));
        if (!dx_arr) return nullptr;
    }
    Ref dt = float_dt(f, dt_arg);
    if (!dt) return nullptr;
    const Py_ssize_t n = derivatives.result;
    // Converting a float runs no Python code; a caller's np.asarray or
    // another dt may have changed x.
    if ((dx_arr || !PyFloat_CheckExact(dt_arg)) && !still_vector(call, x_arr, n))
        return changed_error("x"), argument_note("converting", "dt", f.name), nullptr;
    if (!dx_arr) {
        if (PyObject* sum = compiled_sum(x_arr, PyFloat_AS_DOUBLE(dt.get()), dx, n)) return sum;
        if (PyErr_Occurred()) return nullptr;
        npy_intp dims[] = {n};
        dx_arr = Ref::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
        if (!dx_arr) return nullptr;
        std::memcpy(PyArray_DATA(as_array(dx_arr.get())), dx, n * sizeof(double));
    }
    return numpy_sum(x_arr, dt.get(), dx_arr.get());
}

}  // namespace

PyObject* euler_step_impl(Call& call, const Function& f, PyObject* const* args) {
    PyObject* module = call.module;
    const int n = f.nparams();
    Ref x_arr = contiguous(call, args[0]);
    if (!x_arr) return argument_note("converting", "x", f.name), nullptr;
    Ref derivatives = global(module, state.names.derivatives);
    if (!derivatives) return nullptr;
    PyObject* argv[max_params];
    argv[0] = x_arr.get();
    for (int i = 1; i < n - 1; ++i) argv[i] = args[i];
    if (const Function* own = own_derivatives(derivatives.get()))
        return own_euler_step(call, f, *own, x_arr.get(), argv, args[n - 1]);

    Ref dx = Ref::steal(PyObject_Vectorcall(derivatives.get(), argv, n - 1, nullptr));
    if (!dx) return nullptr;
    Ref dt = float_dt(f, args[n - 1]);
    if (!dt) return nullptr;
    return numpy_sum(x_arr.get(), dt.get(), dx.get());
}

}  // namespace frame
