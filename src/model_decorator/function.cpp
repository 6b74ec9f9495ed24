// The function object: argument checking, calls, binding and attributes.
//
// Layer 3 (docs/architecture.md): includes names.hpp and below; calls layers 0-2.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; after
//   the collector, what it may have cleared is checked (schema.hpp).
#include "function.hpp"

#include <cstddef>

#include "interp.hpp"

namespace quenlory {
namespace {

// ---- argument errors, in the interpreter's words --------------------------------------------

void raise_argtuple(const char* fn, bool exact, Py_ssize_t min, Py_ssize_t max, Py_ssize_t got) noexcept {
  Py_ssize_t want = got < min ? min : max;
  const char* how = exact ? "exactly" : (got < min ? "at least" : "at most");
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fn, how, want,
               want == 1 ? "" : "s", got);
}

void raise_one_argument(const char* fn, Py_ssize_t got) noexcept {
  PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", fn, got);
}

void raise_no_keywords(const char* fn) noexcept {
  PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", fn);
}

void raise_keywords_not_strings(const char* fn) noexcept {
  PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fn);
}

void raise_duplicate(const char* fn, PyObject* key) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", fn, key);
}

void raise_unexpected(const char* fn, PyObject* key) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn, key);
}

// A keyword name equals a parameter name: by identity first (keyword names are
// usually interned), then by value.  The keyword is known to be a str.
bool same_name(PyObject* key, PyObject* param) noexcept {
  return key == param || (!interp::known_unequal(key, param) && PyUnicode_Compare(key, param) == 0);
}

// Index of the parameter the keyword names, or -1.
Py_ssize_t find_param(const FuncSpec& spec, PyObject* key) noexcept {
  for (Py_ssize_t i = 0; i < spec.nparams; ++i)
    if (same_name(key, N.*(spec.params[i]))) return i;
  return -1;
}

PyObject* call_one(Func* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  const char* fn = f->spec->name;
  if (kwnames && PyTuple_GET_SIZE(kwnames) != 0) {
    raise_no_keywords(fn);
    return nullptr;
  }
  if (nargs != 1) {
    raise_one_argument(fn, nargs);
    return nullptr;
  }
  return f->spec->impl(f, args, 1, nullptr);
}

PyObject* call_fixed(Func* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  const FuncSpec& spec = *f->spec;
  const Py_ssize_t n = spec.nparams;
  if (nargs > n) {
    raise_argtuple(spec.name, true, n, n, nargs);
    return nullptr;
  }
  PyObject* values[3] = {nullptr, nullptr, nullptr};
  for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  // Parameters not given by position are taken from the keywords, in order.
  for (Py_ssize_t i = nargs; i < n; ++i) {
    PyObject* param = N.*(spec.params[i]);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (PyUnicode_Check(key) && same_name(key, param)) {
        values[i] = args[nargs + k];
        break;
      }
    }
    if (!values[i]) {
      raise_argtuple(spec.name, true, n, n, i);
      return nullptr;
    }
  }
  // Keywords beyond those: each is a non-string, a duplicate or unknown.
  if (nkw > n - nargs) {
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (!PyUnicode_Check(key)) {
        raise_keywords_not_strings(spec.name);
        return nullptr;
      }
      Py_ssize_t i = find_param(spec, key);
      if (i >= nargs) continue;
      if (i >= 0)
        raise_duplicate(spec.name, key);
      else
        raise_unexpected(spec.name, key);
      return nullptr;
    }
  }
  return spec.impl(f, values, n, nullptr);
}

// The keywords of a function whose first parameter may come by position or by
// keyword and whose other keywords are collected: model(cls=None, **metadata)
// and __init__(self, *args, **kwargs).  `first` is the positional value or
// nullptr; the collected keywords go to `rest`, made on the first one unless
// `always` asks for a dict in every case.
int collect_keywords(const char* fn, PyObject* param, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject*& first, Ref& rest, bool always) noexcept {
  if (always && !(rest = Ref::steal(PyDict_New()))) return -1;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[nargs + k];
    if (!PyUnicode_Check(key)) {
      raise_keywords_not_strings(fn);
      return -1;
    }
    if (same_name(key, param)) {
      if (first) {
        raise_duplicate(fn, key);
        return -1;
      }
      first = value;
    } else if ((!rest && !(rest = Ref::steal(PyDict_New()))) || PyDict_SetItem(rest.get(), key, value) < 0) {
      return -1;
    }
  }
  return 0;
}

// model(cls=None, **metadata)
PyObject* call_model(Func* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  const char* fn = f->spec->name;
  if (nargs > 1) {
    raise_argtuple(fn, false, 0, 1, nargs);
    return nullptr;
  }
  PyObject* cls = nargs ? args[0] : nullptr;
  Ref metadata;
  if (collect_keywords(fn, N.p_cls, args, nargs, kwnames, cls, metadata, true) < 0) return nullptr;
  if (!cls) cls = Py_None;
  return f->spec->impl(f, &cls, 1, metadata.get());
}

// __init__(self, *args, **kwargs)
PyObject* call_init(Func* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  const char* fn = f->spec->name;
  PyObject* self = nargs ? args[0] : nullptr;
  Ref kwargs;
  if (collect_keywords(fn, N.p_self, args, nargs, kwnames, self, kwargs, false) < 0) return nullptr;
  if (!self) {
    raise_argtuple(fn, false, 1, 1, 0);
    return nullptr;
  }
  if (nargs == 0) return f->spec->impl(f, &self, 1, kwargs.get());
  return f->spec->impl(f, args, nargs, kwargs.get());
}

PyObject* func_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) noexcept {
  Func* f = reinterpret_cast<Func*>(callable);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  // Runaway recursion through native code must end in RecursionError, not a crash.
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject* result = nullptr;
  switch (f->spec->shape) {
    case Shape::One:
      result = call_one(f, args, nargs, kwnames);
      break;
    case Shape::Fixed:
      result = call_fixed(f, args, nargs, kwnames);
      break;
    case Shape::Model:
      result = call_model(f, args, nargs, kwnames);
      break;
    case Shape::Init:
      result = call_init(f, args, nargs, kwnames);
      break;
  }
  Py_LeaveRecursiveCall();
  return result;
}

// ---- type slots ----------------------------------------------------------------------------------

// The references a function owns.  name, qualname and doc are never null: the
// collector's clear gives them placeholders, as the interpreter's own functions
// do, so that the repr and the getters stay safe on a cleared function.
#define QUENLORY_FUNC_REFS(X) \
  X(name) X(qualname) X(module) X(doc) X(dict) X(defaults) X(annotations) X(c0) X(c1)
#define QUENLORY_FUNC_CLEARED(X) X(module) X(dict) X(defaults) X(annotations) X(c0) X(c1)

int func_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Func* f = reinterpret_cast<Func*>(self);
#define QUENLORY_VISIT(field) Py_VISIT(f->field);
  QUENLORY_FUNC_REFS(QUENLORY_VISIT)
#undef QUENLORY_VISIT
  return 0;
}

int func_clear(PyObject* self) noexcept {
  Func* f = reinterpret_cast<Func*>(self);
#define QUENLORY_CLEAR(field) Py_CLEAR(f->field);
  QUENLORY_FUNC_CLEARED(QUENLORY_CLEAR)
#undef QUENLORY_CLEAR
  Py_SETREF(f->name, Py_NewRef(N.empty));
  Py_SETREF(f->qualname, Py_NewRef(N.empty));
  Py_SETREF(f->doc, Py_NewRef(Py_None));
  return 0;
}

// Chains of functions (an optional wrapper around a wrapper, many thousands
// deep) are freed through the interpreter's trashcan, which bounds the depth
// of nested deallocations as it does for its own containers.
void func_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, func_dealloc)
  Func* f = reinterpret_cast<Func*>(self);
  if (f->weakreflist) PyObject_ClearWeakRefs(self);
#define QUENLORY_RELEASE(field) Py_CLEAR(f->field);
  QUENLORY_FUNC_REFS(QUENLORY_RELEASE)
#undef QUENLORY_RELEASE
  PyObject_GC_Del(self);
  Py_TRASHCAN_END
}

PyObject* func_repr(PyObject* self) noexcept {
  Func* f = reinterpret_cast<Func*>(self);
  return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// Binds like a Python function: through an instance it gives a bound method.
PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(reinterpret_cast<Func*>(self)->name); }
PyObject* get_qualname(PyObject* self, void*) noexcept {
  return Py_NewRef(reinterpret_cast<Func*>(self)->qualname);
}

int set_text_attr(PyObject** slot, PyObject* value, const char* what) noexcept {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_INCREF(value);
  Py_SETREF(*slot, value);
  return 0;
}

int set_name(PyObject* self, PyObject* value, void*) noexcept {
  return set_text_attr(&reinterpret_cast<Func*>(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
  return set_text_attr(&reinterpret_cast<Func*>(self)->qualname, value, "__qualname__");
}

PyObject* get_doc(PyObject* self, void*) noexcept { return Py_NewRef(reinterpret_cast<Func*>(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) noexcept {
  Py_XSETREF(reinterpret_cast<Func*>(self)->doc, Py_NewRef(value ? value : Py_None));
  return 0;
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
  PyObject* d = reinterpret_cast<Func*>(self)->defaults;
  return Py_NewRef(d ? d : Py_None);
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
  Func* f = reinterpret_cast<Func*>(self);
  if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
  return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XINCREF(value);
  Py_XSETREF(reinterpret_cast<Func*>(self)->annotations, value);
  return 0;
}

PyObject* get_text_signature(PyObject* self, void*) noexcept {
  const char* sig = reinterpret_cast<Func*>(self)->spec->text_signature;
  if (!sig) return new_none();
  return PyUnicode_FromString(sig);
}

// inspect reads a text signature without annotations; a function that has some gets its signature from the
// package's quenlory._signature, which puts them in. None lets inspect read the text signature as it is.
PyObject* get_signature(PyObject* self, void*) noexcept {
  Func* f = reinterpret_cast<Func*>(self);
  if (!f->annotations || PyDict_GET_SIZE(f->annotations) == 0 || !f->spec->text_signature) return new_none();
  Ref helper = Ref::steal(PyImport_ImportModule("quenlory._signature"));
  if (!helper) return nullptr;
  return PyObject_CallMethod(helper.get(), "annotated", "O", self);
}

// Module-level functions pickle by reference, as Python functions do.
PyObject* func_reduce(PyObject* self, PyObject*) noexcept { return get_qualname(self, nullptr); }

PyGetSetDef func_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef func_members[] = {
    {"__module__", T_OBJECT, offsetof(Func, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef func_methods[] = {
    {"__reduce__", func_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

[[gnu::cold]] PyObject* raise_cleared(Func* f) noexcept {
  PyErr_Format(PyExc_RuntimeError, "function %R has lost its closure", f->qualname);
  return nullptr;
}

PyObject* closure_object(Func* f) noexcept { return f->c0 ? f->c0 : raise_cleared(f); }
PyObject* closure_peek(Func* f) noexcept { return f->c0; }
PyObject* closure_peek_cast(Func* f) noexcept { return f->c1; }
PyObject* closure_cast(Func* f) noexcept { return f->c1 ? f->c1 : raise_cleared(f); }
PyObject* closure_dict(Func* f) noexcept {
  return f->c0 && PyDict_Check(f->c0) ? f->c0 : raise_cleared(f);
}

int check_keyword_dict(Func* f, PyObject* param, PyObject* kwds) noexcept {
  int r = 0;
  bool exact = true;
  Py_BEGIN_CRITICAL_SECTION(kwds);
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  PyObject* duplicate = nullptr;
  // Nothing here runs code: a str's comparison is the interpreter's own.
  while (r == 0 && PyDict_Next(kwds, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      r = -1;
    } else {
      exact = exact && PyUnicode_CheckExact(key);
      if (!duplicate && same_name(key, param)) duplicate = key;
    }
  }
  if (r == 0 && duplicate) {
    raise_duplicate(f->spec->name, duplicate);
    r = -1;
  }
  Py_END_CRITICAL_SECTION();
  return r < 0 ? r : exact;
}

int check_keyword_names(Func* f, PyObject* param, PyObject* kwnames) noexcept {
  bool exact = true;
  PyObject* duplicate = nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return -1;
    }
    exact = exact && PyUnicode_CheckExact(key);
    if (!duplicate && same_name(key, param)) duplicate = key;
  }
  if (duplicate) {
    raise_duplicate(f->spec->name, duplicate);
    return -1;
  }
  return exact;
}

PyTypeObject FuncType{};

int init_function_type() noexcept {
  interp::prepare_static_type(&FuncType);
  FuncType.tp_name = "quenlory.model_decorator.native_function";
  FuncType.tp_basicsize = sizeof(Func);
  FuncType.tp_dealloc = func_dealloc;
  FuncType.tp_vectorcall_offset = offsetof(Func, vectorcall);
  FuncType.tp_repr = func_repr;
  FuncType.tp_call = PyVectorcall_Call;
  FuncType.tp_getattro = PyObject_GenericGetAttr;
  FuncType.tp_setattro = PyObject_GenericSetAttr;
  FuncType.tp_flags =
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  FuncType.tp_traverse = func_traverse;
  FuncType.tp_clear = func_clear;
  FuncType.tp_weaklistoffset = offsetof(Func, weakreflist);
  FuncType.tp_methods = func_methods;
  FuncType.tp_members = func_members;
  FuncType.tp_getset = func_getset;
  FuncType.tp_descr_get = func_descr_get;
  FuncType.tp_dictoffset = offsetof(Func, dict);
  return PyType_Ready(&FuncType);
}

namespace {

// The interned __name__ of each kind of function, made once: a decoration makes
// a few dozen functions.  Kept for the life of the process, like the name table.
PyObject* name_of(const FuncSpec& spec) noexcept {
  struct Entry {
    const FuncSpec* spec;
    PyObject* name;
  };
  static Entry known[32];
  static size_t used = 0;
  for (size_t i = 0; i < used; ++i) {
    if (known[i].spec == &spec) return Py_NewRef(known[i].name);
  }
  PyObject* name = PyUnicode_InternFromString(spec.name);
  if (name && used < sizeof known / sizeof known[0]) known[used++] = Entry{&spec, Py_NewRef(name)};
  return name;
}

}  // namespace

Ref make_function(const FuncSpec& spec, PyObject* qualname, PyObject* c0, PyObject* c1) noexcept {
  Func* f = PyObject_GC_New(Func, &FuncType);
  if (!f) return {};
  f->vectorcall = func_vectorcall;
  f->spec = &spec;
  f->name = nullptr;
  f->qualname = nullptr;
  f->module = Py_NewRef(N.module_name);
  f->doc = Py_NewRef(Py_None);
  f->dict = nullptr;
  f->defaults = nullptr;
  f->annotations = nullptr;
  f->c0 = Py_XNewRef(c0);
  f->c1 = Py_XNewRef(c1);
  f->weakreflist = nullptr;
  Ref owner = Ref::steal(reinterpret_cast<PyObject*>(f));
  if (!(f->name = name_of(spec))) return {};
  f->qualname = Py_NewRef(qualname ? qualname : f->name);
  PyObject_GC_Track(f);
  return owner;
}

}  // namespace quenlory
