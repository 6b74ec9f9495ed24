// The function kinds of a model class's own methods (instances.cpp); the class
// assembly in decorator.cpp installs them.
//
// Layer 9 (docs/architecture.md): includes layers 0-8; calls layers 0-8; only decorator.cpp names its kinds.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the memo
//   invariants and windows (memo.hpp); the direct-slot rules (fastpath.cpp); after the collector, what it may
//   have cleared is checked (schema.hpp).
#pragma once

#include "function.hpp"

namespace quenlory {

// __init__ and __eq__ of the model class (closure: the schema).
extern const FuncSpec kModelInit;
extern const FuncSpec kModelEq;

}  // namespace quenlory
