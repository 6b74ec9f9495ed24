// raw and dumps: the data dictionary of an instance and its JSON text.
//
// Layer 9 (docs/architecture.md): includes layers 0-8; calls layers 0-8; only module.cpp calls it.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; after
//   the collector, what it may have cleared is checked (schema.hpp).
#include "serialisation.hpp"

#include <vector>

#include "function.hpp"
#include "interp.hpp"
#include "mapping.hpp"
#include "storage.hpp"

namespace quenlory {
namespace {

PyObject* raw_impl(Func*, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  return get_data(params[0]).release();
}

const FuncSpec kRaw{"raw", Shape::One, 1, {&Names::p_obj}, "(obj, /)", raw_impl};

// What the encoder is given.  On the free-threaded build CPython 3.13's
// encoder walks dicts and lists without taking their locks, so a write from
// another thread could free an item under it: it gets a copy instead, every
// dict and list in it copied under its own lock, a container that holds one of
// its own ancestors holding that ancestor's copy (so the encoder reports the
// same circular reference; such copies are emptied once encoded, so that they
// do not wait for the collector).  With the global lock, the data itself.
struct Copied {
  PyObject* original;
  PyObject* copy;
};
struct Snapshot {
  std::vector<Copied> path;
  std::vector<Ref> made;  // every copy, emptied after encoding when one holds an ancestor
  bool cyclic = false;
};

Ref snapshot(PyObject* o, Snapshot& state) noexcept;

// The copy of `o` (a dict or list) whose dicts and lists are copies too.  The
// copy is this call's own: no other thread can change it.
Ref snapshot_body(PyObject* o, Snapshot& state) noexcept {
  bool is_dict = PyDict_CheckExact(o);
  Ref copy = Ref::steal(is_dict ? PyDict_Copy(o) : PyList_GetSlice(o, 0, PY_SSIZE_T_MAX));
  if (!copy) return {};
  state.path.push_back({o, copy.get()});
  state.made.push_back(Ref::borrow(copy.get()));
  int r = 0;
  if (is_dict) {
    r = for_each_item(copy.get(), [&](PyObject* key, PyObject* value) {
      if (!PyDict_CheckExact(value) && !PyList_CheckExact(value)) return 0;
      Ref inner = snapshot(value, state);
      return inner ? PyDict_SetItem(copy.get(), key, inner.get()) : -1;
    });
  } else {
    for (Py_ssize_t i = 0; r == 0 && i < PyList_GET_SIZE(copy.get()); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(copy.get(), i));
      if (!PyDict_CheckExact(item.get()) && !PyList_CheckExact(item.get())) continue;
      Ref inner = snapshot(item.get(), state);
      r = inner ? PyList_SetItem(copy.get(), i, inner.release()) : -1;
    }
  }
  state.path.pop_back();
  if (r < 0) return {};
  return copy;
}

Ref snapshot(PyObject* o, Snapshot& state) noexcept {
  if (!PyDict_CheckExact(o) && !PyList_CheckExact(o)) return Ref::borrow(o);
  for (const Copied& c : state.path) {
    if (c.original == o) {
      state.cyclic = true;
      return Ref::borrow(c.copy);
    }
  }
  Ref copy;
  if (Py_EnterRecursiveCall(" while encoding a JSON object")) return {};
  copy = snapshot_body(o, state);
  Py_LeaveRecursiveCall();
  return copy;
}

// encode(data), through a snapshot on the free-threaded build.
PyObject* encode_data(PyObject* encode, PyObject* data) noexcept {
  if constexpr (!interp::kFreeThreaded) return call_one(encode, data);
  Snapshot state;
  Ref copy = snapshot(data, state);
  if (!copy) return nullptr;
  PyObject* text = call_one(encode, copy.get());
  if (state.cyclic) {
    interp::SavedError saved;  // the encoder's, if it failed
    for (Ref& made : state.made) {
      if (PyDict_CheckExact(made.get()))
        PyDict_Clear(made.get());
      else if (PyList_SetSlice(made.get(), 0, PY_SSIZE_T_MAX, nullptr) < 0)
        PyErr_Clear();  // a list of our own: emptying it cannot fail but for memory
    }
  }
  return text;
}

// json and raw are looked up at each call, so rebinding either on the module
// changes what is encoded and by whom.
PyObject* dumps_impl(Func*, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  Ref json = load_global(N.json);
  if (!json) return nullptr;
  Ref encode = Ref::steal(PyObject_GetAttr(json.get(), N.dumps));
  if (!encode) return nullptr;
  Ref raw = load_global(N.raw);
  if (!raw) return nullptr;
  // Our own raw is run directly; a replacement is called.
  Ref data =
      as_function(raw.get(), kRaw) ? get_data(params[0]) : Ref::steal(call_one(raw.get(), params[0]));
  if (!data) return nullptr;
  return encode_data(encode.get(), data.get());
}

const FuncSpec kDumps{"dumps", Shape::One, 1, {&Names::p_obj}, "(obj, /)", dumps_impl};

}  // namespace

Ref make_raw() noexcept { return make_function(kRaw); }
Ref make_dumps() noexcept { return make_function(kDumps); }

}  // namespace quenlory
