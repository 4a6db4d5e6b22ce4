// What the frame records at import: written by module creation and
// execution only, read by calls.
#pragma once

#include <cstdint>

#include "frame.h"

namespace frame {

struct Names {
    PyObject* np;
    PyObject* ascontiguousarray;
    PyObject* float64;
    PyObject* empty;
    PyObject* asarray;
    PyObject* derivatives;
    PyObject* dtype_kwnames;  // ("dtype",)
};

struct State {
    const Module* def = nullptr;
    // An interpreter that imported the module was finalised in this process.
    bool finalized = false;
    int64_t interpreter = -1;
    PyObject* module = nullptr;        // the one module object of this process
    PyObject* executed_for = nullptr;  // the module object execution completed for
    PyObject* numpy = nullptr;         // the numpy module bound as `np` at import
    // mmap.mmap and array.array: owners whose memory a buffer export pins
    // (owners.h); null when their module could not be imported.
    PyTypeObject* mmap_type = nullptr;
    PyTypeObject* array_type = nullptr;
    PyObject* functions[max_functions] = {};
    PyObject* params[max_functions][max_params] = {};  // interned parameter names
    Names names{};
};

extern State state;

// Binds the arguments of a vectorcall to f's parameters, one borrowed
// reference per parameter in `bound`; raises TypeError on a bad call.
bool bind(const Function& f, int index, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** bound);

PyObject* call(int index, PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
               PyObject* kwnames);

}  // namespace frame
