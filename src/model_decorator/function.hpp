// The module's own function object.
//
// Every function the module creates, at import or inside `model`, is a Func: a
// C++ body with a static description of its parameters, plus the attributes a
// Python function has (__name__, __qualname__, __module__, __doc__, __dict__,
// __defaults__, __annotations__) and up to two captured references, its closure.
// Calls arrive through vectorcall; the parameters are checked against the
// description and the interpreter's own wording is used for every argument error.
//
// Layer 3 (docs/architecture.md): includes names.hpp and below; calls layers 0-2.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; after
//   the collector, what it may have cleared is checked (schema.hpp).
#pragma once

#include "names.hpp"

namespace quenlory {

struct Func;

// The parameter shapes the module needs.
enum class Shape : unsigned char {
  One,    // f(x): one positional argument, no keywords
  Fixed,  // f(a, b, c): required, positional or keyword
  Model,  // model(cls=None, **metadata)
  Init,   // __init__(self, *args, **kwargs)
};

// The body receives the resolved parameters: for One and Fixed the values in
// parameter order; for Model {cls} and the new metadata dict; for Init {self,
// *args} and a new dict of the keywords, or nullptr when none were given.
using Impl = PyObject* (*)(Func* f, PyObject* const* params, Py_ssize_t nparams, PyObject* kwargs) noexcept;

// The same bodies in the forms the type slots call them, for the kinds that
// serve as __get__, __set__ or __init__: no argument vector, no None to return.
using DescrGet = PyObject* (*)(Func* f, PyObject* self, PyObject* instance) noexcept;
using DescrSet = int (*)(Func* f, PyObject* self, PyObject* instance, PyObject* value) noexcept;
// `str_keys`: every key of kwargs is known to be an exact str.
using InitBody = int (*)(Func* f, PyObject* self, PyObject* data, PyObject* kwargs, bool str_keys) noexcept;
// The same, for keywords left where a vectorcall put them: `values` in the order of the names in `kwnames`,
// every one an exact str.
using InitKeywordsBody = int (*)(Func* f, PyObject* self, PyObject* data, PyObject* const* values,
                                 PyObject* kwnames) noexcept;

// How a read through a __get__ of this kind may run in line: not at all, as
// the data dictionary's item under the closure's key, or as the compound
// dictionary's item under the property's own `name`.
enum class InlineRead : unsigned char { None, Key, Property };

// How a write through a __set__ of this kind may run in line: not at all, or
// as the store of cast(value) in the data dictionary under the closure's key,
// the cast being the closure's second reference.
enum class InlineWrite : unsigned char { None, Key };

struct FuncSpec {
  const char* name;  // __name__, also the name used in argument errors
  Shape shape;
  Py_ssize_t nparams;
  PyObject* Names::*params[3];
  const char* text_signature;
  Impl impl;
  DescrGet get = nullptr;
  DescrSet set = nullptr;
  InitBody init = nullptr;
  InlineRead inline_read = InlineRead::None;
  InlineWrite inline_write = InlineWrite::None;
  InitKeywordsBody init_keywords = nullptr;
};

struct Func {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FuncSpec* spec;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* dict;
  PyObject* defaults;
  PyObject* annotations;
  PyObject* c0;  // closure: read through the typed views below, never directly
  PyObject* c1;
  PyObject* weakreflist;
};

extern PyTypeObject FuncType;

// Make the function type ready; once, at initialisation.
int init_function_type() noexcept;

// A new function of the given kind.  `qualname` defaults to the plain name;
// the closure references are borrowed and stored as new references.
Ref make_function(const FuncSpec& spec, PyObject* qualname = nullptr, PyObject* c0 = nullptr,
                  PyObject* c1 = nullptr) noexcept;

// The object is one of our functions, of the given kind.
inline Func* as_function(PyObject* o, const FuncSpec& spec) noexcept {
  if (o && Py_IS_TYPE(o, &FuncType) && reinterpret_cast<Func*>(o)->spec == &spec)
    return reinterpret_cast<Func*>(o);
  return nullptr;
}

// Typed views of the closure.  Each checks what the slot holds, so a function
// whose closure the collector has cleared raises RuntimeError instead of
// handing a null to its body.  c0 holds a field's key, a wrapped cast, a
// registry name, capture's metadata or the model schema (see schema.hpp);
// c1 holds a field's cast.
PyObject* closure_object(Func* f) noexcept;
// RuntimeError for a function whose closure the collector has cleared (or
// that holds the wrong kind of record); always nullptr.
PyObject* raise_cleared(Func* f) noexcept;

// The first closure reference, or nullptr once cleared; no exception set.
PyObject* closure_peek(Func* f) noexcept;
// The second, or nullptr once cleared; no exception set.
PyObject* closure_peek_cast(Func* f) noexcept;
PyObject* closure_cast(Func* f) noexcept;
PyObject* closure_dict(Func* f) noexcept;

// The keyword names of a call that gives `param` by position, checked as the
// interpreter's class call and our own calls check them, in that order: each
// must be a str, and none may name `param`.  1 when every one is an exact str.
int check_keyword_dict(Func* f, PyObject* param, PyObject* kwds) noexcept;
// The same for the names of a vectorcall (a tuple of str, in the call's order).
int check_keyword_names(Func* f, PyObject* param, PyObject* kwnames) noexcept;

}  // namespace quenlory
