// The one place for interpreter-version shims and private CPython calls.
#pragma once

#include "ref.hpp"

#if PY_VERSION_HEX < 0x03090000
#error "quenlory.model_decorator needs CPython 3.9 or newer"
#endif

#include <structmember.h>

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* o) {
  Py_INCREF(o);
  return o;
}
static inline PyObject* Py_XNewRef(PyObject* o) {
  Py_XINCREF(o);
  return o;
}
#endif

namespace quenlory::compat {

// Type attribute lookup through the method cache, without binding; borrowed result, no exception set.
inline PyObject* type_lookup(PyTypeObject* tp, PyObject* name) noexcept { return _PyType_Lookup(tp, name); }

// KeyError(key) as dict_subscript raises it, wrapping tuples so that they are not unpacked.
inline void raise_key_error(PyObject* key) noexcept {
  if (PyTuple_Check(key)) {
    PyObject* tup = PyTuple_Pack(1, key);
    if (tup) {
      PyErr_SetObject(PyExc_KeyError, tup);
      Py_DECREF(tup);
    }
  } else {
    PyErr_SetObject(PyExc_KeyError, key);
  }
}

// The instance dictionary of `o`, borrowed, or nullptr; no exception set.  On
// 3.11 it may be made here from the instance's values: an allocation, which may
// run a collection.
inline PyObject* instance_dict(PyObject* o) noexcept {
  Py_ssize_t offset = Py_TYPE(o)->tp_dictoffset;
  if (offset > 0) return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset);
  PyObject** slot = _PyObject_GetDictPtr(o);
  return slot ? *slot : nullptr;
}

// d[key] for an exact dict: a new reference, or empty with KeyError/other error set.
inline Ref dict_getitem(PyObject* d, PyObject* key) noexcept {
  PyObject* v = PyDict_GetItemWithError(d, key);
  if (v) return Ref::borrow(v);
  if (!PyErr_Occurred()) raise_key_error(key);
  return {};
}

// d.get(key) for an exact dict: a borrowed value, nullptr when absent (check PyErr_Occurred).
// A str key's remembered hash is passed on rather than asked for again.
inline PyObject* dict_peek(PyObject* d, PyObject* key) noexcept {
  if (PyUnicode_CheckExact(key)) {
    Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
    if (hash != -1) return _PyDict_GetItem_KnownHash(d, key, hash);
  }
  return PyDict_GetItemWithError(d, key);
}

// A static type object starts zeroed; give it the reference PyVarObject_HEAD_INIT would.
inline void prepare_static_type(PyTypeObject* tp) noexcept {
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(tp), 1);
}

// self.name(*args), by vectorcall.
template <typename... Args>
inline PyObject* call_method(PyObject* self, PyObject* name, Args... args) noexcept {
  PyObject* stack[] = {self, args...};
  return PyObject_VectorcallMethod(name, stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr);
}

inline PyObject* call_one(PyObject* fn, PyObject* arg) noexcept { return PyObject_CallOneArg(fn, arg); }
inline PyObject* call_none(PyObject* fn) noexcept { return PyObject_CallNoArgs(fn); }

}  // namespace quenlory::compat
