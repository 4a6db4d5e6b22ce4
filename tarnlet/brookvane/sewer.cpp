// tarnlet.brookvane.sewer: the sewer storage as Python functions.
#include "frame.h"
#include "sewer_kernels.h"

namespace {

constexpr auto constants = frame::state_space_constants<sewer::Block>();
constexpr auto functions = frame::state_space_functions<sewer::Block>();
constexpr frame::Module module = {.name = "sewer",
                                  .dotted = "tarnlet.brookvane.sewer",
                                  .constants = constants,
                                  .functions = functions,
                                  .aliases = {},
                                  .series = "sewer_run"};

}  // namespace

TARNLET_MODULE(sewer, module)
