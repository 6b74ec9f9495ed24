// The two instance slots of a model instance: `_data`, the raw-data
// dictionary, and `_compounds`, the dictionary of compound and multi-field
// values.  Every read and write of them goes through here.
//
// Layer 4 (docs/architecture.md): includes memo.hpp, function.hpp and below; calls layers 0-3.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the memo
//   invariants and windows (memo.hpp).
#pragma once

#include "interp.hpp"

namespace quenlory {

enum class Slot { Data, Compounds };

// instance._data / instance._compounds as ordinary attribute access gives it:
// the slot is read directly where that is what the lookup would find (no
// custom __getattribute__, the class's slot member in place), else the
// ordinary route is taken, with its errors.
Ref get_slot(PyObject* instance, Slot which) noexcept;

// instance._data = value (or _compounds), by the same rule.
int set_slot(PyObject* instance, Slot which, PyObject* value) noexcept;

// Both slots at once, as construction sets them, each by the same rule; no
// other thread sees one without the other.
int set_slots(PyObject* instance, PyObject* data, PyObject* compounds) noexcept;

// The exact dict in the slot, borrowed (the instance holds it), when an
// ordinary read would find it there and that is known already; else nullptr.
// Runs no code.  For the in-line reads, which exist only where memos do.
PyObject* known_slot_dict(PyObject* instance, Slot which) noexcept;

// The same in two steps, for readers that remember the offset per class: the
// known read offset of the slot on instances of `tp` (0: not known, or the
// ordinary way), and the exact dict at that offset of an instance.
Py_ssize_t known_read_offset(PyTypeObject* tp, Slot which) noexcept;
inline PyObject* dict_at(PyObject* instance, Py_ssize_t offset) noexcept {
  PyObject* d = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(instance) + offset);
  return d && PyDict_CheckExact(d) ? d : nullptr;
}

inline Ref get_data(PyObject* instance) noexcept { return get_slot(instance, Slot::Data); }
inline Ref get_compounds(PyObject* instance) noexcept { return get_slot(instance, Slot::Compounds); }

}  // namespace quenlory
