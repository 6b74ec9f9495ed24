// The model schema record: allocation and garbage-collection support.  The
// clear sets `cleared` first and frees the key index, which holds its own
// references to the names (see schema.hpp); a use after a partial clear by the
// collector meets an owned lookup's error, never a freed name.
//
// Layer 4 (docs/architecture.md): includes function.hpp and below; calls layers 0-3.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the memo
//   invariants and windows (memo.hpp); after the collector, what it may have cleared is checked (schema.hpp).
#include "schema.hpp"

#include "interp.hpp"

namespace quenlory {
namespace {

#define QUENLORY_SCHEMA_TABLES(X) \
  X(cls)                          \
  X(metadata)                     \
  X(fields)                       \
  X(casts)                        \
  X(basic)                        \
  X(compounds)                    \
  X(multi_fields)                 \
  X(field_names)                  \
  X(multi_field_components)       \
  X(proxies)                      \
  X(plain_rows)                   \
  X(raw_keys)

int schema_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Schema* s = as_schema(self);
#define QUENLORY_VISIT(f) Py_VISIT(s->f);
  QUENLORY_SCHEMA_TABLES(QUENLORY_VISIT)
#undef QUENLORY_VISIT
  return 0;
}

void free_key_index(Schema* s) noexcept {
  if (KeyIndex* index = s->key_index) {
    s->key_index = nullptr;
    for (size_t i = 0; i <= index->mask; ++i) {  // exact strs: runs nothing
      Ref name = Ref::steal(index->entries[i].name);
      Ref alias = Ref::steal(index->entries[i].alias);
    }
    PyMem_Free(index);  // the entries with it
  }
}

int schema_clear(PyObject* self) noexcept {
  Schema* s = as_schema(self);
  s->cleared = true;
  free_key_index(s);
#define QUENLORY_CLEAR(f) Py_CLEAR(s->f);
  QUENLORY_SCHEMA_TABLES(QUENLORY_CLEAR)
#undef QUENLORY_CLEAR
  return 0;
}

void schema_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  schema_clear(self);  // the index too
  PyObject_GC_Del(self);
}

}  // namespace

PyTypeObject SchemaType{};

int init_schema_type() noexcept {
  interp::prepare_static_type(&SchemaType);
  SchemaType.tp_name = "quenlory.model_decorator.ModelSchema";
  SchemaType.tp_basicsize = sizeof(Schema);
  SchemaType.tp_dealloc = schema_dealloc;
  SchemaType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  SchemaType.tp_traverse = schema_traverse;
  SchemaType.tp_clear = schema_clear;
  return PyType_Ready(&SchemaType);
}

Ref make_schema(PyObject* cls, PyObject* metadata) noexcept {
  Schema* s = PyObject_GC_New(Schema, &SchemaType);
  if (!s) return {};
#define QUENLORY_ZERO(f) s->f = nullptr;
  QUENLORY_SCHEMA_TABLES(QUENLORY_ZERO)
#undef QUENLORY_ZERO
  s->key_index = nullptr;
  s->cleared = false;
  s->strict = s->ignore_extra = false;
  Ref owner = Ref::steal(reinterpret_cast<PyObject*>(s));
  s->cls = Py_NewRef(cls);
  s->metadata = Py_NewRef(metadata);
  for (PyObject** table : {&s->fields, &s->casts, &s->basic, &s->compounds, &s->multi_fields,
                           &s->multi_field_components, &s->proxies})
    if (!(*table = PyDict_New())) return {};
  if (!(s->field_names = PySet_New(nullptr))) return {};
  PyObject_GC_Track(s);
  return owner;
}

namespace {

// The KeyIndex of field_names: each key placed, then each plain row's name
// given its row.  Nothing here runs code.  A key that is not an exact str, or
// a row whose name is not among the keys, leaves the schema without an index.
int build_key_index(Schema* s) noexcept {
  size_t size = 8;
  while (size < static_cast<size_t>(PySet_GET_SIZE(s->field_names)) * 2) size *= 2;
  // One block: the table's header, then its entries.
  Py_ssize_t nrows = PyTuple_GET_SIZE(s->plain_rows);
  void* block = PyMem_Calloc(1, sizeof(KeyIndex) + size * sizeof(KeyIndex::Entry) +
                                    static_cast<size_t>(nrows) * sizeof(PyTypeObject*));
  if (!block) {
    PyErr_NoMemory();
    return -1;
  }
  KeyIndex* index = static_cast<KeyIndex*>(block);
  index->mask = size - 1;
  index->entries = reinterpret_cast<KeyIndex::Entry*>(index + 1);
  index->keeps = reinterpret_cast<PyTypeObject**>(index->entries + size);
  for (Py_ssize_t row = 0; row < nrows; ++row) {
    PyObject* cast = PyTuple_GET_ITEM(PyTuple_GET_ITEM(s->plain_rows, row), 2);
    for (PyTypeObject* tp : {&PyUnicode_Type, &PyLong_Type, &PyBool_Type})
      if (cast == reinterpret_cast<PyObject*>(tp)) index->keeps[row] = tp;
  }
  bool whole = true;
  Ref it = Ref::steal(PyObject_GetIter(s->field_names));
  while (Ref key = Ref::steal(whole && it ? PyIter_Next(it.get()) : nullptr)) {
    whole = PyUnicode_CheckExact(key.get());
    Py_hash_t hash = whole ? PyObject_Hash(key.get()) : 0;
    // Held by the index itself: the collector may clear the frozenset before the schema.
    if (whole) index->slot(key.get(), hash) = {Py_NewRef(key.get()), hash, -1, nullptr};
  }
  whole = whole && !PyErr_Occurred();
  for (Py_ssize_t row = 0; whole && row < PyTuple_GET_SIZE(s->plain_rows); ++row) {
    PyObject* name = PyTuple_GET_ITEM(PyTuple_GET_ITEM(s->plain_rows, row), 3);  // its key in the data
    KeyIndex::Entry* e = PyUnicode_CheckExact(name) ? &index->slot(name, PyObject_Hash(name)) : nullptr;
    whole = e && e->name;
    if (whole) e->row = row;
  }
  s->key_index = index;
  if (!whole) free_key_index(s);
  return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

int finish_schema(Schema* s) noexcept {
  // The rows are made from a snapshot of the table: looking a name up in the
  // casts may run its __hash__ or __eq__, which can reach the schema and change
  // it.  They are appended one by one, so the list is whole at every step.
  Ref items = Ref::steal(PyDict_Items(s->basic));
  Ref basic = Ref::steal(items ? PyList_AsTuple(items.get()) : nullptr);
  Ref list = Ref::steal(basic ? PyList_New(0) : nullptr);
  if (!list) return -1;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(basic.get()); ++i) {
    PyObject* item = PyTuple_GET_ITEM(basic.get(), i);  // held by the snapshot
    Ref name = Ref::borrow(PyTuple_GET_ITEM(item, 0)), decl = Ref::borrow(PyTuple_GET_ITEM(item, 1));
    Ref cast = dict_getitem(s->casts, name.get());
    if (!cast) return -1;
    Ref key = raw_key(s, name.get());
    if (!key) return -1;
    Ref row = Ref::steal(PyTuple_Pack(4, name.get(), decl.get(), cast.get(), key.get()));
    if (!row || PyList_Append(list.get(), row.get()) < 0) return -1;
  }
  Ref rows = Ref::steal(PyList_AsTuple(list.get()));
  if (!rows) return -1;
  Py_XSETREF(s->plain_rows, rows.release());
  // Frozen, so that what is learnt of its keys here holds for good.
  Ref names = Ref::steal(PyFrozenSet_New(s->field_names));
  if (!names) return -1;
  Py_SETREF(s->field_names, names.release());
  return build_key_index(s);
}

Schema* closure_schema(Func* f) noexcept {
  PyObject* c0 = closure_peek(f);
  if (c0 && Py_IS_TYPE(c0, &SchemaType) && !as_schema(c0)->cleared) return as_schema(c0);
  raise_cleared(f);
  return nullptr;
}

}  // namespace quenlory
