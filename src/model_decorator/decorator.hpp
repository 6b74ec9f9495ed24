// The module function `model` (decorator.cpp), made by the module's
// initialisation.
//
// Layer 10 (docs/architecture.md): includes layers 0-9; calls layers 0-9; only module.cpp calls it.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the
//   direct-slot rules (fastpath.cpp); after the collector, what it may have cleared is checked (schema.hpp).
#pragma once

#include "ref.hpp"

namespace quenlory {

Ref make_model() noexcept;

}  // namespace quenlory
