// The module frame shared by every tarnlet extension module.
//
// A module describes itself in a table (constants, functions with their
// parameter names, length checks and kernels, aliases) and hands it to
// frame::init from its PyInit_ function. A block's module is built from the
// block type (block.h) alone: BlockTables<B> and TARNLET_BLOCK_MODULE. The
// frame does everything else: module creation and execution, argument
// binding and its TypeError texts, conversion of array arguments into
// read-only float64 vectors, length checks, result allocation and the
// explicit Euler step.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstring>
#include <span>

#include "block.h"

namespace frame {

inline constexpr int max_params = 12;
inline constexpr int max_functions = 16;

// A kernel receives the data pointers of the converted array arguments in
// parameter order and the result buffer. It never fails.
using Kernel = void (*)(const double* const* in, double* out);

// One length test of a converted argument, on the length of its last
// dimension (a vector's length, a series' columns):
//   exact      fails with "<prefix><length>." (prefix "Expected <param> of
//              length " by default);
//   at_least   guards a parameter vector the kernel reads up to a fixed index:
//              "Expected <param> of length at least <length>.";
//   columns    a series of rows of `length` entries, or one such vector:
//              "Expected <param> with <length> columns." ("of length" for
//              a vector);
//   per_row    at least `length` entries, and as many rows as argument
//              `other` when it has rows: "Expected <param> of length at least
//              <length>, or one such row per row of <other>.";
//   some_rows  at least one row (`length` is 1): "Expected <param> with at
//              least one row.".
struct Check {
    enum Kind : unsigned char { exact, at_least, columns, per_row, some_rows };
    int arg = -1;
    Py_ssize_t length = 0;
    Kind kind = exact;
    const char* prefix = nullptr;
    int other = -1;
};

constexpr Check exact(int arg, Py_ssize_t length, const char* prefix = nullptr) {
    return {arg, length, Check::exact, prefix};
}
constexpr Check at_least(int arg, Py_ssize_t length) { return {arg, length, Check::at_least}; }

struct Function;
class Call;
// A function body; `args` holds one borrowed reference per parameter, with
// the memory of every array among them made safe (owners.h).
using Impl = PyObject* (*)(Call& call, const Function& f, PyObject* const* args);

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
    // The parameter that takes arrays to write into (an array, or a tuple
    // of arrays): their memory is pinned, never copied; -1: none.
    int written = -1;

    constexpr int nparams() const {
        int n = 0;
        while (n < max_params && params[n]) ++n;
        return n;
    }
};

struct Module {
    const char* name;    // short name, as in "Module 'combiner' has already been imported."
    const char* dotted;  // full dotted name
    std::span<const Constant> constants;
    std::span<const Function> functions;
    std::span<const Alias> aliases;
    // The module's name in error notes, when it is not `dotted`.
    const char* shown = nullptr;
    // The function of tarnlet.runs that runs this block over a whole series.
    const char* series = nullptr;
    // Runs last at import, after the attributes are bound; false with an
    // exception set fails the import.
    bool (*exec)(PyObject* module) = nullptr;
};

// Whether the frame's fixed-size tables hold a module.
constexpr bool fits(const Module& m) {
    if (m.functions.size() > max_functions) return false;
    for (const Function& f : m.functions)
        if (f.result > max_length) return false;
    return true;
}

// Returns the multi-phase module definition for `m`; call it from PyInit_.
PyObject* init(const Module& m);

// ---- tables built from block types -------------------------------------

// The kernels of a state-space block over one state, each on its own.
template <class B>
void outputs_of(const double* x, const double* u, const double* const* p, double* y) {
    B::outputs(B::share(x, u, p), x, u, p, y);
}

template <class B>
void derivatives_of(const double* x, const double* u, const double* const* p, double* dx) {
    B::derivatives(B::share(x, u, p), x, u, p, dx);
}

// The explicit Euler step over a derivatives function: the same parameters
// followed by `dt`; it calls the module attribute `derivatives` as found at
// call time and returns x + dt*dx.
PyObject* euler_step_impl(Call& call, const Function& f, PyObject* const* args);

// outputs(x, u, <params>) or derivatives(x, u, <params>): x and u of their
// exact lengths, then each parameter vector the kernel reads, at least as
// long as it reads.
template <class B>
constexpr Function kernel_function(const char* name, bool derivatives, bool allocate_first) {
    Function f{};
    f.name = name;
    f.params[0] = "x";
    f.params[1] = "u";
    int c = 0;
    f.checks[c++] = exact(0, B::NSTATES);
    f.checks[c++] = exact(1, B::NINPUTS);
    for (size_t i = 0; i < std::size(B::params); ++i) {
        const Param& p = B::params[i];
        f.params[2 + i] = p.name;
        const int reads = derivatives ? p.derivatives_reads : p.outputs_reads;
        if (reads > 0) f.checks[c++] = at_least(static_cast<int>(2 + i), reads);
    }
    f.result = derivatives ? B::NSTATES : B::NOUTPUTS;
    f.allocate_first = allocate_first;
    if (derivatives)
        f.kernel = [](const double* const* in, double* dx) {
            derivatives_of<B>(in[0], in[1], in + 2, dx);
        };
    else
        f.kernel = [](const double* const* in, double* y) {
            outputs_of<B>(in[0], in[1], in + 2, y);
        };
    return f;
}

// initialize_state(xinit): a new state vector holding the N values of xinit
// unchanged.
template <int N>
constexpr Function initialize_state(bool allocate_first) {
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

constexpr Function euler_step_of(const Function& derivatives) {
    Function f{};
    f.name = "euler_step";
    int n = derivatives.nparams();
    for (int i = 0; i < n; ++i) f.params[i] = derivatives.params[i];
    f.params[n] = "dt";
    f.impl = euler_step_impl;
    return f;
}

// initialize_state, outputs, derivatives and euler_step of a state-space
// block; `allocate_first`: results are allocated before the length checks.
template <StateSpaceBlock B>
constexpr std::array<Function, 4> state_space_functions(bool allocate_first = false) {
    constexpr int nparams = 2 + static_cast<int>(std::size(B::params));
    static_assert(nparams + 1 <= max_params);
    const Function derivatives = kernel_function<B>("derivatives", true, allocate_first);
    return {initialize_state<B::NSTATES>(allocate_first),
            kernel_function<B>("outputs", false, allocate_first), derivatives,
            euler_step_of(derivatives)};
}

template <class B>
constexpr std::array<Constant, 3> state_space_constants() {
    return {{{"NSTATES", B::NSTATES}, {"NINPUTS", B::NINPUTS}, {"NOUTPUTS", B::NOUTPUTS}}};
}

// The one function of a stream block.
template <StreamBlock B>
constexpr Function stream_function() {
    static_assert(std::size(B::inputs) <= max_params);
    Function f{};
    f.name = B::name;
    for (size_t i = 0; i < std::size(B::inputs); ++i) {
        const Input& in = B::inputs[i];
        f.params[i] = in.name;
        const int arg = static_cast<int>(i);
        f.checks[i] = in.exact ? exact(arg, in.length, in.prefix) : at_least(arg, in.length);
    }
    f.result = B::NOUTPUTS;
    f.kernel = B::compute;
    return f;
}

// The tables of a block's module, from its type.
template <class B>
struct BlockTables;

template <StateSpaceBlock B>
struct BlockTables<B> {
    static_assert(fits<B>());
    static constexpr auto constants = state_space_constants<B>();
    static constexpr auto functions = state_space_functions<B>(allocates_first<B>());
    static constexpr std::span<const Alias> aliases = {};
};

template <StreamBlock B>
struct BlockTables<B> {
    static_assert(fits<B>());
    static constexpr std::span<const Constant> constants = B::constants;
    static constexpr std::array<Function, 1> functions = {stream_function<B>()};
    static constexpr std::span<const Alias> aliases = B::aliases;
};

}  // namespace frame

// PyInit_<short_name>, handing `table` to the frame.
#define TARNLET_MODULE(short_name, table) TARNLET_MODULE_(short_name, table)
#define TARNLET_MODULE_(short_name, table)                                         \
    static_assert(frame::fits(table), "the module's tables do not fit the frame"); \
    PyMODINIT_FUNC PyInit_##short_name(void) { return frame::init(table); }

// The module of block `block` (the type block::Block), importable as
// `dotted_name`.
#define TARNLET_BLOCK_MODULE(block, dotted_name) TARNLET_BLOCK_MODULE_(block, dotted_name)
#define TARNLET_STRING_(x) #x
#define TARNLET_BLOCK_MODULE_(block, dotted_name)                                     \
    namespace {                                                                       \
    using tables = frame::BlockTables<block::Block>;                                  \
    constexpr frame::Module block_module = {.name = TARNLET_STRING_(block),           \
                                            .dotted = dotted_name,                    \
                                            .constants = tables::constants,           \
                                            .functions = tables::functions,           \
                                            .aliases = tables::aliases,               \
                                            .series = TARNLET_STRING_(block) "_run"}; \
    }                                                                                 \
    TARNLET_MODULE(block, block_module)
