// The known casts (see casts.hpp): the built-in conversions run in line, the
// checking casts of quenlory.types, and the path notes that the failures of
// a construction carry.
//
// Layer 4 (docs/architecture.md): includes function.hpp and below; calls layers 0-3.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; after
//   the collector, what it may have cleared is checked (schema.hpp).
#include "casts.hpp"

namespace quenlory {
namespace {

// int(s) of an exact str that is an optional sign and then one to 18 ASCII digits, and nothing else: the text
// int() reads with base 10 (leading zeros included) and a value that fits a long long.  Anything else, such as
// spaces, underscores, other scripts' digits, longer text or no digits at all, answers false and goes to the
// interpreter's own parser, for the same result or the same error.  PyLong_FromLongLong hands out the shared
// small ints as int() does.
constexpr Py_ssize_t kShortDecimalDigits = 18;
static_assert(sizeof(long long) >= 8, "18 decimal digits fit a long long");

inline __attribute__((always_inline)) bool short_decimal(PyObject* s, long long* out) noexcept {
  if (!PyUnicode_IS_COMPACT_ASCII(s)) return false;
  Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  if (n == 0 || n > kShortDecimalDigits + 1) return false;
  const unsigned char* p = PyUnicode_1BYTE_DATA(s);
  const unsigned char* end = p + n;
  bool negative = *p == '-';
  if (negative || *p == '+') ++p;
  if (p == end || end - p > kShortDecimalDigits) return false;
  long long v = 0;
  for (; p != end; ++p) {
    unsigned digit = static_cast<unsigned>(*p) - '0';
    if (digit > 9) return false;
    v = v * 10 + digit;
  }
  *out = negative ? -v : v;
  return true;
}

PyObject* g_twins[kCastRows];   // the unconstrained checking cast of each checking row, kept for good
PyObject* g_note_path;          // bases._note_path, kept for good
PyObject* g_search;             // "search"
PyObject* g_value;              // "value"

CheckCast* self_of(PyObject* cast) noexcept { return reinterpret_cast<CheckCast*>(cast); }

[[gnu::cold]] PyObject* expected(const char* what, PyObject* value) noexcept {
  PyErr_Format(PyExc_TypeError, "expected %s, got %.200s", what, Py_TYPE(value)->tp_name);
  return nullptr;
}

// The bounds ge and le of a number.
PyObject* bounded(CheckCast* c, const char* what, PyObject* value) noexcept {
  for (int op : {Py_GE, Py_LE}) {
    PyObject* bound = op == Py_GE ? c->ge : c->le;
    if (!bound) continue;
    int r = PyObject_RichCompareBool(value, bound, op);
    if (r < 0) return nullptr;
    if (!r) {
      PyErr_Format(PyExc_ValueError, "expected %s %s %R, got %R", what, op == Py_GE ? ">=" : "<=", bound, value);
      return nullptr;
    }
  }
  return Py_NewRef(value);
}

// min_length and max_length of a str, list or dict of n items.
bool fits(CheckCast* c, const char* what, Py_ssize_t n) noexcept {
  if (c->min_length >= 0 && n < c->min_length) {
    PyErr_Format(PyExc_ValueError, "expected %s of length >= %zd, got length %zd", what, c->min_length, n);
    return false;
  }
  if (c->max_length >= 0 && n > c->max_length) {
    PyErr_Format(PyExc_ValueError, "expected %s of length <= %zd, got length %zd", what, c->max_length, n);
    return false;
  }
  return true;
}

bool not_bool_int(PyObject* value) noexcept { return PyLong_Check(value) && !PyBool_Check(value); }

// ---- the checking-cast type ------------------------------------------------------------------------

PyObject* check_cast_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  PyObject* value;
  if (kwargs && PyDict_GET_SIZE(kwargs)) {
    PyErr_SetString(PyExc_TypeError, "a cast takes no keyword arguments");
    return nullptr;
  }
  if (!PyArg_UnpackTuple(args, "cast", 1, 1, &value)) return nullptr;
  return kKnownCasts[self_of(self)->row].convert(self, value);
}

#define QUENLORY_CHECK_CAST_REFS(X) X(item) X(ge) X(le) X(pattern) X(choices) X(enum_cls) X(text)

int check_cast_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  CheckCast* c = self_of(self);
#define QUENLORY_VISIT(f) Py_VISIT(c->f);
  QUENLORY_CHECK_CAST_REFS(QUENLORY_VISIT)
#undef QUENLORY_VISIT
  return 0;
}

int check_cast_clear(PyObject* self) noexcept {
  CheckCast* c = self_of(self);
#define QUENLORY_CLEAR(f) Py_CLEAR(c->f);
  QUENLORY_CHECK_CAST_REFS(QUENLORY_CLEAR)
#undef QUENLORY_CLEAR
  return 0;
}

// A chain of item casts goes as deep as it was made: the interpreter's trashcan releases it a bounded depth at a time.
void check_cast_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, check_cast_dealloc)
  check_cast_clear(self);
  Py_TYPE(self)->tp_free(self);
  Py_TRASHCAN_END
}

PyObject* check_cast_repr(PyObject* self) noexcept {
  CheckCast* c = self_of(self);
  if (c->text) return Py_NewRef(c->text);
  return PyUnicode_FromFormat("<%s cast>", kKnownCasts[c->row].name);
}

// A new checking cast of `row`; the constraints are checked by quenlory.types.
Ref new_check_cast(int row) noexcept {
  CheckCast* c = PyObject_GC_New(CheckCast, &CheckCastType);
  if (!c) return {};
  c->row = row;
  c->plain = true;
  c->lasting = false;
  c->min_length = c->max_length = -1;
#define QUENLORY_ZERO(f) c->f = nullptr;
  QUENLORY_CHECK_CAST_REFS(QUENLORY_ZERO)
#undef QUENLORY_ZERO
  PyObject_GC_Track(c);
  return Ref::steal(reinterpret_cast<PyObject*>(c));
}

// _CheckCast(kind, text=None, *, item=None, ge=None, le=None, min_length=-1, max_length=-1, pattern=None,
// choices=None, enum=None)
PyObject* check_cast_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"kind",       "text",    "item",    "ge",   "le", "min_length",
                                   "max_length", "pattern", "choices", "enum", nullptr};
  const char* kind;
  PyObject *text = nullptr, *item = nullptr, *ge = nullptr, *le = nullptr, *pattern = nullptr;
  PyObject *choices = nullptr, *enum_cls = nullptr;
  Py_ssize_t min_length = -1, max_length = -1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|O$OOOnnOOO", const_cast<char**>(keywords), &kind, &text, &item,
                                   &ge, &le, &min_length, &max_length, &pattern, &choices, &enum_cls))
    return nullptr;
  int row = -1;
  for (int i = kRowCheckInt; i < kCastRows; ++i)
    if (strcmp(kKnownCasts[i].name, kind) == 0) row = i;
  if (row < 0) {
    PyErr_Format(PyExc_ValueError, "unknown cast kind %s", kind);
    return nullptr;
  }
  auto given = [](PyObject* o) { return o && o != Py_None ? o : nullptr; };
  if (row == kRowCheckChoice && !(given(choices) && PyTuple_Check(choices))) {
    PyErr_SetString(PyExc_TypeError, "a choice cast needs a tuple of choices");
    return nullptr;
  }
  Ref made = new_check_cast(row);
  if (!made) return nullptr;
  CheckCast* c = self_of(made.get());
  c->min_length = min_length;
  c->max_length = max_length;
  c->text = Py_XNewRef(given(text));
  c->item = Py_XNewRef(given(item));
  c->ge = Py_XNewRef(given(ge));
  c->le = Py_XNewRef(given(le));
  c->pattern = Py_XNewRef(given(pattern));
  c->choices = row == kRowCheckChoice ? Py_NewRef(choices) : nullptr;
  c->enum_cls = Py_XNewRef(given(enum_cls));
  // Bounds and choices of the plain types compare with a plain value without running code.
  bool plain = !c->item && !c->pattern && !c->enum_cls && row != kRowCheckList && row != kRowCheckDict;
  for (PyObject* o : {c->ge, c->le})
    if (o && !plain_value(o)) plain = false;
  if (c->choices)
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(c->choices); ++i)
      if (!plain_value(PyTuple_GET_ITEM(c->choices, i))) plain = false;
  c->plain = plain;
  return made.release();
}

PyObject* check_cast_kind(PyObject* self, void*) noexcept {
  return PyUnicode_FromString(kKnownCasts[self_of(self)->row].name);
}

PyObject* check_cast_self(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

PyGetSetDef check_cast_getset[] = {
    {"kind", check_cast_kind, nullptr, "what the cast accepts: int, str, float, bool, list, dict or choice", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A cast never changes once made: a copy is the cast itself.
PyMethodDef check_cast_methods[] = {
    {"__copy__", check_cast_self, METH_NOARGS, nullptr},
    {"__deepcopy__", check_cast_self, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

[[gnu::cold]] void raise_pattern(CheckCast* c, PyObject* value) noexcept {
  Ref text = Ref::steal(PyObject_GetAttrString(c->pattern, "pattern"));
  if (text) PyErr_Format(PyExc_ValueError, "expected str matching %R, got %R", text.get(), value);
}

[[gnu::cold]] void raise_choice(CheckCast* c, PyObject* value) noexcept {
  Ref shown = Ref::steal(PyList_New(0));
  if (!shown) return;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(c->choices); ++i) {
    Ref r = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(c->choices, i)));
    if (!r || PyList_Append(shown.get(), r.get()) < 0) return;
  }
  Ref sep = Ref::steal(PyUnicode_FromString(", "));
  Ref text = Ref::steal(sep ? PyUnicode_Join(sep.get(), shown.get()) : nullptr);
  if (text) PyErr_Format(PyExc_ValueError, "expected one of %U, got %R", text.get(), value);
}

}  // namespace

PyTypeObject CheckCastType{};

// ---- the conversions -----------------------------------------------------------------------------

// int(s) of an exact str is PyLong_FromUnicodeObject(s, 10), reached after asking str for __int__, __index__ and
// __trunc__, which it has none of and cannot be given.  int(i) of an exact int is i.
PyObject* int_cast(PyObject*, PyObject* value) noexcept {
  if (PyUnicode_CheckExact(value)) {
    long long n;
    return short_decimal(value, &n) ? PyLong_FromLongLong(n) : PyLong_FromUnicodeObject(value, 10);
  }
  return PyLong_CheckExact(value) ? Py_NewRef(value) : PyNumber_Long(value);
}

// str(s) of an exact str is s.
PyObject* str_cast(PyObject*, PyObject* value) noexcept {
  return PyUnicode_CheckExact(value) ? Py_NewRef(value) : PyObject_Str(value);
}

PyObject* float_cast(PyObject*, PyObject* value) noexcept {
  return PyUnicode_CheckExact(value) ? PyFloat_FromString(value) : PyNumber_Float(value);
}

// The checks: the value itself when it passes (bool refused as an int; an int kept as it is where a float is
// expected, as JSON makes no difference between 1 and 1.0).
PyObject* check_int(PyObject* cast, PyObject* value) noexcept {
  if (!not_bool_int(value)) return expected("int", value);
  CheckCast* c = self_of(cast);
  return c->ge || c->le ? bounded(c, "int", value) : Py_NewRef(value);
}

PyObject* check_float(PyObject* cast, PyObject* value) noexcept {
  if (!PyFloat_Check(value) && !not_bool_int(value)) return expected("float", value);
  CheckCast* c = self_of(cast);
  return c->ge || c->le ? bounded(c, "float", value) : Py_NewRef(value);
}

PyObject* check_bool(PyObject*, PyObject* value) noexcept {
  return PyBool_Check(value) ? Py_NewRef(value) : expected("bool", value);
}

PyObject* check_str(PyObject* cast, PyObject* value) noexcept {
  if (!PyUnicode_Check(value)) return expected("str", value);
  CheckCast* c = self_of(cast);
  if (!fits(c, "str", PyUnicode_GET_LENGTH(value))) return nullptr;
  if (c->pattern) {
    Ref found = Ref::steal(call_method(c->pattern, g_search, value));
    if (!found) return nullptr;
    if (found.get() == Py_None) {
      raise_pattern(c, value);
      return nullptr;
    }
  }
  return Py_NewRef(value);
}

namespace {

// The item casts of a list or dict, which may be checking casts of items in their turn, as deep as the
// declaration nests them: each level counts towards the recursion limit, as a call of a Python cast would.
template <typename Items>
PyObject* counted(const char* where, Items items) noexcept {
  if (Py_EnterRecursiveCall(where)) return nullptr;
  PyObject* r = items();
  Py_LeaveRecursiveCall();
  return r;
}

PyObject* list_items(CheckCast* c, PyObject* value) noexcept {
  Ref list = Ref::borrow(value);
  Ref copy;
  Py_ssize_t n = PyList_GET_SIZE(value);
  // An item cast may run code that changes the list, the last item's too, and the copy is made of the first n.
  auto changed = [&]() {
    if (PyList_GET_SIZE(value) == n) return false;
    PyErr_SetString(PyExc_RuntimeError, "list changed size during its check");
    return true;
  };
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (changed()) return nullptr;
    Ref item = Ref::steal(PySequence_GetItem(value, i));  // held, and read safely where threads share the list
    if (!item) return nullptr;
    Ref got = Ref::steal(call_cast(c->item, item.get()));
    if (!got) {
      note_index(i);
      return nullptr;
    }
    if (changed()) return nullptr;
    if (got.get() != item.get() && !copy && !(copy = Ref::steal(PyList_GetSlice(value, 0, n)))) return nullptr;
    if (copy && PyList_SetItem(copy.get(), i, got.release()) < 0) return nullptr;
  }
  return copy ? copy.release() : list.release();
}

PyObject* dict_items(CheckCast* c, PyObject* value) noexcept {
  // The item casts may run code that changes the dict: its items are taken first, and a change of its size,
  // which would leave added keys unchecked in the result, is refused as the list check refuses one.
  Ref items = Ref::steal(PyDict_Items(value));
  if (!items) return nullptr;
  Py_ssize_t n = PyList_GET_SIZE(items.get());
  Ref copy;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);  // held by the list, which only this call holds
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    PyObject* item = PyTuple_GET_ITEM(pair, 1);
    Ref got = Ref::steal(call_cast(c->item, item));
    if (!got) {
      note_path(key);
      return nullptr;
    }
    if (PyDict_GET_SIZE(value) != n) {
      PyErr_SetString(PyExc_RuntimeError, "dict changed size during its check");
      return nullptr;
    }
    if (got.get() == item && !copy) continue;
    if (!copy && !(copy = Ref::steal(PyDict_Copy(value)))) return nullptr;
    if (PyDict_SetItem(copy.get(), key, got.get()) < 0) return nullptr;
  }
  return copy ? copy.release() : Py_NewRef(value);
}

}  // namespace

// A list or dict whose items the item cast gives back as they are is kept; else a new one holds the cast items.
PyObject* check_list(PyObject* cast, PyObject* value) noexcept {
  if (!PyList_Check(value)) return expected("list", value);
  CheckCast* c = self_of(cast);
  if (!fits(c, "list", PyList_GET_SIZE(value))) return nullptr;
  if (!c->item) return Py_NewRef(value);
  return counted(" while checking a list", [&] { return list_items(c, value); });
}

PyObject* check_dict(PyObject* cast, PyObject* value) noexcept {
  if (!PyDict_Check(value)) return expected("dict", value);
  CheckCast* c = self_of(cast);
  if (!fits(c, "dict", PyDict_GET_SIZE(value))) return nullptr;
  if (!c->item) return Py_NewRef(value);
  return counted(" while checking a dict", [&] { return dict_items(c, value); });
}

// One of the choices, of the same type and equal; an enum member stands for its value.
PyObject* check_choice(PyObject* cast, PyObject* value) noexcept {
  CheckCast* c = self_of(cast);
  Ref v = Ref::borrow(value);
  if (c->enum_cls) {
    int r = PyObject_IsInstance(value, c->enum_cls);
    if (r < 0) return nullptr;
    if (r && !(v = Ref::steal(PyObject_GetAttr(value, g_value)))) return nullptr;
  }
  Ref choices = Ref::borrow(c->choices);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(choices.get()); ++i) {
    PyObject* choice = PyTuple_GET_ITEM(choices.get(), i);
    if (Py_TYPE(choice) != Py_TYPE(v.get())) continue;
    int r = PyObject_RichCompareBool(v.get(), choice, Py_EQ);
    if (r < 0) return nullptr;
    if (r) return v.release();
  }
  raise_choice(c, v.get());
  return nullptr;
}

PyObject* strict_twin(PyObject* cast) noexcept {
  for (int i = 0; i < kRowCheckInt; ++i)
    if (cast == reinterpret_cast<PyObject*>(kKnownCasts[i].type)) return g_twins[kKnownCasts[i].twin];
  return cast;
}

// ---- path notes ------------------------------------------------------------------------------------

namespace {

// bases._note_path(exc, segment) on the pending exception, which stays pending and unchanged whatever happens;
// `segment` nullptr stands for the int `index`.
void note(PyObject* segment, Py_ssize_t index) noexcept {
  if (!g_note_path || !PyErr_Occurred()) return;
  PyObject* exc = PyErr_GetRaisedException();
  if (exc) {
    Ref made = Ref::steal(segment ? Py_NewRef(segment) : PyLong_FromSsize_t(index));
    PyObject* args[] = {exc, made.get()};
    Ref r = Ref::steal(made ? PyObject_Vectorcall(g_note_path, args, 2, nullptr) : nullptr);
    if (!r) PyErr_Clear();  // a note that cannot be made is left out
  }
  PyErr_SetRaisedException(exc);
}

// _cast(value), the optional wrapper: None passes through; anything else goes to the wrapped cast.
PyObject* optional_cast_impl(Func* f, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  if (params[0] == Py_None) return new_none();
  PyObject* cast = closure_object(f);
  return cast ? call_cast(cast, params[0]) : nullptr;
}

}  // namespace

const FuncSpec kOptionalCast{"_cast", Shape::One, 1, {&Names::p_value}, "(value, /)", optional_cast_impl};

PyObject* call_cast(PyObject* cast, PyObject* value) noexcept {
  // Wrappers of wrappers (a declaration shared by several optional models) are unwound in a loop.
  while (Func* wrapper = as_function(cast, kOptionalCast)) {
    if (value == Py_None) return new_none();
    if (!(cast = closure_object(wrapper))) return nullptr;
  }
  if (const KnownCast* known = in_line_cast(cast)) return known->convert(cast, value);
  // list(x) of an exact list is a new list of its items, and bool(b) of a bool is b, with no call.
  if (cast == reinterpret_cast<PyObject*>(&PyList_Type) && PyList_CheckExact(value))
    return PyList_GetSlice(value, 0, PY_SSIZE_T_MAX);
  if (cast == reinterpret_cast<PyObject*>(&PyBool_Type) && PyBool_Check(value)) return Py_NewRef(value);
  return call_one(cast, value);
}

void note_path(PyObject* segment) noexcept { note(segment, 0); }
void note_index(Py_ssize_t index) noexcept { note(nullptr, index); }

int init_casts(PyObject* bases) noexcept {
  interp::prepare_static_type(&CheckCastType);
  CheckCastType.tp_name = "quenlory.types._CheckCast";
  CheckCastType.tp_basicsize = sizeof(CheckCast);
  CheckCastType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  CheckCastType.tp_doc = "A cast that checks a value instead of converting it (see quenlory.types).";
  CheckCastType.tp_new = check_cast_new;
  CheckCastType.tp_call = check_cast_call;
  CheckCastType.tp_repr = check_cast_repr;
  CheckCastType.tp_dealloc = check_cast_dealloc;
  CheckCastType.tp_traverse = check_cast_traverse;
  CheckCastType.tp_clear = check_cast_clear;
  CheckCastType.tp_getset = check_cast_getset;
  CheckCastType.tp_methods = check_cast_methods;
  if (PyType_Ready(&CheckCastType) < 0) return -1;
  if (!(g_search = PyUnicode_InternFromString("search")) || !(g_value = PyUnicode_InternFromString("value")))
    return -1;
  Ref twins = Ref::steal(PyDict_New());
  if (!twins) return -1;
  for (int i = 0; i < kRowCheckInt; ++i) {
    int row = kKnownCasts[i].twin;
    Ref twin = new_check_cast(row);
    Ref text = Ref::steal(twin ? PyUnicode_FromFormat("%c%s()", kKnownCasts[row].name[0] - 'a' + 'A',
                                                      kKnownCasts[row].name + 1)
                               : nullptr);
    if (!text) return -1;
    CheckCast* c = self_of(twin.get());
    c->text = text.release();
    c->lasting = true;
    c->plain = row != kRowCheckList && row != kRowCheckDict;
    if (PyDict_SetItem(twins.get(), reinterpret_cast<PyObject*>(kKnownCasts[i].type), twin.get()) < 0) return -1;
    g_twins[row] = twin.release();  // kept for good
  }
  if (PyObject_SetAttrString(bases, "_CheckCast", reinterpret_cast<PyObject*>(&CheckCastType)) < 0 ||
      PyObject_SetAttrString(bases, "_strict_twins", twins.get()) < 0)
    return -1;
  g_note_path = PyObject_GetAttrString(bases, "_note_path");  // kept for good
  return g_note_path ? 0 : -1;
}

}  // namespace quenlory
