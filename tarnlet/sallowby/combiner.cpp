// tarnlet.sallowby.combiner: flow-weighted mixing of two 56-entry streams.
#include "combiner_kernels.h"
#include "frame.h"

namespace {

using combiner::Block;

constexpr frame::Constant constants[] = {{"NSTATES", Block::LENGTH}};
constexpr frame::Function functions[] = {frame::stream_function<Block>()};
constexpr frame::Alias aliases[] = {{"compute", "combine"}};
constexpr frame::Module module = {.name = "combiner",
                                  .dotted = "tarnlet.sallowby.combiner",
                                  .constants = constants,
                                  .functions = functions,
                                  .aliases = aliases,
                                  .series = "combiner_run"};

}  // namespace

TARNLET_MODULE(combiner, module)
