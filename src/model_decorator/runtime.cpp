// The helpers the feature files share.
#include "runtime.hpp"

namespace quenlory {
namespace {

// _cast(value), the optional wrapper: None passes through; anything else goes to the wrapped cast.
PyObject* optional_cast_impl(Func* f, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  if (params[0] == Py_None) return new_none();
  PyObject* cast = closure_object(f);
  return cast ? call_cast(cast, params[0]) : nullptr;
}

}  // namespace

const FuncSpec kOptionalCast{"_cast", Shape::One, 1, {&Names::p_value}, "(value, /)", optional_cast_impl};

ClassSlots g_class_slots;

bool str_keys_only(PyObject* d) noexcept {
  bool only = true;
  QUENLORY_LOCKED(d)
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (only && PyDict_Next(d, &pos, &key, &value)) only = PyUnicode_CheckExact(key);
  QUENLORY_UNLOCKED()
  return only;
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
    if (!(cast = closure_object(wrapper))) return nullptr;
  }
  if (const KnownCast* known = in_line_cast(cast)) return known->convert(cast, value);
  // list(x) of an exact list is a new list of its items, and bool(b) of a bool is b, with no call.
  if (cast == reinterpret_cast<PyObject*>(&PyList_Type) && PyList_CheckExact(value))
    return PyList_GetSlice(value, 0, PY_SSIZE_T_MAX);
  if (cast == reinterpret_cast<PyObject*>(&PyBool_Type) && PyBool_Check(value)) return Py_NewRef(value);
  return compat::call_one(cast, value);
}

int optional_flag(PyObject* metadata) noexcept {
  if (PyDict_CheckExact(metadata)) {
    Ref flag = compat::dict_get(metadata, N.optional);
    if (!flag) return PyErr_Occurred() ? -1 : 0;
    return PyObject_IsTrue(flag.get());  // held: its truth test may run code
  }
  Ref flag = Ref::steal(compat::call_method(metadata, N.get, N.optional, Py_False));
  return flag ? PyObject_IsTrue(flag.get()) : -1;
}

}  // namespace quenlory
