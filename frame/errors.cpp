// Error builders and the notes that name the function and the argument.
#include "errors.h"

#include <cstdarg>

#include "frame.h"
#include "ref.h"
#include "state.h"

namespace frame {

bool dimension_error(int min_ndim, int max_ndim, int ndim) {
    if (min_ndim == max_ndim)
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", min_ndim, ndim);
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

bool at_least_error(const char* name, Py_ssize_t n) {
    PyErr_Format(PyExc_ValueError, "Expected %s of length at least %zd.", name, n);
    return false;
}

bool length_error(const Function& f, int check, int ndim) {
    const Check& c = f.checks[check];
    const char* param = f.params[c.arg];
    switch (c.kind) {
        case Check::at_least:
            return at_least_error(param, c.length);
        case Check::per_row:
            PyErr_Format(PyExc_ValueError,
                         "Expected %s of length at least %zd, or one such row per row of %s.",
                         param, c.length, f.params[c.other]);
            return false;
        case Check::some_rows:
            if (c.length == 1)
                PyErr_Format(PyExc_ValueError, "Expected %s with at least one row.", param);
            else
                PyErr_Format(PyExc_ValueError, "Expected %s with at least %zd rows.", param,
                             c.length);
            return false;
        case Check::columns:
            if (ndim >= 2) {
                PyErr_Format(PyExc_ValueError, "Expected %s with %zd columns.", param, c.length);
                return false;
            }
            break;
        case Check::exact:
            if (c.prefix) {
                PyErr_Format(PyExc_ValueError, "%s%zd.", c.prefix, c.length);
                return false;
            }
            break;
    }
    PyErr_Format(PyExc_ValueError, "Expected %s of length %zd.", param, c.length);
    return false;
}

namespace {

// exc.add_note(the formatted text); a failure to build or add the note
// leaves the exception as it was.
void add_note(PyObject* exc, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Ref text = Ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    Ref result = text ? Ref::steal(PyObject_CallMethod(exc, "add_note", "O", text.get())) : Ref();
    if (!result) PyErr_Clear();
}

}  // namespace

bool argument_note(const char* doing, const char* param, const char* function, bool series) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return false;
    const Module& m = *state.def;
    add_note(exc, "while %s argument '%s' of %s.%s()", doing, param, m.shown ? m.shown : m.dotted,
             function);
    if (series && m.series)
        add_note(exc,
                 "%s() takes one step; tarnlet.runs.%s() runs a whole series of inputs, one row "
                 "per step, in one call",
                 function, m.series);
    PyErr_SetRaisedException(exc);
    return false;
}

}  // namespace frame
