// The direct type slots of the classes `model` makes (see fastpath.cpp for
// their rules).  This layer sits above the feature files: it calls their
// bodies through the function kinds' descriptions, and nothing below it
// includes this header.
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

// cls(data), a new reference.  Where the class is one `model` made (or a
// subclass of one) whose metaclass is type, whose __new__ is object's and
// whose tp_init is the direct slot, it takes the class call's steps without
// an argument tuple: the call's depth count, object's allocation, the direct
// slot's body.  Anything else is the class call itself.
PyObject* call_with_data(PyObject* cls, PyObject* data) noexcept;

// A module of questions the tests ask the shortcuts (version tags, memo
// entries, installed slots), so that they need no layout of their own.  It is
// kept in sys.modules only, as "quenlory._probe", and bound to no namespace.
Ref make_probe() noexcept;

}  // namespace quenlory::fastpath
