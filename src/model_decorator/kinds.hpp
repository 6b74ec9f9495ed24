// The kinds of function the class assembly installs: the function specs of
// the descriptor bodies and of the model class's own methods, and the reads
// of a compound property that the direct slots run too.
#pragma once

#include "function.hpp"

namespace quenlory {

// Field properties (closure: name; __set__ also the cast).
extern const FuncSpec kFieldGet;
extern const FuncSpec kFieldGetOptional;
extern const FuncSpec kFieldSet;
// Compound and multi-value properties (__set__ closure: the schema).
extern const FuncSpec kPropertyInit;
extern const FuncSpec kCompoundGet;
extern const FuncSpec kCompoundSet;
extern const FuncSpec kMultiGet;
extern const FuncSpec kMultiSet;
// The model class (closure: the schema).
extern const FuncSpec kModelInit;
extern const FuncSpec kModelEq;

// instance.<compound or multi-field> through its property `self`: the compound
// dictionary's item under the property's current name.  `name_in_dict` says
// that an ordinary read of self.name ends in self's instance dictionary.
PyObject* read_compound(PyObject* self, PyObject* instance, bool name_in_dict) noexcept;
// The same from the instance's compound dictionary, which the caller holds.
PyObject* read_compound_from(PyObject* self, PyObject* compounds, bool name_in_dict) noexcept;

// An ordinary read of o.name on instances of `tp` ends in the instance
// dictionary: no custom lookup, nothing of that name on the class.
bool name_in_instance_dict(PyTypeObject* tp) noexcept;

// The direct type slots of the classes `model` makes, handed down by the layer
// above at initialisation (never changed afterwards).
struct ClassSlots {
  void (*descriptor)(PyObject* cls) noexcept = nullptr;
  void (*model)(PyObject* cls) noexcept = nullptr;
};
inline ClassSlots g_class_slots;

}  // namespace quenlory
