// Sewer storage: one completely mixed storage with a variable level and weir
// outflow, transporting 23 components without reaction.
#pragma once

#include <cmath>
#include <cstring>

namespace sewer {

constexpr int NSTATES = 24;
constexpr int NINPUTS = 27;
constexpr int NOUTPUTS = 27;

constexpr int LEVEL = 23;  // x index of the water level
constexpr int FLOW = 19;   // u and y index of the flow

struct Storage {
    double h;      // effective level, never below the threshold spar[2]
    double v;      // volume
    double q_out;  // weir outflow
};

inline Storage storage(const double* x, const double* spar) {
    const double h = spar[2] > x[LEVEL] ? spar[2] : x[LEVEL];
    return {h, h * spar[0], std::pow(h - spar[2], 1.5) * spar[1]};
}

inline void outputs(const double* x, const double* u, const double* pars, const double* spar,
                    double* y) {
    const Storage s = storage(x, spar);
    for (int i = 0; i < 18; ++i) y[i] = x[i] / s.v;
    double solids = pars[19] * x[9];
    solids = solids + pars[20] * x[10];
    solids = solids + pars[21] * x[11];
    solids = solids + pars[21] * x[12];
    solids = solids + pars[22] * x[13];
    solids = solids + pars[23] * x[14];
    solids = solids + pars[21] * x[15];
    solids = solids + pars[24] * x[16];
    solids = solids + pars[24] * x[17];
    y[18] = solids / s.v;
    y[FLOW] = s.q_out;
    std::memcpy(&y[20], &u[20], sizeof(double));  // bit for bit, NaN payloads included
    for (int k = 0; k < 5; ++k) y[21 + k] = x[18 + k] / s.v;
    y[26] = s.h;
}

inline void derivatives(const double* x, const double* u, const double* spar, double* dx) {
    const Storage s = storage(x, spar);
    const double q_in = u[FLOW];
    for (int i = 0; i < 18; ++i) dx[i] = q_in * u[i] - (s.q_out * x[i]) / s.v;
    for (int k = 0; k < 5; ++k) dx[18 + k] = q_in * u[21 + k] - (s.q_out * x[18 + k]) / s.v;
    dx[LEVEL] = (q_in - s.q_out) / spar[0];
}

}  // namespace sewer
