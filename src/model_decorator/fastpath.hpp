// The direct type slots of the classes `model` makes (see fastpath.cpp for
// their rules).  This layer sits below the feature files: it knows a function
// kind by its tags and calls its bodies through its FuncSpec, and the class
// assembly (decorator.cpp) installs the slots.
//
// Layer 7 (docs/architecture.md): includes layers 0-6; calls layers 0-6, and the feature files' bodies only
//   through the function kinds' FuncSpec members.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the memo
//   invariants and windows (memo.hpp); the direct-slot rules (fastpath.cpp).
#pragma once

#include "ref.hpp"

namespace quenlory::fastpath {

// Save the interpreter's generic slots; once, at initialisation.
int init() noexcept;

// Direct tp_descr_get/tp_descr_set on a freshly made descriptor class.  They
// run our bodies while the class's __get__/__set__ are still ours, and the
// interpreter's generic slots otherwise; assigning __get__ or __set__ on the
// class also gives the generic slots back.
void install_descriptor_slots(PyObject* cls) noexcept;

// Direct tp_init on a freshly made model class, under the same rule for __init__.
void install_init_slot(PyObject* cls) noexcept;

// The cast that writes through the descriptor class `tp` run in line now
// (borrowed), or nullptr: for the probe's questions.
PyObject* remembered_write_cast(PyTypeObject* tp) noexcept;

// cls(data), a new reference.  Where the class is one `model` made (or a
// subclass of one) whose metaclass is type, whose __new__ is object's and
// whose tp_init is the direct slot, it takes the class call's steps without
// an argument tuple: the call's depth count, object's allocation, the direct
// slot's body.  Anything else is the class call itself.
PyObject* call_with_data(PyObject* cls, PyObject* data) noexcept;

}  // namespace quenlory::fastpath
