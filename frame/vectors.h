// Arrays held for the duration of a call, and the conversion of arguments
// into them.
//
// Python code can run in the middle of a call: an argument's __array__,
// __float__, __index__ or __buffer__, a function of a caller's `np`, or a
// key of the module's dictionary that compares itself with a name looked
// up. It may change an argument converted earlier:
// ndarray.resize(refcheck=False) and ndarray.__setstate__ replace an
// array's memory, shape and dtype even while a buffer export of it is
// held, and free the memory of every view into it. So a holder keeps the
// converted object and reads its data pointer and shape only in settle(),
// which a call runs after its last Python code, right before the kernel;
// settle() fails with a ValueError when the object is no longer an array
// the kernel may read. Memory that an array does not own is kept by the
// call's pins (owners.h).
#pragma once

#include <cstdint>

#include "numpy_api.h"
#include "owners.h"
#include "ref.h"

namespace frame {

inline PyArrayObject* as_array(PyObject* o) { return reinterpret_cast<PyArrayObject*>(o); }

// A C-contiguous, native float64 ndarray (subclasses included) of min_ndim
// to max_ndim dimensions, aligned unless `misaligned_ok`.
inline bool is_usable(PyArrayObject* a, int min_ndim, int max_ndim, bool misaligned_ok = false) {
    const int ndim = PyArray_NDIM(a);
    return ndim >= min_ndim && ndim <= max_ndim && PyArray_TYPE(a) == NPY_DOUBLE &&
           PyArray_ISNOTSWAPPED(a) && PyArray_IS_C_CONTIGUOUS(a) &&
           (misaligned_ok || PyArray_ISALIGNED(a));
}

inline bool is_aligned(const void* p) {
    return reinterpret_cast<uintptr_t>(p) % alignof(double) == 0;
}

// What np.ascontiguousarray(arg, dtype=np.float64) returns unchanged.
inline bool is_ready(PyObject* arg, int min_ndim = 1, int max_ndim = 1) {
    return PyArray_CheckExact(arg) && is_usable(as_array(arg), min_ndim, max_ndim);
}

// True when the type exports an ndarray's buffer as NumPy does (no Python
// __buffer__ of a subclass's own).
inline bool exports_as_numpy(PyObject* o) {
    const PyBufferProcs* mine = Py_TYPE(o)->tp_as_buffer;
    return mine && mine->bf_getbuffer == PyArray_Type.tp_as_buffer->bf_getbuffer;
}

// One call's view of the module. Whether `np` is still the numpy module is
// looked up once and forgotten whenever Python code may have run; epoch()
// counts the places where Python code may have run. The pins keep what the
// call's arrays borrow their memory from until the call returns.
class Call {
public:
    explicit Call(PyObject* module) : module(module) {}
    PyObject* const module;
    Pins pins;

    bool memory_held(PyArrayObject* a) const { return pins.held(a); }

    // 1: `np` is the numpy module bound at import; 0: it is not; -1: the
    // look-up raised.
    int numpy_is_original() {
        if (np_ < 0) return look_up_numpy();
        return np_;
    }
    void python_ran() {
        np_ = -1;
        ++epoch_;
    }
    unsigned epoch() const { return epoch_; }

private:
    int look_up_numpy();
    int np_ = -1;
    unsigned epoch_ = 0;
};

// A converted argument or a result, held for the duration of a call.
class Array {
public:
    Array() = default;
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    ~Array() {
        if (view_) release_view();
    }

    // Holds a converted argument as a C-contiguous float64 array of min_ndim
    // to max_ndim dimensions: a usable ndarray as it is; anything else is
    // checked through the buffer protocol (the dimension and dtype errors)
    // and held as an ndarray, or copied into an aligned ndarray of our own
    // when it is not an ndarray or misaligned.
    bool hold(Call& call, Ref obj, int min_ndim, int max_ndim) {
        PyObject* o = obj.get();
        if (PyArray_Check(o) && is_usable(as_array(o), min_ndim, max_ndim)) {
            hold_usable(call, std::move(obj), min_ndim, max_ndim);
            return true;
        }
        return hold_other(call, std::move(obj), min_ndim, max_ndim);
    }
    // Holds an ndarray that is_usable() accepted just now.
    void hold_usable(const Call& call, Ref obj, int min_ndim, int max_ndim) {
        obj_ = std::move(obj);
        min_ndim_ = static_cast<signed char>(min_ndim);
        max_ndim_ = static_cast<signed char>(max_ndim);
        read(call);
    }
    // Holds np.empty(n)'s result: a writable 1-D float64 buffer of length n.
    bool hold_result(Call& call, Ref obj, Py_ssize_t n);
    // Holds a new ndarray of our own of n doubles.
    bool hold_new(Py_ssize_t n);
    // Memory of the caller's.
    void hold_scratch(double* data, Py_ssize_t n);

    // Makes sure the data pointer and shape are those of the held object
    // now: run after the last Python code of the call. When Python code may
    // have run since the object was read, it is checked again in full; it
    // fails with a ValueError naming `name` when it is no longer an array
    // the kernel may read.
    bool settle(const Call& call, const char* name) {
        if (settled_ || (call.epoch() == epoch_ && call.memory_held(as_array(obj_.get()))))
            return true;
        return settle_again(call, name);
    }

    double* data() const { return data_; }
    int ndim() const { return ndim_; }
    Py_ssize_t size() const { return ndim_ == 0 ? 0 : shape_[0]; }
    // A vector is one row; an array of two or more dimensions has rows of
    // its last dimension's length, in matrices of its last two.
    Py_ssize_t rows() const { return ndim_ >= 2 ? shape_[ndim_ - 2] : 1; }
    Py_ssize_t cols() const { return ndim_ == 0 ? 0 : shape_[ndim_ - 1]; }
    Py_ssize_t matrices() const { return ndim_ == 3 ? shape_[0] : 1; }
    Py_ssize_t bytes() const {
        Py_ssize_t n = sizeof(double);
        for (int d = 0; d < ndim_; ++d) n *= shape_[d];
        return n;
    }
    // The number of dimensions that made hold() refuse the object (0: none).
    int refused_ndim() const { return refused_ndim_; }
    PyObject* object() const { return obj_.get(); }
    Ref take_object() {
        if (view_) release_view();
        return std::move(obj_);
    }

private:
    // Data pointer and shape from the held ndarray, as of the call's epoch.
    void read(const Call& call) {
        PyArrayObject* a = as_array(obj_.get());
        ndim_ = PyArray_NDIM(a);
        for (int d = 0; d < ndim_; ++d) shape_[d] = PyArray_DIM(a, d);
        data_ = static_cast<double*>(PyArray_DATA(a));
        epoch_ = call.epoch();
    }
    bool hold_other(Call& call, Ref obj, int min_ndim, int max_ndim);
    bool settle_again(const Call& call, const char* name);
    bool take_shape(const Py_buffer& view);
    void release_view();

    Ref obj_;
    Py_buffer* view_ = nullptr;  // a held buffer of a non-ndarray result
    unsigned epoch_ = 0;         // the call's epoch when the object was read
    bool result_ = false;        // a result: written, never read; may be misaligned
    bool settled_ = false;       // data and shape need no further reading
    signed char min_ndim_ = 1, max_ndim_ = 1;
    int refused_ndim_ = 0;
    int ndim_ = 0;
    Py_ssize_t shape_[3];
    double* data_ = nullptr;
};

// The module attribute `name` as a function body sees its global; NameError
// when it is missing.
Ref global(PyObject* module, PyObject* name);

// np.ascontiguousarray(arg, dtype=np.float64), with `np` the module
// attribute, without the call when it would return `arg` itself.
Ref contiguous(Call& call, PyObject* arg, int min_ndim = 1, int max_ndim = 1);

// contiguous(), then held as an array of min_ndim to max_ndim dimensions.
bool convert(Call& call, PyObject* arg, Array& a, int min_ndim = 1, int max_ndim = 1);

// np.empty(n, dtype=np.float64) into `out`; into `scratch` instead when it
// is given and nothing could observe the difference.
bool allocate(Call& call, Py_ssize_t n, Array& out, double* scratch = nullptr);

// np.asarray(y), which is y itself.
PyObject* finish(Call& call, Array& out);

}  // namespace frame
