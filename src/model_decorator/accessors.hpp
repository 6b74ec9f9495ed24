// The function kinds of the three descriptor classes a model class carries
// (accessors.cpp); the class assembly in decorator.cpp installs them.
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
