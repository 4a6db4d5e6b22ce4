// tarnlet.brookvane.loamtank: the soil reservoir as Python functions. Its
// results are allocated before the length checks.
#include "frame.h"
#include "loamtank_kernels.h"

namespace {

constexpr auto constants = frame::state_space_constants<loamtank::Block>();
constexpr auto functions = frame::state_space_functions<loamtank::Block>(true);
constexpr frame::Module module = {.name = "loamtank",
                                  .dotted = "tarnlet.brookvane.loamtank",
                                  .constants = constants,
                                  .functions = functions,
                                  .aliases = {},
                                  .series = "loamtank_run"};

}  // namespace

TARNLET_MODULE(loamtank, module)
