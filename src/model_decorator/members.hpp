// What the class assembly installs: the functions of the descriptor classes and
// of the model class, and the direct type slots that run them without a lookup
// of the dunder method and a bound call on every use.
#pragma once

#include <cstdint>

#include "compat.hpp"
#include "function.hpp"

namespace quenlory {

// The optional wrapper made for optional fields (closure: the wrapped cast).
extern const FuncSpec kOptionalCast;

// cast(value).  The built-in types int, str and float called with one value,
// and our optional wrapper, are run directly: the same operations a call makes,
// without building an argument tuple.
PyObject* call_cast(PyObject* cast, PyObject* value) noexcept;

// The truth of metadata.get("optional", False); an exact dict is asked directly.
int optional_flag(PyObject* metadata) noexcept;

// Field properties (closure: name; __set__ also the cast).
extern const FuncSpec kFieldGet;
extern const FuncSpec kFieldGetOptional;
extern const FuncSpec kFieldSet;
// Compound and multi-value properties (__set__ closure: the schema).
extern const FuncSpec kPropertyInit;
extern const FuncSpec kCompoundGet;
extern const FuncSpec kCompoundSet;
extern const FuncSpec kMultiGet;
extern const FuncSpec kMultiSet;
// The model class (closure: the schema).
extern const FuncSpec kModelInit;
extern const FuncSpec kModelEq;

// For the few helpers of the attribute hot paths.
#define QUENLORY_HOT inline __attribute__((always_inline))

// Per-type answers remembered while the type's version tag is unchanged: a
// small direct-mapped table in front of the type lookups of the hot paths.
template <typename Value>
class TypeMemo {
 public:
  // The remembered value for `tp`, or nullptr when there is none.
  QUENLORY_HOT const Value* find(PyTypeObject* tp) const noexcept {
    const Entry& e = entries_[index(tp)];
    unsigned int tag = compat::version_tag(tp);
    return (e.type == tp && tag != 0 && e.tag == tag) ? &e.value : nullptr;
  }
  // Remember `value` for `tp`; the lookups that produced it have given the type a tag.
  void store(PyTypeObject* tp, const Value& value) noexcept {
    unsigned int tag = compat::version_tag(tp);
    if (tag != 0) entries_[index(tp)] = Entry{tp, tag, value};
  }

 private:
  // One cache line per entry, so that a hit reads one line.
  struct alignas(64) Entry {
    PyTypeObject* type;
    unsigned int tag;
    Value value;
  };
  static constexpr size_t kSize = 128;
  QUENLORY_HOT static size_t index(PyTypeObject* tp) noexcept {
    return (reinterpret_cast<uintptr_t>(tp) >> 6) % kSize;
  }
  Entry entries_[kSize] = {};
};

// The attribute `name` of type `tp` when it is one of our functions (borrowed:
// the type holds it while the memo entry is valid), else nullptr.
Func* lookup_function_attribute(TypeMemo<Func*>& memo, PyTypeObject* tp, PyObject* name) noexcept;
QUENLORY_HOT Func* function_attribute(TypeMemo<Func*>& memo, PyTypeObject* tp, PyObject* name) noexcept {
  if (Func* const* known = memo.find(tp)) return *known;
  return lookup_function_attribute(memo, tp, name);
}

// Direct tp_descr_get/tp_descr_set on a freshly made descriptor class.  They run
// our bodies while the class's __get__/__set__ are still ours, and CPython's own
// generic slots otherwise; assigning __get__ or __set__ on the class also gives
// the generic slots back.
void install_descriptor_slots(PyObject* cls) noexcept;

// Direct tp_init on a freshly made model class, under the same rule for __init__.
void install_init_slot(PyObject* cls) noexcept;

// Reading and writing the instance slots by ordinary attribute access, with the
// slot read directly when that is what the lookup would find.
Ref get_data(PyObject* instance) noexcept;
Ref get_compounds(PyObject* instance) noexcept;
int set_slot(PyObject* instance, PyObject* name, PyObject* value) noexcept;

// Item access on a data or compound dictionary, by ordinary dispatch.
Ref get_item(PyObject* mapping, PyObject* key) noexcept;
int set_item(PyObject* mapping, PyObject* key, PyObject* value) noexcept;

}  // namespace quenlory
