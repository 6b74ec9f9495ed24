// Compounds of a model (ProxyField) and lists of models (ListField) built in
// the core: the nested instances are made here, with no Python frame per
// compound or per item, where the declaration is exactly one of those two
// classes and hands out its own `_to_pair` as its cast.  The nested kind
// belongs with the table of known casts: it is recognised by the cast object
// alone, as the built-in casts are.
//
// Layer 8 (docs/architecture.md): includes layers 0-7; calls layers 0-7.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the memo
//   invariants and windows (memo.hpp); after the collector, what it may have cleared is checked (schema.hpp).
#pragma once

#include "ref.hpp"

namespace quenlory::nested {

// Learn the two declaration classes, their `_to_pair` and the module they come
// from (the field declarations' module, already imported); once, at initialisation.
int init(PyObject* proxy_field_class) noexcept;

// The compound pair that calling `cast` with `value` gives, where the cast is a
// nested kind this file builds for that value: 1 with both items set, -1 on an
// error (the same one the cast raises), 0 when it is not, with nothing run and
// no error set: the caller calls the cast itself.  The caller holds both.
int cast_pair(PyObject* cast, PyObject* value, Ref& item0, Ref& item1) noexcept;

}  // namespace quenlory::nested
