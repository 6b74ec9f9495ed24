// A module of questions the tests ask the shortcuts (version tags, memo
// entries, installed slots), so that they need no layout of their own.
//
// Layer 9 (docs/architecture.md): includes layers 0-8; calls layers 0-8; only module.cpp calls it.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the memo
//   invariants and windows (memo.hpp).
#pragma once

#include "ref.hpp"

namespace quenlory {

// The probe module; the module's initialisation keeps it in sys.modules only,
// as "quenlory._probe", and binds it to no namespace.
Ref make_probe() noexcept;

}  // namespace quenlory
