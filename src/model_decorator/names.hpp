// Module-wide state shared by every layer above: interned names, the built-ins
// cached at initialisation, and the lookup of module-level names at each use.
//
// The module is made once per process (a second interpreter is refused), so
// this state is plain static data that lives until the process ends.
//
// Layer 2 (docs/architecture.md): includes ref.hpp and compat.hpp; calls compat and the interpreter.
// Bound by: owners release references (ref.hpp).
#pragma once

#include <initializer_list>

#include "ref.hpp"

namespace quenlory {

// Interned strings for every attribute, key and name the module uses.
#define QUENLORY_NAMES(X)                                                          \
  X(data, "_data")                                                                 \
  X(compounds, "_compounds")                                                       \
  X(cast, "cast")                                                                  \
  X(name, "name")                                                                  \
  X(field, "field")                                                                \
  X(metadata_defaults, "metadata_defaults")                                        \
  X(metadata, "metadata")                                                          \
  X(get, "get")                                                                    \
  X(keys, "keys")                                                                  \
  X(items, "items")                                                                \
  X(optional, "optional")                                                          \
  X(strict, "strict")                                                              \
  X(extra, "extra")                                                                \
  X(key, "key")                                                                    \
  X(default_, "default")                                                           \
  X(factory, "factory")                                                            \
  X(flat_fields, "flat_fields")                                                    \
  X(prefix, "prefix")                                                              \
  X(components, "components")                                                      \
  X(proxy, "proxy")                                                                \
  X(startswith, "startswith")                                                      \
  X(endswith, "endswith")                                                          \
  X(dunder, "__")                                                                  \
  X(dunder_dict, "__dict__")                                                       \
  X(dunder_name, "__name__")                                                       \
  X(dunder_doc, "__doc__")                                                         \
  X(dunder_annotations, "__annotations__")                                         \
  X(dunder_module, "__module__")                                                   \
  X(dunder_qualname, "__qualname__")                                               \
  X(dunder_slots, "__slots__")                                                     \
  X(dunder_init, "__init__")                                                       \
  X(dunder_eq, "__eq__")                                                           \
  X(dunder_get, "__get__")                                                         \
  X(dunder_set, "__set__")                                                         \
  X(dunder_class, "__class__")                                                     \
  X(module_name, "quenlory.model_decorator")                                       \
  X(pickling_module, "quenlory._pickling")                                         \
  X(register_, "register")                                                         \
  X(register_subclass, "register_subclass")                                        \
  X(probe_class, "quenlory_slot_probe")                                            \
  X(empty, "")                                                                     \
  X(true_text, "true")                                                             \
  X(false_text, "false")                                                           \
  X(weakref, "weakref")                                                            \
  X(typing, "typing")                                                              \
  X(Dict, "Dict")                                                                  \
  X(json, "json")                                                                  \
  X(dumps, "dumps")                                                                \
  X(raw, "raw")                                                                    \
  X(model, "model")                                                                \
  X(Field, "Field")                                                                \
  X(ProxyField, "ProxyField")                                                      \
  X(MultiField, "MultiField")                                                      \
  X(fields_registry, "_fields")                                                    \
  X(flat_fields_registry, "_flat_fields")                                          \
  X(FieldProperty, "FieldProperty")                                                \
  X(CompoundProperty, "CompoundProperty")                                          \
  X(MultiValueProperty, "MultiValueProperty")                                      \
  X(ModelClass, "ModelClass")                                                      \
  X(q_field_property, "model.<locals>.field_property.<locals>.FieldProperty")      \
  X(q_compound_property, "model.<locals>.CompoundProperty")                        \
  X(q_multi_value_property, "model.<locals>.MultiValueProperty")                   \
  X(q_model_class, "model.<locals>.ModelClass")                                    \
  X(q_capture, "model.<locals>.capture")                                           \
  X(q_make_optional_cast, "model.<locals>.make_optional_cast")                     \
  X(q_optional_cast, "model.<locals>.make_optional_cast.<locals>._cast")           \
  X(q_field_property_fn, "model.<locals>.field_property")                          \
  X(q_field_get, "model.<locals>.field_property.<locals>.FieldProperty.__get__")   \
  X(q_field_set, "model.<locals>.field_property.<locals>.FieldProperty.__set__")   \
  X(q_compound_init, "model.<locals>.CompoundProperty.__init__")                   \
  X(q_compound_get, "model.<locals>.CompoundProperty.__get__")                     \
  X(q_compound_set, "model.<locals>.CompoundProperty.__set__")                     \
  X(q_multi_init, "model.<locals>.MultiValueProperty.__init__")                    \
  X(q_multi_get, "model.<locals>.MultiValueProperty.__get__")                      \
  X(q_multi_set, "model.<locals>.MultiValueProperty.__set__")                      \
  X(q_model_init, "model.<locals>.ModelClass.__init__")                            \
  X(q_model_eq, "model.<locals>.ModelClass.__eq__")                                \
  X(error_creating_model, "Error creating model ")                                 \
  X(collision_on_key, " collision on key ")                                        \
  X(with_field, " with field ")                                                    \
  X(missing_key, "Missing key [")                                                  \
  X(to_construct, "] to construct ")                                               \
  X(unexpected_key, "Unexpected key provided: ")                                   \
  X(unexpected_parameter_type, "Unexpected parameter type for model construction") \
  X(p_self, "self")                                                                \
  X(p_instance, "instance")                                                        \
  X(p_objtype, "objtype")                                                          \
  X(p_value, "value")                                                              \
  X(p_other, "other")                                                              \
  X(p_cls, "cls")                                                                  \
  X(p_obj, "obj")                                                                  \
  X(p_name, "_name")                                                               \
  X(p_cast, "_cast")                                                               \
  X(p_c, "_c")

struct Names {
#define QUENLORY_DECLARE(field, text) PyObject* field;
  QUENLORY_NAMES(QUENLORY_DECLARE)
#undef QUENLORY_DECLARE
  PyObject* empty_tuple;
  PyObject* prefix_kwnames;  // ("prefix",), for flat_fields(prefix=...)
};
extern Names N;

// Built-ins looked up once at initialisation and used from then on.
struct Builtins {
  PyObject* property;
  PyObject* classmethod;
  PyObject* staticmethod;
  PyObject* value_error;
  PyObject* print;
};
extern Builtins B;

// The module's namespace and the builtins namespace it falls back on.
extern PyObject* g_globals;
extern PyObject* g_builtins;

// A module-level name as the interpreter's global lookup finds it: the module
// namespace, then the built-ins, else NameError.
Ref load_global(PyObject* name) noexcept;

// format(obj, "") as text, the way messages show values.
Ref text_of(PyObject* obj) noexcept;

// Raise the cached ValueError with the concatenation of the given texts.
void raise_value_error(std::initializer_list<PyObject*> pieces) noexcept;

// Unpack an object into exactly two items, as a two-target assignment does:
// exact tuples and lists by length, anything else by iteration.
int unpack_pair(PyObject* obj, Ref& first, Ref& second) noexcept;

// Once, at initialisation: intern the names, then (with g_builtins set) cache
// the built-ins.
int intern_names() noexcept;
int cache_builtins() noexcept;

}  // namespace quenlory
