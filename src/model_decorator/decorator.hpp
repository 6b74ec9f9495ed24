// The module function `model` (decorator.cpp), made by the module's
// initialisation.
#pragma once

#include "ref.hpp"

namespace quenlory {

Ref make_model() noexcept;

}  // namespace quenlory
