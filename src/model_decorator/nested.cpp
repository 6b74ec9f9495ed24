// Nested models built in the core: what ProxyField._to_pair and
// ListField._to_pair do, step for step, for the values they see most (a dict,
// an instance of the nested model, a list of those), without their frames.
//
// Rules
// 1. Only a declaration whose class is exactly ProxyField or ListField, whose
//    cast (after any optional wrappers) is its own `_to_pair` bound to it as
//    those classes define it, is built here: a subclass, or a declaration
//    given another cast, keeps calling its cast.  Nothing is asked of the
//    declaration to learn this.
// 2. The attributes `_to_pair` reads of the declaration are read here too, by
//    ordinary attribute access, at the same points; on those classes the
//    reads run no code.
// 3. A value `_to_pair` would treat otherwise (a dict subclass, a tuple, a
//    ListValue, a wrong type: its own tests may run code) goes to the cast
//    before anything has run, or, for one list item, to the same helper the
//    cast calls for it.  So the errors are the cast's own.
// 4. Everything used across a nested construction (which runs casts, that is
//    any code) is owned.  The recursion of nested constructions is guarded by
//    the class call itself.
//
// Layer 8 (docs/architecture.md): includes layers 0-7; calls layers 0-7.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the memo
//   invariants and windows (memo.hpp); after the collector, what it may have cleared is checked (schema.hpp).
#include "nested.hpp"

#include "casts.hpp"
#include "fastpath.hpp"
#include "storage.hpp"

namespace quenlory::nested {
namespace {

struct Known {
  PyObject* proxy_class = nullptr;
  PyObject* list_class = nullptr;
  PyObject* proxy_to_pair = nullptr;  // ProxyField.__dict__["_to_pair"]
  PyObject* list_to_pair = nullptr;   // ListField.__dict__["_to_pair"]
  PyObject* globals = nullptr;        // the declarations' module's namespace
  PyObject* nested_model = nullptr;   // names
  PyObject* list_value = nullptr;
  PyObject* list_item = nullptr;
  PyObject* list_field_text = nullptr;
};
Known K;

// The exact list's item at `i`, owned, or nothing past its end (as its iterator sees it).
Ref item_at(PyObject* list, Py_ssize_t i) noexcept {
  Ref item;
  Py_BEGIN_CRITICAL_SECTION(list);
  if (i < PyList_GET_SIZE(list)) item = Ref::borrow(PyList_GET_ITEM(list, i));
  Py_END_CRITICAL_SECTION();
  return item;
}

// A name the declarations' module reads as a global: its namespace, then the builtins.
Ref module_global(PyObject* name) noexcept {
  Ref v = interp::dict_get(K.globals, name);
  if (v || PyErr_Occurred()) return v;
  PyObject* builtins = PyEval_GetBuiltins();
  if (builtins && (v = interp::dict_get(builtins, name))) return v;
  if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return {};
}

// decl.nested_model: the declaration class's plain slot read as its member
// reads it (that runs no code); anything else, an empty slot too, by
// attribute access.
Ref nested_model_of(PyObject* decl) noexcept {
  bool looked_up = false;
  if (Ref value = declaration_slot(decl, DeclSlot::NestedModel, K.nested_model, looked_up)) return value;
  return Ref::steal(PyObject_GetAttr(decl, K.nested_model));
}

// model(value) and the instance's _data: the pair of a nested dict or instance.
int instance_pair(PyObject* model, PyObject* value, bool build, Ref& item0, Ref& item1) noexcept {
  Ref instance = build ? Ref::steal(fastpath::call_with_data(model, value)) : Ref::borrow(value);
  if (!instance) return -1;
  Ref data = get_data(instance.get());
  if (!data) return -1;
  item0 = std::move(instance);
  item1 = std::move(data);
  return 1;
}

// decl.nested_model where it is a class whose instance test runs no code on
// the values taken here (its metaclass is type); else nothing, no error set.
Ref plain_model(PyObject* decl) noexcept {
  Ref model = nested_model_of(decl);
  if (!model) PyErr_Clear();  // the cast reads it again and raises the same error
  if (model && !Py_IS_TYPE(model.get(), &PyType_Type)) return {};
  return model;
}

// ProxyField._to_pair: an instance of the model is its own compound value; a
// dict becomes one.  An exact dict is not an instance of the model and is a
// dict, with no code run by either test.
int proxy_pair(PyObject* decl, PyObject* value, Ref& item0, Ref& item1) noexcept {
  Ref model = plain_model(decl);
  if (!model) return 0;
  if (Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(model.get()))
    return instance_pair(model.get(), value, false, item0, item1);
  if (PyDict_CheckExact(value)) return instance_pair(model.get(), value, true, item0, item1);
  return 0;
}

// _list_item(model, name, index, item): the instance the item stands for.
Ref list_item(PyObject* decl, PyObject* name, Py_ssize_t index, PyObject* item) noexcept {
  Ref model = nested_model_of(decl);
  if (!model) return {};
  if (Py_IS_TYPE(model.get(), &PyType_Type)) {
    if (Py_TYPE(item) == reinterpret_cast<PyTypeObject*>(model.get())) return Ref::borrow(item);
    if (PyDict_CheckExact(item)) return Ref::steal(fastpath::call_with_data(model.get(), item));
  }
  // Anything else is the helper's own case: its instance tests may run code, and it raises the item's error.
  Ref helper = module_global(K.list_item);
  Ref position = Ref::steal(helper ? PyLong_FromSsize_t(index) : nullptr);
  if (!position) return {};
  PyObject* args[] = {model.get(), name, position.get(), item};
  return Ref::steal(PyObject_Vectorcall(helper.get(), args, 4, nullptr));
}

// Every item of the live list is a dict (isinstance, which may run code for another kind of item).
int all_dicts(PyObject* list) noexcept {
  for (Py_ssize_t i = 0;; ++i) {
    Ref item = item_at(list, i);
    if (!item) return 1;
    int r = PyDict_Check(item.get()) ? 1 : PyObject_IsInstance(item.get(), reinterpret_cast<PyObject*>(&PyDict_Type));
    if (r <= 0) return r;
  }
}

// ListField._to_pair for an exact list: an instance per item, made in order
// over the live list, the list itself as the raw data when it holds only
// dicts (tested after the items are made) and else the list of the
// instances' data, and the ListValue over both.  An exact list is neither
// None nor a ListValue (nothing registers list as one).
int list_pair(PyObject* decl, PyObject* value, Ref& item0, Ref& item1) noexcept {
  if (!PyList_CheckExact(value)) return 0;
  Ref name = Ref::steal(PyObject_GetAttr(decl, N.name));
  if (!name) {
    PyErr_Clear();  // the cast reads it again and raises the same error
    return 0;
  }
  // name or "ListField": the truth of an exact str or None runs no code.
  if (name.get() == Py_None || (PyUnicode_CheckExact(name.get()) && PyUnicode_GET_LENGTH(name.get()) == 0))
    name = Ref::borrow(K.list_field_text);
  else if (!PyUnicode_CheckExact(name.get()))
    return 0;
  Ref instances = Ref::steal(PyList_New(0));
  if (!instances) return -1;
  for (Py_ssize_t i = 0;; ++i) {
    Ref item = item_at(value, i);
    if (!item) break;
    Ref instance = list_item(decl, name.get(), i, item.get());
    if (!instance) {
      note_index(i);  // the item's index leads its path note
      return -1;
    }
    if (PyList_Append(instances.get(), instance.get()) < 0) return -1;
  }
  int only_dicts = all_dicts(value);
  if (only_dicts < 0) return -1;
  Ref data;
  if (only_dicts) {
    data = Ref::borrow(value);
  } else {
    if (!(data = Ref::steal(PyList_New(0)))) return -1;
    for (Py_ssize_t i = 0;; ++i) {
      Ref instance = item_at(instances.get(), i);
      if (!instance) break;
      Ref entry = get_data(instance.get());
      if (!entry || PyList_Append(data.get(), entry.get()) < 0) return -1;
    }
  }
  Ref list_value = module_global(K.list_value);
  Ref model = list_value ? nested_model_of(decl) : Ref();
  if (!model) return -1;
  PyObject* args[] = {model.get(), name.get(), data.get(), instances.get()};
  Ref result = Ref::steal(PyObject_Vectorcall(list_value.get(), args, 4, nullptr));
  if (!result) return -1;
  item0 = std::move(result);
  item1 = std::move(data);
  return 1;
}

// The class's own attribute `name`, a new reference, or nothing (with an error set).
Ref own_attribute(PyObject* cls, const char* name) noexcept {
  Ref dict = Ref::steal(PyObject_GetAttr(cls, N.dunder_dict));
  Ref value = Ref::steal(dict ? PyMapping_GetItemString(dict.get(), name) : nullptr);
  return value;
}

}  // namespace

int init(PyObject* proxy_field_class) noexcept {
  struct {
    PyObject** slot;
    const char* text;
  } names[] = {{&K.nested_model, "nested_model"},
               {&K.list_value, "ListValue"},
               {&K.list_item, "_list_item"},
               {&K.list_field_text, "ListField"}};
  for (auto& n : names)
    if (!(*n.slot = PyUnicode_InternFromString(n.text))) return -1;
  Ref module_name = Ref::steal(PyObject_GetAttr(proxy_field_class, N.dunder_module));
  Ref module = Ref::steal(module_name ? PyImport_Import(module_name.get()) : nullptr);
  Ref list_class = Ref::steal(module ? PyObject_GetAttr(module.get(), K.list_field_text) : nullptr);
  if (!list_class) return -1;
  Ref proxy_to_pair = own_attribute(proxy_field_class, "_to_pair");
  Ref list_to_pair = proxy_to_pair ? own_attribute(list_class.get(), "_to_pair") : Ref();
  if (!list_to_pair) return -1;
  K.globals = Py_NewRef(PyModule_GetDict(module.get()));  // the module lives until the process ends
  K.proxy_class = Py_NewRef(proxy_field_class);
  K.list_class = list_class.release();
  K.proxy_to_pair = proxy_to_pair.release();
  K.list_to_pair = list_to_pair.release();
  return 0;
}

int cast_pair(PyObject* cast, PyObject* value, Ref& item0, Ref& item1) noexcept {
  // The optional wrapper hands None over as it is, and anything else to the cast it wraps.
  while (Func* wrapper = as_function(cast, kOptionalCast)) {
    if (value == Py_None || !(cast = closure_peek(wrapper))) return 0;
  }
  if (!PyMethod_Check(cast) || !K.globals) return 0;
  PyObject* fn = PyMethod_GET_FUNCTION(cast);
  if (fn != K.proxy_to_pair && fn != K.list_to_pair) return 0;
  Ref held = Ref::borrow(cast);  // the wrapper's closure or the caller's: either may go once code runs
  Ref decl = Ref::borrow(PyMethod_GET_SELF(cast));
  PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(decl.get()));
  bool proxy = fn == K.proxy_to_pair && cls == K.proxy_class;
  if (!proxy && !(fn == K.list_to_pair && cls == K.list_class)) return 0;
  // A level of nesting counts here as well as in the class call: the frames of a construction take more of the
  // stack than the interpreter allows one count, and a deep self-nested input in a thread with a smaller stack
  // would overflow it before the limit is reached (the cast's own frame counts as this does).
  if (Py_EnterRecursiveCall(" while building a nested model")) return -1;
  int r = proxy ? proxy_pair(decl.get(), value, item0, item1) : list_pair(decl.get(), value, item0, item1);
  Py_LeaveRecursiveCall();
  return r;
}

}  // namespace quenlory::nested
