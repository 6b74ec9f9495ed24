// The function kinds of a model class's own methods (instances.cpp); the class
// assembly in decorator.cpp installs them.
#pragma once

#include "function.hpp"

namespace quenlory {

// __init__ and __eq__ of the model class (closure: the schema).
extern const FuncSpec kModelInit;
extern const FuncSpec kModelEq;

}  // namespace quenlory
