// The helpers the feature files share.
#include "runtime.hpp"

namespace quenlory {
namespace {

// _cast(value), the optional wrapper: None passes through; anything else goes to the wrapped cast.
PyObject* optional_cast_impl(Func* f, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  if (params[0] == Py_None) return new_none();
  PyObject* cast = closure_object(f);
  return cast ? call_cast(cast, params[0]) : nullptr;
}

// int(s) of an exact str that is an optional sign and then one to 18 ASCII digits, and nothing else: the text
// int() reads with base 10 (leading zeros included) and a value that fits a long long.  Anything else, such as
// spaces, underscores, other scripts' digits, longer text or no digits at all, answers false and goes to the
// interpreter's own parser, for the same result or the same error.  PyLong_FromLongLong hands out the shared
// small ints as int() does.
constexpr Py_ssize_t kShortDecimalDigits = 18;
static_assert(sizeof(long long) >= 8, "18 decimal digits fit a long long");

QUENLORY_HOT bool short_decimal(PyObject* s, long long* out) noexcept {
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

}  // namespace

const FuncSpec kOptionalCast{"_cast", Shape::One, 1, {&Names::p_value}, "(value, /)", optional_cast_impl};

ClassSlots g_class_slots;

bool str_keys_only(PyObject* d) noexcept {
  bool only = true;
  QUENLORY_LOCKED(d)
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (only && PyDict_Next(d, &pos, &key, &value)) only = PyUnicode_CheckExact(key);
  QUENLORY_UNLOCKED()
  return only;
}

Ref get_item(PyObject* mapping, PyObject* key) noexcept {
  if (PyDict_CheckExact(mapping)) return compat::dict_getitem(mapping, key);
  return Ref::steal(PyObject_GetItem(mapping, key));
}

int set_item(PyObject* mapping, PyObject* key, PyObject* value) noexcept {
  if (PyDict_CheckExact(mapping)) return PyDict_SetItem(mapping, key, value);
  return PyObject_SetItem(mapping, key, value);
}

// int(s) of an exact str is PyLong_FromUnicodeObject(s, 10), reached after asking str for __int__, __index__ and
// __trunc__, which it has none of and cannot be given.  int(i) of an exact int is i.
PyObject* int_cast(PyObject* value) noexcept {
  if (PyUnicode_CheckExact(value)) {
    long long n;
    return short_decimal(value, &n) ? PyLong_FromLongLong(n) : PyLong_FromUnicodeObject(value, 10);
  }
  return PyLong_CheckExact(value) ? Py_NewRef(value) : PyNumber_Long(value);
}

// str(s) of an exact str is s.
PyObject* str_cast(PyObject* value) noexcept {
  return PyUnicode_CheckExact(value) ? Py_NewRef(value) : PyObject_Str(value);
}

PyObject* float_cast(PyObject* value) noexcept {
  return PyUnicode_CheckExact(value) ? PyFloat_FromString(value) : PyNumber_Float(value);
}

BuiltinCast builtin_cast(PyObject* cast) noexcept {
  if (cast == reinterpret_cast<PyObject*>(&PyLong_Type)) return int_cast;
  if (cast == reinterpret_cast<PyObject*>(&PyUnicode_Type)) return str_cast;
  if (cast == reinterpret_cast<PyObject*>(&PyFloat_Type)) return float_cast;
  return nullptr;
}

PyObject* call_cast(PyObject* cast, PyObject* value) noexcept {
  // Wrappers of wrappers (a declaration shared by several optional models) are unwound in a loop.
  while (Func* wrapper = as_function(cast, kOptionalCast)) {
    if (value == Py_None) return new_none();
    if (!(cast = closure_object(wrapper))) return nullptr;
  }
  if (BuiltinCast convert = builtin_cast(cast)) return convert(value);
  return compat::call_one(cast, value);
}

int optional_flag(PyObject* metadata) noexcept {
  if (PyDict_CheckExact(metadata)) {
    Ref flag = compat::dict_get(metadata, N.optional);
    if (!flag) return PyErr_Occurred() ? -1 : 0;
    return PyObject_IsTrue(flag.get());  // held: its truth test may run code
  }
  Ref flag = Ref::steal(compat::call_method(metadata, N.get, N.optional, Py_False));
  return flag ? PyObject_IsTrue(flag.get()) : -1;
}

}  // namespace quenlory
