// The helpers the feature files share: the kinds of function the class
// assembly installs, item access, casts, the optional flag, and the loop over a
// dict's entries.
#pragma once

#include "casts.hpp"
#include "compat.hpp"
#include "function.hpp"
#include "storage.hpp"

namespace quenlory {

// For the few helpers of the attribute hot paths.
#define QUENLORY_HOT inline __attribute__((always_inline))

// The optional wrapper made for optional fields (closure: the wrapped cast).
extern const FuncSpec kOptionalCast;
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

// instance.<compound or multi-field> through its property `self`: the compound
// dictionary's item under the property's current name.  `name_in_dict` says
// that an ordinary read of self.name ends in self's instance dictionary.
PyObject* read_compound(PyObject* self, PyObject* instance, bool name_in_dict) noexcept;
// The same from the instance's compound dictionary, which the caller holds.
PyObject* read_compound_from(PyObject* self, PyObject* compounds, bool name_in_dict) noexcept;

// An ordinary read of o.name on instances of `tp` ends in the instance
// dictionary: no custom lookup, nothing of that name on the class.
bool name_in_instance_dict(PyTypeObject* tp) noexcept;

// cast(value).  The known casts that run in line (the built-in types int, str
// and float called with one value, and the checking casts), and our optional
// wrapper, are run directly: the same operations a call makes, without
// building an argument tuple.  (Declared in casts.hpp.)

// cast(value) runs no Python code and frees nothing: a known cast (or our
// optional wrapper of one) that says so for the value (see casts.hpp).
QUENLORY_HOT bool cast_runs_no_code(PyObject* cast, PyObject* value) noexcept {
  while (Func* wrapper = as_function(cast, kOptionalCast)) {
    if (value == Py_None) return true;
    if (!(cast = closure_peek(wrapper))) return false;  // cleared: the cast raises
  }
  return known_cast_runs_no_code(cast, value);
}

// The truth of metadata.get("optional", False); an exact dict is asked directly.
int optional_flag(PyObject* metadata) noexcept;

// The direct type slots of the classes `model` makes, handed down by the layer
// above at initialisation (never changed afterwards).
struct ClassSlots {
  void (*descriptor)(PyObject* cls) noexcept = nullptr;
  void (*model)(PyObject* cls) noexcept = nullptr;
  // cls(data), a new reference: the class call with one positional argument.
  PyObject* (*call_with_data)(PyObject* cls, PyObject* data) noexcept = nullptr;
};
extern ClassSlots g_class_slots;

// Every key of the exact dict `d` is an exact str, so looking a str up in it
// runs no code.
bool str_keys_only(PyObject* d) noexcept;

// mapping[key] and mapping[key] = value, by ordinary dispatch; an exact dict is
// asked directly, in one lookup.  The caller holds both, across code a key's
// comparison may run.
Ref get_item(PyObject* mapping, PyObject* key) noexcept;
int set_item(PyObject* mapping, PyObject* key, PyObject* value) noexcept;

// Call each(key, value) for every entry of the dict `table`, with both held for
// the call (it may run code that changes the table); stops at the first
// negative result and returns it.  Each step is taken under the table's lock,
// and the call outside it.  A table whose size the calls change raises the
// RuntimeError that iterating its items would (code can reach any dict, a
// schema's own through the collector's referents).
template <typename Each>
int for_each_item(PyObject* table, Each each) noexcept {
  Py_ssize_t pos = 0;
  Py_ssize_t size = PyDict_GET_SIZE(table);
  for (;;) {
    Ref k, v;
    bool changed = false;
    QUENLORY_LOCKED(table)
    PyObject *key, *value;
    changed = PyDict_GET_SIZE(table) != size;
    if (!changed && PyDict_Next(table, &pos, &key, &value)) {
      k = Ref::borrow(key);
      v = Ref::borrow(value);
    }
    QUENLORY_UNLOCKED()
    if (changed) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      return -1;
    }
    if (!k) return 0;
    if (int r = each(k.get(), v.get()); r < 0) return r;
  }
}

}  // namespace quenlory
