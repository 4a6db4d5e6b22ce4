// Influent fractionation: lumped loads and flows to the 54 model values of
// the influent, with a suspended-solids total.
#pragma once

#include "block.h"

namespace fractionation {

// Floor of the divisor flow, and the value of pars[154] at or below which
// output 18 stays out of the suspended-solids total.
constexpr double SMALLEST = 1e-12;

struct Block {
    static constexpr int NINPUTS = 12;
    static constexpr int NOUTPUTS = 54;
    static constexpr const char* name = "compute";
    // pars is read at 28, 29, 30, 154 and 155; fractions 0-8; bg_values 0-43.
    static constexpr int pars_read[] = {28, 29, 30, 154, 155};
    static constexpr frame::Input inputs[] = {{"u", NINPUTS, true},
                                              {"pars", 156, false, nullptr, pars_read},
                                              {"fractions", 9, false},
                                              {"bg_values", 44, false}};
    static constexpr frame::Constant constants[] = {{"NINPUTS", NINPUTS}, {"NOUTPUTS", NOUTPUTS}};
    static constexpr frame::Alias aliases[] = {{"fractionate", "compute"}};

    static void compute(const double* const* in, double* y);
};

}  // namespace fractionation
