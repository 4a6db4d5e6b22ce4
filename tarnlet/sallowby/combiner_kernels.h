// Stream combiner: flow-weighted mixing of two 56-entry streams.
#pragma once

#include "block.h"

namespace combiner {

constexpr int FLOW = 37;
// The combiner treats a total flow at or below this as no flow.
constexpr double SMALLEST_FLOW = 1e-12;

struct Block {
    static constexpr int LENGTH = 56;
    static constexpr int NOUTPUTS = LENGTH;
    static constexpr const char* name = "combine";
    static constexpr const char* wrong_length = "Expected two 1D arrays of length ";
    static constexpr frame::Input inputs[] = {{"stream_a", LENGTH, true, wrong_length},
                                              {"stream_b", LENGTH, true, wrong_length}};
    static constexpr frame::Constant constants[] = {{"NSTATES", LENGTH}};
    static constexpr frame::Alias aliases[] = {{"compute", "combine"}};

    static void compute(const double* const* in, double* y);
};

}  // namespace combiner
