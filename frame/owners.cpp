// Pins and copies that keep the memory of a call's array arguments (see
// owners.h).
#include "owners.h"

#include "errors.h"
#include "ref.h"
#include "state.h"

namespace frame {

namespace {

// The bytes [lo, hi) that the elements of a strided block of memory span;
// false for an empty one.
bool span(const char* data, int ndim, const Py_ssize_t* shape, const Py_ssize_t* strides,
          Py_ssize_t itemsize, uintptr_t& lo, uintptr_t& hi) {
    lo = hi = reinterpret_cast<uintptr_t>(data);
    for (int d = 0; d < ndim; ++d) {
        const Py_ssize_t n = shape[d];
        if (n == 0) return false;
        const Py_ssize_t reach = (strides ? strides[d] : 0) * (n - 1);
        if (reach < 0)
            lo -= static_cast<uintptr_t>(-reach);
        else
            hi += static_cast<uintptr_t>(reach);
    }
    hi += static_cast<uintptr_t>(itemsize);
    return true;
}

bool array_span(PyArrayObject* a, uintptr_t& lo, uintptr_t& hi) {
    return span(PyArray_BYTES(a), PyArray_NDIM(a), PyArray_DIMS(a), PyArray_STRIDES(a),
                PyArray_ITEMSIZE(a), lo, hi);
}

// A buffer export: contiguous (len bytes from buf) or strided.
bool view_spans(const Py_buffer& v, uintptr_t lo, uintptr_t hi) {
    uintptr_t vlo, vhi;
    if (v.suboffsets) return false;
    if (v.ndim == 0 || !v.shape) {
        vlo = reinterpret_cast<uintptr_t>(v.buf);
        vhi = vlo + static_cast<uintptr_t>(v.len);
    } else if (!span(static_cast<const char*>(v.buf), v.ndim, v.shape, v.strides, v.itemsize, vlo,
                     vhi)) {
        return false;
    }
    return lo >= vlo && hi <= vhi;
}

// Owners whose memory stays put while a buffer export of them is held.
bool pins_itself(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    return t == &PyByteArray_Type || (state.mmap_type && t == state.mmap_type) ||
           (state.array_type && t == state.array_type);
}

FRAME_COLD bool released_error() {
    PyErr_SetString(PyExc_ValueError,
                    "The array has no memory: it views a memoryview that was released.");
    return false;
}

}  // namespace

const Py_buffer* Pins::pin_of(PyObject* o) const {
    for (int i = 0; i < n_; ++i)
        if (views_[i].obj == o) return &views_[i];
    return nullptr;
}

Pins::Owner Pins::walk(PyArrayObject* a, PyObject** unpinned) const {
    uintptr_t lo, hi;
    if (!array_span(a, lo, hi)) return held_;  // no element is ever read or written
    PyObject* base = PyArray_BASE(a);
    while (base) {
        if (PyArray_Check(base)) {
            uintptr_t base_lo, base_hi;
            if (!array_span(reinterpret_cast<PyArrayObject*>(base), base_lo, base_hi) ||
                lo < base_lo || hi > base_hi)
                return freed_;
            base = PyArray_BASE(reinterpret_cast<PyArrayObject*>(base));
            continue;
        }
        if (PyBytes_CheckExact(base)) return held_;
        const bool memoryview = PyMemoryView_Check(base);
        if (!memoryview && !pins_itself(base)) return foreign_;
        const Py_buffer* pin = pin_of(base);
        if (!pin) {
            if (unpinned) *unpinned = base;
            return unpinned_;
        }
        if (!view_spans(*pin, lo, hi)) return freed_;
        if (!memoryview) return held_;
        // Behind a pinned memoryview: the object it exports, which the
        // memoryview's own export keeps from resizing or closing.
        base = PyMemoryView_GET_BUFFER(base)->obj;
        if (!base) return foreign_;  // raw memory of unknown lifetime
        if (!PyArray_Check(base) && !PyBytes_CheckExact(base) && !pins_itself(base))
            return foreign_;
        if (!PyArray_Check(base)) return held_;
    }
    return held_;
}

bool Pins::protect(PyObject*& arg, bool input) {
    for (;;) {
        PyObject* unpinned = nullptr;
        switch (walk(reinterpret_cast<PyArrayObject*>(arg), &unpinned)) {
            case held_:
            case freed_:  // settle() refuses it before any kernel reads it
                return true;
            case foreign_:
                return !input || copy(arg);
            case unpinned_:
                break;
        }
        if (n_ == max_pins) return !input || copy(arg);
        // mmap, bytearray, array.array and memoryview export from C: no
        // Python code runs here.
        if (PyObject_GetBuffer(unpinned, &views_[n_], PyBUF_FULL_RO) < 0) {
            if (!PyMemoryView_Check(unpinned)) return false;
            PyErr_Clear();  // "operation forbidden on released memoryview object"
            return released_error();
        }
        // The export's obj is what pin_of() compares: a memoryview's own
        // export names the memoryview.
        if (views_[n_].obj != unpinned) {
            PyBuffer_Release(&views_[n_]);
            return !input || copy(arg);
        }
        ++n_;
    }
}

bool Pins::copy(PyObject*& arg) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(arg);
    PyArray_Descr* descr = PyArray_DESCR(a);
    Py_INCREF(descr);
    // A base-class array: copying a subclass would run its __array_finalize__.
    Ref c = Ref::steal(PyArray_FromArray(
        a, descr, NPY_ARRAY_ENSURECOPY | NPY_ARRAY_ENSUREARRAY | NPY_ARRAY_CARRAY));
    if (!c) return false;
    if (!copies_ && !(copies_ = PyList_New(0))) return false;
    if (PyList_Append(copies_, c.get()) < 0) return false;
    arg = c.get();  // the list keeps it
    return true;
}

void Pins::release() {
    for (int i = 0; i < n_; ++i) PyBuffer_Release(&views_[i]);
    n_ = 0;
    Py_CLEAR(copies_);
}

}  // namespace frame
