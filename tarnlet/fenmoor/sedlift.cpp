// tarnlet.fenmoor.sedlift: the first-flush block as Python functions.
#include "frame.h"
#include "sedlift_kernels.h"

namespace {

constexpr auto constants = frame::state_space_constants<sedlift::Block>();
constexpr auto functions = frame::state_space_functions<sedlift::Block>();
constexpr frame::Module module = {.name = "sedlift",
                                  .dotted = "tarnlet.fenmoor.sedlift",
                                  .constants = constants,
                                  .functions = functions,
                                  .aliases = {},
                                  .series = "sedlift_run"};

}  // namespace

TARNLET_MODULE(sedlift, module)
