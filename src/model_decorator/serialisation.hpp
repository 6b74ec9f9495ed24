// The module functions `raw` and `dumps` (serialisation.cpp), made by the
// module's initialisation.
#pragma once

#include "ref.hpp"

namespace quenlory {

Ref make_raw() noexcept;
Ref make_dumps() noexcept;

}  // namespace quenlory
