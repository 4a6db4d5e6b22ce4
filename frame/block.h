// What a block declares about itself, for the frame, the run layer, the
// model engine and the benchmarks alike. Kernel headers include only this
// file: no Python here.
//
// A block is the type <name>::Block in tarnlet/<package>/<name>_kernels.h,
// its kernels in <name>_kernels.cpp; meson.build lists it once, and
// everything else (its module, its run functions, the registry that the
// Python side, the stubs and the tests read) is built from the type.
//
// A state-space block is a type with
//   NSTATES, NINPUTS, NOUTPUTS    the lengths of x (and dx), u and y;
//   params[]                      its parameter vectors, each with the number
//                                 of entries each kernel reads;
//   Shared share(x, u, p)         what outputs and derivatives of the same
//                                 state both need, computed once;
//   outputs(s, x, u, p, y)        the output kernel;
//   derivatives(s, x, u, p, dx)   the derivative kernel;
// where p holds one pointer per parameter vector, in the order of params[];
// and optionally
//   allocate_first                results are allocated before the length
//                                 checks (default false);
//   chain                         its output row is the next block's input
//                                 row: the run layer runs n in series
//                                 (default false);
//   u_unread[]                    the input entries no kernel reads.
//
// A stream block is a type with
//   name, inputs[], NOUTPUTS      the function name, its argument vectors with
//                                 their lengths, the result length;
//   constants[], aliases[]        its module's constants and aliases;
//   compute(in, y)                the kernel, with one pointer per input.
//
// Kernels never allocate, check or fail: the caller guarantees the lengths.
#pragma once

#include <span>

namespace frame {

// The longest vector any kernel reads or writes as a state, an input or a
// result (the scratch rows of the frame, the runs and the model engine).
inline constexpr int max_length = 64;

// A parameter vector of a state-space block. `read` lists the entries the
// kernels read when that is not every entry below reads().
struct Param {
    const char* name;
    int outputs_reads;      // entries the output kernel reads (0: none)
    int derivatives_reads;  // entries the derivative kernel reads (0: none)
    std::span<const int> read = {};

    constexpr int reads() const {
        return outputs_reads > derivatives_reads ? outputs_reads : derivatives_reads;
    }
};

// An argument vector of a stream block: exactly `length` entries, or at
// least `length` when it is a parameter vector. `prefix` replaces the
// message "Expected <name> of length " of an exact length; `read` as for
// Param.
struct Input {
    const char* name;
    int length;
    bool exact;
    const char* prefix = nullptr;
    std::span<const int> read = {};
};

struct Constant {
    const char* name;
    long value;
};

struct Alias {
    const char* name;
    const char* target;
};

template <class B>
concept StateSpaceBlock = requires {
    B::NSTATES;
    B::NINPUTS;
    B::NOUTPUTS;
    B::params;
};

template <class B>
concept StreamBlock = requires {
    B::name;
    B::inputs;
    B::NOUTPUTS;
};

template <class B>
constexpr bool allocates_first() {
    if constexpr (requires { B::allocate_first; })
        return B::allocate_first;
    else
        return false;
}

template <class B>
constexpr bool chains() {
    if constexpr (requires { B::chain; })
        return B::chain;
    else
        return false;
}

template <class B>
constexpr std::span<const int> unread_inputs() {
    if constexpr (requires { B::u_unread; })
        return B::u_unread;
    else
        return {};
}

template <class B>
constexpr bool fits() {
    if constexpr (StateSpaceBlock<B>)
        return B::NSTATES <= max_length && B::NINPUTS <= max_length && B::NOUTPUTS <= max_length;
    else
        return B::NOUTPUTS <= max_length;
}

}  // namespace frame
