// The three descriptor kinds a model class carries: field properties over the
// data dictionary, compound properties over the compound dictionary (written
// in pairs with the data dictionary), and multi-value properties whose values
// come from the multi-field's proxy.
//
// Layer 9 (docs/architecture.md): includes layers 0-8; calls layers 0-8; only decorator.cpp names its kinds.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the memo
//   invariants and windows (memo.hpp); the direct-slot rules (fastpath.cpp); after the collector, what it may
//   have cleared is checked (schema.hpp).
#include "accessors.hpp"

#include "compound_reads.hpp"
#include "debug.hpp"
#include "memo.hpp"
#include "nested.hpp"
#include "casts.hpp"
#include "mapping.hpp"
#include "storage.hpp"
#include "schema.hpp"

namespace quenlory {
namespace {

// What a body takes for granted on entry: its own function, of a kind that has
// this body, its arguments, and no exception pending.
inline bool entered_as(Func* f, const FuncSpec& kind, PyObject* self, PyObject* instance) noexcept {
  return as_function(reinterpret_cast<PyObject*>(f), kind) == f && self && instance && !PyErr_Occurred();
}

// ---- field properties ------------------------------------------------------------------------

// The optional variant reads with get(), so an absent key reads as None.
PyObject* field_get(PyObject* name, PyObject* instance, bool optional) noexcept {
  Ref data = get_data(instance);
  if (!data) return nullptr;
  if (!optional) return get_item(data.get(), name).release();
  if (PyDict_CheckExact(data.get())) {
    if (Ref v = interp::dict_get(data.get(), name)) return v.release();
    return PyErr_Occurred() ? nullptr : new_none();
  }
  return call_method(data.get(), N.get, name);
}

// The cast runs first, so a failing cast leaves the data dictionary untouched.
int field_set(PyObject* name, PyObject* cast, PyObject* instance, PyObject* value) noexcept {
  Ref converted = Ref::steal(call_cast(cast, value));
  if (!converted) return -1;
  Ref data = get_data(instance);
  if (!data) return -1;
  return set_item(data.get(), name, converted.get());
}

PyObject* field_get_direct(Func* f, PyObject* self, PyObject* instance) noexcept {
  QUENLORY_ASSERT(entered_as(f, kFieldGet, self, instance));
  PyObject* name = closure_object(f);
  return name ? field_get(name, instance, false) : nullptr;
}
PyObject* field_get_optional_direct(Func* f, PyObject* self, PyObject* instance) noexcept {
  QUENLORY_ASSERT(entered_as(f, kFieldGetOptional, self, instance));
  PyObject* name = closure_object(f);
  return name ? field_get(name, instance, true) : nullptr;
}
int field_set_direct(Func* f, PyObject* self, PyObject* instance, PyObject* value) noexcept {
  QUENLORY_ASSERT(entered_as(f, kFieldSet, self, instance) && value);
  // The caller holds the function, and with it its closure.
  PyObject* name = closure_object(f);
  PyObject* cast = name ? closure_cast(f) : nullptr;
  return cast ? field_set(name, cast, instance, value) : -1;
}

// ---- compound and multi-value properties -------------------------------------------------------

PyObject* property_init_impl(Func*, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  if (PyObject_SetAttr(params[0], N.name, params[1]) < 0 ||
      PyObject_SetAttr(params[0], N.field, params[2]) < 0)
    return nullptr;
  return new_none();
}


// Both kinds read the compound dictionary under the property's current name.
PyObject* property_get(Func* f, PyObject* self, PyObject* instance) noexcept {
  QUENLORY_ASSERT(entered_as(f, kCompoundGet, self, instance) || entered_as(f, kMultiGet, self, instance));
  return read_compound(self, instance, name_in_instance_dict(Py_TYPE(self)));
}

// Store `value` in the instance slot `slot` under the property's name, read anew.
int store_under_name(PyObject* self, PyObject* instance, Slot slot, PyObject* value) noexcept {
  Ref target = get_slot(instance, slot);
  if (!target) return -1;
  Ref name = property_name(self);
  if (!name) return -1;
  return set_item(target.get(), name.get(), value);
}

// Store `value` in the data dictionary under the field's key there: its raw key, else its name.
int store_under_key(Schema* s, PyObject* self, PyObject* instance, PyObject* value) noexcept {
  Ref target = get_slot(instance, Slot::Data);
  Ref name = Ref::steal(target ? property_name(self).release() : nullptr);
  Ref key = name ? raw_key(s, name.get()) : Ref();
  return key ? set_item(target.get(), key.get(), value) : -1;
}

// Ref to the schema table entry under the property's current name.
Ref lookup_by_name(PyObject* self, PyObject* table) noexcept {
  Ref name = property_name(self);
  if (!name) return {};
  return dict_getitem(table, name.get());
}

// The compound's cast gives a pair: item 0 for the compound dictionary, item 1
// for the data dictionary.  Nothing is stored unless the pair unpacks.
int compound_set(Func* f, PyObject* self, PyObject* instance, PyObject* value) noexcept {
  QUENLORY_ASSERT(entered_as(f, kCompoundSet, self, instance) && value);
  Schema* s = closure_schema(f);  // held by the function, which the caller holds
  if (!s) return -1;
  Ref cast = lookup_by_name(self, s->casts);
  if (!cast) return -1;
  Ref item0, item1;
  // A nested model or list of models is built in the core, as its cast would build it.
  int r = nested::cast_pair(cast.get(), value, item0, item1);
  if (r < 0) return -1;
  if (r == 0) {
    Ref pair = Ref::steal(call_cast(cast.get(), value));
    if (!pair || unpack_pair(pair.get(), item0, item1) < 0) return -1;
  }
  if (store_under_name(self, instance, Slot::Compounds, item0.get()) < 0) return -1;
  if (s->raw_keys) return store_under_key(s, self, instance, item1.get());
  return store_under_name(self, instance, Slot::Data, item1.get());
}

// The proxy receives the data dictionary itself and the cast value; what it
// returns is what the attribute reads.
int multi_set(Func* f, PyObject* self, PyObject* instance, PyObject* value) noexcept {
  QUENLORY_ASSERT(entered_as(f, kMultiSet, self, instance) && value);
  Schema* s = closure_schema(f);  // held by the function, which the caller holds
  if (!s) return -1;
  Ref proxy = lookup_by_name(self, s->proxies);
  if (!proxy) return -1;
  Ref data = get_data(instance);
  if (!data) return -1;
  Ref cast = lookup_by_name(self, s->casts);
  if (!cast) return -1;
  Ref converted = Ref::steal(call_cast(cast.get(), value));
  if (!converted) return -1;
  PyObject* args[] = {data.get(), converted.get()};
  Ref result = Ref::steal(PyObject_Vectorcall(proxy.get(), args, 2, nullptr));
  if (!result) return -1;
  return store_under_name(self, instance, Slot::Compounds, result.get());
}

// The vectorcall bodies: __get__(self, instance, objtype) and __set__(self, instance, value).
template <DescrGet get>
PyObject* get_impl(Func* f, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  return get(f, params[0], params[1]);
}
template <DescrSet set>
PyObject* set_impl(Func* f, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  return set(f, params[0], params[1], params[2]) < 0 ? nullptr : new_none();
}

}  // namespace

// The two descriptor signatures, shared by all three kinds.
template <DescrGet get>
constexpr FuncSpec descriptor_get(InlineRead inline_read) noexcept {
  return {"__get__",
          Shape::Fixed,
          3,
          {&Names::p_self, &Names::p_instance, &Names::p_objtype},
          "(self, instance, objtype)",
          get_impl<get>,
          get,
          nullptr,
          nullptr,
          inline_read};
}
template <DescrSet set>
constexpr FuncSpec descriptor_set(InlineWrite inline_write) noexcept {
  return {"__set__",
          Shape::Fixed,
          3,
          {&Names::p_self, &Names::p_instance, &Names::p_value},
          "(self, instance, value)",
          set_impl<set>,
          nullptr,
          set,
          nullptr,
          InlineRead::None,
          inline_write};
}

const FuncSpec kFieldGet = descriptor_get<field_get_direct>(InlineRead::Key);
const FuncSpec kFieldGetOptional = descriptor_get<field_get_optional_direct>(InlineRead::None);
const FuncSpec kFieldSet = descriptor_set<field_set_direct>(InlineWrite::Key);
const FuncSpec kPropertyInit{
    "__init__",        Shape::Fixed, 3, {&Names::p_self, &Names::name, &Names::field}, "(self, name, field)",
    property_init_impl};
const FuncSpec kCompoundGet = descriptor_get<property_get>(InlineRead::Property);
const FuncSpec kCompoundSet = descriptor_set<compound_set>(InlineWrite::None);
const FuncSpec kMultiGet = descriptor_get<property_get>(InlineRead::Property);
const FuncSpec kMultiSet = descriptor_set<multi_set>(InlineWrite::None);

}  // namespace quenlory
