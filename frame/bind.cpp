// Argument binding: positional and keyword arguments to the named
// parameters, with the TypeError texts of every bad call.
#include "errors.h"
#include "state.h"

namespace frame {

namespace {

FRAME_COLD bool count_error(const Function& f, Py_ssize_t given) {
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

}  // namespace

bool bind(const Function& f, int index, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** bound) {
    const int n = f.nparams();
    if (nargs > n) return count_error(f, nargs);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs != n) return count_error(f, nargs);
        for (int i = 0; i < n; ++i) bound[i] = args[i];
        return true;
    }
    for (int i = 0; i < n; ++i) bound[i] = i < nargs ? args[i] : nullptr;
    // Every keyword is looked at before an unfilled parameter is reported.
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

}  // namespace frame
