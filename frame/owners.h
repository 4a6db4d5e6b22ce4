// Who holds the memory of a call's array arguments until the call returns.
//
// An array may borrow its memory: from another array (a view), from a
// memoryview, or from any object that exports a buffer or an array
// interface. Python code that runs during a call (an argument's __array__,
// __float__, __index__ or __buffer__, a caller's `np`, a key of the
// module's dictionary comparing itself) can free such memory under the
// argument: resize or __setstate__ the array that owns it, release a
// memoryview, close an mmap, drop the last reference to a helper object.
// So a call makes the memory of every array argument safe before any Python
// code of its own runs, and of every array that a conversion or np.empty
// gives it as soon as it gets it:
//   - memory that an array owns (the argument's own, or the end of a chain
//     of array bases) is checked again where Python code may have run: a
//     base that no longer spans a view means its memory was freed
//     (Array::settle, vectors.h);
//   - the memory of bytes cannot change while the chain references them;
//   - a memoryview on the chain, and an mmap, bytearray or array.array that
//     owns the memory, is pinned: the call holds a buffer export of it, so
//     the memoryview cannot be released, the mmap not closed and the
//     bytearray or array.array not resized until the call returns (each of
//     them refuses with a BufferError); behind a pinned memoryview, the
//     object it exports must be one of these or an array (walked on);
//   - any other owner (the helper object behind as_strided and
//     sliding_window_view, an object exporting __array_interface__ or a
//     Python __buffer__, ctypes memory) is not trusted: an input is copied
//     into an array of the call's own before any Python code runs; memory
//     to be written (a run's out= arrays, a caller's np.empty result) is
//     refused when it is checked.
#pragma once

#include "numpy_api.h"

namespace frame {

class Pins {
public:
    Pins() = default;
    Pins(const Pins&) = delete;
    Pins& operator=(const Pins&) = delete;
    ~Pins() {
        if (n_ || copies_) release();
    }

    // Makes the memory of an input safe: pins what it can; where the owner
    // cannot be trusted, `arg` is replaced by a copy that the pins keep
    // (borrowed by `arg`). False with an exception set: a memoryview on the
    // chain was released before the call, or the copy failed.
    bool input(PyObject*& arg) { return !borrows(arg) || protect(arg, true); }
    // The same for memory that will be written: nothing is copied; an
    // untrusted owner makes held() false.
    bool output(PyObject* arg) { return !borrows(arg) || protect(arg, false); }

    // True when the memory of `a` is still its own: every array base spans
    // it, and the chain ends in memory that an array owns, in bytes or in
    // an object these pins hold.
    bool held(PyArrayObject* a) const { return !PyArray_BASE(a) || walk(a, nullptr) == held_; }

private:
    enum Owner { held_, unpinned_, freed_, foreign_ };

    // An array whose chain of bases ends in something other than an array:
    // the only memory the pins have to look after (a chain of arrays is
    // checked again by held()).
    static bool borrows(PyObject* arg) {
        if (!PyArray_Check(arg)) return false;
        PyObject* base = PyArray_BASE(reinterpret_cast<PyArrayObject*>(arg));
        while (base && PyArray_CheckExact(base))
            base = PyArray_BASE(reinterpret_cast<PyArrayObject*>(base));
        return base != nullptr;
    }
    static constexpr int max_pins = 16;

    Owner walk(PyArrayObject* a, PyObject** unpinned) const;
    const Py_buffer* pin_of(PyObject* o) const;
    bool protect(PyObject*& arg, bool input);
    bool copy(PyObject*& arg);
    void release();

    Py_buffer views_[max_pins];
    int n_ = 0;
    PyObject* copies_ = nullptr;  // a list of the copies made, when there are any
};

}  // namespace frame
