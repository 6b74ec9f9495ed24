// The shortcut layer: every cache that stands in front of the interpreter's own
// lookups, and the direct type slots that use them.  Its invariants are written
// at the top of fastpath.cpp; nothing outside it reads a version tag, a dict
// version or a memo table.
#pragma once

#include "ref.hpp"

namespace quenlory::fastpath {

// Direct tp_descr_get/tp_descr_set on a freshly made descriptor class.  They
// run our bodies while the class's __get__/__set__ are still ours, and the
// interpreter's generic slots otherwise; assigning __get__ or __set__ on the
// class also gives the generic slots back.
void install_descriptor_slots(PyObject* cls) noexcept;

// Direct tp_init on a freshly made model class, under the same rule for __init__.
void install_init_slot(PyObject* cls) noexcept;

// The instance slots `_data` (0) and `_compounds` (1) of a model instance,
// where an ordinary read or assignment of that name would reach them: the
// value in the slot (borrowed; nullptr when it is empty or must be read the
// ordinary way, as with another descriptor, a custom __getattribute__ or
// __setattr__, or a read-only member), and the slot's address for a store.
PyObject* slot_value(PyObject* inst, int which) noexcept;
PyObject** slot_address(PyObject* inst, int which) noexcept;

// A compound or multi-value property's attribute `name`, as an ordinary
// attribute read gives it (read anew on every use: outside code may change it).
Ref property_name(PyObject* self) noexcept;

// Every key of the exact dict `d` is an exact str, so looking a str up in it
// runs no code.
bool str_keys_only(PyObject* d) noexcept;

}  // namespace quenlory::fastpath
