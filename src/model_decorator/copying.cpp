// Pickling and copying of model instances.
//
// Nothing is added to the model class: pickle and copy find the instances' reducer in copyreg.dispatch_table,
// under a key that holds the class weakly. The package's Python module quenlory._pickling owns that table entry,
// the reducer and the reconstructor; this file only hands it every new model class.
#include "copying.hpp"

#include "module.hpp"

namespace quenlory {

int register_for_copying(PyObject* model_class, PyObject* cls) noexcept {
  Ref module = Ref::steal(PyImport_Import(N.pickling_module));
  if (!module) return -1;
  Ref done = Ref::steal(PyObject_CallMethodObjArgs(module.get(), N.register_, model_class, cls, nullptr));
  return done ? 0 : -1;
}

}  // namespace quenlory
