// Holders of converted arguments and results, and the conversions that fill
// them: at the Python level through the module attribute `np`, or through
// the NumPy C API where that gives the same objects (see call.cpp).
#include "vectors.h"

#include <cstdint>
#include <cstring>

#include "errors.h"
#include "state.h"

namespace frame {

namespace {

bool is_double_format(const char* format) {
    if (!format) return false;
#if PY_BIG_ENDIAN
    const char native_order = '>';
#else
    const char native_order = '<';
#endif
    if (format[0] == '@' || format[0] == '=' || format[0] == native_order) ++format;
    return std::strcmp(format, "d") == 0;
}

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

// A read-only buffer request whose release no early return can miss.
struct Buffer {
    Py_buffer view;
    bool held = false;
    ~Buffer() {
        if (held) PyBuffer_Release(&view);
    }
    bool get(PyObject* obj) {
        held = PyObject_GetBuffer(obj, &view, PyBUF_ND | PyBUF_FORMAT) == 0;
        return held;
    }
};

// 1 when np.ascontiguousarray(arg, dtype=np.float64) would return arg
// itself and `np` is the numpy module bound at import, so arg is used in
// place; 0 when it is converted; -1 when the look-up of `np` raised. `np`
// is looked up first: the look-up may run Python code (a key of the
// module's dictionary comparing itself) that changes arg.
int in_place(Call& call, PyObject* arg, int min_ndim, int max_ndim) {
    const int original = call.numpy_is_original();
    if (original <= 0) return original;
    return is_ready(arg, min_ndim, max_ndim);
}

// np.ascontiguousarray(arg, dtype=np.float64) at the Python level; memory
// the result borrows is made safe before any other Python code runs.
Ref converted(Call& call, PyObject* arg) {
    Ref result = call_numpy(call.module, state.names.ascontiguousarray, arg);
    call.python_ran();
    if (!result) return result;
    PyObject* kept = result.get();
    if (!call.pins.input(kept)) return Ref();
    return kept == result.get() ? std::move(result) : Ref::borrow(kept);
}

}  // namespace

int Call::look_up_numpy() {
    ++epoch_;  // a key of the module's dictionary may compare itself in Python
    PyObject* np = PyDict_GetItemWithError(PyModule_GetDict(module), state.names.np);
    if (!np && PyErr_Occurred()) return -1;
    np_ = np == state.numpy;
    return np_;
}

bool Array::take_shape(const Py_buffer& view) {
    if (view.ndim < min_ndim_ || view.ndim > max_ndim_) {
        refused_ndim_ = view.ndim;
        return dimension_error(min_ndim_, max_ndim_, view.ndim);
    }
    if (!is_double_format(view.format) || view.itemsize != 8) return dtype_error();
    ndim_ = view.ndim;
    for (int d = 0; d < ndim_; ++d) shape_[d] = view.shape[d];
    data_ = static_cast<double*>(view.buf);
    return true;
}

void Array::release_view() {
    if (!view_) return;
    PyBuffer_Release(view_);
    PyMem_Free(view_);
    view_ = nullptr;
}

bool Array::hold_other(Call& call, Ref obj, int min_ndim, int max_ndim) {
    min_ndim_ = static_cast<signed char>(min_ndim);
    max_ndim_ = static_cast<signed char>(max_ndim);
    PyObject* o = obj.get();
    // An object that is not an array, or an array subclass with a __buffer__
    // of its own: the buffer it exports is what counts (and taking it may
    // run Python code).
    const bool own_buffer = PyArray_Check(o) && exports_as_numpy(o);
    if (!own_buffer) call.python_ran();
    Buffer buffer;
    if (!buffer.get(o) || !take_shape(buffer.view)) return false;
    if (own_buffer && is_aligned(data_)) {
        obj_ = std::move(obj);
        read(call);
        return true;
    }
    // Exported by other code, or misaligned: the kernels read an aligned copy
    // of our own, taken before any other Python code can run.
    npy_intp dims[3];
    for (int d = 0; d < ndim_; ++d) dims[d] = shape_[d];
    obj_ = Ref::steal(PyArray_SimpleNew(ndim_, dims, NPY_DOUBLE));
    if (!obj_) return false;
    std::memcpy(PyArray_DATA(as_array(obj_.get())), data_, buffer.view.len);
    read(call);
    return true;
}

bool Array::hold_result(Call& call, Ref obj, Py_ssize_t n) {
    result_ = true;
    PyObject* o = obj.get();
    const bool own_buffer = PyArray_Check(o) && exports_as_numpy(o);
    if (!own_buffer) call.python_ran();
    view_ = static_cast<Py_buffer*>(PyMem_Malloc(sizeof(Py_buffer)));
    if (!view_) {
        PyErr_NoMemory();
        return false;
    }
    if (PyObject_GetBuffer(o, view_, PyBUF_ND | PyBUF_FORMAT | PyBUF_WRITABLE) < 0) {
        PyMem_Free(view_);
        view_ = nullptr;
        return false;
    }
    if (!take_shape(*view_)) return false;
    if (shape_[0] != n) return empty_length_error(n, shape_[0]);
    obj_ = std::move(obj);
    if (own_buffer) {
        release_view();  // its data and shape are read again in settle()
        if (!call.pins.output(o)) return false;
        read(call);
    } else {
        settled_ = true;  // the exporter keeps the memory while the view is held
    }
    return true;
}

bool Array::hold_new(Py_ssize_t n) {
    npy_intp dims[] = {n};
    obj_ = Ref::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
    if (!obj_) return false;
    result_ = settled_ = true;
    ndim_ = 1;
    shape_[0] = n;
    data_ = static_cast<double*>(PyArray_DATA(as_array(obj_.get())));
    return true;
}

void Array::hold_scratch(double* data, Py_ssize_t n) {
    result_ = settled_ = true;
    ndim_ = 1;
    shape_[0] = n;
    data_ = data;
}

bool Array::settle_again(const Call& call, const char* name) {
    PyArrayObject* a = as_array(obj_.get());
    const int min_ndim = result_ ? 1 : min_ndim_, max_ndim = result_ ? 1 : max_ndim_;
    const Py_ssize_t n = shape_[0];
    if (!is_usable(a, min_ndim, max_ndim, result_) || (result_ && !PyArray_ISWRITEABLE(a)) ||
        !call.memory_held(a) || (result_ && PyArray_DIM(a, 0) != n))
        return changed_error(name);
    read(call);
    return true;
}

Ref global(PyObject* module, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (!value && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref::borrow(value);
}

Ref contiguous(Call& call, PyObject* arg, int min_ndim, int max_ndim) {
    const int use = in_place(call, arg, min_ndim, max_ndim);
    if (use < 0) return Ref();
    return use ? Ref::borrow(arg) : converted(call, arg);
}

bool convert(Call& call, PyObject* arg, Array& a, int min_ndim, int max_ndim) {
    const int use = in_place(call, arg, min_ndim, max_ndim);
    if (use < 0) return false;
    if (use) {
        a.hold_usable(call, Ref::borrow(arg), min_ndim, max_ndim);
        return true;
    }
    Ref obj = converted(call, arg);
    return obj && a.hold(call, std::move(obj), min_ndim, max_ndim);
}

bool allocate(Call& call, Py_ssize_t n, Array& out, double* scratch) {
    const int original = call.numpy_is_original();
    if (original < 0) return false;
    if (original) {
        if (!scratch) return out.hold_new(n);
        out.hold_scratch(scratch, n);
        return true;
    }
    Ref length = Ref::steal(PyLong_FromSsize_t(n));
    if (!length) return false;
    Ref y = call_numpy(call.module, state.names.empty, length.get());
    call.python_ran();
    return y && out.hold_result(call, std::move(y), n);
}

PyObject* finish(Call& call, Array& out) {
    Ref y = out.take_object();
    const int original = call.numpy_is_original();
    if (original < 0) return nullptr;
    if (original) return y.release();
    Ref np = global(call.module, state.names.np);
    if (!np) return nullptr;
    Ref asarray = Ref::steal(PyObject_GetAttr(np.get(), state.names.asarray));
    if (!asarray) return nullptr;
    return PyObject_CallOneArg(asarray.get(), y.get());
}

}  // namespace frame
