// Pickling and copying of model instances: the hook that `model` calls for every model class it returns.
//
// Layer 5 (docs/architecture.md): includes layers 0-4; calls layers 0-4.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the memo
//   invariants and windows (memo.hpp).
#pragma once

#include "ref.hpp"

namespace quenlory {

// Enter the model class into copyreg's dispatch table, held weakly, with the module and qualified name of the
// decorated class `cls` (quenlory/_pickling.py does the work). -1 with an exception set on failure.
int register_for_copying(PyObject* model_class, PyObject* cls) noexcept;

// A subclass of a model class, met when one of its instances is constructed: it is entered the same way, so that
// its instances copy and pickle as the model's do (quenlory/_pickling.py's register_subclass; entering it again
// changes nothing).  -1 with an exception set on failure.
int register_subclass_for_copying(PyTypeObject* tp) noexcept;

}  // namespace quenlory
