// A module of questions the tests ask the shortcuts (version tags, memo
// entries, installed slots), so that they need no layout of their own.
#pragma once

#include "ref.hpp"

namespace quenlory {

// The probe module; the module's initialisation keeps it in sys.modules only,
// as "quenlory._probe", and binds it to no namespace.
Ref make_probe() noexcept;

}  // namespace quenlory
