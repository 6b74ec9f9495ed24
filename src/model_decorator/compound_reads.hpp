// The reads of a compound or multi-value property: its current `name`, and
// the compound dictionary's item under it.  The property's __get__ bodies
// (accessors.cpp) and the direct slots (fastpath.cpp) both read this way.
//
// Layer 6 (docs/architecture.md): includes layers 0-5; calls layers 0-5.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the memo
//   invariants and windows (memo.hpp).
#pragma once

#include "ref.hpp"

namespace quenlory {

// An ordinary read of o.name on instances of `tp` ends in the instance
// dictionary: no custom lookup, nothing of that name on the class.
bool name_in_instance_dict(PyTypeObject* tp) noexcept;

// The property's attribute `name`, as an ordinary attribute read gives it
// (read anew on every use: outside code may change it).  `name_in_dict` says
// that the read ends in the instance dictionary (name_in_instance_dict), which
// is then asked directly.
Ref property_name(PyObject* self, bool name_in_dict) noexcept;
Ref property_name(PyObject* self) noexcept;

// instance.<compound or multi-field> through its property `self`: the compound
// dictionary's item under the property's current name.
PyObject* read_compound(PyObject* self, PyObject* instance, bool name_in_dict) noexcept;
// The same from the instance's compound dictionary, which the caller holds.
PyObject* read_compound_from(PyObject* self, PyObject* compounds, bool name_in_dict) noexcept;

}  // namespace quenlory
