// tarnlet.sallowby.fractionation: lumped loads and flows to the 54 model
// values of the influent, with a suspended-solids total.
#include "fractionation_kernels.h"
#include "frame.h"

namespace {

using fractionation::Block;

constexpr frame::Constant constants[] = {{"NINPUTS", Block::NINPUTS},
                                         {"NOUTPUTS", Block::NOUTPUTS}};
constexpr frame::Function functions[] = {frame::stream_function<Block>()};
constexpr frame::Alias aliases[] = {{"fractionate", "compute"}};
constexpr frame::Module module = {.name = "fractionation",
                                  .dotted = "tarnlet.sallowby.fractionation",
                                  .constants = constants,
                                  .functions = functions,
                                  .aliases = aliases,
                                  .series = "fractionation_run"};

}  // namespace

TARNLET_MODULE(fractionation, module)
