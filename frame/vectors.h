// Arrays held for the duration of a call, and the conversion of arguments
// into them.
//
// Python code can run in the middle of a call: an argument's __array__,
// __float__, __index__ or __buffer__, or a function of a caller's `np`. It
// may change an argument converted earlier: ndarray.resize(refcheck=False)
// and ndarray.__setstate__ replace an array's memory, shape and dtype even
// while a buffer export of it is held, and free the memory of every view
// into it. So a holder keeps the converted object and reads its data
// pointer and shape only in settle(), which a call runs after its last
// Python code, right before the kernel; settle() fails with a ValueError
// when the object is no longer an array the kernel may read.
#pragma once

#include "numpy_api.h"
#include "ref.h"

namespace frame {

inline PyArrayObject* as_array(PyObject* o) { return reinterpret_cast<PyArrayObject*>(o); }

// A C-contiguous, native float64 ndarray (subclasses included) of min_ndim
// to max_ndim dimensions, aligned unless `misaligned_ok`.
bool is_usable(PyArrayObject* a, int min_ndim, int max_ndim, bool misaligned_ok = false);

// What np.ascontiguousarray(arg, dtype=np.float64) returns unchanged.
inline bool is_ready(PyObject* arg, int min_ndim = 1, int max_ndim = 1) {
    return PyArray_CheckExact(arg) && is_usable(as_array(arg), min_ndim, max_ndim);
}

// False when the memory of `a` may have been freed under it: a view whose
// base array (or the array behind a memoryview base) no longer spans it.
// Any other base keeps its memory while it is exported.
bool memory_held(PyArrayObject* a);

// One call's view of the module. Whether `np` is still the numpy module is
// looked up once and forgotten whenever Python code may have run; epoch()
// counts the places where it may have.
class Call {
public:
    explicit Call(PyObject* module) : module(module) {}
    PyObject* const module;

    // 1: `np` is the numpy module bound at import; 0: it is not; -1: the
    // look-up raised.
    int numpy_is_original();
    void python_ran() {
        np_ = -1;
        ++epoch_;
    }
    unsigned epoch() const { return epoch_; }

private:
    int np_ = -1;
    unsigned epoch_ = 0;
};

// A converted argument or a result, held for the duration of a call.
class Array {
public:
    Array() = default;
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    ~Array() { release_view(); }

    // Holds a converted argument as a C-contiguous float64 array of min_ndim
    // to max_ndim dimensions: a usable ndarray as it is; anything else is
    // checked through the buffer protocol (the dimension and dtype errors)
    // and held as an ndarray, or copied into an aligned ndarray of our own
    // when it is not an ndarray or misaligned.
    bool hold(Call& call, Ref obj, int min_ndim, int max_ndim);
    // Holds np.empty(n)'s result: a writable 1-D float64 buffer of length n.
    bool hold_result(Call& call, Ref obj, Py_ssize_t n);
    // Holds a new ndarray of our own of n doubles.
    bool hold_new(Py_ssize_t n);
    // Memory of the caller's.
    void hold_scratch(double* data, Py_ssize_t n);

    // Reads the data pointer and shape from the held object; run after the
    // last Python code of the call. `name` is the argument's, for the error.
    bool settle(const char* name);

    double* data() const { return data_; }
    int ndim() const { return ndim_; }
    Py_ssize_t dim(int i) const { return shape_[i]; }
    Py_ssize_t size() const { return ndim_ == 0 ? 0 : shape_[0]; }
    Py_ssize_t rows() const { return ndim_ >= 2 ? shape_[0] : 1; }
    Py_ssize_t cols() const { return ndim_ == 0 ? 0 : shape_[ndim_ - 1]; }
    PyObject* object() const { return obj_.get(); }
    Ref take_object() {
        release_view();
        return std::move(obj_);
    }

private:
    void release_view() {
        if (view_held_) PyBuffer_Release(&view_);
        view_held_ = false;
    }
    bool take_shape(const Py_buffer& view);

    Ref obj_;
    Py_buffer view_;  // a non-ndarray result, valid while view_held_
    bool view_held_ = false;
    bool result_ = false;   // a result: written, never read; may be misaligned
    bool settled_ = false;  // data and shape need no further reading
    int min_ndim_ = 1, max_ndim_ = 1;
    int ndim_ = 0;
    Py_ssize_t shape_[3] = {};
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
