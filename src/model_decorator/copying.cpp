// Pickling and copying of model instances.
//
// Nothing is added to the model class: pickle and copy find the instances' reducer in copyreg.dispatch_table,
// under a key that holds the class weakly. The package's Python module quenlory._pickling owns that table entry,
// the reducer and the reconstructor; this file only hands it every new model class.
//
// Layer 5 (docs/architecture.md): includes layers 0-4; calls layers 0-4.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the memo
//   invariants and windows (memo.hpp).
#include "copying.hpp"

#include "memo.hpp"
#include "names.hpp"

namespace quenlory {

int register_for_copying(PyObject* model_class, PyObject* cls) noexcept {
  Ref module = Ref::steal(PyImport_Import(N.pickling_module));
  if (!module) return -1;
  Ref done = Ref::steal(PyObject_CallMethodObjArgs(module.get(), N.register_, model_class, cls, nullptr));
  return done ? 0 : -1;
}

namespace {

// The subclasses entered already, so that each is entered once (a stale entry only enters one again).
struct Entered : memo::Plain {};
memo::TypeMemo<Entered> g_entered{memo::Table::Entered};

}  // namespace

int register_subclass_for_copying(PyTypeObject* tp) noexcept {
  if (g_entered.peek(tp)) return 0;
  Ref module = Ref::steal(PyImport_Import(N.pickling_module));
  if (!module) return -1;
  Ref done = Ref::steal(
      PyObject_CallMethodObjArgs(module.get(), N.register_subclass, reinterpret_cast<PyObject*>(tp), nullptr));
  if (!done) return -1;
  // Stamped after the registration, which runs code: the entry says only that it has run.
  memo::Stamp stamp = memo::stamp_of(tp);
  g_entered.store(tp, stamp, Entered{});
  return 0;
}

}  // namespace quenlory
