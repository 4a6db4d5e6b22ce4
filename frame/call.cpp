// A call: argument binding, conversion of array arguments, length checks,
// result allocation, the kernel, and the explicit Euler step.
#include <cstring>

#include "numpy_api.h"
#include "convert.h"
#include "state.h"

namespace frame {

namespace {

bool is_double_format(const char* format) {
    if (!format) return true;  // no format means unsigned bytes, rejected by the itemsize
    if (format[0] == '@' || format[0] == '=' || format[0] == '<') ++format;
    return std::strcmp(format, "d") == 0;
}

// ---- binding -----------------------------------------------------------

bool count_error(const Function& f, Py_ssize_t given) {
    const Py_ssize_t n = f.nparams();
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f.name, "exactly", n, n == 1 ? "" : "s", given);
    return false;
}

int find_param(int index, int n, PyObject* key) {
    PyObject* const* names = state.params[index];
    for (int i = 0; i < n; ++i)
        if (names[i] == key) return i;
    for (int i = 0; i < n; ++i)
        if (PyUnicode_Compare(names[i], key) == 0) return i;
    return -1;
}

// Fills `bound` with one borrowed argument per parameter.
bool bind(const Function& f, int index, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject** bound) {
    const int n = f.nparams();
    if (nargs > n) return count_error(f, nargs);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs != n) return count_error(f, nargs);
        for (int i = 0; i < n; ++i) bound[i] = args[i];
        return true;
    }
    for (int i = 0; i < n; ++i) bound[i] = i < nargs ? args[i] : nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f.name);
            return false;
        }
        const int slot = find_param(index, n, key);
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f.name,
                         key);
            return false;
        }
        if (bound[slot]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         f.name, key);
            return false;
        }
        bound[slot] = args[nargs + k];
    }
    for (int i = 0; i < n; ++i)
        if (!bound[i]) return count_error(f, i);
    return true;
}

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

bool allocate(PyObject* module, Py_ssize_t n, Vector& out) {
    Ref length = Ref::steal(PyLong_FromSsize_t(n));
    if (!length) return false;
    Ref y = call_numpy(module, state.names.empty, length.get());
    if (!y || !out.acquire(std::move(y), true)) return false;
    if (out.size() == n) return true;
    PyErr_Format(PyExc_ValueError, "np.empty(%zd) gave a vector of length %zd", n, out.size());
    out.release();
    return false;
}

// np.asarray(y), which is y itself.
PyObject* finish(PyObject* module, Vector& out) {
    Ref y = out.take_object();
    Ref np = global(module, state.names.np);
    if (!np) return nullptr;
    Ref asarray = Ref::steal(PyObject_GetAttr(np.get(), state.names.asarray));
    if (!asarray) return nullptr;
    return PyObject_CallOneArg(asarray.get(), y.get());
}

// ---- checks and kernels --------------------------------------------------

bool length_error(const Function& f, const Check& c, Py_ssize_t) {
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
        if (c.at_least ? n < c.length : n != c.length) return length_error(f, c, n);
    }
    return true;
}

PyObject* run_kernel(PyObject* module, const Function& f, PyObject* const* args) {
    const int n = f.nparams();
    Vector in[max_params];
    for (int i = 0; i < n; ++i)
        if (!convert(module, args[i], in[i])) return nullptr;
    Vector out;
    if (f.allocate_first && !allocate(module, f.result, out)) return nullptr;
    if (!check_lengths(f, in)) return nullptr;
    if (!f.allocate_first && !allocate(module, f.result, out)) return nullptr;
    const double* data[max_params];
    for (int i = 0; i < n; ++i) data[i] = in[i].data();
    f.kernel(data, out.data());
    return finish(module, out);
}

}  // namespace

// The module attribute `name` as a function body would see its global.
Ref global(PyObject* module, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (!value && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref::borrow(value);
}

Ref as_contiguous(PyObject* module, PyObject* arg) {
    return call_numpy(module, state.names.ascontiguousarray, arg);
}

bool convert(PyObject* module, PyObject* arg, Vector& v) {
    Ref converted = as_contiguous(module, arg);
    return converted && v.acquire(std::move(converted), false);
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

PyObject* euler_step_impl(PyObject* module, const Function& f, PyObject* const* args) {
    const int n = f.nparams();
    Ref x_arr = as_contiguous(module, args[0]);
    if (!x_arr) return nullptr;
    Ref derivatives = global(module, state.names.derivatives);
    if (!derivatives) return nullptr;
    PyObject* argv[max_params];
    argv[0] = x_arr.get();
    for (int i = 1; i < n - 1; ++i) argv[i] = args[i];
    Ref dx = Ref::steal(PyObject_Vectorcall(derivatives.get(), argv, n - 1, nullptr));
    if (!dx) return nullptr;
    Ref dt = Ref::steal(PyNumber_Float(args[n - 1]));
    if (!dt) return nullptr;
    Ref step = Ref::steal(PyNumber_Multiply(dt.get(), dx.get()));
    if (!step) return nullptr;
    return PyNumber_Add(x_arr.get(), step.get());
}

PyObject* call(int index, PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
               PyObject* kwnames) {
    const Function& f = state.def->functions[index];
    PyObject* bound[max_params];
    if (!bind(f, index, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
    return f.impl ? f.impl(module, f, bound) : run_kernel(module, f, bound);
}

}  // namespace frame
