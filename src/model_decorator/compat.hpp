// Backports: the C API calls that newer interpreters added, defined under
// their own public names for the older ones, so that the rest of the code is
// written against the newest API only.  Each says which change added the call
// and in which release; once the oldest interpreter supported has it, its
// backport goes.  Nothing else lives here: what depends on the interpreter's
// private state is in interp.hpp.
//
// Layer 1 (docs/architecture.md): includes ref.hpp; calls only the interpreter.
// Bound by: owners release references (ref.hpp).
#pragma once

#include "ref.hpp"

#if PY_VERSION_HEX < 0x03090000
#error "quenlory.model_decorator needs CPython 3.9 or newer"
#endif

// Py_NewRef, Py_XNewRef: bpo-42262, added in 3.10.
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

// PyErr_GetRaisedException, PyErr_SetRaisedException: gh-101578, added in
// 3.12.  Before, the pending exception is a (type, value, traceback) triple
// that may be unnormalised: taking it normalises it, which makes the
// exception object (and so may run its class's code), and gives the object its
// traceback.
#if PY_VERSION_HEX < 0x030C0000
static inline PyObject* PyErr_GetRaisedException(void) {
  PyObject *type, *exc, *tb;
  PyErr_Fetch(&type, &exc, &tb);
  PyErr_NormalizeException(&type, &exc, &tb);
  if (exc && tb) PyException_SetTraceback(exc, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return exc;
}
static inline void PyErr_SetRaisedException(PyObject* exc) {
  if (!exc) {
    PyErr_Restore(nullptr, nullptr, nullptr);
    return;
  }
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
}
#endif

// PyDict_GetItemRef: gh-106004, added in 3.13.
#if PY_VERSION_HEX < 0x030D0000
static inline int PyDict_GetItemRef(PyObject* d, PyObject* key, PyObject** result) {
  PyObject* found = PyDict_GetItemWithError(d, key);
  *result = Py_XNewRef(found);
  return found ? 1 : PyErr_Occurred() ? -1 : 0;
}
#endif

// Py_BEGIN_CRITICAL_SECTION, Py_END_CRITICAL_SECTION: gh-119344, public in
// 3.13.  They serialise access to one object's state between threads on the
// free-threaded build, and are an empty block under the global lock, as they
// are here for the older interpreters.
#if PY_VERSION_HEX < 0x030D0000
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

// PyUnstable_Object_IsUniquelyReferenced: gh-133144, added in 3.14.  Under
// the global lock the one reference is the count itself; free-threaded 3.13
// cannot tell without reading the two counters' private layout, and answers
// no, which is always safe.
#if PY_VERSION_HEX < 0x030E0000
static inline int PyUnstable_Object_IsUniquelyReferenced(PyObject* o) {
#ifdef Py_GIL_DISABLED
  (void)o;
  return 0;
#else
  return Py_REFCNT(o) == 1;
#endif
}
#endif
