// tarnlet.fenmoor.sedlift: the first-flush block as Python functions.
#include "frame.h"
#include "sedlift_kernels.h"

namespace {

using namespace sedlift;

constexpr frame::Constant constants[] = {
    {"NSTATES", NSTATES}, {"NINPUTS", NINPUTS}, {"NOUTPUTS", NOUTPUTS}};

constexpr frame::Function outputs = {
    .name = "outputs",
    .params = {"x", "u", "sspars"},
    .checks = {frame::exact(0, NSTATES), frame::exact(1, NINPUTS), frame::at_least(2, 4)},
    .result = NOUTPUTS,
    .kernel = [](const double* const* in, double* y) {
        sedlift_outputs_kernel(in[0], in[1], in[2], y);
    },
};

constexpr frame::Function derivatives = {
    .name = "derivatives",
    .params = {"x", "u", "sspars"},
    .checks = {frame::exact(0, NSTATES), frame::exact(1, NINPUTS), frame::at_least(2, 4)},
    .result = NSTATES,
    .kernel = [](const double* const* in, double* dx) {
        sedlift_derivatives_kernel(in[0], in[1], in[2], dx);
    },
};

constexpr frame::Function functions[] = {frame::initialize_state<NSTATES>(), outputs,
                                         derivatives, frame::euler_step_of(derivatives)};

constexpr frame::Module module = {"sedlift", "tarnlet.fenmoor.sedlift", constants, functions, {}};

}  // namespace

TARNLET_MODULE(sedlift, module)
