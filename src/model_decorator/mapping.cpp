// Mapping helpers (see mapping.hpp).
//
// Layer 3 (docs/architecture.md): includes layers 0-2; calls layers 0-2.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp.
#include "mapping.hpp"

namespace quenlory {

bool str_keys_only(PyObject* d) noexcept {
  bool only = true;
  Py_BEGIN_CRITICAL_SECTION(d);
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (only && PyDict_Next(d, &pos, &key, &value)) only = PyUnicode_CheckExact(key);
  Py_END_CRITICAL_SECTION();
  return only;
}

Ref get_item(PyObject* mapping, PyObject* key) noexcept {
  if (PyDict_CheckExact(mapping)) return dict_getitem(mapping, key);
  return Ref::steal(PyObject_GetItem(mapping, key));
}

int set_item(PyObject* mapping, PyObject* key, PyObject* value) noexcept {
  if (PyDict_CheckExact(mapping)) return PyDict_SetItem(mapping, key, value);
  return PyObject_SetItem(mapping, key, value);
}

int optional_flag(PyObject* metadata) noexcept {
  if (PyDict_CheckExact(metadata)) {
    Ref flag = interp::dict_get(metadata, N.optional);
    if (!flag) return PyErr_Occurred() ? -1 : 0;
    return PyObject_IsTrue(flag.get());  // held: its truth test may run code
  }
  Ref flag = Ref::steal(call_method(metadata, N.get, N.optional, Py_False));
  return flag ? PyObject_IsTrue(flag.get()) : -1;
}

}  // namespace quenlory
