// The known casts: the built-in types whose call construction and writes run
// in line, and our own checking casts (quenlory.types), which take a value as
// it is or refuse it instead of converting it.  One table tells, per cast, how
// it runs in line, whether it can run code for a given value, and which
// checking cast stands in for a built-in one in a strict field.
//
// Layer 4 (docs/architecture.md): includes function.hpp and below; calls layers 0-3.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; after
//   the collector, what it may have cleared is checked (schema.hpp).
#pragma once

#include "function.hpp"
#include "interp.hpp"

namespace quenlory {

// How a known cast runs: cast(value), a new reference or nullptr with an error set.
using Convert = PyObject* (*)(PyObject* cast, PyObject* value) noexcept;

PyObject* int_cast(PyObject* cast, PyObject* value) noexcept;
PyObject* str_cast(PyObject* cast, PyObject* value) noexcept;
PyObject* float_cast(PyObject* cast, PyObject* value) noexcept;
PyObject* check_int(PyObject* cast, PyObject* value) noexcept;
PyObject* check_str(PyObject* cast, PyObject* value) noexcept;
PyObject* check_float(PyObject* cast, PyObject* value) noexcept;
PyObject* check_bool(PyObject* cast, PyObject* value) noexcept;
PyObject* check_list(PyObject* cast, PyObject* value) noexcept;
PyObject* check_dict(PyObject* cast, PyObject* value) noexcept;
PyObject* check_choice(PyObject* cast, PyObject* value) noexcept;

struct KnownCast {
  PyTypeObject* type;  // the built-in type this row stands for; nullptr for a checking cast (found by its row)
  const char* name;    // the kind, as quenlory.types names it
  Convert convert;     // how it runs in line; nullptr: called as any callable
  int twin;            // the row of the checking cast a strict field uses instead, or -1
};

enum CastRow : int {
  kRowInt, kRowStr, kRowFloat,  // converting, run in line
  kRowBool, kRowList, kRowDict,  // converting, called as usual; known for their twins
  kRowCheckInt, kRowCheckStr, kRowCheckFloat, kRowCheckBool, kRowCheckList, kRowCheckDict, kRowCheckChoice,
  kCastRows
};
// The rows before this one are the built-in types that run in line.
constexpr int kInLineRows = kRowBool;

inline constexpr KnownCast kKnownCasts[kCastRows] = {
    {&PyLong_Type, "int", int_cast, kRowCheckInt},
    {&PyUnicode_Type, "str", str_cast, kRowCheckStr},
    {&PyFloat_Type, "float", float_cast, kRowCheckFloat},
    {&PyBool_Type, "bool", nullptr, kRowCheckBool},
    {&PyList_Type, "list", nullptr, kRowCheckList},
    {&PyDict_Type, "dict", nullptr, kRowCheckDict},
    {nullptr, "int", check_int, -1},
    {nullptr, "str", check_str, -1},
    {nullptr, "float", check_float, -1},
    {nullptr, "bool", check_bool, -1},
    {nullptr, "list", check_list, -1},
    {nullptr, "dict", check_dict, -1},
    {nullptr, "choice", check_choice, -1},
};

// A checking cast: its row and its constraints (nullptr or -1 where none).
struct CheckCast {
  PyObject_HEAD int row;
  bool plain;    // checking a plain value (see plain_value) runs no code
  bool lasting;  // one of the unconstrained twins, kept for good
  Py_ssize_t min_length, max_length;
  PyObject* item;      // list, dict: the cast of each item (each value)
  PyObject* ge;        // int, float: bounds
  PyObject* le;
  PyObject* pattern;   // str: a compiled pattern that the text must contain a match of
  PyObject* choices;   // choice: the tuple of accepted values
  PyObject* enum_cls;  // choice: an Enum class whose members are taken as their values
  PyObject* text;      // the repr
};

extern PyTypeObject CheckCastType;

inline CheckCast* as_check_cast(PyObject* o) noexcept {
  return Py_IS_TYPE(o, &CheckCastType) ? reinterpret_cast<CheckCast*>(o) : nullptr;
}

// A value that a built-in cast converts without running Python code or freeing anything.
inline __attribute__((always_inline)) bool plain_value(PyObject* value) noexcept {
  PyTypeObject* vt = Py_TYPE(value);
  return vt == &PyUnicode_Type || vt == &PyLong_Type || vt == &PyFloat_Type || value == Py_None;
}

// The row of `cast` when it runs in line (a built-in int, str or float, or a checking cast), else nullptr.
inline __attribute__((always_inline)) const KnownCast* in_line_cast(PyObject* cast) noexcept {
  for (int i = 0; i < kInLineRows; ++i)
    if (cast == reinterpret_cast<PyObject*>(kKnownCasts[i].type)) return &kKnownCasts[i];
  if (CheckCast* c = as_check_cast(cast)) return &kKnownCasts[c->row];
  return nullptr;
}

// Converting between int and str may run code: int to str checks for signals
// as it goes (their Python handlers run), and from 3.12 a long text or number
// goes through the replaceable _pylong module.  A text short enough for a long
// long's digits does neither.
inline __attribute__((always_inline)) bool converts_int_and_str(PyObject* cast, PyObject* value) noexcept {
  PyTypeObject* vt = Py_TYPE(value);
  if (cast == reinterpret_cast<PyObject*>(&PyUnicode_Type)) return vt == &PyLong_Type;
  return cast == reinterpret_cast<PyObject*>(&PyLong_Type) && vt == &PyUnicode_Type && PyUnicode_GET_LENGTH(value) > 19;
}

// cast(value) of a known cast runs no Python code and frees nothing: a plain
// value, where a built-in cast does not convert between int and str (above).
inline __attribute__((always_inline)) bool known_cast_runs_no_code(PyObject* cast, PyObject* value) noexcept {
  for (int i = 0; i < kInLineRows; ++i)
    if (cast == reinterpret_cast<PyObject*>(kKnownCasts[i].type))
      return plain_value(value) && !converts_int_and_str(cast, value);
  if (CheckCast* c = as_check_cast(cast)) return c->plain && plain_value(value);
  return false;
}

// The in-line form of a cast that lives for good (a built-in one, or an
// unconstrained twin), for the write memo, which does not own the cast.
inline Convert lasting_cast(PyObject* cast) noexcept {
  const KnownCast* k = in_line_cast(cast);
  if (!k) return nullptr;
  CheckCast* c = as_check_cast(cast);
  return !c || c->lasting ? k->convert : nullptr;
}

// The optional wrapper made for optional fields (closure: the wrapped cast).
extern const FuncSpec kOptionalCast;

// cast(value).  The known casts that run in line (the built-in types int, str
// and float called with one value, and the checking casts), and our optional
// wrapper, are run directly: the same operations a call makes, without
// building an argument tuple.
PyObject* call_cast(PyObject* cast, PyObject* value) noexcept;

// cast(value) runs no Python code and frees nothing: a known cast (or our
// optional wrapper of one) that says so for the value.
inline __attribute__((always_inline)) bool cast_runs_no_code(PyObject* cast, PyObject* value) noexcept {
  while (Func* wrapper = as_function(cast, kOptionalCast)) {
    if (value == Py_None) return true;
    if (!(cast = closure_peek(wrapper))) return false;  // cleared: the cast raises
  }
  return known_cast_runs_no_code(cast, value);
}

// list(value) for a list cast (or our optional wrapper of one) of an exact
// list whose items are all exact str, int, float, bool or None, where making
// the copy and freeing the list it replaces run no code: the allocation does
// not collect (interp::kAllocationCollects), and freeing such items runs
// nothing.  Walks the items.
inline bool copies_plain_list(PyObject* cast, PyObject* value) noexcept {
  if constexpr (interp::kAllocationCollects) return false;
  while (Func* wrapper = as_function(cast, kOptionalCast)) {
    if (value == Py_None || !(cast = closure_peek(wrapper))) return false;
  }
  if (cast != reinterpret_cast<PyObject*>(&PyList_Type) || !PyList_CheckExact(value)) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
    PyObject* item = PyList_GET_ITEM(value, i);
    if (!plain_value(item) && !Py_IS_TYPE(item, &PyBool_Type)) return false;
  }
  return true;
}

// The checking twin of a built-in int, str, float, bool, list or dict cast
// (borrowed, kept for good), or `cast` itself.
PyObject* strict_twin(PyObject* cast) noexcept;

// Make the checking-cast type and its twins, and hand them to the
// declarations module `bases`: `_CheckCast` and `_strict_twins`.
int init_casts(PyObject* bases) noexcept;

// A note on the pending exception giving where it happened, `segment`
// first (a str key, or an int index); the exception itself is left as it
// is whatever happens.  Only called on the failure path.
[[gnu::cold]] void note_path(PyObject* segment) noexcept;
[[gnu::cold]] void note_index(Py_ssize_t index) noexcept;

}  // namespace quenlory
