// tarnlet.brookvane.sewer: the sewer storage as Python functions.
#include "frame.h"
#include "sewer_kernels.h"

namespace {

using namespace sewer;

constexpr frame::Constant constants[] = {
    {"NSTATES", NSTATES}, {"NINPUTS", NINPUTS}, {"NOUTPUTS", NOUTPUTS}};

// pars is read up to index 24 by the output kernel only; spar up to index 2.
constexpr frame::Function outputs_fn = {
    .name = "outputs",
    .params = {"x", "u", "pars", "spar"},
    .checks = {frame::exact(0, NSTATES), frame::exact(1, NINPUTS), frame::at_least(2, 25),
               frame::at_least(3, 3)},
    .result = NOUTPUTS,
    .kernel = [](const double* const* in, double* y) { outputs(in[0], in[1], in[2], in[3], y); },
};

constexpr frame::Function derivatives_fn = {
    .name = "derivatives",
    .params = {"x", "u", "pars", "spar"},
    .checks = {frame::exact(0, NSTATES), frame::exact(1, NINPUTS), frame::at_least(3, 3)},
    .result = NSTATES,
    .kernel = [](const double* const* in, double* dx) { derivatives(in[0], in[1], in[3], dx); },
};

constexpr frame::Function functions[] = {frame::initialize_state<NSTATES>(), outputs_fn, derivatives_fn,
                                         frame::euler_step_of(derivatives_fn)};

constexpr frame::Module module = {"sewer", "tarnlet.brookvane.sewer", constants, functions, {}};

}  // namespace

TARNLET_MODULE(sewer, module)
