// model and capture, the maker of optional wrappers, the walk of a decorated
// class into a model schema with its collision check, and the assembly of the
// model class.
//
// Layer 10 (docs/architecture.md): includes layers 0-9; calls layers 0-9; only module.cpp calls it.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the
//   direct-slot rules (fastpath.cpp); after the collector, what it may have cleared is checked (schema.hpp);
//   tables built during a decoration are private, or immutable once published (schema.hpp).
#include "decorator.hpp"

#include "accessors.hpp"
#include "copying.hpp"
#include "casts.hpp"
#include "fastpath.hpp"
#include "instances.hpp"
#include "mapping.hpp"
#include "schema.hpp"

namespace quenlory {
namespace {

// ---- the optional wrapper's maker ------------------------------------------------------------

PyObject* make_optional_cast_impl(Func*, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  return make_function(kOptionalCast, N.q_optional_cast, params[0]).release();
}

const FuncSpec kMakeOptionalCast{"make_optional_cast", Shape::One, 1,
                                 {&Names::p_c},        "(_c, /)",  make_optional_cast_impl};

// ---- capture ---------------------------------------------------------------------------------------

// capture(cls): model(cls, **metadata), with `model` looked up now and a fresh
// copy of the metadata for every call.
PyObject* capture_impl(Func* f, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  Ref model = load_global(N.model);
  if (!model) return nullptr;
  PyObject* given = closure_dict(f);
  Ref args = Ref::steal(given ? PyTuple_Pack(1, params[0]) : nullptr);
  Ref metadata = Ref::steal(args ? PyDict_Copy(given) : nullptr);
  if (!metadata) return nullptr;
  return PyObject_Call(model.get(), args.get(), metadata.get());
}

const FuncSpec kCapture{"capture", Shape::One, 1, {&Names::p_cls}, "(cls, /)", capture_impl};

// ---- the walk ------------------------------------------------------------------------------------

// Tables of one call that the schema does not keep.
struct Walk {
  Schema* schema;
  Ref keys = Ref::steal(PySet_New(nullptr));
  Ref flat_fields = Ref::steal(PyDict_New());
  Ref properties = Ref::steal(PyDict_New());
  Ref methods = Ref::steal(PyDict_New());
  Ref static_values = Ref::steal(PyDict_New());
  bool ok() const noexcept { return keys && flat_fields && properties && methods && static_values; }
};

int is_instance_of_global(PyObject* value, PyObject* global_name) noexcept {
  Ref cls = load_global(global_name);
  if (!cls) return -1;
  return PyObject_IsInstance(value, cls.get());
}

// name.startswith("__") or name.endswith("__"), by method call for a non-str name.
int is_dunder_like(PyObject* name) noexcept {
  if (PyUnicode_Check(name)) {
    Py_ssize_t r = PyUnicode_Tailmatch(name, N.dunder, 0, PY_SSIZE_T_MAX, -1);
    if (r == 0) r = PyUnicode_Tailmatch(name, N.dunder, 0, PY_SSIZE_T_MAX, +1);
    return static_cast<int>(r);
  }
  for (PyObject* method : {N.startswith, N.endswith}) {
    Ref r = Ref::steal(call_method(name, method, N.dunder));
    if (!r) return -1;
    int t = PyObject_IsTrue(r.get());
    if (t != 0) return t;
  }
  return 0;
}

// A member named like one of the instance slots would replace the slot's
// descriptor on the model class, so it is refused.
int check_reserved(PyObject* cls, PyObject* name) noexcept {
  if (!PyUnicode_Check(name)) return 0;
  if (PyUnicode_Compare(name, N.data) != 0 && PyUnicode_Compare(name, N.compounds) != 0) return 0;
  Ref cls_name = Ref::steal(PyObject_GetAttr(cls, N.dunder_name));
  if (!cls_name) return -1;
  Ref quoted = Ref::steal(PyUnicode_FromFormat(": '%U' is a reserved attribute name", name));
  if (!quoted) return -1;
  raise_value_error({N.error_creating_model, cls_name.get(), quoted.get()});
  return -1;
}

// Copy the (key, declaration) pairs of a compound's flat_fields(prefix=name).
int add_flat_fields(Walk& w, PyObject* decl, PyObject* name) noexcept {
  Ref method = Ref::steal(PyObject_GetAttr(decl, N.flat_fields));
  if (!method) return -1;
  PyObject* args[] = {name};
  Ref flat = Ref::steal(PyObject_Vectorcall(method.get(), args, 0, N.prefix_kwnames));
  if (!flat) return -1;
  // dict.update itself: its keys' hashes are the ones stored, and it notices a dict changed by a key's __eq__.
  if (PyDict_CheckExact(flat.get())) return PyDict_Merge(w.flat_fields.get(), flat.get(), 1);
  Ref items = Ref::steal(call_method(flat.get(), N.items));
  Ref it = Ref::steal(items ? PyObject_GetIter(items.get()) : nullptr);
  if (!it) return -1;
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
    Ref key, value;
    if (unpack_pair(item.get(), key, value) < 0 ||
        PyDict_SetItem(w.flat_fields.get(), key.get(), value.get()) < 0)
      return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

// A field of a strict model is strict unless its metadata, an exact dict, says strict is false.
bool field_is_strict(PyObject* metadata) noexcept {
  if (!metadata || !PyDict_CheckExact(metadata)) return true;
  // A key of a str subclass may run its __eq__ here; the answer is held, and nothing borrowed is used after it.
  Ref own = interp::dict_get(metadata, N.strict);
  if (!own && PyErr_Occurred()) PyErr_Clear();     // a lookup that fails leaves the model's option
  return !own || own.get() != Py_False;
}

// The raw key of a field: the str under "key" in its metadata, when that is an
// exact dict and the key is not the name itself; else nothing, with no error.
Ref given_key(PyObject* metadata, PyObject* name) noexcept {
  if (!metadata || !PyDict_CheckExact(metadata) || PyDict_GET_SIZE(metadata) == 0) return {};
  Ref key = interp::dict_get(metadata, N.key);
  if (!key || !PyUnicode_CheckExact(key.get())) return {};
  int same = PyUnicode_Check(name) ? PyUnicode_Compare(key.get(), name) == 0 : 0;
  if (same) return {};
  return key;
}

// The steps for one field declaration, in their order.
int walk_field(Walk& w, PyObject* name, PyObject* decl) noexcept {
  Schema* s = w.schema;
  Ref cast = Ref::steal(PyObject_GetAttr(decl, N.cast));
  if (!cast || PyDict_SetItem(s->casts, name, cast.get()) < 0) return -1;
  if (PyDict_SetItem(s->fields, name, decl) < 0) return -1;
  if (PyObject_SetAttr(decl, N.name, name) < 0) return -1;
  if (PyObject_SetAttr(decl, N.metadata_defaults, s->metadata) < 0) return -1;
  Ref metadata = Ref::steal(PyObject_GetAttr(decl, N.metadata));
  if (metadata) interp::count_as_shared(metadata.get());  // every construction may read it, from any thread
  int is_optional = metadata ? optional_flag(metadata.get()) : -1;
  if (is_optional < 0) return -1;
  // A strict model checks where the built-in casts convert: its fields, unless one says strict=False in its
  // metadata (read only when that is an exact dict, which looking into runs no code), take the checking twins.
  bool strict = s->strict && field_is_strict(metadata.get());
  if (strict) {
    Ref given = dict_getitem(s->casts, name);
    if (!given) return -1;
    PyObject* twin = strict_twin(given.get());
    if (twin != given.get() && PyDict_SetItem(s->casts, name, twin) < 0) return -1;
  }
  if (is_optional) {
    Ref current = Ref::steal(PyObject_GetAttr(decl, N.cast));
    if (current && strict) current = Ref::borrow(strict_twin(current.get()));
    Ref maker = current ? make_function(kMakeOptionalCast, N.q_make_optional_cast) : Ref();
    Ref wrapper = Ref::steal(maker ? call_one(maker.get(), current.get()) : nullptr);
    if (!wrapper || PyObject_SetAttr(decl, N.cast, wrapper.get()) < 0 ||
        PyDict_SetItem(s->casts, name, wrapper.get()) < 0)
      return -1;
  }
  int compound = is_instance_of_global(decl, N.ProxyField);
  if (compound < 0) return -1;
  int multi = compound ? 0 : is_instance_of_global(decl, N.MultiField);
  if (multi < 0) return -1;
  // A plain field or a compound may keep its value in the data under a key other than its name, given in
  // its metadata (read only when that is an exact dict): the flat map and the key check know it by that key.
  Ref key = multi ? Ref() : given_key(metadata.get(), name);
  if (!key) {
    if (PyErr_Occurred()) return -1;
    key = Ref::borrow(name);
  } else {
    if (!s->raw_keys && !(s->raw_keys = PyDict_New())) return -1;
    if (PyDict_SetItem(s->raw_keys, name, key.get()) < 0 || PySet_Add(w.keys.get(), key.get()) < 0) return -1;
  }
  if (compound) {
    if (PySet_Add(w.keys.get(), name) < 0 || PyDict_SetItem(s->compounds, name, decl) < 0) return -1;
    return add_flat_fields(w, decl, key.get());
  }
  if (multi) return PyDict_SetItem(s->multi_fields, name, decl);
  if (PySet_Add(w.keys.get(), name) < 0 || PyDict_SetItem(s->basic, name, decl) < 0) return -1;
  return PyDict_SetItem(w.flat_fields.get(), key.get(), decl);
}

// Sort one (name, value) of the class namespace into its table.
int walk_member(Walk& w, PyObject* name, PyObject* value) noexcept {
  if (check_reserved(w.schema->cls, name) < 0) return -1;
  int r = is_instance_of_global(value, N.Field);
  if (r) return r < 0 ? -1 : walk_field(w, name, value);
  PyObject* table = nullptr;
  if ((r = PyObject_IsInstance(value, B.property)) != 0) {
    table = w.properties.get();
  } else if (PyCallable_Check(value) || (r = PyObject_IsInstance(value, B.classmethod)) != 0 ||
             (r = PyObject_IsInstance(value, B.staticmethod)) != 0) {
    table = w.methods.get();
  } else if ((r = is_dunder_like(name)) == 0) {
    table = w.static_values.get();
  }
  if (r < 0) return -1;
  if (!table) return 0;
  if (PySet_Add(w.keys.get(), name) < 0) return -1;
  return PyDict_SetItem(table, name, value);
}

int raise_collision(PyObject* cls, PyObject* key, PyObject* field) noexcept {
  Ref cls_name = Ref::steal(PyObject_GetAttr(cls, N.dunder_name));
  if (!cls_name) return -1;
  raise_value_error({N.error_creating_model, cls_name.get(), N.collision_on_key, key, N.with_field, field});
  return -1;
}

// Component keys of the multi-fields, checked against every name claimed so far.
int component_pass(Walk& w) noexcept {
  Schema* s = w.schema;
  return for_each_item(s->multi_fields, [&](PyObject* name, PyObject* decl) {
    Ref given = Ref::steal(call_method(decl, N.components));
    Ref keys = Ref::steal(given ? PySequence_Tuple(given.get()) : nullptr);
    if (!keys || PyDict_SetItem(s->multi_field_components, name, keys.get()) < 0) return -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keys.get()); ++i) {
      PyObject* key = PyTuple_GET_ITEM(keys.get(), i);
      int taken = PySet_Contains(w.keys.get(), key);
      if (taken) return taken < 0 ? -1 : raise_collision(s->cls, key, name);
      if (PySet_Add(w.keys.get(), key) < 0 || PySet_Add(s->field_names, key) < 0) return -1;
    }
    Ref proxy = Ref::steal(PyObject_GetAttr(decl, N.proxy));
    if (!proxy || PyDict_SetItem(s->proxies, name, proxy.get()) < 0) return -1;
    return PySet_Add(w.keys.get(), name);
  });
}

// The model options "strict" and "extra", read from the model metadata, the
// call's own exact dict; a model given no metadata is not looked at.
int read_options(Schema* s) noexcept {
  PyObject* metadata = s->metadata;
  if (!PyDict_CheckExact(metadata) || PyDict_GET_SIZE(metadata) == 0) return 0;
  // Only these values mean anything: any other, as any other entry, is the model's own metadata.
  if (Ref strict = interp::dict_get(metadata, N.strict)) {
    s->strict = strict.get() == Py_True;
  } else if (PyErr_Occurred()) {
    return -1;
  }
  if (Ref extra = interp::dict_get(metadata, N.extra)) {
    s->ignore_extra = PyUnicode_CheckExact(extra.get()) && PyUnicode_CompareWithASCIIString(extra.get(), "ignore") == 0;
  } else if (PyErr_Occurred()) {
    return -1;
  }
  return 0;
}

// The data holds a field with a raw key under that key, not under its name.
int use_raw_keys(Schema* s) noexcept {
  Ref names = Ref::steal(PySet_New(s->field_names));
  if (!names) return -1;
  return for_each_item(s->raw_keys, [&](PyObject* name, PyObject* key) {
    int taken = PySet_Contains(names.get(), key);
    if (taken) {
      if (taken > 0) {
        Ref cls_name = Ref::steal(PyObject_GetAttr(s->cls, N.dunder_name));
        if (cls_name)
          PyErr_Format(PyExc_ValueError, "Error creating model %U: the key %R of field %R is another field's name or key",
                       cls_name.get(), key, name);
      }
      return -1;
    }
    return PySet_Discard(s->field_names, name) < 0 || PySet_Add(s->field_names, key) < 0 ||
                   PySet_Add(names.get(), key) < 0
               ? -1
               : 0;
  });
}

// ---- the package's model options ---------------------------------------------------------------------

// Metadata entries that only the package gives a meaning to (repr, eq, frozen, hash, match_args, inherit) are
// handled by quenlory/_options.py, imported when first needed: its `namespace(cls, metadata)` gives the members
// to walk when the model inherits fields, and its `apply(model_class, cls, metadata)` runs once the class is
// built. The metadata is this call's own dict of keywords: scanning its keys runs no code (a str is compared as
// text, anything else is passed over), and a model without metadata pays one size test.
struct Options {
  bool any = false;
  bool inherit = false;
};

Options options_of(PyObject* metadata) noexcept {
  static const char* const kNames[] = {"inherit", "repr", "eq", "frozen", "hash", "match_args"};
  Options o;
  if (PyDict_GET_SIZE(metadata) == 0) return o;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(metadata, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) continue;
    for (const char* name : kNames)
      if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
        o.any = true;
        o.inherit = o.inherit || name == kNames[0];
      }
  }
  return o;
}

// quenlory._options.<step>(*args)
Ref call_options(const char* step, std::initializer_list<PyObject*> args) noexcept {
  Ref module = Ref::steal(PyImport_ImportModule("quenlory._options"));
  Ref function = Ref::steal(module ? PyObject_GetAttrString(module.get(), step) : nullptr);
  if (!function) return {};
  return Ref::steal(PyObject_Vectorcall(function.get(), args.begin(), args.size(), nullptr));
}

int collect(Walk& w) noexcept {
  Schema* s = w.schema;
  if (read_options(s) < 0) return -1;
  Ref ns = options_of(s->metadata).inherit ? call_options("namespace", {s->cls, s->metadata})
                                          : Ref::steal(PyObject_GetAttr(s->cls, N.dunder_dict));
  Ref items = Ref::steal(ns ? call_method(ns.get(), N.items) : nullptr);
  Ref it = Ref::steal(items ? PyObject_GetIter(items.get()) : nullptr);
  if (!it) return -1;
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
    Ref name, value;
    if (unpack_pair(item.get(), name, value) < 0 || walk_member(w, name.get(), value.get()) < 0) return -1;
  }
  if (PyErr_Occurred()) return -1;
  Ref names = Ref::steal(PySet_New(s->fields));
  if (!names) return -1;
  Py_SETREF(s->field_names, names.release());
  if (s->raw_keys && use_raw_keys(s) < 0) return -1;
  if (component_pass(w) < 0) return -1;
  return finish_schema(s);
}

// ---- class assembly ------------------------------------------------------------------------------

// type(name, (), {"__module__": ..., "__qualname__": ..., **body})
Ref make_class(PyObject* name, PyObject* qualname,
               std::initializer_list<std::pair<PyObject*, PyObject*>> body) noexcept {
  Ref ns = Ref::steal(PyDict_New());
  if (!ns || PyDict_SetItem(ns.get(), N.dunder_module, N.module_name) < 0 ||
      PyDict_SetItem(ns.get(), N.dunder_qualname, qualname) < 0)
    return {};
  for (auto& kv : body) {
    if (!kv.second || PyDict_SetItem(ns.get(), kv.first, kv.second) < 0) return {};
    if (Py_IS_TYPE(kv.second, &FuncType)) interp::count_as_shared(kv.second);  // read by every thread
  }
  PyObject* args[] = {name, N.empty_tuple, ns.get()};
  return Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), args, 3, nullptr));
}

// field_property(_name, _cast, optional): a new FieldProperty class and its one instance.
PyObject* field_property_impl(Func*, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  PyObject* name = params[0];
  PyObject* cast = params[1];
  int optional = PyObject_IsTrue(params[2]);
  if (optional < 0) return nullptr;
  Ref get = make_function(optional ? kFieldGetOptional : kFieldGet, N.q_field_get, name);
  Ref set = make_function(kFieldSet, N.q_field_set, name, cast);
  Ref cls =
      make_class(N.FieldProperty, N.q_field_property, {{N.dunder_get, get.get()}, {N.dunder_set, set.get()}});
  if (!cls) return nullptr;
  fastpath::install_descriptor_slots(cls.get());
  return PyObject_CallNoArgs(cls.get());
}

const FuncSpec kFieldProperty{
    "field_property",           Shape::Fixed,       3, {&Names::p_name, &Names::p_cast, &Names::optional},
    "(_name, _cast, optional)", field_property_impl};

// CompoundProperty or MultiValueProperty: only __set__ holds the schema.
Ref make_property_class(PyObject* name, PyObject* qualname, const FuncSpec& get, PyObject* get_qualname,
                        const FuncSpec& set, PyObject* set_qualname, PyObject* init_qualname,
                        PyObject* schema) noexcept {
  Ref init_fn = make_function(kPropertyInit, init_qualname);
  Ref get_fn = make_function(get, get_qualname);
  Ref set_fn = make_function(set, set_qualname, schema);
  Ref cls = make_class(
      name, qualname,
      {{N.dunder_init, init_fn.get()}, {N.dunder_get, get_fn.get()}, {N.dunder_set, set_fn.get()}});
  if (cls) fastpath::install_descriptor_slots(cls.get());
  return cls;
}

Ref make_model_class(PyObject* schema) noexcept {
  Ref slots = Ref::steal(PyList_New(2));
  if (!slots) return {};
  PyList_SET_ITEM(slots.get(), 0, Py_NewRef(N.data));
  PyList_SET_ITEM(slots.get(), 1, Py_NewRef(N.compounds));
  Ref init_fn = make_function(kModelInit, N.q_model_init, schema);
  Ref eq_fn = make_function(kModelEq, N.q_model_eq, schema);
  Ref cls =
      make_class(N.ModelClass, N.q_model_class,
                 {{N.dunder_slots, slots.get()}, {N.dunder_init, init_fn.get()}, {N.dunder_eq, eq_fn.get()}});
  if (cls) fastpath::install_init_slot(cls.get());
  return cls;
}

// The annotations of the decorated class, own or inherited, as the same object.
int copy_annotations(PyObject* cls, PyObject* model_class) noexcept {
  Ref probe = Ref::steal(PyObject_GetAttr(cls, N.dunder_annotations));
  if (!probe) {
    PyErr_Clear();  // any error while reading counts as absent
    return 0;
  }
  Ref annotations = Ref::steal(PyObject_GetAttr(cls, N.dunder_annotations));
  if (!annotations) return -1;
  return PyObject_SetAttr(model_class, N.dunder_annotations, annotations.get());
}

int register_class(PyObject* registry_name, PyObject* model_class, PyObject* map) noexcept {
  Ref registry = load_global(registry_name);
  if (!registry) return -1;
  return PyObject_SetItem(registry.get(), model_class, map);
}

// Set every (name, value) of a table on the class by attribute assignment.
int copy_members(PyObject* model_class, PyObject* table) noexcept {
  return for_each_item(table, [&](PyObject* name, PyObject* value) { return PyObject_SetAttr(model_class, name, value); });
}

// One descriptor per declaration of a table, built by `make` and set on the class.
template <typename Make>
int install_group(PyObject* model_class, PyObject* table, Make make) noexcept {
  return for_each_item(table, [&](PyObject* name, PyObject* decl) {
    Ref descriptor = make(name, decl);
    if (descriptor) interp::count_as_shared(descriptor.get());  // found by every thread's attribute lookups
    return descriptor ? PyObject_SetAttr(model_class, name, descriptor.get()) : -1;
  });
}

Ref construct_with(PyObject* cls, PyObject* a, PyObject* b) noexcept {
  PyObject* args[] = {a, b};
  return Ref::steal(PyObject_Vectorcall(cls, args, 2, nullptr));
}

Ref assemble(Walk& w) noexcept {
  Schema* s = w.schema;
  PyObject* schema = reinterpret_cast<PyObject*>(s);
  Ref field_property = make_function(kFieldProperty, N.q_field_property_fn);
  if (!field_property) return {};
  Ref compound_cls =
      make_property_class(N.CompoundProperty, N.q_compound_property, kCompoundGet, N.q_compound_get,
                          kCompoundSet, N.q_compound_set, N.q_compound_init, schema);
  if (!compound_cls) return {};
  Ref multi_cls = make_property_class(N.MultiValueProperty, N.q_multi_value_property, kMultiGet,
                                      N.q_multi_get, kMultiSet, N.q_multi_set, N.q_multi_init, schema);
  if (!multi_cls) return {};
  Ref model_class = make_model_class(schema);
  if (!model_class) return {};
  PyObject* mc = model_class.get();

  Ref name = Ref::steal(PyObject_GetAttr(s->cls, N.dunder_name));
  if (!name || PyObject_SetAttr(mc, N.dunder_name, name.get()) < 0) return {};
  Ref doc = Ref::steal(PyObject_GetAttr(s->cls, N.dunder_doc));
  if (!doc || PyObject_SetAttr(mc, N.dunder_doc, doc.get()) < 0) return {};
  if (copy_annotations(s->cls, mc) < 0) return {};
  if (register_class(N.fields_registry, mc, s->fields) < 0 ||
      register_class(N.flat_fields_registry, mc, w.flat_fields.get()) < 0)
    return {};

  int r = install_group(mc, s->compounds, [&](PyObject* n, PyObject* decl) {
    return construct_with(compound_cls.get(), n, decl);
  });
  if (r == 0)
    r = install_group(mc, s->basic, [&](PyObject* n, PyObject* decl) -> Ref {
      Ref cast = Ref::steal(PyObject_GetAttr(decl, N.cast));
      // A strict model's writes check as its construction does (a declaration of ours already hands out the twin).
      if (cast && s->strict) {
        Ref planned = dict_getitem(s->casts, n);
        if (!planned) return {};
        if (strict_twin(cast.get()) == planned.get()) cast = std::move(planned);
      }
      Ref optional = Ref::steal(cast ? PyObject_GetItem(decl, N.optional) : nullptr);
      if (!optional) return {};
      Ref key = raw_key(s, n);  // the data key the property reads and writes
      if (!key) return {};
      PyObject* args[] = {key.get(), cast.get(), optional.get()};
      return Ref::steal(PyObject_Vectorcall(field_property.get(), args, 3, nullptr));
    });
  if (r == 0)
    r = install_group(mc, s->multi_fields, [&](PyObject* n, PyObject* decl) -> Ref {
      Ref cast = Ref::steal(PyObject_GetAttr(decl, N.cast));
      if (!cast) return {};
      return construct_with(multi_cls.get(), n, cast.get());
    });
  if (r < 0 || copy_members(mc, w.properties.get()) < 0 || copy_members(mc, w.methods.get()) < 0 ||
      copy_members(mc, w.static_values.get()) < 0)
    return {};
  return model_class;
}

// ---- model -------------------------------------------------------------------------------------------

PyObject* model_impl(Func*, PyObject* const* params, Py_ssize_t, PyObject* metadata) noexcept {
  PyObject* cls = params[0];
  if (cls == Py_None) return make_function(kCapture, N.q_capture, metadata).release();
  Ref schema = make_schema(cls, metadata);
  if (!schema) return nullptr;
  Walk w{as_schema(schema.get())};
  if (!w.ok() || collect(w) < 0) return nullptr;
  Ref model_class = assemble(w);
  if (!model_class || register_for_copying(model_class.get(), cls) < 0) return nullptr;
  if (options_of(w.schema->metadata).any && !call_options("apply", {model_class.get(), cls, w.schema->metadata}))
    return nullptr;
  return model_class.release();
}

const FuncSpec kModel{"model", Shape::Model, 1, {&Names::p_cls}, "(cls=None, **metadata)", model_impl};

}  // namespace

Ref make_model() noexcept {
  Ref f = make_function(kModel);
  if (f && !(reinterpret_cast<Func*>(f.get())->defaults = PyTuple_Pack(1, Py_None))) return {};
  return f;
}

}  // namespace quenlory
