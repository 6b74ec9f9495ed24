// The interned names, the cached built-ins and the shared helpers of names.hpp.
//
// Layer 2 (docs/architecture.md): includes ref.hpp and compat.hpp; calls compat and the interpreter.
// Bound by: owners release references (ref.hpp).
#include "names.hpp"

#include "compat.hpp"

namespace quenlory {

Names N;
Builtins B;
PyObject* g_globals = nullptr;
PyObject* g_builtins = nullptr;

namespace {

void raise_undefined(PyObject* name) noexcept {
  if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
}

}  // namespace

Ref load_global(PyObject* name) noexcept {
  if (PyObject* v = PyDict_GetItemWithError(g_globals, name)) return Ref::borrow(v);
  if (PyErr_Occurred()) return {};
  if (PyObject* v = PyDict_GetItemWithError(g_builtins, name)) return Ref::borrow(v);
  raise_undefined(name);
  return {};
}

Ref text_of(PyObject* obj) noexcept {
  if (PyUnicode_CheckExact(obj)) return Ref::borrow(obj);
  return Ref::steal(PyObject_Format(obj, N.empty));
}

void raise_value_error(std::initializer_list<PyObject*> pieces) noexcept {
  Ref message = Ref::borrow(N.empty);
  for (PyObject* piece : pieces) {
    Ref text = text_of(piece);
    if (!text) return;
    message = Ref::steal(PyUnicode_Concat(message.get(), text.get()));
    if (!message) return;
  }
  PyErr_SetObject(B.value_error, message.get());
}

namespace {

void raise_need_more(Py_ssize_t got) noexcept {
  PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
}

void raise_too_many() noexcept {
  PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
}

}  // namespace

int unpack_pair(PyObject* obj, Ref& first, Ref& second) noexcept {
  if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
    Py_ssize_t size = Py_SIZE(obj);
    if (size != 2) {
      if (size > 2)
        raise_too_many();
      else
        raise_need_more(size);
      return -1;
    }
    PyObject** items = PySequence_Fast_ITEMS(obj);
    first = Ref::borrow(items[0]);
    second = Ref::borrow(items[1]);
    return 0;
  }
  Ref it = Ref::steal(PyObject_GetIter(obj));
  if (!it) return -1;
  Ref* targets[2] = {&first, &second};
  for (Py_ssize_t i = 0; i < 2; ++i) {
    *targets[i] = Ref::steal(PyIter_Next(it.get()));
    if (!*targets[i]) {
      if (!PyErr_Occurred()) raise_need_more(i);
      return -1;
    }
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) {
    raise_too_many();
    return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

int intern_names() noexcept {
#define QUENLORY_INTERN(field, text) \
  if (!(N.field = PyUnicode_InternFromString(text))) return -1;
  QUENLORY_NAMES(QUENLORY_INTERN)
#undef QUENLORY_INTERN
  if (!(N.empty_tuple = PyTuple_New(0))) return -1;
  if (!(N.prefix_kwnames = PyTuple_Pack(1, N.prefix))) return -1;
  return 0;
}

int cache_builtins() noexcept {
  struct {
    PyObject** slot;
    const char* name;
  } wanted[] = {{&B.property, "property"},
                {&B.classmethod, "classmethod"},
                {&B.staticmethod, "staticmethod"},
                {&B.value_error, "ValueError"},
                {&B.print, "print"}};
  for (auto& w : wanted) {
    Ref name = Ref::steal(PyUnicode_InternFromString(w.name));
    if (!name) return -1;
    PyObject* value = PyDict_GetItemWithError(g_builtins, name.get());
    if (!value) {
      raise_undefined(name.get());
      return -1;
    }
    Py_XSETREF(*w.slot, Py_NewRef(value));
  }
  return 0;
}

}  // namespace quenlory
