// The module functions `raw` and `dumps` (serialisation.cpp), made by the
// module's initialisation.
//
// Layer 9 (docs/architecture.md): includes layers 0-8; calls layers 0-8; only module.cpp calls it.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; after
//   the collector, what it may have cleared is checked (schema.hpp).
#pragma once

#include "ref.hpp"

namespace quenlory {

Ref make_raw() noexcept;
Ref make_dumps() noexcept;

}  // namespace quenlory
