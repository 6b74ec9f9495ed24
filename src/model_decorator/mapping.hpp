// Mapping helpers: item access by ordinary dispatch with exact dicts asked
// directly, KeyError as dict_subscript raises it, the loop over a dict's
// entries that survives code changing the dict, and the optional flag of a
// metadata mapping.
//
// Layer 3 (docs/architecture.md): includes layers 0-2; calls layers 0-2.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp.
#pragma once

#include "interp.hpp"
#include "names.hpp"

namespace quenlory {

// KeyError(key) as dict_subscript raises it, wrapping tuples so that they are not unpacked.
inline void raise_key_error(PyObject* key) noexcept {
  if (PyTuple_Check(key)) {
    Ref tup = Ref::steal(PyTuple_Pack(1, key));
    if (tup) PyErr_SetObject(PyExc_KeyError, tup.get());
  } else {
    PyErr_SetObject(PyExc_KeyError, key);
  }
}

// d[key] for an exact dict: a new reference, or empty with KeyError/other error set.
inline Ref dict_getitem(PyObject* d, PyObject* key) noexcept {
  Ref v = interp::dict_get(d, key);
  if (!v && !PyErr_Occurred()) raise_key_error(key);
  return v;
}

// The instance dictionary of `o` as a new reference (made when it has none
// yet, as attribute access does: an allocation, which may run a collection),
// or empty with no exception set when instances of its type have none.
inline Ref instance_dict(PyObject* o) noexcept {
  Ref d = Ref::steal(PyObject_GenericGetDict(o, nullptr));
  if (!d) PyErr_Clear();
  return d;
}

// Every key of the exact dict `d` is an exact str, so looking a str up in it
// runs no code.
bool str_keys_only(PyObject* d) noexcept;

// mapping[key] and mapping[key] = value, by ordinary dispatch; an exact dict is
// asked directly, in one lookup.  The caller holds both, across code a key's
// comparison may run.
Ref get_item(PyObject* mapping, PyObject* key) noexcept;
int set_item(PyObject* mapping, PyObject* key, PyObject* value) noexcept;

// The truth of metadata.get("optional", False); an exact dict is asked directly.
int optional_flag(PyObject* metadata) noexcept;

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
    Py_BEGIN_CRITICAL_SECTION(table);
    PyObject *key, *value;
    changed = PyDict_GET_SIZE(table) != size;
    if (!changed && PyDict_Next(table, &pos, &key, &value)) {
      k = Ref::borrow(key);
      v = Ref::borrow(value);
    }
    Py_END_CRITICAL_SECTION();
    if (changed) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      return -1;
    }
    if (!k) return 0;
    if (int r = each(k.get(), v.get()); r < 0) return r;
  }
}

}  // namespace quenlory
