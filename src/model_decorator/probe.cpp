// The probe: what the tests may ask of the shortcuts (see probe.hpp).
//
// Layer 9 (docs/architecture.md): includes layers 0-8; calls layers 0-8; only module.cpp calls it.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the memo
//   invariants and windows (memo.hpp).
#include "probe.hpp"

#include "compat.hpp"
#include "fastpath.hpp"
#include "memo.hpp"

namespace quenlory {
namespace {

PyTypeObject* type_arg(PyObject* arg) noexcept {
  if (PyType_Check(arg)) return reinterpret_cast<PyTypeObject*>(arg);
  PyErr_SetString(PyExc_TypeError, "a class is required");
  return nullptr;
}

// The class's version tag while it is valid, else 0.
PyObject* probe_type_tag(PyObject*, PyObject* arg) noexcept {
  PyTypeObject* tp = type_arg(arg);
  return tp ? PyLong_FromUnsignedLong(interp::type_tag(tp)) : nullptr;
}

// The entry of every memo table that the class would use.
PyObject* probe_memo_index(PyObject*, PyObject* arg) noexcept {
  PyTypeObject* tp = type_arg(arg);
  return tp ? PyLong_FromSize_t(memo::index_of(tp)) : nullptr;
}

// The class's tp_descr_get, tp_descr_set and tp_init, as addresses.
PyObject* probe_slots(PyObject*, PyObject* arg) noexcept {
  PyTypeObject* tp = type_arg(arg);
  if (!tp) return nullptr;
  return Py_BuildValue("(NNN)", PyLong_FromVoidPtr(reinterpret_cast<void*>(tp->tp_descr_get)),
                       PyLong_FromVoidPtr(reinterpret_cast<void*>(tp->tp_descr_set)),
                       PyLong_FromVoidPtr(reinterpret_cast<void*>(tp->tp_init)));
}

// How writes through a descriptor class run in line now: the cast they call, or None.
PyObject* probe_write_cast(PyObject*, PyObject* arg) noexcept {
  PyTypeObject* tp = type_arg(arg);
  if (!tp) return nullptr;
  PyObject* cast = fastpath::remembered_write_cast(tp);
  return Py_NewRef(cast ? cast : Py_None);
}

PyMethodDef g_probe_methods[] = {
    {"type_tag", probe_type_tag, METH_O, nullptr},
    {"memo_index", probe_memo_index, METH_O, nullptr},
    {"slots", probe_slots, METH_O, nullptr},
    {"write_cast", probe_write_cast, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Ref make_probe() noexcept {
  Ref probe = Ref::steal(PyModule_New("quenlory._probe"));
  if (!probe) return {};
  for (PyMethodDef* def = g_probe_methods; def->ml_name; ++def) {
    Ref fn = Ref::steal(PyCFunction_New(def, nullptr));
    if (!fn || PyObject_SetAttrString(probe.get(), def->ml_name, fn.get()) < 0) return {};
  }
  return probe;
}

}  // namespace quenlory
