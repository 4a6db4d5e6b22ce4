// Sewer storage: one completely mixed storage with a variable level and weir
// outflow, transporting 23 components without reaction.
#pragma once

#include "block.h"

namespace sewer {

constexpr int LEVEL = 23;  // x index of the water level
constexpr int FLOW = 19;   // u and y index of the flow

// What outputs and derivatives of one state share.
struct Storage {
    double h;      // effective level, never below the threshold spar[2]
    double v;      // volume
    double q_out;  // weir outflow
};

struct Block {
    static constexpr int NSTATES = 24;
    static constexpr int NINPUTS = 27;
    static constexpr int NOUTPUTS = 27;
    // pars: suspended solids per unit of the particulate components, read
    // (entries 19-24) by the output kernel only; spar: area, weir
    // coefficient, threshold level.
    static constexpr int pars_read[] = {19, 20, 21, 22, 23, 24};
    static constexpr frame::Param params[] = {{"pars", 25, 0, pars_read}, {"spar", 3, 3}};
    // The storage computes its own suspended solids, and the upstream
    // storage's level comes along in a chain.
    static constexpr int u_unread[] = {18, 26};
    // Its outflow, entries 0 to 25, is the next storage's inflow.
    static constexpr bool chain = true;

    using Shared = Storage;

    static Storage share(const double* x, const double*, const double* const* p);

    static void outputs(const Storage& s, const double* x, const double* u, const double* const* p,
                        double* y);

    static void derivatives(const Storage& s, const double* x, const double* u,
                            const double* const* p, double* dx);
};

}  // namespace sewer
