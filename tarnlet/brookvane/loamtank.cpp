// tarnlet.brookvane.loamtank: the soil reservoir as Python functions. Its
// results are allocated before the length checks.
#include "frame.h"
#include "loamtank_kernels.h"

namespace {

using namespace loamtank;

constexpr frame::Constant constants[] = {
    {"NSTATES", NSTATES}, {"NINPUTS", NINPUTS}, {"NOUTPUTS", NOUTPUTS}};

constexpr frame::Function outputs_fn = {
    .name = "outputs",
    .params = {"x", "u", "par"},
    .checks = {frame::exact(0, NSTATES), frame::exact(1, NINPUTS), frame::at_least(2, 6)},
    .result = NOUTPUTS,
    .allocate_first = true,
    .kernel = [](const double* const* in, double* y) { outputs(in[0], in[1], in[2], y); },
};

constexpr frame::Function derivatives_fn = {
    .name = "derivatives",
    .params = {"x", "u", "par"},
    .checks = {frame::exact(0, NSTATES), frame::exact(1, NINPUTS), frame::at_least(2, 6)},
    .result = NSTATES,
    .allocate_first = true,
    .kernel = [](const double* const* in, double* dx) { derivatives(in[0], in[1], in[2], dx); },
};

constexpr frame::Function functions[] = {frame::initialize_state<NSTATES>(true), outputs_fn,
                                         derivatives_fn, frame::euler_step_of(derivatives_fn)};

constexpr frame::Module module = {"loamtank", "tarnlet.brookvane.loamtank", constants, functions,
                                  {}};

}  // namespace

TARNLET_MODULE(loamtank, module)
