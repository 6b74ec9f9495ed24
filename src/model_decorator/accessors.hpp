// The function kinds of the three descriptor classes a model class carries
// (accessors.cpp); the class assembly in decorator.cpp installs them.
//
// Layer 9 (docs/architecture.md): includes layers 0-8; calls layers 0-8; only decorator.cpp names its kinds.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the memo
//   invariants and windows (memo.hpp); the direct-slot rules (fastpath.cpp); after the collector, what it may
//   have cleared is checked (schema.hpp).
#pragma once

#include "function.hpp"

namespace quenlory {

// Field properties (closure: the data key; __set__ also the cast).
extern const FuncSpec kFieldGet;
extern const FuncSpec kFieldGetOptional;
extern const FuncSpec kFieldSet;
// Compound and multi-value properties (__set__ closure: the schema).
extern const FuncSpec kPropertyInit;
extern const FuncSpec kCompoundGet;
extern const FuncSpec kCompoundSet;
extern const FuncSpec kMultiGet;
extern const FuncSpec kMultiSet;

}  // namespace quenlory
