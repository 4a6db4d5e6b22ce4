// Error builders and the notes that name the function and the argument.
#include "errors.h"

#include <cstring>

#include "frame.h"
#include "ref.h"
#include "state.h"

namespace frame {

bool dimension_error(int min_ndim, int max_ndim, int ndim) {
    if (min_ndim == max_ndim)
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                     min_ndim, ndim);
    else
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d or %d, got %d)", min_ndim,
                     max_ndim, ndim);
    return false;
}

bool dtype_error() {
    PyErr_SetString(PyExc_ValueError, "Buffer dtype mismatch, expected 'double'");
    return false;
}

bool empty_length_error(Py_ssize_t n, Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "np.empty(%zd) gave a vector of length %zd", n, got);
    return false;
}

bool changed_error(const char* name) {
    PyErr_Format(PyExc_ValueError,
                 "Argument '%s' changed during the call (resized, re-typed or its memory "
                 "replaced by code that ran while the call converted its arguments).",
                 name);
    return false;
}

bool length_error(const Function& f, int check) {
    const Check& c = f.checks[check];
    const char* param = f.params[c.arg];
    if (c.at_least)
        PyErr_Format(PyExc_ValueError, "Expected %s of length at least %zd.", param, c.length);
    else if (c.prefix)
        PyErr_Format(PyExc_ValueError, "%s%zd.", c.prefix, c.length);
    else
        PyErr_Format(PyExc_ValueError, "Expected %s of length %zd.", param, c.length);
    return false;
}

namespace {

// exc.add_note(text); a failure of add_note itself leaves the exception as
// it was.
void add_note(PyObject* exc, PyObject* text) {
    Ref result = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", text));
    if (!result) PyErr_Clear();
}

// The argument had two or more dimensions: the dimension error of a vector.
bool is_series_error(PyObject* exc) {
    if (!PyErr_GivenExceptionMatches(exc, PyExc_ValueError)) return false;
    Ref text = Ref::steal(PyObject_Str(exc));
    if (!text) {
        PyErr_Clear();
        return false;
    }
    const char* s = PyUnicode_AsUTF8(text.get());
    if (!s) {
        PyErr_Clear();
        return false;
    }
    const char* expected = "Buffer has wrong number of dimensions (expected 1, got ";
    const size_t n = strlen(expected);
    return strncmp(s, expected, n) == 0 && s[n] >= '2' && s[n] <= '9';
}

}  // namespace

bool argument_note(const char* doing, const char* param, const char* function) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return false;
    const Module& m = *state.def;
    const char* shown = m.shown ? m.shown : m.dotted;
    if (Ref note = Ref::steal(PyUnicode_FromFormat("while %s argument '%s' of %s.%s()", doing,
                                                   param, shown, function)))
        add_note(exc, note.get());
    else
        PyErr_Clear();
    if (m.series && is_series_error(exc)) {
        if (Ref note = Ref::steal(PyUnicode_FromFormat(
                "%s() takes one step; tarnlet.runs.%s() runs a whole series of inputs, one row "
                "per step, in one call",
                function, m.series)))
            add_note(exc, note.get());
        else
            PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
    return false;
}

}  // namespace frame
