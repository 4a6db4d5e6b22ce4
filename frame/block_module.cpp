// The extension module of one block, built from its type alone (block.h,
// frame.h): meson.build compiles this file once per block with
//   TARNLET_BLOCK         the block's name, whose type is TARNLET_BLOCK::Block;
//   TARNLET_BLOCK_HEADER  its kernel header;
//   TARNLET_DOTTED        the module's dotted name.
#include "frame.h"
#include TARNLET_BLOCK_HEADER

TARNLET_BLOCK_MODULE(TARNLET_BLOCK, TARNLET_DOTTED)
