// Pickling and copying of model instances.
//
// Nothing is added to the model class: pickle and copy find the instances' reducer in copyreg.dispatch_table,
// under a key that holds the class weakly. The package's Python module quenlory._pickling owns that table entry,
// the reducer and the reconstructor; this file only hands it every new model class.
#include "copying.hpp"

namespace quenlory {

int register_for_copying(PyObject* model_class, PyObject* cls) noexcept {
  // Interned once and kept for the life of the process, like the module's other names.
  static PyObject* module_name = PyUnicode_InternFromString("quenlory._pickling");
  static PyObject* register_name = PyUnicode_InternFromString("register");
  if (!module_name || !register_name) return -1;
  Ref module = Ref::steal(PyImport_Import(module_name));
  if (!module) return -1;
  Ref done = Ref::steal(PyObject_CallMethodObjArgs(module.get(), register_name, model_class, cls, nullptr));
  return done ? 0 : -1;
}

}  // namespace quenlory
