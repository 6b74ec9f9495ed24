// Slot storage of model instances.
//
// Layer 4 (docs/architecture.md): includes memo.hpp, function.hpp and below; calls layers 0-3.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the memo
//   invariants and windows (memo.hpp).
#include "storage.hpp"

#include "memo.hpp"
#include "names.hpp"

namespace quenlory {
namespace {

PyObject* slot_name(Slot which) noexcept { return which == Slot::Data ? N.data : N.compounds; }

// Where an ordinary read (or assignment) of the slot's name on an instance of
// `tp` ends: the offset of the class's slot member, or 0 when it must go the
// ordinary way (a custom attribute hook, another descriptor under that name,
// a read-only member).
Py_ssize_t lookup_offset(PyTypeObject* tp, Slot which, bool for_write) noexcept {
  if (for_write ? tp->tp_setattro != PyObject_GenericSetAttr : tp->tp_getattro != PyObject_GenericGetAttr)
    return 0;
  Ref descr = interp::type_lookup(tp, slot_name(which));
  return interp::object_slot_offset(descr.get(), tp, for_write);
}

// Both slots' offsets for reads and for assignments, remembered per type.
struct Offsets : memo::Plain {
  Py_ssize_t read[2];
  Py_ssize_t write[2];
};
memo::TypeMemo<Offsets> g_offsets{memo::Table::Offsets};

[[gnu::noinline]] Offsets learn_offsets(PyTypeObject* tp) noexcept {
  memo::Stamp stamp = memo::stamp_of(tp);
  Offsets found{};
  for (Slot which : {Slot::Data, Slot::Compounds}) {
    found.read[static_cast<int>(which)] = lookup_offset(tp, which, false);
    found.write[static_cast<int>(which)] = lookup_offset(tp, which, true);
  }
  g_offsets.store(tp, stamp, found);
  return found;
}

inline __attribute__((always_inline)) Py_ssize_t slot_offset(PyTypeObject* tp, Slot which, bool for_write) noexcept {
  if constexpr (!memo::switched_on(memo::Table::Offsets)) return lookup_offset(tp, which, for_write);
  const Offsets* known = g_offsets.peek(tp);
  Offsets found = known ? *known : learn_offsets(tp);
  return (for_write ? found.write : found.read)[static_cast<int>(which)];
}

// Where a read of `name` on a declaration of class `tp` ends: the offset of
// the class's plain slot member, or 0 when it goes the ordinary way.
Py_ssize_t lookup_declaration_offset(PyTypeObject* tp, PyObject* name) noexcept {
  if (tp->tp_getattro != PyObject_GenericGetAttr) return 0;
  Ref descr = interp::type_lookup(tp, name);
  return interp::object_slot_offset(descr.get(), tp, false);
}

PyObject** slot_at(PyObject* instance, Py_ssize_t offset) noexcept {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(instance) + offset);
}

// Store into the slot at `offset` under the instance's lock; the old value is
// handed back, to be released once the lock is gone (its release may run code).
// Writers of the slot all hold that lock, as the interpreter's own member
// assignment does, so a plain read of the old value and a release store of the
// new one do: no locked exchange, which costs tens of cycles.
Ref exchange(PyObject* instance, Py_ssize_t offset, PyObject* value) noexcept {
  PyObject** slot = slot_at(instance, offset);
  PyObject* old = __atomic_load_n(slot, __ATOMIC_RELAXED);
  __atomic_store_n(slot, Py_NewRef(value), __ATOMIC_RELEASE);
  return Ref::steal(old);
}

}  // namespace

Ref get_slot(PyObject* instance, Slot which) noexcept {
  if (Py_ssize_t offset = slot_offset(Py_TYPE(instance), which, false)) {
    Ref value;
    Py_BEGIN_CRITICAL_SECTION(instance);
    value = Ref::borrow(__atomic_load_n(slot_at(instance, offset), __ATOMIC_ACQUIRE));
    Py_END_CRITICAL_SECTION();
    // An unset slot takes the ordinary path, which raises the interpreter's own error.
    if (value) return value;
  }
  // The ordinary read may come back here through the class's own hooks (a
  // field named __getattribute__, or __getattr__ with the slot unset) with no
  // frame of Python's in between: the depth is counted, as a Python
  // descriptor's frames would be.
  if (Py_EnterRecursiveCall(" while reading a model instance's slot")) return {};
  Ref value = Ref::steal(PyObject_GetAttr(instance, slot_name(which)));
  Py_LeaveRecursiveCall();
  return value;
}

Py_ssize_t known_read_offset(PyTypeObject* tp, Slot which) noexcept {
  if constexpr (!memo::switched_on(memo::Table::Offsets)) return lookup_offset(tp, which, false);
  const Offsets* known = g_offsets.peek(tp);
  return known ? known->read[static_cast<int>(which)] : 0;
}

PyObject* known_slot_dict(PyObject* instance, Slot which) noexcept {
  Py_ssize_t offset = known_read_offset(Py_TYPE(instance), which);
  return offset ? dict_at(instance, offset) : nullptr;
}

memo::TypeMemo<DeclarationOffset> g_declaration_offsets[2] = {
    memo::TypeMemo<DeclarationOffset>{memo::Table::Declarations},
    memo::TypeMemo<DeclarationOffset>{memo::Table::Declarations}};

Py_ssize_t learn_declaration_offset(PyTypeObject* tp, DeclSlot which, PyObject* name) noexcept {
  memo::Stamp stamp = memo::stamp_of(tp);
  DeclarationOffset found{};
  found.offset = lookup_declaration_offset(tp, name);
  g_declaration_offsets[static_cast<int>(which)].store(tp, stamp, found);
  return found.offset;
}

int set_slot(PyObject* instance, Slot which, PyObject* value) noexcept {
  Py_ssize_t offset = slot_offset(Py_TYPE(instance), which, true);
  if (!offset) return PyObject_SetAttr(instance, slot_name(which), value);
  Ref old;
  Py_BEGIN_CRITICAL_SECTION(instance);
  old = exchange(instance, offset, value);
  Py_END_CRITICAL_SECTION();
  return 0;
}

int set_slots(PyObject* instance, PyObject* data, PyObject* compounds) noexcept {
  PyTypeObject* tp = Py_TYPE(instance);
  Py_ssize_t data_at = slot_offset(tp, Slot::Data, true);
  Py_ssize_t compounds_at = data_at ? slot_offset(tp, Slot::Compounds, true) : 0;
  if (!data_at || !compounds_at) {
    // An assignment hook may run code between the two: one at a time, in order.
    if (set_slot(instance, Slot::Data, data) < 0) return -1;
    return set_slot(instance, Slot::Compounds, compounds);
  }
  Ref old_data, old_compounds;
  Py_BEGIN_CRITICAL_SECTION(instance);
  old_data = exchange(instance, data_at, data);
  old_compounds = exchange(instance, compounds_at, compounds);
  Py_END_CRITICAL_SECTION();
  return 0;
}

}  // namespace quenlory
