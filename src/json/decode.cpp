// quenlory._json: JSON text to Python objects through yyjson, for quenlory.loads (quenlory/_loads.py).
//
//   decode(text, shape, refused) -> the decoded value, or `refused` itself
//   shape(keys, children)        -> a key table for decode (a capsule)
//
// decode gives exactly what json.loads(text) gives, or hands back `refused` whenever it might not: text that is
// not an exact str, bytes or bytearray; bytes whose first bytes make json.loads read another encoding (UTF-16, UTF-32
// or a UTF-8 byte order mark); a str that has no UTF-8 form (lone surrogates); any text yyjson refuses; and any
// failure while the objects are built (a string that is not strict UTF-8, such as an escaped lone surrogate; an
// integer over the interpreter's digit limit; nesting deeper than the recursion limit; memory). The caller then runs
// json.loads itself, which raises its own errors, so every message and position is json.loads's. yyjson runs in
// strict mode with its non-standard extensions compiled out (no comments, trailing commas, NaN or Infinity: those
// documents go to json.loads too) and reads every number as its text, which becomes an int or a float by the
// rules json.loads applies: an int when the text has no fraction and no exponent, else float(text).
//
// A shape names the keys a model's schema knows, each with the shape for objects found under it (directly or as
// list items): those keys come out as the schema's own str objects, and the other keys of one call are made once
// and shared, as json.loads shares them. The objects built are all new and reachable from nothing else until
// decode returns; on failure they are released, so nothing half-built escapes.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

#include "yyjson.h"

namespace {

constexpr const char* kShapeName = "quenlory._json.shape";
// Above this size the parse itself runs without holding the interpreter.
constexpr Py_ssize_t kParseUnlocked = 1 << 16;

inline uint64_t hash_bytes(const char* s, size_t n) noexcept {
  uint64_t h = 0xcbf29ce484222325ULL ^ n;
  for (size_t i = 0; i < n; i++) h = (h ^ static_cast<unsigned char>(s[i])) * 0x100000001b3ULL;
  return h ^ (h >> 29);
}

struct Shape;

struct Entry {
  const char* utf8;  // the key's UTF-8 form, cached by the str itself
  size_t len;
  uint64_t hash;
  PyObject* key;  // strong
  const Shape* child;  // owned by the capsule in `children` of the owning shape, or null
};

struct Shape {
  PyObject* keys;      // tuple, strong
  PyObject* children;  // tuple, strong
  size_t mask;
  Entry* slots;  // mask + 1 of them; an empty one has a null key
};

void shape_free(PyObject* capsule) {
  auto* shape = static_cast<Shape*>(PyCapsule_GetPointer(capsule, kShapeName));
  if (!shape) {
    PyErr_Clear();
    return;
  }
  Py_XDECREF(shape->keys);
  Py_XDECREF(shape->children);
  PyMem_Free(shape->slots);
  PyMem_Free(shape);
}

inline const Entry* shape_find(const Shape* shape, const char* s, size_t n, uint64_t h) noexcept {
  for (size_t i = h & shape->mask;; i = (i + 1) & shape->mask) {
    const Entry& e = shape->slots[i];
    if (!e.key) return nullptr;
    if (e.hash == h && e.len == n && std::memcmp(e.utf8, s, n) == 0) return &e;
  }
}

// shape(keys, children): keys a tuple of str, children a tuple of the same length holding shapes or None. Keys
// that are not exact str, or have no UTF-8 form, are left out: such keys are never reused.
PyObject* make_shape(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyTuple_CheckExact(args[0]) || !PyTuple_CheckExact(args[1]) ||
      PyTuple_GET_SIZE(args[0]) != PyTuple_GET_SIZE(args[1])) {
    PyErr_SetString(PyExc_TypeError, "shape() takes two tuples of the same length");
    return nullptr;
  }
  PyObject* keys = args[0];
  PyObject* children = args[1];
  Py_ssize_t count = PyTuple_GET_SIZE(keys);
  size_t size = 8;
  while (size < static_cast<size_t>(count) * 2) size <<= 1;
  auto* shape = static_cast<Shape*>(PyMem_Calloc(1, sizeof(Shape)));
  Entry* slots = static_cast<Entry*>(PyMem_Calloc(size, sizeof(Entry)));
  if (!shape || !slots) {
    PyMem_Free(shape);
    PyMem_Free(slots);
    return PyErr_NoMemory();
  }
  shape->keys = Py_NewRef(keys);
  shape->children = Py_NewRef(children);
  shape->mask = size - 1;
  shape->slots = slots;
  PyObject* capsule = PyCapsule_New(shape, kShapeName, shape_free);
  if (!capsule) {
    Py_DECREF(keys);
    Py_DECREF(children);
    PyMem_Free(slots);
    PyMem_Free(shape);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < count; i++) {
    PyObject* key = PyTuple_GET_ITEM(keys, i);
    PyObject* child = PyTuple_GET_ITEM(children, i);
    const Shape* child_shape = nullptr;
    if (child != Py_None) {
      child_shape = static_cast<const Shape*>(PyCapsule_GetPointer(child, kShapeName));
      if (!child_shape) {
        Py_DECREF(capsule);
        return nullptr;
      }
    }
    if (!PyUnicode_CheckExact(key)) continue;
    Py_ssize_t len;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
    if (!utf8) {
      PyErr_Clear();
      continue;
    }
    uint64_t h = hash_bytes(utf8, static_cast<size_t>(len));
    if (shape_find(shape, utf8, static_cast<size_t>(len), h)) continue;  // the first one stays
    size_t at = h & shape->mask;
    while (slots[at].key) at = (at + 1) & shape->mask;
    slots[at] = Entry{utf8, static_cast<size_t>(len), h, key, child_shape};
  }
  return capsule;
}

inline bool is_ascii(const char* s, size_t n) noexcept {
  uint64_t acc = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, s + i, 8);
    acc |= word;
  }
  for (; i < n; i++) acc |= static_cast<unsigned char>(s[i]);
  return (acc & 0x8080808080808080ULL) == 0;
}

// A str from strict UTF-8 (yyjson's unescaped text); anything else fails, and the document goes to json.loads.
inline PyObject* make_str(const char* s, size_t n) noexcept {
  if (is_ascii(s, n)) {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (str && n) std::memcpy(PyUnicode_DATA(str), s, n);
    return str;
  }
  return PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), nullptr);
}

// The keys of one call that no shape knows, each made once.
class KeyMemo {
 public:
  KeyMemo() = default;
  KeyMemo(const KeyMemo&) = delete;
  KeyMemo& operator=(const KeyMemo&) = delete;
  ~KeyMemo() {
    for (size_t i = 0; slots_ && i <= mask_; i++) Py_XDECREF(slots_[i].key);
    PyMem_Free(slots_);
  }

  // A new reference to the key for the n bytes at s (which live as long as the memo), or null with an error.
  PyObject* get(const char* s, size_t n, uint64_t h) noexcept {
    if (!slots_ && !grow()) return nullptr;
    size_t i = h & mask_;
    for (; slots_[i].key; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.hash == h && slot.len == n && std::memcmp(slot.text, s, n) == 0) return Py_NewRef(slot.key);
    }
    PyObject* key = make_str(s, n);
    if (!key) return nullptr;
    slots_[i] = Slot{s, n, h, Py_NewRef(key)};
    if (++used_ * 2 > mask_ && !grow()) {
      Py_DECREF(key);
      return nullptr;
    }
    return key;
  }

 private:
  struct Slot {
    const char* text;
    size_t len;
    uint64_t hash;
    PyObject* key;
  };

  bool grow() noexcept {
    size_t size = slots_ ? (mask_ + 1) * 2 : 64;
    auto* slots = static_cast<Slot*>(PyMem_Calloc(size, sizeof(Slot)));
    if (!slots) {
      PyErr_NoMemory();
      return false;
    }
    for (size_t i = 0; slots_ && i <= mask_; i++) {
      if (!slots_[i].key) continue;
      size_t at = slots_[i].hash & (size - 1);
      while (slots[at].key) at = (at + 1) & (size - 1);
      slots[at] = slots_[i];
    }
    PyMem_Free(slots_);
    slots_ = slots;
    mask_ = size - 1;
    return true;
  }

  Slot* slots_ = nullptr;
  size_t mask_ = 0;
  size_t used_ = 0;
};

// A number's text (yyjson leaves it NUL-terminated): an int without fraction or exponent, else a float, as
// int(text) and float(text) make them.
PyObject* make_number(const char* s, size_t n) noexcept {
  bool negative = s[0] == '-';
  size_t digits = n - negative;
  bool integral = true;
  for (size_t i = negative; i < n; i++) {
    if (s[i] < '0' || s[i] > '9') {
      integral = false;
      break;
    }
  }
  if (integral && digits <= 18) {
    long long value = 0;
    for (size_t i = negative; i < n; i++) value = value * 10 + (s[i] - '0');
    return PyLong_FromLongLong(negative ? -value : value);
  }
  if (s[n] != '\0') return nullptr;  // not met; checked so that the calls below never read past the number
  if (integral) return PyLong_FromString(s, nullptr, 10);
  double value = PyOS_string_to_double(s, nullptr, nullptr);
  if (value == -1.0 && PyErr_Occurred()) return nullptr;
  return PyFloat_FromDouble(value);
}

struct Builder {
  KeyMemo memo;

  PyObject* key(yyjson_val* k, const Shape* shape, const Shape** child) noexcept {
    const char* s = unsafe_yyjson_get_str(k);
    size_t n = unsafe_yyjson_get_len(k);
    uint64_t h = hash_bytes(s, n);
    if (shape) {
      if (const Entry* e = shape_find(shape, s, n, h)) {
        *child = e->child;
        return Py_NewRef(e->key);
      }
    }
    *child = nullptr;
    return memo.get(s, n, h);
  }

  PyObject* value(yyjson_val* v, const Shape* shape) noexcept {
    switch (unsafe_yyjson_get_type(v)) {
      case YYJSON_TYPE_STR:
        return make_str(unsafe_yyjson_get_str(v), unsafe_yyjson_get_len(v));
      case YYJSON_TYPE_RAW:
        return make_number(unsafe_yyjson_get_raw(v), unsafe_yyjson_get_len(v));
      case YYJSON_TYPE_OBJ:
        return object(v, shape);
      case YYJSON_TYPE_ARR:
        return array(v, shape);
      case YYJSON_TYPE_BOOL:
        return Py_NewRef(unsafe_yyjson_get_subtype(v) == YYJSON_SUBTYPE_TRUE ? Py_True : Py_False);
      case YYJSON_TYPE_NULL:
        return Py_NewRef(Py_None);
      default:  // numbers always come as text; anything else is not met
        PyErr_SetString(PyExc_ValueError, "unexpected JSON value");
        return nullptr;
    }
  }

  PyObject* object(yyjson_val* v, const Shape* shape) noexcept {
    if (Py_EnterRecursiveCall(" while decoding a JSON object")) return nullptr;
    PyObject* dict = PyDict_New();
    size_t count = unsafe_yyjson_get_len(v);
    yyjson_val* k = unsafe_yyjson_get_first(v);
    for (size_t i = 0; dict && i < count; i++) {
      yyjson_val* item = k + 1;
      const Shape* child;
      PyObject* key = this->key(k, shape, &child);
      PyObject* value = key ? this->value(item, child) : nullptr;
      // As json.loads stores them: a repeated key keeps its first place and takes the last value.
      if (!value || PyDict_SetItem(dict, key, value) < 0) Py_CLEAR(dict);
      Py_XDECREF(key);
      Py_XDECREF(value);
      k = unsafe_yyjson_get_next(item);
    }
    Py_LeaveRecursiveCall();
    return dict;
  }

  PyObject* array(yyjson_val* v, const Shape* shape) noexcept {
    if (Py_EnterRecursiveCall(" while decoding a JSON array")) return nullptr;
    size_t count = unsafe_yyjson_get_len(v);
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
    yyjson_val* item = unsafe_yyjson_get_first(v);
    for (size_t i = 0; list && i < count; i++) {
      PyObject* value = this->value(item, shape);
      if (!value) {
        Py_CLEAR(list);
        break;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), value);
      item = unsafe_yyjson_get_next(item);
    }
    Py_LeaveRecursiveCall();
    return list;
  }
};

// The document for the text, or null for text that goes to json.loads (no error set either way).
yyjson_doc* parse(PyObject* text) noexcept {
  PyObject* utf8 = nullptr;
  Py_buffer view;
  bool viewed = false;
  const char* data;
  Py_ssize_t len;
  if (PyUnicode_CheckExact(text)) {
    if (PyUnicode_IS_ASCII(text)) {
      data = static_cast<const char*>(PyUnicode_DATA(text));
      len = PyUnicode_GET_LENGTH(text);
    } else {
      // A temporary UTF-8 copy, so that the str does not keep one.
      utf8 = PyUnicode_AsUTF8String(text);
      if (!utf8) {
        PyErr_Clear();
        return nullptr;
      }
      data = PyBytes_AS_STRING(utf8);
      len = PyBytes_GET_SIZE(utf8);
    }
  } else if (PyBytes_CheckExact(text) || PyByteArray_CheckExact(text)) {
    // The export keeps a bytearray from being resized while it is read.
    if (PyObject_GetBuffer(text, &view, PyBUF_SIMPLE) < 0) {
      PyErr_Clear();
      return nullptr;
    }
    viewed = true;
    data = static_cast<const char*>(view.buf);
    len = view.len;
    // json.loads reads bytes starting with a zero byte, a zero second byte or a byte order mark as UTF-16,
    // UTF-32 or UTF-8 with a mark.
    auto b = reinterpret_cast<const unsigned char*>(data);
    if (len >= 1 && (b[0] == 0 || b[0] == 0xFE || b[0] == 0xFF)) len = 0;
    if (len >= 2 && b[1] == 0) len = 0;
  } else {
    return nullptr;
  }
  yyjson_doc* doc = nullptr;
  // A UTF-8 byte order mark: json.loads refuses it in a str and skips it in bytes.
  if (len > 0 && static_cast<unsigned char>(data[0]) != 0xEF) {
    yyjson_read_err error;
    char* input = const_cast<char*>(data);  // read only: yyjson copies it without the in-place flag
    if (len >= kParseUnlocked) {
      Py_BEGIN_ALLOW_THREADS
      doc = yyjson_read_opts(input, static_cast<size_t>(len), YYJSON_READ_NUMBER_AS_RAW, nullptr, &error);
      Py_END_ALLOW_THREADS
    } else {
      doc = yyjson_read_opts(input, static_cast<size_t>(len), YYJSON_READ_NUMBER_AS_RAW, nullptr, &error);
    }
  }
  if (viewed) PyBuffer_Release(&view);
  Py_XDECREF(utf8);
  return doc;
}

PyObject* decode(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "decode() takes three arguments");
    return nullptr;
  }
  const Shape* shape = nullptr;
  if (args[1] != Py_None) {
    shape = static_cast<const Shape*>(PyCapsule_GetPointer(args[1], kShapeName));
    if (!shape) return nullptr;
  }
  yyjson_doc* doc = parse(args[0]);
  if (!doc) return Py_NewRef(args[2]);
  PyObject* result;
  {
    Builder builder;
    result = builder.value(yyjson_doc_get_root(doc), shape);
  }
  yyjson_doc_free(doc);
  if (!result) {
    PyErr_Clear();
    return Py_NewRef(args[2]);
  }
  return result;
}

PyMethodDef methods[] = {
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(decode)), METH_FASTCALL, nullptr},
    {"shape", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(make_shape)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The module keeps no state of its own: every interpreter may load it, and none needs the global lock for it.
PyModuleDef_Slot slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_json", nullptr, 0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__json(void) { return PyModuleDef_Init(&module_def); }
