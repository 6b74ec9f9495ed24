// The three descriptor kinds a model class carries: field properties over the
// data dictionary, compound properties over the compound dictionary (written
// in pairs with the data dictionary), and multi-value properties whose values
// come from the multi-field's proxy.  Also the direct type slots that run them.
#include "compat.hpp"
#include "members.hpp"
#include "schema.hpp"

namespace quenlory {
namespace {

// The address of the slot that an ordinary assignment of `name` would write on
// `inst`; nullptr when the assignment must be made the ordinary way.
PyObject** writable_slot_address(PyObject* inst, PyObject* name) noexcept {
  PyTypeObject* tp = Py_TYPE(inst);
  if (tp->tp_setattro != PyObject_GenericSetAttr) return nullptr;
  PyObject* descr = compat::type_lookup(tp, name);
  if (!descr || !Py_IS_TYPE(descr, &PyMemberDescr_Type)) return nullptr;
  PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
  if (member->type != T_OBJECT_EX || (member->flags & READONLY) ||
      !PyObject_TypeCheck(inst, PyDescr_TYPE(descr)))
    return nullptr;
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(inst) + member->offset);
}

// Offset of the slot that an ordinary read of `name` finds on instances of
// `tp`, or 0 when the read must be made the ordinary way.
Py_ssize_t readable_slot_offset(PyTypeObject* tp, PyObject* name) noexcept {
  if (tp->tp_getattro != PyObject_GenericGetAttr) return 0;
  PyObject* descr = compat::type_lookup(tp, name);
  if (!descr || !Py_IS_TYPE(descr, &PyMemberDescr_Type)) return 0;
  PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
  if (member->type != T_OBJECT_EX || !PyType_IsSubtype(tp, PyDescr_TYPE(descr))) return 0;
  return member->offset;
}

struct SlotOffsets {
  Py_ssize_t data;
  Py_ssize_t compounds;
};
TypeMemo<SlotOffsets> g_slot_offsets;

Ref get_slot(PyObject* inst, bool compounds) noexcept {
  PyTypeObject* tp = Py_TYPE(inst);
  const SlotOffsets* known = g_slot_offsets.find(tp);
  SlotOffsets offsets;
  if (!known) {
    offsets = SlotOffsets{readable_slot_offset(tp, N.data), readable_slot_offset(tp, N.compounds)};
    g_slot_offsets.store(tp, offsets);
    known = &offsets;
  }
  Py_ssize_t offset = compounds ? known->compounds : known->data;
  if (offset) {
    // An unset slot takes the ordinary path, which raises the interpreter's own error.
    if (PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(inst) + offset))
      return Ref::borrow(v);
  }
  return Ref::steal(PyObject_GetAttr(inst, compounds ? N.compounds : N.data));
}

}  // namespace

Func* function_attribute(TypeMemo<Func*>& memo, PyTypeObject* tp, PyObject* name) noexcept {
  if (Func* const* known = memo.find(tp)) return *known;
  PyObject* fn = compat::type_lookup(tp, name);
  Func* f = fn && Py_IS_TYPE(fn, &FuncType) ? reinterpret_cast<Func*>(fn) : nullptr;
  memo.store(tp, f);
  return f;
}

Ref get_data(PyObject* instance) noexcept { return get_slot(instance, false); }
Ref get_compounds(PyObject* instance) noexcept { return get_slot(instance, true); }

int set_slot(PyObject* instance, PyObject* name, PyObject* value) noexcept {
  if (PyObject** address = writable_slot_address(instance, name)) {
    Py_INCREF(value);
    Py_XSETREF(*address, value);
    return 0;
  }
  return PyObject_SetAttr(instance, name, value);
}

Ref get_item(PyObject* mapping, PyObject* key) noexcept {
  if (PyDict_CheckExact(mapping)) return compat::dict_getitem(mapping, key);
  return Ref::steal(PyObject_GetItem(mapping, key));
}

int set_item(PyObject* mapping, PyObject* key, PyObject* value) noexcept {
  if (PyDict_CheckExact(mapping)) return PyDict_SetItem(mapping, key, value);
  return PyObject_SetItem(mapping, key, value);
}

PyObject* call_cast(PyObject* cast, PyObject* value) noexcept {
  // Wrappers of wrappers (a declaration shared by several optional models) are unwound in a loop.
  while (Func* wrapper = as_function(cast, kOptionalCast)) {
    if (value == Py_None) return new_none();
    cast = wrapper->c0;
  }
  if (cast == reinterpret_cast<PyObject*>(&PyLong_Type)) return PyNumber_Long(value);
  if (cast == reinterpret_cast<PyObject*>(&PyUnicode_Type)) return PyObject_Str(value);
  if (cast == reinterpret_cast<PyObject*>(&PyFloat_Type))
    return PyUnicode_CheckExact(value) ? PyFloat_FromString(value) : PyNumber_Float(value);
  return compat::call_one(cast, value);
}

namespace {

// ---- field properties ------------------------------------------------------------------------

// The optional variant reads with get(), so an absent key reads as None.
PyObject* field_get(PyObject* name, PyObject* instance, bool optional) noexcept {
  Ref data = get_data(instance);
  if (!data) return nullptr;
  if (!optional) return get_item(data.get(), name).release();
  if (PyDict_CheckExact(data.get())) {
    if (PyObject* v = compat::dict_peek(data.get(), name)) return Py_NewRef(v);
    return PyErr_Occurred() ? nullptr : new_none();
  }
  return compat::call_method(data.get(), N.get, name);
}

// The cast runs first, so a failing cast leaves the data dictionary untouched.
int field_set(PyObject* name, PyObject* cast, PyObject* instance, PyObject* value) noexcept {
  Ref converted = Ref::steal(call_cast(cast, value));
  if (!converted) return -1;
  Ref data = get_data(instance);
  if (!data) return -1;
  return set_item(data.get(), name, converted.get());
}

PyObject* field_get_impl(Func* f, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  return field_get(f->c0, params[1], false);
}
PyObject* field_get_optional_impl(Func* f, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  return field_get(f->c0, params[1], true);
}
PyObject* field_set_impl(Func* f, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  return field_set(f->c0, f->c1, params[1], params[2]) < 0 ? nullptr : new_none();
}

// ---- compound and multi-value properties -------------------------------------------------------

PyObject* property_init_impl(Func*, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  if (PyObject_SetAttr(params[0], N.name, params[1]) < 0 ||
      PyObject_SetAttr(params[0], N.field, params[2]) < 0)
    return nullptr;
  return new_none();
}

// Both kinds read the compound dictionary under the property's current name.
PyObject* property_get(PyObject* self, PyObject* instance) noexcept {
  Ref compounds = get_compounds(instance);
  if (!compounds) return nullptr;
  Ref name = Ref::steal(PyObject_GetAttr(self, N.name));
  if (!name) return nullptr;
  return get_item(compounds.get(), name.get()).release();
}

PyObject* property_get_impl(Func*, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  return property_get(params[0], params[1]);
}

// Store `value` in the instance slot `slot` under the property's name, read anew.
int store_under_name(PyObject* self, PyObject* instance, PyObject* slot, PyObject* value) noexcept {
  Ref target = slot == N.data ? get_data(instance) : get_compounds(instance);
  if (!target) return -1;
  Ref name = Ref::steal(PyObject_GetAttr(self, N.name));
  if (!name) return -1;
  return set_item(target.get(), name.get(), value);
}

// Ref to the schema table entry under the property's current name.
Ref lookup_by_name(PyObject* self, PyObject* table) noexcept {
  Ref name = Ref::steal(PyObject_GetAttr(self, N.name));
  if (!name) return {};
  return compat::dict_getitem(table, name.get());
}

// The compound's cast gives a pair: item 0 for the compound dictionary, item 1
// for the data dictionary.  Nothing is stored unless the pair unpacks.
int compound_set(Schema* s, PyObject* self, PyObject* instance, PyObject* value) noexcept {
  Ref cast = lookup_by_name(self, s->casts);
  if (!cast) return -1;
  Ref pair = Ref::steal(call_cast(cast.get(), value));
  if (!pair) return -1;
  Ref item0, item1;
  if (unpack_pair(pair.get(), item0, item1) < 0) return -1;
  if (store_under_name(self, instance, N.compounds, item0.get()) < 0) return -1;
  return store_under_name(self, instance, N.data, item1.get());
}

// The proxy receives the data dictionary itself and the cast value; what it
// returns is what the attribute reads.
int multi_set(Schema* s, PyObject* self, PyObject* instance, PyObject* value) noexcept {
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
  return store_under_name(self, instance, N.compounds, result.get());
}

PyObject* compound_set_impl(Func* f, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  return compound_set(as_schema(f->c0), params[0], params[1], params[2]) < 0 ? nullptr : new_none();
}
PyObject* multi_set_impl(Func* f, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  return multi_set(as_schema(f->c0), params[0], params[1], params[2]) < 0 ? nullptr : new_none();
}

// ---- direct slots ------------------------------------------------------------------------------------

// CPython's generic slots, which look the dunder up and call it; taken from the
// first class made, before our slots replace them.
descrgetfunc g_generic_get = nullptr;
descrsetfunc g_generic_set = nullptr;

TypeMemo<Func*> g_get_functions;
TypeMemo<Func*> g_set_functions;

PyObject* descr_get_slot(PyObject* self, PyObject* obj, PyObject* type) noexcept {
  if (Func* f = function_attribute(g_get_functions, Py_TYPE(self), N.dunder_get)) {
    PyObject* instance = obj ? obj : Py_None;
    if (f->spec == &kFieldGet) return field_get(f->c0, instance, false);
    if (f->spec == &kFieldGetOptional) return field_get(f->c0, instance, true);
    if (f->spec == &kCompoundGet || f->spec == &kMultiGet) return property_get(self, instance);
  }
  return g_generic_get(self, obj, type);
}

int descr_set_slot(PyObject* self, PyObject* obj, PyObject* value) noexcept {
  // Deletion takes the generic path, which reports the missing __delete__.
  if (Func* f = value ? function_attribute(g_set_functions, Py_TYPE(self), N.dunder_set) : nullptr) {
    if (f->spec == &kFieldSet) return field_set(f->c0, f->c1, obj, value);
    if (f->spec == &kCompoundSet) return compound_set(as_schema(f->c0), self, obj, value);
    if (f->spec == &kMultiSet) return multi_set(as_schema(f->c0), self, obj, value);
  }
  return g_generic_set(self, obj, value);
}

}  // namespace

const FuncSpec kFieldGet{"__get__",
                         Shape::Fixed,
                         3,
                         {&Names::p_self, &Names::p_instance, &Names::p_objtype},
                         "(self, instance, objtype)",
                         field_get_impl};
const FuncSpec kFieldGetOptional{"__get__",
                                 Shape::Fixed,
                                 3,
                                 {&Names::p_self, &Names::p_instance, &Names::p_objtype},
                                 "(self, instance, objtype)",
                                 field_get_optional_impl};
const FuncSpec kFieldSet{"__set__",
                         Shape::Fixed,
                         3,
                         {&Names::p_self, &Names::p_instance, &Names::p_value},
                         "(self, instance, value)",
                         field_set_impl};
const FuncSpec kPropertyInit{
    "__init__",        Shape::Fixed, 3, {&Names::p_self, &Names::name, &Names::field}, "(self, name, field)",
    property_init_impl};
const FuncSpec kCompoundGet{"__get__",
                            Shape::Fixed,
                            3,
                            {&Names::p_self, &Names::p_instance, &Names::p_objtype},
                            "(self, instance, objtype)",
                            property_get_impl};
const FuncSpec kCompoundSet{"__set__",
                            Shape::Fixed,
                            3,
                            {&Names::p_self, &Names::p_instance, &Names::p_value},
                            "(self, instance, value)",
                            compound_set_impl};
const FuncSpec kMultiGet{"__get__",
                         Shape::Fixed,
                         3,
                         {&Names::p_self, &Names::p_instance, &Names::p_objtype},
                         "(self, instance, objtype)",
                         property_get_impl};
const FuncSpec kMultiSet{"__set__",
                         Shape::Fixed,
                         3,
                         {&Names::p_self, &Names::p_instance, &Names::p_value},
                         "(self, instance, value)",
                         multi_set_impl};

void install_descriptor_slots(PyObject* cls) noexcept {
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
  if (!g_generic_get) g_generic_get = tp->tp_descr_get;
  if (!g_generic_set) g_generic_set = tp->tp_descr_set;
  if (tp->tp_descr_get == g_generic_get) tp->tp_descr_get = descr_get_slot;
  if (tp->tp_descr_set == g_generic_set) tp->tp_descr_set = descr_set_slot;
}

}  // namespace quenlory
