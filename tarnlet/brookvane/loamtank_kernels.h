// Soil reservoir: one storage level with capacity-limited inflow, excess
// flow, square-root drainage and linear outflow.
#pragma once

#include "block.h"

namespace loamtank {

struct Block {
    static constexpr int NSTATES = 1;
    static constexpr int NINPUTS = 2;
    static constexpr int NOUTPUTS = 4;
    // par: 0 upper level, 1 drainage threshold, 2 area, 3 capacity per area,
    // 4 drainage coefficient, 5 linear outflow coefficient. The output
    // kernel reads 1-5, the derivative kernel 0-5.
    static constexpr frame::Param params[] = {{"par", 6, 6}};
    static constexpr bool allocate_first = true;

    // The two kernels treat a negative level differently and share nothing.
    struct Shared {};

    static Shared share(const double*, const double*, const double* const*);

    static void outputs(Shared, const double* x, const double* u, const double* const* p,
                        double* y);

    static void derivatives(Shared, const double* x, const double* u, const double* const* p,
                            double* dx);
};

}  // namespace loamtank
