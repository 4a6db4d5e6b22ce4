// What a block declares about itself, for the frame, the run layer and the
// benchmarks alike. Kernel headers include only this file: no Python here.
//
// A state-space block is a type with
//   NSTATES, NINPUTS, NOUTPUTS    the lengths of x (and dx), u and y;
//   params[]                      its parameter vectors, each with the number
//                                 of entries each kernel reads;
//   Shared share(x, u, p)         what outputs and derivatives of the same
//                                 state both need, computed once;
//   outputs(s, x, u, p, y)        the output kernel;
//   derivatives(s, x, u, p, dx)   the derivative kernel;
// where p holds one pointer per parameter vector, in the order of params[].
//
// A stream block is a type with
//   name, inputs[], NOUTPUTS      the function name, its argument vectors with
//                                 their lengths, the result length;
//   compute(in, y)                the kernel, with one pointer per input.
//
// Kernels never allocate, check or fail: the caller guarantees the lengths.
#pragma once

namespace frame {

struct Param {
    const char* name;
    int outputs_reads;      // entries the output kernel reads (0: none)
    int derivatives_reads;  // entries the derivative kernel reads (0: none)

    constexpr int reads() const {
        return outputs_reads > derivatives_reads ? outputs_reads : derivatives_reads;
    }
};

// An argument vector of a stream block: exactly `length` entries, or at
// least `length` when it is a parameter vector. `prefix` replaces the
// message "Expected <name> of length " of an exact length.
struct Input {
    const char* name;
    int length;
    bool exact;
    const char* prefix = nullptr;
};

}  // namespace frame
