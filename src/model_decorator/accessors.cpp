// The three descriptor kinds a model class carries: field properties over the
// data dictionary, compound properties over the compound dictionary (written
// in pairs with the data dictionary), and multi-value properties whose values
// come from the multi-field's proxy.  Also the direct type slots that run them.
#include "compat.hpp"
#include "members.hpp"
#include "schema.hpp"

namespace quenlory {
namespace {

// Offset of the slot that an ordinary read (or assignment) of `name` reaches on
// instances of `tp`, or 0 when it must be made the ordinary way: another
// descriptor, a custom __getattribute__ or __setattr__, a read-only member.
Py_ssize_t slot_offset(PyTypeObject* tp, PyObject* name, bool for_write) noexcept {
  if (for_write ? tp->tp_setattro != PyObject_GenericSetAttr : tp->tp_getattro != PyObject_GenericGetAttr)
    return 0;
  PyObject* descr = compat::type_lookup(tp, name);
  if (!descr || !Py_IS_TYPE(descr, &PyMemberDescr_Type)) return 0;
  PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
  if (member->type != T_OBJECT_EX || (for_write && (member->flags & READONLY)) ||
      !PyType_IsSubtype(tp, PyDescr_TYPE(descr)))
    return 0;
  return member->offset;
}

// Where the two instance slots are, for reads and for assignments.
struct SlotOffsets {
  Py_ssize_t read[2];
  Py_ssize_t write[2];
};
TypeMemo<SlotOffsets> g_slot_offsets;

PyObject* const* slot_names[2] = {&N.data, &N.compounds};

const SlotOffsets& find_offsets(PyTypeObject* tp, SlotOffsets& scratch) noexcept {
  for (int i = 0; i < 2; ++i) {
    scratch.read[i] = slot_offset(tp, *slot_names[i], false);
    scratch.write[i] = slot_offset(tp, *slot_names[i], true);
  }
  g_slot_offsets.store(tp, scratch);
  return scratch;
}

QUENLORY_HOT const SlotOffsets& offsets_of(PyTypeObject* tp, SlotOffsets& scratch) noexcept {
  if (const SlotOffsets* known = g_slot_offsets.find(tp)) return *known;
  return find_offsets(tp, scratch);
}

QUENLORY_HOT PyObject** slot_at(PyObject* inst, Py_ssize_t offset) noexcept {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(inst) + offset);
}

QUENLORY_HOT Ref get_slot(PyObject* inst, int which) noexcept {
  SlotOffsets scratch;
  Py_ssize_t offset = offsets_of(Py_TYPE(inst), scratch).read[which];
  // An unset slot takes the ordinary path, which raises the interpreter's own error.
  if (offset) {
    if (PyObject* v = *slot_at(inst, offset)) return Ref::borrow(v);
  }
  return Ref::steal(PyObject_GetAttr(inst, *slot_names[which]));
}

}  // namespace

Func* lookup_function_attribute(TypeMemo<Func*>& memo, PyTypeObject* tp, PyObject* name) noexcept {
  PyObject* fn = compat::type_lookup(tp, name);
  Func* f = fn && Py_IS_TYPE(fn, &FuncType) ? reinterpret_cast<Func*>(fn) : nullptr;
  memo.store(tp, f);
  return f;
}

Ref get_data(PyObject* instance) noexcept { return get_slot(instance, 0); }
Ref get_compounds(PyObject* instance) noexcept { return get_slot(instance, 1); }

int set_slot(PyObject* instance, PyObject* name, PyObject* value) noexcept {
  int which = name == N.data ? 0 : name == N.compounds ? 1 : -1;
  SlotOffsets scratch;
  if (Py_ssize_t offset = which < 0 ? 0 : offsets_of(Py_TYPE(instance), scratch).write[which]) {
    Py_INCREF(value);
    Py_XSETREF(*slot_at(instance, offset), value);
    return 0;
  }
  return PyObject_SetAttr(instance, name, value);
}

namespace {

QUENLORY_HOT Ref item_of(PyObject* mapping, PyObject* key) noexcept {
  if (PyDict_CheckExact(mapping)) {
    if (PyObject* v = compat::dict_peek(mapping, key)) return Ref::borrow(v);
    return compat::dict_getitem(mapping, key);  // absent: the KeyError (or the lookup's own error)
  }
  return Ref::steal(PyObject_GetItem(mapping, key));
}

}  // namespace

Ref get_item(PyObject* mapping, PyObject* key) noexcept { return item_of(mapping, key); }

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

int optional_flag(PyObject* metadata) noexcept {
  if (PyDict_CheckExact(metadata)) {
    PyObject* flag = compat::dict_peek(metadata, N.optional);
    if (!flag) return PyErr_Occurred() ? -1 : 0;
    Ref held = Ref::borrow(flag);  // its truth test may run code
    return PyObject_IsTrue(held.get());
  }
  Ref flag = Ref::steal(compat::call_method(metadata, N.get, N.optional, Py_False));
  return flag ? PyObject_IsTrue(flag.get()) : -1;
}

namespace {

// ---- field properties ------------------------------------------------------------------------

// The optional variant reads with get(), so an absent key reads as None.
QUENLORY_HOT PyObject* field_get(PyObject* name, PyObject* instance, bool optional) noexcept {
  Ref data = get_slot(instance, 0);
  if (!data) return nullptr;
  if (!optional) return item_of(data.get(), name).release();
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

// Reads that run in line: a plain field, or a compound or multi-value property
// whose `name` is read from its instance dictionary.
enum class InlineRead : unsigned char { None, Field, Property };

// What a read needs to know about a descriptor class, found under one version tag.
struct GetInfo {
  Func* get;          // the class's __get__ when it is one of our functions
  bool name_in_dict;  // whether an ordinary lookup of `name` on its instances ends
                      // in the instance dictionary: no custom lookup, nothing of
                      // that name on the class
  InlineRead inline_read;
  PyObject* key;  // a plain field's name (held by the function)
  // The class of the instance last read through a descriptor of this class,
  // with its version tag and the offset of the slot the read takes (0: none):
  // one comparison in front of the memo of slot offsets.
  mutable PyTypeObject* owner;
  mutable unsigned int owner_tag;
  mutable Py_ssize_t owner_offset;
};
TypeMemo<GetInfo> g_get_info;

[[gnu::noinline]] const GetInfo& find_get_info(PyTypeObject* tp, GetInfo& scratch) noexcept {
  PyObject* fn = compat::type_lookup(tp, N.dunder_get);
  scratch.get = fn && Py_IS_TYPE(fn, &FuncType) ? reinterpret_cast<Func*>(fn) : nullptr;
  scratch.owner = nullptr;
  scratch.owner_tag = 0;
  scratch.owner_offset = 0;
  scratch.name_in_dict = tp->tp_getattro == PyObject_GenericGetAttr && !compat::type_lookup(tp, N.name);
  const FuncSpec* spec = scratch.get ? scratch.get->spec : nullptr;
  scratch.inline_read = InlineRead::None;
  scratch.key = nullptr;
  if (spec == &kFieldGet) {
    scratch.inline_read = InlineRead::Field;
    scratch.key = scratch.get->c0;
  } else if ((spec == &kCompoundGet || spec == &kMultiGet) && scratch.name_in_dict) {
    scratch.inline_read = InlineRead::Property;
  }
  g_get_info.store(tp, scratch);
  return scratch;
}

QUENLORY_HOT const GetInfo& get_info(PyTypeObject* tp, GetInfo& scratch) noexcept {
  if (const GetInfo* known = g_get_info.find(tp)) return *known;
  return find_get_info(tp, scratch);
}

#if QUENLORY_DICT_VERSIONS
// The value under "name" in recently read instance dictionaries, each with the
// version tag of the dict when it was read; a hit means the dict is unchanged
// since, so it still holds the value.  Only dicts whose keys are all exact str
// are remembered: a lookup there runs no code, so skipping it changes nothing.
struct NameMemo {
  PyObject* dict;
  uint64_t version;
  PyObject* name;
};
NameMemo g_names[64];

QUENLORY_HOT NameMemo& name_memo(PyObject* dict) noexcept {
  return g_names[(reinterpret_cast<uintptr_t>(dict) >> 6) % (sizeof g_names / sizeof g_names[0])];
}

bool str_keys_only(PyObject* dict) noexcept {
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

// The remembered "name" of an instance dictionary (borrowed), or nullptr.
QUENLORY_HOT PyObject* remembered_in(PyObject* dict) noexcept {
  const NameMemo& memo = name_memo(dict);
  return memo.dict == dict && memo.version == compat::dict_version(dict) ? memo.name : nullptr;
}

QUENLORY_HOT PyObject* remembered_name(PyObject* self) noexcept {
  PyObject* dict = compat::instance_dict(self);
  return dict ? remembered_in(dict) : nullptr;
}

// The instance dictionary's "name", as the ordinary lookup would read it: ok is
// false when the dictionary cannot be asked directly.
Ref name_from_instance_dict(PyObject* self, bool& ok) noexcept {
  PyObject* dict = compat::instance_dict(self);
  ok = dict != nullptr;
  if (!ok) return {};
  if (PyObject* known = remembered_in(dict)) return Ref::borrow(known);
  Ref held = Ref::borrow(dict);  // the lookup may run code that replaces it
  PyObject* v = PyDict_GetItemWithError(dict, N.name);
  if (v) {
    Ref name = Ref::borrow(v);
    if (str_keys_only(dict)) name_memo(dict) = NameMemo{dict, compat::dict_version(dict), v};
    return name;
  }
  ok = PyErr_Occurred() != nullptr;  // absent: the ordinary lookup raises its own error
  return {};
}
#else
QUENLORY_HOT PyObject* remembered_name(PyObject*) noexcept { return nullptr; }

Ref name_from_instance_dict(PyObject* self, bool& ok) noexcept {
  Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
  ok = static_cast<bool>(dict);
  if (!ok) {
    PyErr_Clear();  // the ordinary lookup says what is wrong
    return {};
  }
  if (PyObject* v = PyDict_GetItemWithError(dict.get(), N.name)) return Ref::borrow(v);
  ok = PyErr_Occurred() != nullptr;
  return {};
}
#endif

// The property's attribute `name`, read anew on every use (outside code may change it).
Ref property_name(PyObject* self) noexcept {
  GetInfo scratch;
  if (get_info(Py_TYPE(self), scratch).name_in_dict) {
    bool ok;
    Ref name = name_from_instance_dict(self, ok);
    if (ok) return name;
  }
  return Ref::steal(PyObject_GetAttr(self, N.name));
}

// Both kinds read the compound dictionary under the property's current name.
PyObject* property_get(PyObject* self, PyObject* instance) noexcept {
  Ref compounds = get_slot(instance, 1);
  if (!compounds) return nullptr;
  Ref name = property_name(self);
  if (!name) return nullptr;
  return item_of(compounds.get(), name.get()).release();
}

PyObject* property_get_impl(Func*, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  return property_get(params[0], params[1]);
}

// Store `value` in the instance slot `slot` under the property's name, read anew.
int store_under_name(PyObject* self, PyObject* instance, PyObject* slot, PyObject* value) noexcept {
  Ref target = slot == N.data ? get_data(instance) : get_compounds(instance);
  if (!target) return -1;
  Ref name = property_name(self);
  if (!name) return -1;
  return set_item(target.get(), name.get(), value);
}

// Ref to the schema table entry under the property's current name.
Ref lookup_by_name(PyObject* self, PyObject* table) noexcept {
  Ref name = property_name(self);
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

TypeMemo<Func*> g_set_functions;

// Every read but those of an exact dictionary in the slot with a known key.
[[gnu::noinline]] PyObject* descr_get_body(Func* f, PyObject* self, PyObject* obj, PyObject* type) noexcept {
  // The function is held while its body runs: code it calls may take it off the class.
  Ref hold = Ref::borrow(reinterpret_cast<PyObject*>(f));
  PyObject* instance = obj ? obj : Py_None;
  if (f->spec == &kFieldGet) return field_get(f->c0, instance, false);
  if (f->spec == &kFieldGetOptional) return field_get(f->c0, instance, true);
  if (f->spec == &kCompoundGet || f->spec == &kMultiGet) return property_get(self, instance);
  return g_generic_get(self, obj, type);
}

[[gnu::noinline, gnu::cold]] PyObject* missing_key(PyObject* mapping, PyObject* key) noexcept {
  if (!PyErr_Occurred()) compat::dict_getitem(mapping, key);  // raises the KeyError
  return nullptr;
}

// mapping[key] for an exact dict; both are held across the lookup, which may run a key's __eq__.
[[gnu::noinline]] PyObject* subscript_held(PyObject* mapping, PyObject* key) noexcept {
  Ref held_mapping = Ref::steal(Py_NewRef(mapping));
  Ref held_key = Ref::steal(Py_NewRef(key));
  PyObject* v = compat::dict_peek(mapping, key);
  if (__builtin_expect(v != nullptr, 1)) return Py_NewRef(v);
  return missing_key(mapping, key);
}

// The exact dict in slot `which` of `obj` when the ordinary lookup would find it there, else nullptr.
QUENLORY_HOT PyObject* known_slot_dict(const GetInfo& info, PyObject* obj, int which) noexcept {
  PyTypeObject* tp = Py_TYPE(obj);
  unsigned int tag = compat::version_tag(tp);
  Py_ssize_t offset;
  if (tp == info.owner && tag == info.owner_tag && tag != 0) {
    offset = info.owner_offset;
  } else {
    const SlotOffsets* known = g_slot_offsets.find(tp);
    if (!known) return nullptr;
    offset = known->read[which];
    info.owner = tp;
    info.owner_tag = tag;
    info.owner_offset = offset;
  }
  if (!offset) return nullptr;
  PyObject* d = *slot_at(obj, offset);
  return d && PyDict_CheckExact(d) ? d : nullptr;
}

// The reads that do not run in line: by the class's function when it is ours.
[[gnu::noinline]] PyObject* descr_get_by(const GetInfo& info, PyObject* self, PyObject* obj,
                                         PyObject* type) noexcept {
  if (info.get) return descr_get_body(info.get, self, obj, type);
  return g_generic_get(self, obj, type);
}

// The same when the memo had nothing for the class.
[[gnu::noinline]] PyObject* descr_get_first(PyObject* self, PyObject* obj, PyObject* type) noexcept {
  GetInfo scratch;
  return descr_get_by(find_get_info(Py_TYPE(self), scratch), self, obj, type);
}

// A compound or multi-value read whose every step is a plain read that runs no code.
[[gnu::noinline]] PyObject* property_get_direct(const GetInfo& info, PyObject* self, PyObject* obj,
                                                PyObject* type) noexcept {
  if (PyObject* compounds = known_slot_dict(info, obj, 1)) {
    if (PyObject* name = remembered_name(self)) return subscript_held(compounds, name);
  }
  return descr_get_by(info, self, obj, type);
}

// The common reads run in line when every step is a plain read that runs no
// code.  Every path ends in a call that needs nothing kept, so the frame stays light.
PyObject* descr_get_slot(PyObject* self, PyObject* obj, PyObject* type) noexcept {
  const GetInfo* info = g_get_info.find(Py_TYPE(self));
  if (__builtin_expect(!info, 0)) return descr_get_first(self, obj, type);
  if (__builtin_expect(obj != nullptr, 1)) {
    if (info->inline_read == InlineRead::Field) {
      if (PyObject* data = known_slot_dict(*info, obj, 0)) return subscript_held(data, info->key);
    } else if (info->inline_read == InlineRead::Property) {
      return property_get_direct(*info, self, obj, type);
    }
  }
  return descr_get_by(*info, self, obj, type);
}

int descr_set_slot(PyObject* self, PyObject* obj, PyObject* value) noexcept {
  // Deletion takes the generic path, which reports the missing __delete__.
  if (Func* f = value ? function_attribute(g_set_functions, Py_TYPE(self), N.dunder_set) : nullptr) {
    Ref hold = Ref::borrow(reinterpret_cast<PyObject*>(f));
    if (f->spec == &kFieldSet) return field_set(f->c0, f->c1, obj, value);
    if (f->spec == &kCompoundSet) return compound_set(as_schema(f->c0), self, obj, value);
    if (f->spec == &kMultiSet) return multi_set(as_schema(f->c0), self, obj, value);
  }
  return g_generic_set(self, obj, value);
}

}  // namespace

// The two descriptor signatures, shared by all three kinds.
constexpr FuncSpec descriptor_get(Impl impl) noexcept {
  return {"__get__",
          Shape::Fixed,
          3,
          {&Names::p_self, &Names::p_instance, &Names::p_objtype},
          "(self, instance, objtype)",
          impl};
}
constexpr FuncSpec descriptor_set(Impl impl) noexcept {
  return {"__set__",
          Shape::Fixed,
          3,
          {&Names::p_self, &Names::p_instance, &Names::p_value},
          "(self, instance, value)",
          impl};
}

const FuncSpec kFieldGet = descriptor_get(field_get_impl);
const FuncSpec kFieldGetOptional = descriptor_get(field_get_optional_impl);
const FuncSpec kFieldSet = descriptor_set(field_set_impl);
const FuncSpec kPropertyInit{
    "__init__",        Shape::Fixed, 3, {&Names::p_self, &Names::name, &Names::field}, "(self, name, field)",
    property_init_impl};
const FuncSpec kCompoundGet = descriptor_get(property_get_impl);
const FuncSpec kCompoundSet = descriptor_set(compound_set_impl);
const FuncSpec kMultiGet = descriptor_get(property_get_impl);
const FuncSpec kMultiSet = descriptor_set(multi_set_impl);

void install_descriptor_slots(PyObject* cls) noexcept {
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
  if (!g_generic_get) g_generic_get = tp->tp_descr_get;
  if (!g_generic_set) g_generic_set = tp->tp_descr_set;
  if (tp->tp_descr_get == g_generic_get) tp->tp_descr_get = descr_get_slot;
  if (tp->tp_descr_set == g_generic_set) tp->tp_descr_set = descr_set_slot;
}

}  // namespace quenlory
