// Pickling and copying of model instances.
//
// Nothing is added to the model class: pickle and copy find the instances' reducer in copyreg.dispatch_table,
// under a key that holds the class weakly. The package's Python module quenlory._pickling owns that table entry,
// the reducer and the reconstructor; this file only hands it every new model class.
#include "copying.hpp"

namespace quenlory {

int register_for_copying(PyObject* model_class, PyObject* cls) noexcept {
  Ref module = Ref::steal(PyImport_ImportModule("quenlory._pickling"));
  if (!module) return -1;
  Ref done = Ref::steal(PyObject_CallMethod(module.get(), "register", "OO", model_class, cls));
  return done ? 0 : -1;
}

}  // namespace quenlory
