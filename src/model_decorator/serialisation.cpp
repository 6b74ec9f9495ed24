// raw and dumps: the data dictionary of an instance and its JSON text.
#include "runtime.hpp"

namespace quenlory {
namespace {

PyObject* raw_impl(Func*, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  return get_data(params[0]).release();
}

const FuncSpec kRaw{"raw", Shape::One, 1, {&Names::p_obj}, "(obj, /)", raw_impl};

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
      as_function(raw.get(), kRaw) ? get_data(params[0]) : Ref::steal(compat::call_one(raw.get(), params[0]));
  if (!data) return nullptr;
  return compat::call_one(encode.get(), data.get());
}

const FuncSpec kDumps{"dumps", Shape::One, 1, {&Names::p_obj}, "(obj, /)", dumps_impl};

}  // namespace

Ref make_raw() noexcept { return make_function(kRaw); }
Ref make_dumps() noexcept { return make_function(kDumps); }

}  // namespace quenlory
