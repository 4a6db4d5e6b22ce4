// Owned references and held buffers as small RAII types, so that every early
// return releases what was acquired.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace frame {

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* o) { return Ref(o); }
    static Ref borrow(PyObject* o) { return Ref(Py_XNewRef(o)); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(p_, std::exchange(other.p_, nullptr)));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

// A one-dimensional float64 vector held for the duration of a call: a buffer
// acquired from a converted argument (released on destruction), an ndarray
// the frame checked itself (its data and length read when used, so they
// are current after any Python code has run), or scratch memory.
class Vector {
public:
    Vector() = default;
    Vector(const Vector&) = delete;
    Vector& operator=(const Vector&) = delete;
    ~Vector() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Acquires `obj` as a C-contiguous 1-D buffer of doubles; on failure
    // sets an exception, holds nothing and returns false.
    bool acquire(Ref obj, bool writable);
    // Holds a 1-D, aligned, C-contiguous, native float64 ndarray.
    void hold_array(Ref array) {
        release();
        obj_ = std::move(array);
        array_ = true;
    }
    // Uses memory of the caller's.
    void hold_scratch(double* data, Py_ssize_t size) {
        release();
        data_ = data;
        size_ = size;
    }
    void release() {
        if (held_) PyBuffer_Release(&view_);
        held_ = array_ = false;
        obj_ = Ref();
        data_ = nullptr;
        size_ = 0;
    }

    double* data() const;
    Py_ssize_t size() const;
    PyObject* object() const { return obj_.get(); }
    Ref take_object() {
        Ref obj = Ref::borrow(obj_.get());
        release();
        return obj;
    }

private:
    Ref obj_;
    Py_buffer view_;  // valid while held_
    bool held_ = false;
    bool array_ = false;
    double* data_ = nullptr;
    Py_ssize_t size_ = 0;
};

// A C-contiguous float64 array of one or two dimensions held for the
// duration of a call, read-only; a misaligned buffer is held as an aligned
// copy.
class Matrix {
public:
    Matrix() = default;
    Matrix(const Matrix&) = delete;
    Matrix& operator=(const Matrix&) = delete;
    ~Matrix() {
        if (held_) PyBuffer_Release(&view_);
    }

    // On failure sets an exception and returns false.
    bool acquire(Ref obj, int min_ndim, int max_ndim);

    const double* data() const { return data_; }
    int ndim() const { return ndim_; }
    Py_ssize_t rows() const { return rows_; }  // 1 for a vector
    Py_ssize_t cols() const { return cols_; }

private:
    Ref obj_, copy_;
    Py_buffer view_;  // valid while held_
    bool held_ = false;
    const double* data_ = nullptr;
    int ndim_ = 0;
    Py_ssize_t rows_ = 0, cols_ = 0;
};

}  // namespace frame
