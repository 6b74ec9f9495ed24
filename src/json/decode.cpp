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
//
// Beside the core's layers (docs/architecture.md): a module of its own that includes only Python.h, the C++
// library and yyjson.h, and calls only the interpreter and yyjson; nothing of the core includes it or is included
// by it. Bound by the core's rules in its own terms: its interpreter-version tests stay in this file's few #if
// blocks; every object it builds is new and owned until decode returns (above), and its releases are the failure
// paths' own.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "yyjson.h"

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* o) {
  Py_INCREF(o);
  return o;
}
#endif

namespace {

constexpr const char* kShapeName = "quenlory._json.shape";
// Above this size the parse of an immutable text (a str or bytes) runs without holding the interpreter.
constexpr Py_ssize_t kParseUnlocked = 1 << 16;

// The last n bytes at s (0 < n < 8) in one word, read without a copy of variable length: two reads of four that
// overlap, or the first, middle and last byte.
inline uint64_t tail_word(const char* s, size_t n) noexcept {
  if (n >= 4) {
    uint32_t first, last;
    std::memcpy(&first, s, 4);
    std::memcpy(&last, s + n - 4, 4);
    return first | (static_cast<uint64_t>(last) << 32);
  }
  return static_cast<unsigned char>(s[0]) | (static_cast<uint64_t>(static_cast<unsigned char>(s[n / 2])) << 8) |
         (static_cast<uint64_t>(static_cast<unsigned char>(s[n - 1])) << 16);
}

// The n bytes at a and at b are the same, for n up to 16 in a few loads that stay inside both.
inline bool same_bytes(const char* a, const char* b, size_t n) noexcept {
  if (n > 16) return std::memcmp(a, b, n) == 0;
  if (n >= 8) {
    uint64_t a0, a1, b0, b1;
    std::memcpy(&a0, a, 8);
    std::memcpy(&b0, b, 8);
    std::memcpy(&a1, a + n - 8, 8);
    std::memcpy(&b1, b + n - 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  return n == 0 || tail_word(a, n) == tail_word(b, n);
}

inline uint64_t hash_bytes(const char* s, size_t n) noexcept {
  uint64_t h = (n + 1) * 0x9E3779B97F4A7C15ULL;
  for (; n >= 8; s += 8, n -= 8) {
    uint64_t word;
    std::memcpy(&word, s, 8);
    h = (h ^ word) * 0xFF51AFD7ED558CCDULL;
    h ^= h >> 32;
  }
  if (n) h = (h ^ tail_word(s, n)) * 0xC4CEB9FE1A85EC53ULL;
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
    if (e.hash == h && e.len == n && same_bytes(e.utf8, s, n)) return &e;
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
  if (i < n) acc |= tail_word(s + i, n - i);
  return (acc & 0x8080808080808080ULL) == 0;
}

// The code point of the well-formed UTF-8 sequence at p (before end) and its length, or 0 for anything the
// interpreter's strict decoder would not take as one character: a stray or missing continuation byte, an overlong
// form, an encoded surrogate, a code point past U+10FFFF.
inline unsigned utf8_sequence(const unsigned char* p, const unsigned char* end, Py_UCS4& cp) noexcept {
  unsigned c = p[0];
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  if (c < 0xC2 || c > 0xF4) return 0;
  if (c < 0xE0) {
    if (end - p < 2 || (p[1] & 0xC0) != 0x80) return 0;
    cp = ((c & 0x1F) << 6) | (p[1] & 0x3F);
    return 2;
  }
  if (c < 0xF0) {
    if (end - p < 3 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) return 0;
    cp = ((c & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    return cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF) ? 3 : 0;
  }
  if (end - p < 4 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80) return 0;
  cp = ((c & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) | (p[3] & 0x3F);
  return cp >= 0x10000 && cp <= 0x10FFFF ? 4 : 0;
}

template <typename Char>
inline void write_utf8(Char* out, const unsigned char* p, const unsigned char* end) noexcept {
  Py_UCS4 cp = 0;
  while (p < end) {
    p += utf8_sequence(p, end, cp);
    *out++ = static_cast<Char>(cp);
  }
}

// Above this many bytes the interpreter's own decoder, which passes over runs of ASCII a word at a time, is the
// faster (long texts are mostly ASCII).
constexpr size_t kShortWide = 64;

// A str from UTF-8 that is not all ASCII: one pass measures it (its length and widest character) and checks
// every sequence, a second writes it at the width the interpreter gives that widest character.  Anything the
// first pass does not take, and a long text, goes to the interpreter's own decoder, whose result or error stands.
PyObject* make_wide_str(const char* s, size_t n) noexcept {
  if (n > kShortWide) return PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), nullptr);
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  const unsigned char* end = p + n;
  Py_ssize_t length = 0;
  Py_UCS4 widest = 0;
  for (const unsigned char* q = p; q < end; ++length) {
    Py_UCS4 cp;
    unsigned used = utf8_sequence(q, end, cp);
    if (!used) return PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), nullptr);
    widest = cp > widest ? cp : widest;
    q += used;
  }
  PyObject* str = PyUnicode_New(length, widest);
  if (!str) return nullptr;
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      write_utf8(PyUnicode_1BYTE_DATA(str), p, end);
      break;
    case PyUnicode_2BYTE_KIND:
      write_utf8(PyUnicode_2BYTE_DATA(str), p, end);
      break;
    default:
      write_utf8(PyUnicode_4BYTE_DATA(str), p, end);
      break;
  }
  return str;
}

// A str from strict UTF-8 (yyjson's unescaped text); anything else fails, and the document goes to json.loads.
inline PyObject* make_str(const char* s, size_t n) noexcept {
  if (is_ascii(s, n)) {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (str && n) std::memcpy(PyUnicode_DATA(str), s, n);
    return str;
  }
  return make_wide_str(s, n);
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

  // A new reference to the str for the n bytes at s (which live as long as the memo), or null with an error; the
  // str made here is kept for the next ones.
  PyObject* get(const char* s, size_t n, uint64_t h) noexcept {
    if (!slots_ && !grow()) return nullptr;
    size_t i = h & mask_;
    for (; slots_[i].key; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.hash == h && slot.len == n && std::memcmp(slot.text, s, n) == 0) return Py_NewRef(slot.key);
    }
    PyObject* key = make_str(s, n);
    if (!key) return key;
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

// Short string values are shared too: a document repeats its enumerations and codes, and each repeat is then one
// reference instead of one more str to make and free.  They go to a table of fixed size with one place per hash,
// where the last value made stays, so that values met once cost no more than a look and a replacement.
constexpr size_t kShortValue = 24;
constexpr size_t kValueSlots = 1024;

class ValueMemo {
 public:
  ValueMemo() = default;
  ValueMemo(const ValueMemo&) = delete;
  ValueMemo& operator=(const ValueMemo&) = delete;
  ~ValueMemo() {
    for (size_t i = 0; slots_ && i < kValueSlots; i++) Py_XDECREF(slots_[i].value);
    PyMem_Free(slots_);
  }

  // A new reference to the str for the n bytes at s (which live as long as the memo), or null with an error.
  PyObject* get(const char* s, size_t n, uint64_t h) noexcept {
    if (!slots_ && !(slots_ = static_cast<Slot*>(PyMem_Calloc(kValueSlots, sizeof(Slot))))) return PyErr_NoMemory();
    Slot& slot = slots_[(h ^ (h >> 32)) & (kValueSlots - 1)];
    if (slot.value && slot.hash == h && slot.len == n && same_bytes(slot.text, s, n))
      return Py_NewRef(slot.value);
    PyObject* value = make_str(s, n);
    if (!value) return nullptr;
    PyObject* old = slot.value;
    slot = Slot{s, n, h, Py_NewRef(value)};
    Py_XDECREF(old);  // a str: freeing it runs no code
    return value;
  }

 private:
  struct Slot {
    const char* text;
    size_t len;
    uint64_t hash;
    PyObject* value;
  };
  Slot* slots_ = nullptr;
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

// The records of a document list their keys in one order, mostly: for the
// first keys of an object of each shape, the entry the key in that place named
// last time, tried before the shape's table.
class KeyOrder {
 public:
  static constexpr size_t kPlaces = 16;

  // The places of `shape`'s objects, emptied when they were another shape's.
  const Entry** places(const Shape* shape) noexcept {
    Order& o = orders_[(reinterpret_cast<uintptr_t>(shape) >> 4) % kShapes];
    if (o.shape != shape) {
      o = Order{};
      o.shape = shape;
    }
    return o.at;
  }

 private:
  static constexpr size_t kShapes = 8;
  struct Order {
    const Shape* shape = nullptr;
    const Entry* at[kPlaces] = {};
  };
  Order orders_[kShapes];
};

struct Builder {
  KeyMemo memo;
  ValueMemo values;
  KeyOrder order;

  // `place`: the entry this key's place named last time, updated; null for a place not followed.
  PyObject* key(yyjson_val* k, const Shape* shape, const Shape** child, const Entry** place) noexcept {
    const char* s = unsafe_yyjson_get_str(k);
    size_t n = unsafe_yyjson_get_len(k);
    if (place && *place && (*place)->len == n && same_bytes((*place)->utf8, s, n)) {
      *child = (*place)->child;
      return Py_NewRef((*place)->key);
    }
    uint64_t h = hash_bytes(s, n);
    if (shape) {
      if (const Entry* e = shape_find(shape, s, n, h)) {
        if (place) *place = e;
        *child = e->child;
        return Py_NewRef(e->key);
      }
    }
    *child = nullptr;
    return memo.get(s, n, h);
  }

  PyObject* value(yyjson_val* v, const Shape* shape) noexcept {
    switch (unsafe_yyjson_get_type(v)) {
      case YYJSON_TYPE_STR: {
        const char* s = unsafe_yyjson_get_str(v);
        size_t n = unsafe_yyjson_get_len(v);
        if (n > kShortValue) return make_str(s, n);
        return values.get(s, n, hash_bytes(s, n));
      }
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
    const Entry** places = shape && count ? order.places(shape) : nullptr;
    for (size_t i = 0; dict && i < count; i++) {
      yyjson_val* item = k + 1;
      const Shape* child;
      PyObject* key = this->key(k, shape, &child, places && i < KeyOrder::kPlaces ? places + i : nullptr);
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
    // Making an item can start a collection, whose callbacks could find the
    // half-filled list through gc.get_objects(): it is out of the collector's
    // sight until every slot is filled.
    if (list) PyObject_GC_UnTrack(list);
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
    if (list) PyObject_GC_Track(list);
    return list;
  }
};

// The UTF-8 form of a str that is not ASCII, in a new buffer of PyMem_RawMalloc with yyjson's zero padding after
// it, or null (with no error set) when the str holds a surrogate, which has no UTF-8 form. Runs of ASCII go
// a word at a time.
char* utf8_of(PyObject* str, size_t* length) noexcept {
  const int kind = PyUnicode_KIND(str);
  const void* data = PyUnicode_DATA(str);
  const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
  const size_t most = n * (kind == PyUnicode_1BYTE_KIND ? 2 : kind == PyUnicode_2BYTE_KIND ? 3 : 4);
  auto* out = static_cast<unsigned char*>(PyMem_RawMalloc(most + YYJSON_PADDING_SIZE));
  if (!out) return nullptr;
  unsigned char* o = out;
  auto put = [&o](uint32_t c) -> bool {
    if (c < 0x80) {
      *o++ = static_cast<unsigned char>(c);
    } else if (c < 0x800) {
      *o++ = static_cast<unsigned char>(0xC0 | (c >> 6));
      *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      if (c >= 0xD800 && c < 0xE000) return false;
      *o++ = static_cast<unsigned char>(0xE0 | (c >> 12));
      *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else {
      *o++ = static_cast<unsigned char>(0xF0 | (c >> 18));
      *o++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
      *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    }
    return true;
  };
  size_t i = 0;
  bool ok = true;
  if (kind == PyUnicode_1BYTE_KIND) {
    const auto* s = static_cast<const Py_UCS1*>(data);
    while (i < n) {
      uint64_t word;
      if (i + 8 <= n && (std::memcpy(&word, s + i, 8), (word & 0x8080808080808080ULL) == 0)) {
        std::memcpy(o, s + i, 8);
        o += 8;
        i += 8;
      } else {
        put(s[i++]);
      }
    }
  } else if (kind == PyUnicode_2BYTE_KIND) {
    const auto* s = static_cast<const Py_UCS2*>(data);
    while (i < n && ok) {
#if defined(__SSE2__)
      // Sixteen ASCII characters at a time, narrowed to their bytes.
      if (i + 16 <= n) {
        const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 8));
        __m128i any = _mm_and_si128(_mm_or_si128(a, b), high);
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(any, _mm_setzero_si128())) == 0xFFFF) {
          _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(a, b));
          o += 16;
          i += 16;
          continue;
        }
      }
#endif
      uint64_t word;
      if (i + 4 <= n && (std::memcpy(&word, s + i, 8), (word & 0xFF80FF80FF80FF80ULL) == 0)) {
        for (int k = 0; k < 4; k++) o[k] = static_cast<unsigned char>(s[i + k]);
        o += 4;
        i += 4;
      } else {
        ok = put(s[i++]);
      }
    }
  } else {
    const auto* s = static_cast<const Py_UCS4*>(data);
    while (i < n && ok) {
#if defined(__SSE2__)
      // Sixteen ASCII characters at a time, narrowed twice to their bytes (no lane is over 0x7F, so neither
      // saturating pack changes one).
      if (i + 16 <= n) {
        const __m128i high = _mm_set1_epi32(static_cast<int>(0xFFFFFF80u));
        const __m128i* at = reinterpret_cast<const __m128i*>(s + i);
        __m128i a = _mm_loadu_si128(at), b = _mm_loadu_si128(at + 1);
        __m128i c = _mm_loadu_si128(at + 2), d = _mm_loadu_si128(at + 3);
        __m128i any = _mm_and_si128(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)), high);
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(any, _mm_setzero_si128())) == 0xFFFF) {
          __m128i words = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
          _mm_storeu_si128(reinterpret_cast<__m128i*>(o), words);
          o += 16;
          i += 16;
          continue;
        }
      }
#endif
      ok = put(s[i++]);
    }
  }
  if (!ok) {
    PyMem_RawFree(out);
    return nullptr;
  }
  std::memset(o, 0, YYJSON_PADDING_SIZE);
  *length = static_cast<size_t>(o - out);
  return reinterpret_cast<char*>(out);
}

// `shared`: the text is a bytearray's, which other threads may rewrite (not resize: it is exported) while they hold
// the interpreter; it is read holding it, so that the document is one state of the text, as json.loads reads it.
yyjson_doc* read(char* data, size_t len, yyjson_read_flag flags, bool shared = false) noexcept {
  yyjson_read_err error;
  yyjson_doc* doc;
  if (!shared && len >= static_cast<size_t>(kParseUnlocked)) {
    Py_BEGIN_ALLOW_THREADS
    doc = yyjson_read_opts(data, len, flags, nullptr, &error);
    Py_END_ALLOW_THREADS
  } else {
    doc = yyjson_read_opts(data, len, flags, nullptr, &error);
  }
  return doc;
}

// The document for the text, or null for text that goes to json.loads (no error set either way). *buffer is set
// to the UTF-8 copy that the document reads in place, to be freed with PyMem_RawFree after the document.
yyjson_doc* parse(PyObject* text, char** buffer) noexcept {
  *buffer = nullptr;
  const char* data;
  size_t len;
  if (PyUnicode_CheckExact(text)) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) {  // a str made by the old wide-character calls
      PyErr_Clear();
      return nullptr;
    }
#endif
    if (PyUnicode_IS_ASCII(text)) {
      data = static_cast<const char*>(PyUnicode_DATA(text));
      len = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    } else {
      // A UTF-8 copy of our own that yyjson may write into (the str keeps none). A str that starts with a byte
      // order mark is for json.loads to refuse.
      if (PyUnicode_READ_CHAR(text, 0) == 0xFEFF || !(*buffer = utf8_of(text, &len))) return nullptr;
      return read(*buffer, len, YYJSON_READ_NUMBER_AS_RAW | YYJSON_READ_INSITU);
    }
  } else if (PyBytes_CheckExact(text) || PyByteArray_CheckExact(text)) {
    // The export keeps a bytearray from being resized while it is read.
    Py_buffer view;
    if (PyObject_GetBuffer(text, &view, PyBUF_SIMPLE) < 0) {
      PyErr_Clear();
      return nullptr;
    }
    auto b = static_cast<const unsigned char*>(view.buf);
    len = static_cast<size_t>(view.len);
    // json.loads reads bytes that start with a zero byte, a zero second byte or a byte order mark as UTF-16,
    // UTF-32 or UTF-8 with the mark.
    yyjson_doc* doc = nullptr;
    if (len > 0 && b[0] != 0 && b[0] != 0xEF && b[0] != 0xFE && b[0] != 0xFF && (len < 2 || b[1] != 0))
      doc = read(static_cast<char*>(view.buf), len, YYJSON_READ_NUMBER_AS_RAW,  // read only: yyjson copies it
                 PyByteArray_CheckExact(text));
    PyBuffer_Release(&view);
    return doc;
  } else {
    return nullptr;
  }
  if (len == 0) return nullptr;
  return read(const_cast<char*>(data), len, YYJSON_READ_NUMBER_AS_RAW);  // read only: yyjson copies it
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
  char* buffer;
  yyjson_doc* doc = parse(args[0], &buffer);
  if (!doc) {
    PyMem_RawFree(buffer);
    return Py_NewRef(args[2]);
  }
  PyObject* result;
  {
    Builder builder;
    result = builder.value(yyjson_doc_get_root(doc), shape);
  }
  yyjson_doc_free(doc);
  PyMem_RawFree(buffer);
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
