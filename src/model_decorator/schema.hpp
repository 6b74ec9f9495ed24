// The model schema: the record one call of `model` builds from a class.
//
// It is complete before the model class exists and never written afterwards;
// the functions made in the same call (capture, __init__, __eq__ and the
// descriptor setters) share it through their closures.  The tables are dicts:
// the field map is handed out by model_fields, and the rest are private, yet
// reachable through the collector's referents.
//
// The collector clears a cycle one object at a time and code can run between
// two clears (weak-reference callbacks), so the record may be seen with some of
// its tables cleared before `cleared` is set.  What borrows from a table owns
// its reference instead (the key index holds its names); the rest is read
// through owned lookups, which fail with a Python exception on a cleared
// table.  The windows of memo.hpp hold here too: nothing that reads the index
// or the rows borrowed allocates a tracked object, compares anything but
// exact strs, or converts between int and str.
//
// Layer 4 (docs/architecture.md): includes function.hpp and below; calls layers 0-3.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the memo
//   invariants and windows (memo.hpp).
#pragma once

#include <cstring>

#include "mapping.hpp"
#include "function.hpp"

namespace quenlory {

// The keys of a schema's field_names where every one is an exact str: an
// open-addressing table found by identity or by equal text, which runs no
// code and takes no lock.  `row` is a key's index in plain_rows, or -1 for a
// key that a compound, a multi-field or a component claims.  The index holds
// its own reference to each name: the collector may clear the frozenset, and
// free the names, while the schema still looks whole.
//
// Data read by one parser names its keys with str objects of its own, one per
// key text, met over and over: each entry remembers the last such equal str
// it met (held, an exact str, whose release runs nothing), to know it again by
// identity.  Not on the free-threaded build, where threads share the index.
// It also keeps what construction asks of every plain row's cast.
struct KeyIndex {
  static constexpr Py_ssize_t kAbsent = -2;
  struct Entry {
    PyObject* name;
    Py_hash_t hash;
    Py_ssize_t row;
    PyObject* alias = nullptr;
  };
  size_t mask;
  Entry* entries;
  // Per plain row: the exact type whose values its cast hands back as they
  // are and runs no code for (its cast is the built-in str, int or bool
  // itself), else nullptr.  The rows never change, nor do those types.
  PyTypeObject** keeps;

  // The row of the exact str `key`, -1, or kAbsent.  The hot path of a
  // construction's key check: it returns from inside the probe.
  Py_ssize_t find(PyObject* key) const noexcept {
    // An exact str's hash: remembered, or computed without running code.
    Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
    if (hash == -1) hash = PyObject_Hash(key);
    for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
      Entry& e = entries[i];
      if (!e.name) return kAbsent;
      if (e.name == key || e.alias == key) return e.row;
      if (e.hash == hash && same_text(e.name, key)) {
        if constexpr (!interp::kFreeThreaded) {
          Ref old = Ref::steal(e.alias);  // an exact str: its release runs nothing
          e.alias = Py_NewRef(key);
        }
        return e.row;
      }
    }
  }
  // The str the data last named the index's own key `key` with (the entry's
  // alias), or `key` itself: an equal exact str, which a lookup in that data
  // finds by identity rather than by comparing text.  Runs no code.
  PyObject* as_met(PyObject* key) const noexcept {
    Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
    if (hash == -1) return key;
    for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
      const Entry& e = entries[i];
      if (!e.name) return key;
      if (e.name == key) return e.alias ? e.alias : key;
    }
  }
  // The same probe for building the table: the entry of `key`, or the empty one where it goes.
  Entry& slot(PyObject* key, Py_hash_t hash) const noexcept {
    for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
      Entry& e = entries[i];
      if (!e.name || e.name == key || (e.hash == hash && same_text(e.name, key))) return e;
    }
  }
  static bool same_text(PyObject* a, PyObject* b) noexcept {
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
  }
};

struct Schema {
  PyObject_HEAD PyObject* cls;
  PyObject* metadata;
  PyObject* fields;
  PyObject* casts;
  PyObject* basic;
  PyObject* compounds;
  PyObject* multi_fields;
  PyObject* field_names;
  PyObject* multi_field_components;
  PyObject* proxies;
  // (name, declaration, cast, key) of every plain field, in order: the plain-field
  // phase of construction reads `basic` and `casts` through it; `key` is the
  // field's key in the data (its raw key, else its name).
  PyObject* plain_rows;
  // Attribute name to raw key, for the fields declared with a key in the data
  // other than their name (Field(str, key="3166-2")); nullptr when none is.
  PyObject* raw_keys;
  // field_names (a frozenset once the schema is finished) as a KeyIndex,
  // where every entry is an exact str; else nullptr.
  KeyIndex* key_index;
  // Set first thing when the collector clears the record: its tables are
  // going, and nothing may use them again.
  bool cleared;
  // The model options of the metadata (see decorator.cpp): strict=True puts
  // the checking twins in place of the built-in casts, extra="ignore" leaves
  // undeclared keys of the data alone.
  bool strict;
  bool ignore_extra;
};

extern PyTypeObject SchemaType;

// Make the schema type ready; once, at initialisation.
int init_schema_type() noexcept;

// A schema for `cls` with the given metadata and empty tables.
Ref make_schema(PyObject* cls, PyObject* metadata) noexcept;

// Build the derived tables once the walk has filled the schema.
int finish_schema(Schema* s) noexcept;

inline Schema* as_schema(PyObject* o) noexcept { return reinterpret_cast<Schema*>(o); }

// The key in the data of the field `name`: its raw key, else the name itself.
inline Ref raw_key(Schema* s, PyObject* name) noexcept {
  if (!s->raw_keys) return Ref::borrow(name);
  Ref key = interp::dict_get(s->raw_keys, name);
  if (!key && !PyErr_Occurred()) key = Ref::borrow(name);
  return key;
}

// The schema a function of this model holds in its closure, checked (see closure_object).
// A schema that the collector has cleared raises RuntimeError the same way.
Schema* closure_schema(Func* f) noexcept;

}  // namespace quenlory
