// The helpers the feature files share: item access, whether a cast runs code,
// the optional flag, and the loop over a dict's entries.
//
// Layer 5 (docs/architecture.md): includes layers 0-4; calls layers 0-4.
// Bound by: owners release references (ref.hpp); versions and private state only through compat.hpp; the memo
//   invariants and windows (memo.hpp).
#pragma once

#include "casts.hpp"
#include "compat.hpp"
#include "function.hpp"
#include "storage.hpp"

namespace quenlory {

// For the few helpers of the attribute hot paths.
#define QUENLORY_HOT inline __attribute__((always_inline))

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
