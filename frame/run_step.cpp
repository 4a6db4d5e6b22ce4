// NumPy's inner loops for x + dt*dx, and the arrays of a run checked again
// between its chunks (run_step.h).
#include "run_step.h"

#include <cfenv>
#include <cstring>

#include "ref.h"
#include "state.h"

// Only the ufunc object's layout is read here, none of NumPy's ufunc API.
#define NO_IMPORT_UFUNC
#define PY_UFUNC_UNIQUE_SYMBOL tarnlet_frame_UFUNC_API
#include <numpy/ufuncobject.h>

namespace frame {

namespace {

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

}  // namespace

bool find_loops() {
    multiply_loop = double_loop(state.numpy, "multiply");
    add_loop = double_loop(state.numpy, "add");
    if (multiply_loop.fn && add_loop.fn) return true;
    PyErr_Format(PyExc_ImportError,
                 "%s needs NumPy's float64 inner loops of multiply and add, which this NumPy "
                 "does not provide",
                 state.def->dotted);
    return false;
}

int numpy_flags(int raised) {
    return (raised & FE_DIVBYZERO ? fpe_divide : 0) | (raised & FE_OVERFLOW ? fpe_over : 0) |
           (raised & FE_UNDERFLOW ? fpe_under : 0) | (raised & FE_INVALID ? fpe_invalid : 0);
}

// dt*dx (the float first), then x plus that product, by NumPy's own inner
// loops, on fresh aligned memory as NumPy's are. Where two NaNs meet, the
// sign and payload of the result depend on the order in which NumPy's
// compiled loop hands them to the processor.
int numpy_update(const double* x, double dt, const double* dx, npy_intp n, double* x_next) {
    alignas(64) double xa[max_length], p[max_length], s[max_length];
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

Fpe run_fpe() {
    Fpe fpe;
    Ref modes = Ref::steal(PyObject_CallMethod(state.numpy, "geterr", nullptr));
    PyObject* under = modes && PyDict_Check(modes.get())
                          ? PyDict_GetItemString(modes.get(), "under")  // borrowed
                          : nullptr;
    fpe.underflow_ignored =
        under && PyUnicode_Check(under) && PyUnicode_CompareWithASCIIString(under, "ignore") == 0;
    PyErr_Clear();
    return fpe;
}

Kept Kept::of(PyObject* a, bool written) {
    Kept k;
    k.array = as_array(a);
    k.data = PyArray_DATA(k.array);
    k.ndim = PyArray_NDIM(k.array);
    for (int d = 0; d < k.ndim && d < 3; ++d) k.dims[d] = PyArray_DIM(k.array, d);
    k.written = written;
    return k;
}

bool Kept::unchanged(const Call& call) const {
    if (!is_usable(array, ndim, ndim) || PyArray_DATA(array) != data ||
        (written && !PyArray_ISWRITEABLE(array)) || !call.memory_held(array))
        return false;
    for (int d = 0; d < ndim; ++d)
        if (PyArray_DIM(array, d) != dims[d]) return false;
    return true;
}

bool changed_between_chunks(const char* name) {
    PyErr_Format(PyExc_ValueError,
                 "Argument '%s' changed during the run (resized, re-typed or its memory "
                 "replaced by code that ran between two chunks of its steps: a signal handler "
                 "or a progress callback).",
                 name);
    return false;
}

}  // namespace frame
