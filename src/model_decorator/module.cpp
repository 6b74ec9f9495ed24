// Entry point and initialisation of quenlory.model_decorator: the one-interpreter
// and re-initialisation guards, the interned names and cached built-ins, the
// imports, the two registries of model classes and the introspection functions.
#include <cstring>

#include "compat.hpp"
#include "fastpath.hpp"
#include "nested.hpp"
#include "function.hpp"
#include "runtime.hpp"
#include "schema.hpp"

namespace quenlory {

Names N;
Builtins B;
PyObject* g_globals = nullptr;
PyObject* g_builtins = nullptr;

namespace {

void raise_undefined(PyObject* name) noexcept {
  if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
}

}  // namespace

Ref load_global(PyObject* name) noexcept {
  if (PyObject* v = PyDict_GetItemWithError(g_globals, name)) return Ref::borrow(v);
  if (PyErr_Occurred()) return {};
  if (PyObject* v = PyDict_GetItemWithError(g_builtins, name)) return Ref::borrow(v);
  raise_undefined(name);
  return {};
}

Ref text_of(PyObject* obj) noexcept {
  if (PyUnicode_CheckExact(obj)) return Ref::borrow(obj);
  return Ref::steal(PyObject_Format(obj, N.empty));
}

void raise_value_error(std::initializer_list<PyObject*> pieces) noexcept {
  Ref message = Ref::borrow(N.empty);
  for (PyObject* piece : pieces) {
    Ref text = text_of(piece);
    if (!text) return;
    message = Ref::steal(PyUnicode_Concat(message.get(), text.get()));
    if (!message) return;
  }
  PyErr_SetObject(B.value_error, message.get());
}

namespace {

void raise_need_more(Py_ssize_t got) noexcept {
  PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
}

void raise_too_many() noexcept {
  PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
}

}  // namespace

int unpack_pair(PyObject* obj, Ref& first, Ref& second) noexcept {
  if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
    Py_ssize_t size = Py_SIZE(obj);
    if (size != 2) {
      if (size > 2)
        raise_too_many();
      else
        raise_need_more(size);
      return -1;
    }
    PyObject** items = PySequence_Fast_ITEMS(obj);
    first = Ref::borrow(items[0]);
    second = Ref::borrow(items[1]);
    return 0;
  }
  Ref it = Ref::steal(PyObject_GetIter(obj));
  if (!it) return -1;
  Ref* targets[2] = {&first, &second};
  for (Py_ssize_t i = 0; i < 2; ++i) {
    *targets[i] = Ref::steal(PyIter_Next(it.get()));
    if (!*targets[i]) {
      if (!PyErr_Occurred()) raise_need_more(i);
      return -1;
    }
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) {
    raise_too_many();
    return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

namespace {

// ---- model_fields and model_fields_flat ------------------------------------------------------

// The registry to read is named by the function's closure.
PyObject* model_fields_impl(Func* f, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  PyObject* cls = params[0];
  if (!Py_IS_TYPE(cls, &PyType_Type) && cls != Py_None) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "cls",
                 "type", Py_TYPE(cls)->tp_name);
    return nullptr;
  }
  PyObject* registry_name = closure_object(f);
  Ref registry = registry_name ? load_global(registry_name) : Ref();
  if (!registry) return nullptr;
  return PyObject_GetItem(registry.get(), cls);
}

const FuncSpec kModelFields{"model_fields", Shape::One, 1, {&Names::p_cls}, "(cls, /)", model_fields_impl};
const FuncSpec kModelFieldsFlat{"model_fields_flat", Shape::One, 1,
                                {&Names::p_cls},     "(cls, /)", model_fields_impl};

// model_fields or model_fields_flat: the registry it reads is named by its closure.
Ref make_model_fields(const FuncSpec& spec, PyObject* registry_name) noexcept {
  Ref f = make_function(spec, nullptr, registry_name);
  if (!f) return {};
  Ref annotations = Ref::steal(PyDict_New());
  if (!annotations) return {};
  Ref type_text = Ref::steal(PyUnicode_InternFromString("type"));
  if (!type_text || PyDict_SetItem(annotations.get(), N.p_cls, type_text.get()) < 0) return {};
  reinterpret_cast<Func*>(f.get())->annotations = annotations.release();
  return f;
}

// ---- initialisation ----------------------------------------------------------------------------

PyInterpreterState* g_owner = nullptr;
PyObject* g_module = nullptr;  // the one module object; kept for the life of the process
bool g_executed = false;

int intern_names() noexcept {
#define QUENLORY_INTERN(field, text) \
  if (!(N.field = PyUnicode_InternFromString(text))) return -1;
  QUENLORY_NAMES(QUENLORY_INTERN)
#undef QUENLORY_INTERN
  if (!(N.empty_tuple = PyTuple_New(0))) return -1;
  if (!(N.prefix_kwnames = PyTuple_Pack(1, N.prefix))) return -1;
  return 0;
}

// Warn when the running interpreter's "major.minor" differs from the one this
// module was built for.  The whole version is compared, so 3.10 and 3.11 differ.
int check_version() noexcept {
  char built[16];
  PyOS_snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
  const char* full = Py_GetVersion();
  char running[16];
  size_t n = 0, dots = 0;
  while (full[n] && n + 1 < sizeof running) {
    if (full[n] == '.' && ++dots == 2) break;
    if (full[n] != '.' && (full[n] < '0' || full[n] > '9')) break;
    running[n] = full[n];
    ++n;
  }
  running[n] = '\0';
  if (std::strcmp(built, running) == 0) return 0;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "compiletime version %s of module '%.100s' does not match runtime version %s",
                          built, "quenlory.model_decorator", running);
}

int cache_builtins() noexcept {
  struct {
    PyObject** slot;
    const char* name;
  } wanted[] = {{&B.property, "property"},
                {&B.classmethod, "classmethod"},
                {&B.staticmethod, "staticmethod"},
                {&B.value_error, "ValueError"},
                {&B.print, "print"}};
  for (auto& w : wanted) {
    Ref name = Ref::steal(PyUnicode_InternFromString(w.name));
    if (!name) return -1;
    PyObject* value = PyDict_GetItemWithError(g_builtins, name.get());
    if (!value) {
      raise_undefined(name.get());
      return -1;
    }
    Py_XSETREF(*w.slot, Py_NewRef(value));
  }
  return 0;
}

// module.name = value; the module's namespace takes its own reference.
int bind(PyObject* module, const char* name, Ref value) noexcept {
  if (!value) return -1;
  return PyObject_SetAttrString(module, name, value.get());
}

// `from <package> import <names>` with the names bound in order; a missing one
// is an ImportError "cannot import name ...".
int import_from(const char* from, int level, std::initializer_list<const char*> names) noexcept {
  Ref fromlist = Ref::steal(PyList_New(0));
  if (!fromlist) return -1;
  for (const char* name : names) {
    Ref text = Ref::steal(PyUnicode_InternFromString(name));
    if (!text || PyList_Append(fromlist.get(), text.get()) < 0) return -1;
  }
  Ref source_name = Ref::steal(PyUnicode_FromString(from));
  if (!source_name) return -1;
  Ref source = Ref::steal(
      PyImport_ImportModuleLevelObject(source_name.get(), g_globals, nullptr, fromlist.get(), level));
  if (!source) return -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fromlist.get()); ++i) {
    PyObject* name = PyList_GET_ITEM(fromlist.get(), i);
    Ref value = Ref::steal(PyObject_GetAttr(source.get(), name));
    if (!value) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
      return -1;
    }
    if (PyDict_SetItem(g_globals, name, value.get()) < 0) return -1;
  }
  return 0;
}

int import_module(PyObject* module, const char* name) noexcept {
  return bind(module, name, Ref::steal(PyImport_ImportModule(name)));
}

// typing.cast(Dict, weakref.WeakKeyDictionary()): the weak-key dictionary itself.
Ref make_registry() noexcept {
  PyObject* weakref = PyDict_GetItemWithError(g_globals, N.weakref);
  PyObject* typing = weakref ? PyDict_GetItemWithError(g_globals, N.typing) : nullptr;
  PyObject* dict_type = typing ? PyDict_GetItemWithError(g_globals, N.Dict) : nullptr;
  if (!dict_type) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "cannot create the registries");
    return {};
  }
  Ref registry = Ref::steal(PyObject_CallMethod(weakref, "WeakKeyDictionary", nullptr));
  if (!registry) return {};
  return Ref::steal(PyObject_CallMethod(typing, "cast", "OO", dict_type, registry.get()));
}

// The checking casts, handed to the declarations module that Field comes from.
int init_known_casts() noexcept {
  Ref field = load_global(N.Field);
  Ref name = Ref::steal(field ? PyObject_GetAttr(field.get(), N.dunder_module) : nullptr);
  Ref bases = Ref::steal(name ? PyImport_Import(name.get()) : nullptr);
  return bases ? init_casts(bases.get()) : -1;
}

int module_exec(PyObject* module) noexcept {
  if (g_executed) {
    if (module == g_module) return 0;
    PyErr_SetString(
        PyExc_RuntimeError,
        "Module 'model_decorator' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  g_globals = PyModule_GetDict(module);  // borrowed: the module lives until the process ends
  g_builtins = PyEval_GetBuiltins();
  if (!g_globals || !g_builtins) return -1;
  if (compat::init_shared_counting() < 0) return -1;
  if (intern_names() < 0 || init_function_type() < 0 || init_schema_type() < 0) return -1;
  if (fastpath::init() < 0 || compat::tag_epoch_init() < 0) return -1;
  g_class_slots.descriptor = fastpath::install_descriptor_slots;
  g_class_slots.model = fastpath::install_init_slot;
  g_class_slots.call_with_data = fastpath::call_with_data;
  Ref probe = fastpath::make_probe();
  if (!probe || PyDict_SetItemString(PyImport_GetModuleDict(), "quenlory._probe", probe.get()) < 0) return -1;
  if (check_version() < 0) return -1;
  if (cache_builtins() < 0) return -1;
  if (import_module(module, "json") < 0 || import_module(module, "weakref") < 0 ||
      import_module(module, "typing") < 0)
    return -1;
  if (import_from("typing", 0, {"Dict", "Set"}) < 0) return -1;
  if (import_from("fields.bases", 1, {"ProxyField", "Field", "MultiField"}) < 0) return -1;
  if (init_known_casts() < 0) return -1;
  // Held: recognising the nested kinds imports their module, which runs code.
  if (Ref proxy_field = Ref::borrow(PyDict_GetItemWithError(g_globals, N.ProxyField))) {
    if (nested::init(proxy_field.get()) < 0) return -1;
  } else if (PyErr_Occurred()) {
    return -1;
  }
  if (bind(module, "_fields", make_registry()) < 0 || bind(module, "_flat_fields", make_registry()) < 0)
    return -1;
  if (bind(module, "model_fields", make_model_fields(kModelFields, N.fields_registry)) < 0 ||
      bind(module, "model_fields_flat", make_model_fields(kModelFieldsFlat, N.flat_fields_registry)) < 0 ||
      bind(module, "raw", make_raw()) < 0 || bind(module, "dumps", make_dumps()) < 0 ||
      bind(module, "model", make_model()) < 0)
    return -1;
  g_executed = true;
  return 0;
}

// Only one interpreter per process may load the module, and it gets one module object.
PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
  PyInterpreterState* current = PyThreadState_Get()->interp;
  if (g_owner && g_owner != current) {
    PyErr_SetString(
        PyExc_ImportError,
        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
  }
  g_owner = current;
  if (g_module) return Py_NewRef(g_module);
  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  g_module = PyModule_NewObject(name.get());
  return Py_XNewRef(g_module);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // Importing the module leaves a free-threaded interpreter without its global lock.
    QUENLORY_MOD_GIL_SLOT
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "model_decorator", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace quenlory

PyMODINIT_FUNC PyInit_model_decorator(void) { return PyModuleDef_Init(&quenlory::module_def); }
