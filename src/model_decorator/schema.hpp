// The model schema: the record one call of `model` builds from a class.
//
// It is complete before the model class exists and never written afterwards;
// the functions made in the same call (capture, __init__, __eq__ and the
// descriptor setters) share it through their closures.  The tables are dicts:
// the field map is handed out by model_fields, and the rest are private.
#pragma once

#include "function.hpp"

namespace quenlory {

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
  // (name, declaration, cast) of every plain field, in order: the plain-field
  // phase of construction reads `basic` and `casts` through it.
  PyObject* plain_rows;
  // Every entry of field_names (a frozenset once the schema is finished) is an
  // exact str, so looking a str up in it runs no Python code.
  bool str_field_names;
  // Set first thing when the collector clears the record: its tables are
  // going, and nothing may use them again.
  bool cleared;
};

extern PyTypeObject SchemaType;

// A schema for `cls` with the given metadata and empty tables.
Ref make_schema(PyObject* cls, PyObject* metadata) noexcept;

// Build the derived tables once the walk has filled the schema.
int finish_schema(Schema* s) noexcept;

inline Schema* as_schema(PyObject* o) noexcept { return reinterpret_cast<Schema*>(o); }

// The schema a function of this model holds in its closure, checked (see closure_object).
// A schema that the collector has cleared raises RuntimeError the same way.
Schema* closure_schema(Func* f) noexcept;

}  // namespace quenlory
