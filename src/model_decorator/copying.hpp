// Pickling and copying of model instances: the hook that `model` calls for every model class it returns.
#pragma once

#include "ref.hpp"

namespace quenlory {

// Enter the model class into copyreg's dispatch table, held weakly, with the module and qualified name of the
// decorated class `cls` (quenlory/_pickling.py does the work). -1 with an exception set on failure.
int register_for_copying(PyObject* model_class, PyObject* cls) noexcept;

}  // namespace quenlory
