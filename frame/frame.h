// The module frame shared by every tarnlet extension module.
//
// A module describes itself in a table (constants, functions with their
// parameter names, length checks and kernels, aliases) and hands it to
// frame::init from its PyInit_ function. The frame does everything else:
// module creation and execution, argument binding and its TypeError texts,
// conversion of array arguments into read-only float64 vectors, length
// checks, result allocation and the explicit Euler step.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <span>

namespace frame {

inline constexpr int max_params = 8;

// A kernel receives the data pointers of the converted array arguments in
// parameter order and the result buffer. It never fails.
using Kernel = void (*)(const double* const* in, double* out);

// One length test of a converted argument. An exact test fails with
// "<prefix><length>." (prefix "Expected <param> of length " by default); an
// at-least test guards a parameter vector the kernel reads up to a fixed
// index and fails with "Expected <param> of length at least <length>.".
struct Check {
    int arg = -1;
    Py_ssize_t length = 0;
    bool at_least = false;
    const char* prefix = nullptr;
};

constexpr Check exact(int arg, Py_ssize_t length, const char* prefix = nullptr) {
    return {arg, length, false, prefix};
}
constexpr Check at_least(int arg, Py_ssize_t length) { return {arg, length, true, nullptr}; }

struct Function;
// A function body; `args` holds one borrowed reference per parameter.
using Impl = PyObject* (*)(PyObject* module, const Function& f, PyObject* const* args);

struct Function {
    const char* name = nullptr;
    const char* params[max_params] = {};
    // Length tests in the order they are applied, after every conversion.
    Check checks[max_params] = {};
    // Length of the result vector of a kernel function.
    Py_ssize_t result = 0;
    // Allocate the result before the length tests instead of after them.
    bool allocate_first = false;
    Kernel kernel = nullptr;
    // A body of its own; a function without one converts every argument,
    // applies the checks and runs the kernel into a fresh result.
    Impl impl = nullptr;

    constexpr int nparams() const {
        int n = 0;
        while (n < max_params && params[n]) ++n;
        return n;
    }
};

// The explicit Euler step over a derivatives function: the same parameters
// followed by `dt`; it calls the module attribute `derivatives` as found at
// call time and returns x + dt*dx.
PyObject* euler_step_impl(PyObject* module, const Function& f, PyObject* const* args);

constexpr Function euler_step_of(const Function& derivatives) {
    Function f{};
    f.name = "euler_step";
    int n = derivatives.nparams();
    for (int i = 0; i < n; ++i) f.params[i] = derivatives.params[i];
    f.params[n] = "dt";
    f.impl = euler_step_impl;
    return f;
}

// initialize_state(xinit): a new state vector holding the N values of xinit
// unchanged.
template <int N>
constexpr Function initialize_state(bool allocate_first = false) {
    Function f{};
    f.name = "initialize_state";
    f.params[0] = "xinit";
    f.checks[0] = exact(0, N);
    f.result = N;
    f.allocate_first = allocate_first;
    f.kernel = [](const double* const* in, double* x0) {
        std::memcpy(x0, in[0], N * sizeof(double));
    };
    return f;
}

struct Constant {
    const char* name;
    long value;
};

struct Alias {
    const char* name;
    const char* target;
};

struct Module {
    const char* name;    // short name, as in "Module 'combiner' has already been imported."
    const char* dotted;  // full dotted name
    std::span<const Constant> constants;
    std::span<const Function> functions;
    std::span<const Alias> aliases;
};

// Returns the multi-phase module definition for `m`; call it from PyInit_.
PyObject* init(const Module& m);

}  // namespace frame

#define TARNLET_MODULE(short_name, table) \
    PyMODINIT_FUNC PyInit_##short_name(void) { return frame::init(table); }
