// The reads of a compound or multi-value property (see compound_reads.hpp).
//
// Layer 6 (docs/architecture.md): includes layers 0-5; calls layers 0-5.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the memo
//   invariants and windows (memo.hpp).
#include "compound_reads.hpp"

#include "debug.hpp"
#include "memo.hpp"
#include "interp.hpp"
#include "mapping.hpp"
#include "storage.hpp"

namespace quenlory {
namespace {

// The "name" of recently read property dictionaries, each with the version
// the dict had then (see interp::kDictVersions): a hit means the dict is
// unchanged since, so it still holds that value.  The entry owns the name.
struct NameMemo {
  PyObject* dict = nullptr;
  uint64_t version = 0;
  PyObject* name = nullptr;
};
NameMemo g_names[64];

NameMemo& name_memo(PyObject* dict) noexcept {
  return g_names[(reinterpret_cast<uintptr_t>(dict) >> 6) % (sizeof g_names / sizeof g_names[0])];
}

}  // namespace

bool name_in_instance_dict(PyTypeObject* tp) noexcept {
  return tp->tp_getattro == PyObject_GenericGetAttr && !interp::type_has(tp, N.name);
}

Ref property_name(PyObject* self, bool name_in_dict) noexcept {
  if (interp::kDictVersions && memo::switched_on(memo::Table::Names) && name_in_dict) {
    if (PyObject* dict = interp::plain_instance_dict(self)) {
      NameMemo& memo = name_memo(dict);
      uint64_t version = interp::dict_version(dict);
      if (memo.dict == dict && memo.version == version) return Ref::borrow(memo.name);
      if (PyDict_CheckExact(dict)) {
        Ref held = Ref::borrow(dict);
        Ref name = interp::dict_get(dict, N.name);
        if (!name) return PyErr_Occurred() ? Ref() : Ref::steal(PyObject_GetAttr(self, N.name));
        // Unchanged by the lookup, and no key whose comparison could run code.
        if (interp::dict_version(dict) == version && str_keys_only(dict)) {
          Ref old = Ref::steal(memo.name);  // released last: it may run code
          memo = NameMemo{dict, version, Py_NewRef(name.get())};
        }
        return name;
      }
    }
  }
  if (name_in_dict) {
    if (Ref dict = instance_dict(self)) {
      if (PyDict_CheckExact(dict.get())) {
        if (Ref name = interp::dict_get(dict.get(), N.name)) return name;
        if (PyErr_Occurred()) return {};
      }
    }
  }
  return Ref::steal(PyObject_GetAttr(self, N.name));
}

Ref property_name(PyObject* self) noexcept { return property_name(self, name_in_instance_dict(Py_TYPE(self))); }

PyObject* read_compound_from(PyObject* self, PyObject* compounds, bool name_in_dict) noexcept {
  QUENLORY_ASSERT(self && compounds && !PyErr_Occurred());
  Ref name = property_name(self, name_in_dict);
  if (!name) return nullptr;
  return get_item(compounds, name.get()).release();
}

PyObject* read_compound(PyObject* self, PyObject* instance, bool name_in_dict) noexcept {
  QUENLORY_ASSERT(self && instance && !PyErr_Occurred());
  Ref compounds = get_compounds(instance);
  return compounds ? read_compound_from(self, compounds.get(), name_in_dict) : nullptr;
}

}  // namespace quenlory
