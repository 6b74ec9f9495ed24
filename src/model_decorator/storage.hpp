// The two instance slots of a model instance: `_data`, the raw-data
// dictionary, and `_compounds`, the dictionary of compound and multi-field
// values.  Every read and write of them goes through here.
//
// Layer 4 (docs/architecture.md): includes memo.hpp, function.hpp and below; calls layers 0-3.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the memo
//   invariants and windows (memo.hpp).
#pragma once

#include "interp.hpp"
#include "memo.hpp"

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

// The declarations' own slots that construction reads: `metadata`, and a
// nested field's `nested_model`.
enum class DeclSlot { Metadata, NestedModel };

// decl.<name> (the name of `which`) where the ordinary read ends at a plain
// object slot of the declaration's class: the slot's value, read as its member
// reads it, which runs no code.  Empty, with no error set, where the read goes
// the ordinary way or the slot is unset (the ordinary read then raises).  The
// slot's offset is remembered per class; `looked_up` is set when the class had
// to be looked up, which may run code (a str subclass key in a class dict), or
// when the free-threaded read met a concurrent store (interp::load_object_slot).
inline Ref declaration_slot(PyObject* decl, DeclSlot which, PyObject* name, bool& looked_up) noexcept;

// The offsets behind declaration_slot, one table per kind of slot (so that an
// entry's name is always the same), and the lookup that fills them.
struct DeclarationOffset : memo::Plain {
  Py_ssize_t offset;
};
extern memo::TypeMemo<DeclarationOffset> g_declaration_offsets[2];
[[gnu::noinline]] Py_ssize_t learn_declaration_offset(PyTypeObject* tp, DeclSlot which, PyObject* name) noexcept;

inline Ref declaration_slot(PyObject* decl, DeclSlot which, PyObject* name, bool& looked_up) noexcept {
  PyTypeObject* tp = Py_TYPE(decl);
  Py_ssize_t offset;
  if (const DeclarationOffset* known = g_declaration_offsets[static_cast<int>(which)].peek(tp)) {
    offset = known->offset;
  } else {
    looked_up = true;
    offset = learn_declaration_offset(tp, which, name);
  }
  if (!offset) return {};
  return interp::load_object_slot(decl, reinterpret_cast<PyObject**>(reinterpret_cast<char*>(decl) + offset),
                                  looked_up);
}

inline Ref get_data(PyObject* instance) noexcept { return get_slot(instance, Slot::Data); }
inline Ref get_compounds(PyObject* instance) noexcept { return get_slot(instance, Slot::Compounds); }

}  // namespace quenlory
