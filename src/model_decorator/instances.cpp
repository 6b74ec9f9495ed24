// Model instances: construction from a dictionary and keywords, and equality
// with its trace on standard output.
//
// The construction's windows (memo.hpp): the key check walks `data` with the
// schema's key index and notes each plain row's value borrowed; `quiet` says
// that nothing has run since.  Neither survives a tracked allocation that can
// collect (copying a list of plain items from 3.12 on can not), a freeing
// decref that runs code, a comparison or hash of anything but exact strs and
// ints, an int<->str conversion (cast_runs_no_code refuses them), or a lookup
// on a class Python can change: each of those ends `quiet` and drops the
// noted values.
// So does testing a keyword under a name of a str subclass, whose __hash__
// and __eq__ run on the way.  The stretches that trust them are marked
// (memo.hpp).  What outlives that is owned.  The collector may clear the
// schema, its tables, the model class (its MRO) or the keyword dict's
// neighbours while an instance is still reached: what can be cleared is
// checked and raises RuntimeError.  A dict that Python code can reach (the keywords, through the
// collector's referrers) may change under any call that runs code: walks of
// it notice, and keyword consumption is checked against its keys.
//
// Layer 9 (docs/architecture.md): includes layers 0-8; calls layers 0-8; only decorator.cpp names its kinds.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the
//   windows above; the memo invariants and windows (memo.hpp); the direct-slot rules (fastpath.cpp); after
//   the collector, what it may have cleared is checked (schema.hpp).
#include <algorithm>
#include <memory>
#include <new>

#include "copying.hpp"
#include "debug.hpp"
#include "memo.hpp"
#include "instances.hpp"
#include "nested.hpp"
#include "casts.hpp"
#include "mapping.hpp"
#include "storage.hpp"
#include "schema.hpp"

namespace quenlory {
namespace {

// ---- construction ------------------------------------------------------------------------------

// One construction: the schema, the instance's two dictionaries, and the
// keywords (nullptr when none were given).  Keywords are consumed without
// changing their dictionary: a plain or compound name is consumed as soon as it
// is present, so only the keys that multi-fields take need remembering (one
// multi-field's component may be another's own name).
bool is_name(PyObject* key, PyObject* name) noexcept;

struct Build {
  Schema* s;
  PyObject* data;
  PyObject* compounds;
  PyObject* kwargs;
  Py_ssize_t consumed = 0;
  // Keywords of a vectorcall whose names are all exact strs, read where they
  // lie until something needs their dict, or until code may run that could
  // reach it.  It is made then, as the call would have made it (nothing else
  // holds it, and putting an exact str in runs no code), but never inside a
  // window: before 3.12 its allocation may collect.
  // nkw counts them either way.
  PyObject* kwnames = nullptr;
  PyObject* const* kwvalues = nullptr;
  Py_ssize_t nkw = 0;
  Py_ssize_t kw_next = 0;  // where the next name is looked for first: fields usually come in their order
  Ref kwargs_made;
  bool remember = false;  // during the multi-field phase
  Ref taken;              // keys multi-fields consumed
  // `data` is an exact dict whose keys are all exact str, the keywords' keys
  // too, and nothing has run since that could have changed either: looking a
  // str up in `data` runs no code, so `name in data` and `data[name]` can be
  // one lookup.
  bool quiet = false;
  // The keywords' keys are all exact str and nothing has run since that
  // could have changed them: looking a str up in them runs no code, so the
  // presence test and the taking of a plain field's keyword are one lookup.
  bool quiet_keywords = false;
  // While `quiet` holds, on builds with the global lock: each plain row's
  // value in `data` (nullptr: absent), read by the key check, borrowed from
  // `data`.  nullptr when the key check did not read them.
  PyObject** values = nullptr;
  // Every key in `taken` is an exact str: testing a name against them runs no code.
  bool taken_plain = true;
  // `data` was made here, for keywords alone: only the rows put keys in it.
  bool own_data = false;

  // Whether this construction may take the shortcut rather than the rules'
  // separate tests: looking a str up in `data` and in the keywords runs no
  // code, since every key of each is an exact str and nothing has run since
  // that was seen.  `walked`: the key check has just seen every key of `data`
  // an exact str (and the merged lookups only pay where it has some).
  bool lookups_run_no_code(bool walked) const noexcept {
    return (walked ? PyDict_GET_SIZE(data) != 0 : str_keys_only(data)) && (!kwargs || str_keys_only(kwargs));
  }

  // The keywords' dict, made now where they are still where the call put them.
  PyObject* keywords() noexcept {
    if (kwnames) {
      if (!(kwargs_made = Ref::steal(interp::sized_dict(nkw)))) return nullptr;
      for (Py_ssize_t i = 0; i < nkw; ++i)
        if (PyDict_SetItem(kwargs_made.get(), PyTuple_GET_ITEM(kwnames, i), kwvalues[i]) < 0) return nullptr;
      kwargs = kwargs_made.get();
      kwnames = nullptr;
      kwvalues = nullptr;
    }
    return kwargs;
  }

  // The value of the keyword `name` (an exact str) where the call put it, or
  // nullptr: by identity, then by text, starting where the last one was found.
  // Runs nothing.
  PyObject* keyword_in_place(PyObject* name) noexcept {
    for (Py_ssize_t i = 0, at = kw_next; i < nkw; ++i, at = at + 1 == nkw ? 0 : at + 1) {
      if (PyTuple_GET_ITEM(kwnames, at) == name) {
        kw_next = at + 1 == nkw ? 0 : at + 1;
        return kwvalues[at];
      }
    }
    for (Py_ssize_t i = 0; i < nkw; ++i)
      if (is_name(PyTuple_GET_ITEM(kwnames, i), name)) return kwvalues[i];
    return nullptr;
  }

  // The keyword is present: take it and return its value.
  Ref take_keyword(PyObject* name) noexcept {
    // An exact str name is found where the call put the keywords: no dict is
    // made, whose allocation could collect and run code.
    if (kwnames && !remember && PyUnicode_CheckExact(name)) {
      Ref value = Ref::borrow(keyword_in_place(name));
      if (!value) {
        raise_key_error(name);
        return {};
      }
      ++consumed;
      return value;
    }
    if (!keywords()) return {};
    Ref value = dict_getitem(kwargs, name);
    if (!value) return {};
    ++consumed;
    if (remember) {
      if (!taken && !(taken = Ref::steal(PySet_New(nullptr)))) return {};
      if (PySet_Add(taken.get(), name) < 0) return {};
      taken_plain = taken_plain && PyUnicode_CheckExact(name);
    }
    return value;
  }

  int has_keyword(PyObject* name) noexcept {
    if (!nkw) return 0;
    // Looked for in place: making the dict here could collect while the
    // caller still trusts the values the key check noted.
    if (kwnames && !taken && PyUnicode_CheckExact(name)) return keyword_in_place(name) != nullptr;
    if (!keywords()) return -1;
    int r = PyDict_Contains(kwargs, name);
    if (r > 0 && taken) {
      int t = PySet_Contains(taken.get(), name);
      if (t) return t < 0 ? -1 : 0;
    }
    return r;
  }

  int was_taken(PyObject* key) const noexcept {
    int r = PyDict_Contains(s->compounds, key);
    if (r == 0) r = PyDict_Contains(s->basic, key);
    if (r == 0 && taken) r = PySet_Contains(taken.get(), key);
    return r;
  }

  // data.get(name) is not None
  int data_has_value(PyObject* name) const noexcept {
    if (PyDict_CheckExact(data)) {
      Ref v = interp::dict_get(data, name);
      if (!v) return PyErr_Occurred() ? -1 : 0;
      return v.get() != Py_None;
    }
    Ref v = Ref::steal(call_method(data, N.get, name));
    if (!v) return -1;
    return v.get() != Py_None;
  }

  int data_contains(PyObject* key) const noexcept {
    if (PyDict_CheckExact(data)) return PyDict_Contains(data, key);
    return PySequence_Contains(data, key);
  }

  int raise_missing(PyObject* name) const noexcept {
    Ref cls_name = Ref::steal(PyObject_GetAttr(s->cls, N.dunder_name));
    if (cls_name) raise_value_error({N.missing_key, name, N.to_construct, cls_name.get()});
    return -1;
  }
};

// `key in decl.metadata`, with the metadata read anew.
int metadata_has(PyObject* decl, PyObject* key) noexcept {
  Ref metadata = Ref::steal(PyObject_GetAttr(decl, N.metadata));
  if (!metadata) return -1;
  return PySequence_Contains(metadata.get(), key);
}

// The truth of decl.metadata.get("optional", False).
int is_optional(PyObject* decl) noexcept {
  Ref metadata = Ref::steal(PyObject_GetAttr(decl, N.metadata));
  return metadata ? optional_flag(metadata.get()) : -1;
}

// The declaration's default, or the result of calling its factory.
Ref default_value(PyObject* decl, PyObject* which) noexcept {
  Ref value = Ref::steal(PyObject_GetItem(decl, which));
  if (!value || which == N.default_) return value;
  return Ref::steal(call_none(value.get()));
}

// Where the value of a field comes from, in the order the rules test them;
// Keyword and Data also stand for the component forms of a multi-field.
enum class Source { Keyword, Data, Default, Factory, Optional, Missing, Error };

// What the default, factory and optional rules read of decl.metadata, where
// its three reads are provably one: reading it runs no code (a plain slot under
// the generic attribute lookup), and it is an exact dict with exact str keys, so
// that the `in` tests between the reads run none either and nothing can change
// the slot.  One walk of its entries answers all three tests.  `settled` false:
// not so, with no error set; the reads taken here are as invisible as the ones
// saved.
struct SettledRules {
  bool settled = false;
  bool has_default = false;
  bool has_factory = false;
  Ref optional;  // the value under "optional", if any
};

// An exact str key is the name: by identity, or by equal text (runs no code).
bool is_name(PyObject* key, PyObject* name) noexcept {
  return key == name || (!interp::known_unequal(key, name) && KeyIndex::same_text(key, name));
}

// The rules as one state of one metadata dict settles them, remembered by the
// dict's address and version (interp::kDictStateVersions), which name that
// state for good: the address is only compared, never followed.  Only states
// whose "optional" is absent or a bool, whose truth runs no code, of dicts
// whose every change gives a new version (not an object's vars(), whose
// attribute stores change it in place).
//
// An entry is two words, each stored and read whole.  Where versions have
// spare low bits the rules go there, with the version they belong to; on the
// free-threaded build, which has them, a reader that meets the words of two
// stores at once then matches only if both name the dict's present state, and
// reads that state's rules.
struct SettledState {
  const void* dict;
  uint64_t word;  // the version, and the rules in its spare bits
  uint8_t rules;  // where the version has none
};
constexpr bool kSettledStates = interp::kDictStateVersions && (memo::kEnabled || interp::kFreeThreaded);
constexpr bool kRulesInVersion = interp::kDictStateSpareBits >= 4;
static_assert(kRulesInVersion || !interp::kFreeThreaded, "the free-threaded entries keep the rules in the version");
// Enough for the metadata dicts of a few models of a few dozen fields each, spread by a multiplicative hash of
// the address (allocators place dicts at regular strides).
constexpr unsigned kSettledBits = 8;
constexpr size_t kSettledEntries = size_t{1} << kSettledBits;
SettledState g_settled[kSettledEntries];
enum : uint8_t { kHasDefault = 1, kHasFactory = 2, kHasOptional = 4, kOptionalTrue = 8 };
constexpr uint64_t kRulesMask = kRulesInVersion ? 0xF : 0;

inline SettledState& settled_entry(PyObject* dict) noexcept {
  return g_settled[(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(dict)) * 0x9E3779B97F4A7C15ULL) >>
                   (64 - kSettledBits)];
}

// The rules remembered for the present state of an exact dict (its version
// read by the caller), or -1.
inline int remembered_rules(PyObject* dict, bool versioned, uint64_t version) noexcept {
  SettledState& known = settled_entry(dict);
  const void* known_dict = __atomic_load_n(&known.dict, __ATOMIC_RELAXED);
  uint64_t word = __atomic_load_n(&known.word, __ATOMIC_RELAXED);
  if (!versioned || known_dict != dict || (word & ~kRulesMask) != (version & ~kRulesMask)) return -1;
  return kRulesInVersion ? static_cast<int>(word & kRulesMask) : known.rules;
}

// The field, absent, is optional with no default or factory, as the rules
// remembered for its metadata's present state say, known without running
// code: the metadata slot's offset on the declaration's class is remembered,
// and nothing else is read that the rules' own route would not read.  False
// where that is not known so; the rules' own route then decides.
// `seen` keeps the class last asked of, and its slot's offset, for the next
// call while nothing runs in between (what could change the class).
struct DeclarationClass {
  PyTypeObject* tp = nullptr;
  Py_ssize_t offset = 0;
};

bool known_absent_optional(PyObject* decl, DeclarationClass& seen) noexcept {
  if constexpr (!kSettledStates || interp::kFreeThreaded) {
    (void)decl;
    (void)seen;
    return false;
  } else {
    if (Py_TYPE(decl) != seen.tp) {
      const DeclarationOffset* known =
          g_declaration_offsets[static_cast<int>(DeclSlot::Metadata)].peek(Py_TYPE(decl));
      if (!known || !known->offset) return false;
      seen = DeclarationClass{Py_TYPE(decl), known->offset};
    }
    PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(decl) + seen.offset);
    if (!dict || !PyDict_CheckExact(dict)) return false;
    return remembered_rules(dict, interp::dict_versioned_by_changes(dict), interp::dict_state_version(dict)) ==
           (kHasOptional | kOptionalTrue);
  }
}

// `ran_code`: set when the reads may have run code (a type lookup, a truth
// test of anything but a bool); left as it is when they ran none.
SettledRules settled_rules(PyObject* decl, bool& ran_code) noexcept {
  SettledRules rules;
  // What the read finds: the slot's value, read as the slot member reads it.
  bool looked_up = false;
  Ref metadata = declaration_slot(decl, DeclSlot::Metadata, N.metadata, looked_up);
  if (looked_up) ran_code = true;  // a type lookup compares the name with the class dicts' keys
  // An empty slot: the rules' own first read raises.
  if (!metadata || !PyDict_CheckExact(metadata.get())) return rules;
  PyObject* dict = metadata.get();
  uint64_t version = 0;
  bool versioned = false;
  if constexpr (kSettledStates) {
    versioned = interp::dict_versioned_by_changes(dict);
    version = interp::dict_state_version(dict);
    if (int bits = remembered_rules(dict, versioned, version); bits >= 0) {
      rules.settled = true;
      rules.has_default = bits & kHasDefault;
      rules.has_factory = bits & kHasFactory;
      if (bits & kHasOptional) rules.optional = Ref::borrow(bits & kOptionalTrue ? Py_True : Py_False);
      return rules;
    }
  }
  bool exact_keys = true;
  PyObject* optional = nullptr;
  Py_BEGIN_CRITICAL_SECTION(dict);
  if constexpr (kSettledStates) version = interp::dict_state_version(dict);  // the state walked
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (exact_keys && PyDict_Next(dict, &pos, &key, &value)) {
    exact_keys = PyUnicode_CheckExact(key);
    if (!exact_keys) break;
    if (is_name(key, N.default_)) {
      rules.has_default = true;
    } else if (is_name(key, N.factory)) {
      rules.has_factory = true;
    } else if (is_name(key, N.optional)) {
      optional = Py_NewRef(value);
    }
  }
  Py_END_CRITICAL_SECTION();
  Ref held = Ref::steal(optional);
  if (!exact_keys) return SettledRules{};
  rules.settled = true;
  if constexpr (kSettledStates) {
    if (versioned && (!optional || Py_IS_TYPE(optional, &PyBool_Type))) {
      uint8_t bits = (rules.has_default ? kHasDefault : 0) | (rules.has_factory ? kHasFactory : 0) |
                     (optional ? kHasOptional : 0) | (optional == Py_True ? kOptionalTrue : 0);
      SettledState& entry = settled_entry(dict);
      if constexpr (!kRulesInVersion) entry.rules = bits;
      __atomic_store_n(&entry.dict, static_cast<const void*>(dict), __ATOMIC_RELAXED);
      __atomic_store_n(&entry.word, (version & ~kRulesMask) | (kRulesInVersion ? bits : 0), __ATOMIC_RELAXED);
    }
  }
  rules.optional = std::move(held);
  return rules;
}

// The default, factory and optional rules shared by every kind of field.
// `ran_code` is set unless the rules provably ran no code.  `b`: a
// construction whose keywords may still be where the call put them, their
// dict made before the rules run code that could reach it.
Source fallback_source(PyObject* decl, bool& ran_code, Build* b = nullptr) noexcept {
  auto code_ahead = [&]() { return (ran_code = true) && (!b || !b->kwnames || b->keywords()); };
  if (SettledRules rules = settled_rules(decl, ran_code); rules.settled) {
    if (rules.has_default) return Source::Default;
    if (rules.has_factory) return Source::Factory;
    // The truth of metadata.get("optional", False): the value is held, as its truth test may run code.
    PyObject* optional = rules.optional.get();
    if (optional && !Py_IS_TYPE(optional, &PyBool_Type) && !code_ahead()) return Source::Error;
    int r = !optional ? 0 : Py_IS_TYPE(optional, &PyBool_Type) ? optional == Py_True : PyObject_IsTrue(optional);
    if (r) return r < 0 ? Source::Error : Source::Optional;
    return Source::Missing;
  }
  if (!code_ahead()) return Source::Error;
  int r = metadata_has(decl, N.default_);
  if (r) return r < 0 ? Source::Error : Source::Default;
  if ((r = metadata_has(decl, N.factory))) return r < 0 ? Source::Error : Source::Factory;
  if ((r = is_optional(decl))) return r < 0 ? Source::Error : Source::Optional;
  return Source::Missing;
}

Source fallback_source(PyObject* decl) noexcept {
  bool ran_code = false;
  return fallback_source(decl, ran_code);
}

// The rules that give no value (`key` is the field's key in the data): 1 when there is a value to fetch, 0 when the
// field is done (optional, with None recorded for compounds and multi-fields),
// -1 on an error.
int settle(Build& b, PyObject* name, PyObject* key, Source source, bool record_none) noexcept {
  switch (source) {
    case Source::Error:
      return -1;
    case Source::Missing:
      return b.raise_missing(key);  // the missing key of the data
    case Source::Optional:
      return record_none && PyDict_SetItem(b.compounds, name, Py_None) < 0 ? -1 : 0;
    default:
      return 1;
  }
}

// The value from its source; `key` is the field's key in the data (its name, unless it has a raw key).
Ref fetch(Build& b, PyObject* decl, PyObject* name, PyObject* key, Source source) noexcept {
  switch (source) {
    case Source::Keyword:
      return b.take_keyword(name);
    case Source::Data:
      return get_item(b.data, key);
    case Source::Default:
      return default_value(decl, N.default_);
    case Source::Factory:
      return default_value(decl, N.factory);
    default:
      return {};
  }
}

// Compound: cast the value into a pair, item 0 to the compound dictionary and
// item 1 to the data dictionary.
int build_compound(Build& b, PyObject* name, PyObject* key, PyObject* decl) noexcept {
  Source source;
  int r = b.has_keyword(name);
  if (r < 0) return -1;
  if (r) {
    source = Source::Keyword;
  } else if ((r = b.data_has_value(key))) {
    if (r < 0) return -1;
    source = Source::Data;
  } else {
    source = fallback_source(decl);
  }
  if ((r = settle(b, name, key, source, true)) <= 0) return r;
  Ref cast = Ref::steal(PyObject_GetAttr(decl, N.cast));
  if (!cast) return -1;
  Ref value = fetch(b, decl, name, key, source);
  if (!value) return -1;
  Ref item0, item1;
  // A nested model or list of models is built in the core, as its cast would build it.
  if ((r = nested::cast_pair(cast.get(), value.get(), item0, item1)) < 0) return -1;
  if (r == 0) {
    Ref pair = Ref::steal(call_cast(cast.get(), value.get()));
    if (!pair || unpack_pair(pair.get(), item0, item1) < 0) return -1;
  }
  if (PyDict_SetItem(b.compounds, name, item0.get()) < 0) return -1;
  return set_item(b.data, key, item1.get());
}

// Every component key is in the keywords (or, for Data, in the data dictionary).
int all_components(Build& b, PyObject* components, Source where) noexcept {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(components); ++i) {
    PyObject* key = PyTuple_GET_ITEM(components, i);
    int r = where == Source::Keyword ? b.has_keyword(key) : b.data_contains(key);
    if (r <= 0) return r;
  }
  return 1;
}

// The component values, in component order, taken from the keywords or read
// from the data.  Reading them may run code (a dict subclass's __getitem__), so
// the list is made only once every value is in hand.
Ref component_values(Build& b, PyObject* components, Source where) noexcept {
  Py_ssize_t n = PyTuple_GET_SIZE(components);
  std::unique_ptr<Ref[]> got(new (std::nothrow) Ref[n]);
  if (!got) return Ref::steal(PyErr_NoMemory());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* key = PyTuple_GET_ITEM(components, i);
    got[i] = where == Source::Keyword ? b.take_keyword(key) : get_item(b.data, key);
    if (!got[i]) return {};
  }
  Ref values = Ref::steal(PyList_New(n));
  if (!values) return {};
  for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(values.get(), i, got[i].release());  // runs nothing
  return values;
}

// Multi-field: the proxy is called with the data dictionary and either the raw
// component values or the cast value of the field itself.
int build_multi(Build& b, PyObject* name, PyObject* decl) noexcept {
  Ref components = dict_getitem(b.s->multi_field_components, name);
  if (!components) return -1;
  PyObject* keys = components.get();
  if (!PyTuple_Check(keys)) {
    PyErr_Format(PyExc_TypeError, "the components of multi-field %R are not a tuple but %.200s", name,
                 Py_TYPE(keys)->tp_name);
    return -1;
  }
  Source source;
  bool by_components = false;
  int r;
  if ((r = all_components(b, keys, Source::Keyword))) {
    source = Source::Keyword;
    by_components = true;
  } else if (r == 0 && (r = b.has_keyword(name))) {
    source = Source::Keyword;
  } else if (r == 0 && (r = all_components(b, keys, Source::Data))) {
    source = Source::Data;
    by_components = true;
  } else if (r == 0 && (r = b.data_has_value(name))) {
    source = Source::Data;
  } else {
    source = r == 0 ? fallback_source(decl) : Source::Error;
  }
  if (r < 0) return -1;
  if ((r = settle(b, name, name, source, true)) <= 0) return r;
  Ref proxy = Ref::steal(PyObject_GetAttr(decl, N.proxy));
  if (!proxy) return -1;
  Ref value;
  if (by_components) {
    value = component_values(b, keys, source);
  } else {
    Ref cast = Ref::steal(PyObject_GetAttr(decl, N.cast));
    Ref raw = cast ? fetch(b, decl, name, name, source) : Ref();
    value = Ref::steal(raw ? call_cast(cast.get(), raw.get()) : nullptr);
  }
  if (!value) return -1;
  PyObject* args[] = {b.data, value.get()};
  Ref result = Ref::steal(PyObject_Vectorcall(proxy.get(), args, 2, nullptr));
  if (!result) return -1;
  return PyDict_SetItem(b.compounds, name, result.get());
}

// The lookups that trust the construction's windows; kUnknown where a window
// does not hold, and the ordinary tests decide.
constexpr int kUnknown = 2;

// `name in kwargs` and taking it in one lookup, where the keywords' keys are
// all exact strs and the name is one too, which runs no code.  Once every
// keyword is taken (each by a name of its own), no other name is among them.
inline __attribute__((always_inline)) int quiet_keyword(Build& b, PyObject* name, Ref& value) noexcept {
  // window begins: quiet keywords
  if (!b.quiet_keywords || b.taken || !PyUnicode_CheckExact(name)) return kUnknown;
  if (b.kwnames) {
    if (b.consumed < b.nkw && (value = Ref::borrow(b.keyword_in_place(name)))) ++b.consumed;
    return value ? 1 : 0;
  }
  if (b.consumed < PyDict_GET_SIZE(b.kwargs) && (value = interp::dict_get(b.kwargs, name))) ++b.consumed;
  return value ? 1 : PyErr_Occurred() ? -1 : 0;
  // window ends: quiet keywords
}

// The field's value in the data (1), none there (0), or an error: what the
// key check noted, where nothing has run since, or `key in data` and
// `data[key]` in one lookup, which runs no code.
inline __attribute__((always_inline)) int quiet_data(Build& b, Py_ssize_t row, PyObject* key, Ref& value) noexcept {
  // window begins: quiet
  if (!b.quiet) return kUnknown;
  if (b.values) {
    value = Ref::borrow(b.values[row]);
    return value ? 1 : 0;
  }
  if (!PyUnicode_CheckExact(key)) return kUnknown;
  if ((value = interp::dict_get(b.data, b.s->key_index ? b.s->key_index->as_met(key) : key))) return 1;
  return PyErr_Occurred() ? -1 : 0;
  // window ends: quiet
}

// The cast hands `value` back as it is and runs no code: a built-in str, int
// or bool cast of an exact str, int or bool, or None behind the optional
// wrapper.  For a value read from the data, build_plain then changes nothing.
inline bool keeps_value(PyObject* cast, PyObject* value) noexcept {
  while (Func* wrapper = as_function(cast, kOptionalCast)) {
    if (value == Py_None) return true;
    if (!(cast = closure_peek(wrapper))) return false;  // cleared: the cast raises
  }
  PyTypeObject* vt = Py_TYPE(value);
  return (cast == reinterpret_cast<PyObject*>(&PyUnicode_Type) && vt == &PyUnicode_Type) ||
         (cast == reinterpret_cast<PyObject*>(&PyLong_Type) && vt == &PyLong_Type) ||
         (cast == reinterpret_cast<PyObject*>(&PyBool_Type) && vt == &PyBool_Type);
}

// Plain field: the cast of its value lands in the data dictionary.
int build_plain(Build& b, Py_ssize_t row, PyObject* name, PyObject* decl, PyObject* cast, PyObject* key) noexcept {
  Source source;
  Ref value;
  bool fallback_ran = true;  // false: the fallback rules were asked where they ran no code
  int r = quiet_keyword(b, name, value);
  if (r == kUnknown) {
    // A name of a str subclass runs its own __hash__ and __eq__ on the way,
    // and so does a key that multi-fields took of one: that ends the windows.
    if (b.nkw && (!PyUnicode_CheckExact(name) || !b.taken_plain)) {
      b.quiet = b.quiet_keywords = false;
      b.values = nullptr;
    }
    r = b.has_keyword(name);
  }
  if (r < 0) return -1;
  if (r) {
    source = Source::Keyword;
  } else if ((r = quiet_data(b, row, key, value)) != kUnknown) {
    if (r == 0) fallback_ran = false;
    source = r > 0 ? Source::Data : r < 0 ? Source::Error : fallback_source(decl, fallback_ran, &b);
  } else if ((r = b.kwnames && !PyDict_CheckExact(b.data) && !b.keywords() ? -1 : b.data_contains(key))) {
    // The data's own __contains__ may reach the keywords' dict: it is made first.
    if (r < 0) return -1;
    source = Source::Data;
  } else {
    // The data dict made here holds only plain rows' keys where there are no compounds or multi-fields, all
    // exact strs where the schema has a key index: the test above ran no code.
    if (b.own_data && b.s->key_index && PyUnicode_CheckExact(key) && !PyDict_GET_SIZE(b.s->compounds) &&
        !PyDict_GET_SIZE(b.s->multi_fields))
      fallback_ran = false;
    source = fallback_source(decl, fallback_ran, &b);
  }
  // Only a built-in cast of a plain value read from the data keeps the data as it was seen, and only one of a
  // keyword's value keeps the keywords as they were seen.
  // So does an absent optional field whose rules ran no code: it leaves both as they were.
  bool runs_no_code = value && cast_runs_no_code(cast, value.get());
  bool quiet_absent = source == Source::Optional && !fallback_ran;
  b.quiet = b.quiet && ((source == Source::Data && runs_no_code) || quiet_absent);
  b.quiet_keywords = b.quiet_keywords && ((source == Source::Keyword && runs_no_code) || quiet_absent);
  if ((r = settle(b, name, key, source, false)) <= 0) return r;
  // Code about to run (the cast, a default's read, the data's own methods)
  // may reach the keywords' dict, as it could had the call made it: it is made
  // now, where nothing trusts the windows any more.
  if (b.kwnames && (!runs_no_code || (!value && source != Source::Keyword)) && !b.keywords()) return -1;
  if (!value && !(value = fetch(b, decl, name, key, source))) return -1;
  Ref converted = Ref::steal(call_cast(cast, value.get()));
  if (!converted) return -1;
  // The cast gave back the very object read from the exact dict, and ran no
  // code since the read: storing it again would change nothing any code can see.
  if (b.quiet && converted.get() == value.get()) return 0;
  return set_item(b.data, key, converted.get());
}

// data[key] = list(value), for copies_plain_list: the copy is made and
// stored, and the list it replaces (value) may be freed.  A failure carries
// the key in its path note.
int replace_with_copy(PyObject* data, PyObject* key, PyObject* value) noexcept {
  Ref copy = Ref::steal(PyList_GetSlice(value, 0, PY_SSIZE_T_MAX));
  if (copy && PyDict_SetItem(data, key, copy.get()) == 0) return 0;
  note_path(key);
  return -1;
}

int raise_unexpected_keys(PyObject* keys) noexcept {
  raise_value_error({N.unexpected_key, keys});
  return -1;
}

// Keys of the positional dictionary that no field, compound, multi-field or
// component claims.
int check_data_keys(Build& b) noexcept {
  // With exact str keys on both sides no Python code runs, so the keys can be
  // checked in place; anything else takes the literal route.
  if (PyDict_CheckExact(b.data) && b.s->key_index) {
    const KeyIndex* index = b.s->key_index;
    bool stray = false;
    bool plain_keys = true;
    PyObject** values = b.values;
    // window begins: noted values
    Py_BEGIN_CRITICAL_SECTION(b.data);
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    // An exact str key looked up among exact strs runs no code, and the index never changes.
    while (!stray && plain_keys && PyDict_Next(b.data, &pos, &key, &value)) {
      plain_keys = PyUnicode_CheckExact(key);
      Py_ssize_t row = plain_keys ? index->find(key) : KeyIndex::kAbsent;
      stray = plain_keys && row == KeyIndex::kAbsent && !b.s->ignore_extra;
      if (row >= 0 && values) values[row] = value;
    }
    Py_END_CRITICAL_SECTION();
    if (!stray && plain_keys) {
      // Every key was an exact str, and the loop ran no code.  A merged lookup
      // only pays where data has keys.
      b.quiet = b.lookups_run_no_code(true);
      if (!b.quiet) b.values = nullptr;
      return 0;
    }
    // window ends: noted values
  }
  b.values = nullptr;
  if (b.s->ignore_extra) return 0;  // undeclared keys stay in the data as they are
  auto difference = [&]() -> Ref {
    Ref keys = Ref::steal(call_method(b.data, N.keys));
    Ref set = Ref::steal(keys ? PySet_New(keys.get()) : nullptr);
    return Ref::steal(set ? PyNumber_Subtract(set.get(), b.s->field_names) : nullptr);
  };
  Ref stray = difference();
  if (!stray) return -1;
  if (PySet_GET_SIZE(stray.get()) == 0) return 0;
  stray = difference();
  return stray ? raise_unexpected_keys(stray.get()) : -1;
}

// The keywords nobody consumed, shown as the keys view of a dict in the caller's order; none, no error.
int raise_leftover_keywords(Build& b) noexcept {
  if (!b.keywords()) return -1;
  Ref left = Ref::steal(PyDict_New());
  if (!left) return -1;
  // Testing a key may run its __hash__ or __eq__, which may change the
  // keywords: the keys are tested from a snapshot, held whole, as the error
  // reports the keywords left when the check began.
  Ref list = Ref::steal(PyDict_Items(b.kwargs));
  Ref items = Ref::steal(list ? PyList_AsTuple(list.get()) : nullptr);
  if (!items) return -1;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);  // held by the snapshot
    int taken = b.was_taken(PyTuple_GET_ITEM(item, 0));
    if (taken < 0 || (taken == 0 && PyDict_SetItem(left.get(), PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)) < 0))
      return -1;
  }
  if (PyDict_GET_SIZE(left.get()) == 0) return 0;
  Ref view = Ref::steal(call_method(left.get(), N.keys));
  return view ? raise_unexpected_keys(view.get()) : -1;
}

// Every keyword is a plain field's or a compound's own name (each of those
// consumed or not, as the slower check below counts them too): asked of the
// key index, which runs no code.  Only for schemas without multi-fields or raw
// keys, where the index holds just those names.
bool keywords_all_known(const Build& b) noexcept {
  const Schema* s = b.s;
  if (!s->key_index || s->raw_keys || PyDict_GET_SIZE(s->multi_fields)) return false;
  bool known = true;
  Py_BEGIN_CRITICAL_SECTION(b.kwargs);
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (known && PyDict_Next(b.kwargs, &pos, &key, &value))
    known = PyUnicode_CheckExact(key) && s->key_index->find(key) != KeyIndex::kAbsent;
  Py_END_CRITICAL_SECTION();
  return known;
}

// Models with up to this many plain fields note their values on the stack.
constexpr Py_ssize_t kFewRows = 32;

// The construction steps in order.
// The caller holds the function whose closure holds the schema.
// `str_keys`: every key of kwargs is known to be an exact str.  Or the
// keywords are where a vectorcall put them (`kwvalues`, named by `kwnames`,
// all exact strs), with no kwargs.
int construct(Schema* s, PyObject* self, PyObject* data_arg, PyObject* kwargs, bool str_keys,
              PyObject* kwnames = nullptr, PyObject* const* kwvalues = nullptr) noexcept {
  QUENLORY_ASSERT(s && self && !PyErr_Occurred());
  QUENLORY_ASSERT(!kwargs || (PyDict_Check(kwargs) && (!str_keys || str_keys_only(kwargs))));
  QUENLORY_ASSERT(!kwnames || (!kwargs && str_keys && PyTuple_GET_SIZE(kwnames) > 0));
  Build b{s, nullptr, nullptr, kwargs, 0, nullptr, nullptr, 0, 0, Ref(), false, Ref()};
  b.kwnames = kwnames;
  b.kwvalues = kwvalues;
  b.nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  bool keywords = kwargs || kwnames;
  // Compounds and multi-fields ask the keywords' dict.
  if (kwnames && (PyDict_GET_SIZE(s->compounds) || PyDict_GET_SIZE(s->multi_fields)) && !b.keywords()) return -1;
  Ref data = data_arg ? Ref::borrow(data_arg) : Ref::steal(keywords ? interp::dict_for_str_keys(b.nkw) : PyDict_New());
  Ref compounds = Ref::steal(data ? PyDict_New() : nullptr);
  if (!compounds || set_slots(self, data.get(), compounds.get()) < 0) return -1;
  if (!PyDict_Check(data.get())) {
    raise_value_error({N.unexpected_parameter_type});
    return -1;
  }
  b.data = data.get();
  b.compounds = compounds.get();
  b.own_data = !data_arg;
  PyObject* rows = s->plain_rows;  // a tuple of tuples the schema never replaces
  Py_ssize_t nrows = PyTuple_GET_SIZE(rows);
  // The key check notes each plain row's value on the way, where no other
  // thread can change data before the plain phase reads it.
  PyObject* few[kFewRows];
  std::unique_ptr<PyObject*[]> many;
  if (!data_arg) {
    // A dict of our own making, still empty: no key to check, none to note.
  } else if (!interp::kFreeThreaded) {
    if (nrows > kFewRows) many.reset(new (std::nothrow) PyObject*[nrows]);  // none: looked up one by one
    b.values = nrows > kFewRows ? many.get() : few;
    if (b.values) std::fill_n(b.values, nrows, nullptr);
  }
  if (data_arg && check_data_keys(b) < 0) return -1;
  // window begins: noted values
  if (PyDict_GET_SIZE(s->compounds) || PyDict_GET_SIZE(s->multi_fields)) {
    // window ends: noted values
    // Casts and proxies run here: the noted values are dropped, and `quiet` is looked at again, below.
    // A failure carries the field's name in its path note.
    if (for_each_item(s->compounds, [&](PyObject* n, PyObject* d) {
          Ref key = raw_key(s, n);
          int r = key ? build_compound(b, n, key.get(), d) : -1;
          if (r < 0) note_path(key ? key.get() : n);
          return r;
        }) < 0)
      return -1;
    b.remember = true;
    if (for_each_item(s->multi_fields, [&](PyObject* n, PyObject* d) {
          int r = build_multi(b, n, d);
          if (r < 0) note_path(n);
          return r;
        }) < 0)
      return -1;
    b.remember = false;
    // Casts and proxies have run: look again.
    b.quiet = b.quiet && b.lookups_run_no_code(false);
    b.values = nullptr;  // what the key check read may be gone
  }
  // window begins: noted values
  // Known from the keywords' check, unless casts or proxies have run since.
  b.quiet_keywords = keywords && ((str_keys && !PyDict_GET_SIZE(s->compounds) && !PyDict_GET_SIZE(s->multi_fields)) ||
                                  (b.kwargs && str_keys_only(b.kwargs)));
  // window ends: noted values
  // The values the key check noted, while nothing has run since and there are no keywords; else none.  They
  // exist only where the schema has a key index, which lives as long as the schema.  Once gone they stay gone.
  PyObject** noted = !keywords && b.quiet ? b.values : nullptr;
  PyTypeObject* const* keeps = noted ? s->key_index->keeps : nullptr;
  DeclarationClass seen;  // the last declaration class met while they hold
  for (Py_ssize_t i = 0; i < nrows; ++i) {
    PyObject* row = PyTuple_GET_ITEM(rows, i);
    // window begins: noted values
    if (noted && !noted[i]) {
      // Absent, and known optional with no default or factory: the row's steps would find it so and leave the
      // data as it is, with no code run.
      if (known_absent_optional(PyTuple_GET_ITEM(row, 1), seen)) continue;
    } else if (noted) {
      // The value is one its cast keeps: the row's steps would read it, cast it to itself and leave the data as
      // it is.
      if (Py_TYPE(noted[i]) == keeps[i]) continue;
      PyObject* cast = PyTuple_GET_ITEM(row, 2);
      if (keeps_value(cast, noted[i])) continue;
      // A list of plain items: its copy replaces it under an exact str key of
      // an unwatched dict, which runs no code and leaves the other noted
      // values where they are.
      PyObject* key = PyTuple_GET_ITEM(row, 3);
      if (PyUnicode_CheckExact(key) && !interp::dict_watched(b.data) && copies_plain_list(cast, noted[i])) {
        if (replace_with_copy(b.data, key, noted[i]) < 0) return -1;
        continue;
      }
    }
    // window ends: noted values
    if (build_plain(b, i, PyTuple_GET_ITEM(row, 0), PyTuple_GET_ITEM(row, 1), PyTuple_GET_ITEM(row, 2),
                    PyTuple_GET_ITEM(row, 3)) < 0) {
      note_path(PyTuple_GET_ITEM(row, 3));
      return -1;
    }
    noted = !keywords && b.quiet ? b.values : nullptr;
    seen = DeclarationClass{};
  }
  // Keywords are counted, not removed: a count short of the dict's size means
  // some are left.  Code that reached the dict (a tracked one, through the
  // collector's referrers) may have removed consumed keys and added others,
  // so the count of such a dict proves nothing and its keys are looked at,
  // where that runs no code: names of a str subclass are compared no more
  // often than consuming them by removal would.  Where no code can have run
  // (keywords alone, each taken by a cast that runs none, no compound or
  // multi-field), the count stands: from 3.14 every dict is tracked.  Nor can
  // code have reached keywords still where the call put them.
  bool untouched = !data_arg && b.quiet_keywords && !PyDict_GET_SIZE(s->compounds) && !PyDict_GET_SIZE(s->multi_fields);
  if (keywords && (b.consumed < (b.kwargs ? PyDict_GET_SIZE(b.kwargs) : b.nkw) ||
                   (b.consumed && !untouched && b.kwargs && PyObject_GC_IsTracked(b.kwargs) &&
                    str_keys_only(b.kwargs) && !keywords_all_known(b))))
    return raise_leftover_keywords(b);
  return 0;
}

// The schema that initialises `self`, or nullptr with an error set.
Schema* init_schema(Func* f, PyObject* self) noexcept {
  QUENLORY_ASSERT(as_function(reinterpret_cast<PyObject*>(f), kModelInit) == f && self && !PyErr_Occurred());
  Schema* s = closure_schema(f);
  if (!s) return nullptr;
  // A model class's MRO is (model class, object): anything longer is a subclass's instance.  The collector
  // clears a class's MRO while instances of it may still be reached (a weak reference's callback).
  PyObject* mro = Py_TYPE(self)->tp_mro;
  if (!mro) {
    PyErr_Format(PyExc_RuntimeError, "class %.200s has been cleared", Py_TYPE(self)->tp_name);
    return nullptr;
  }
  if (PyTuple_GET_SIZE(mro) > 2 && register_subclass_for_copying(Py_TYPE(self)) < 0) return nullptr;
  return s;
}

int model_init_direct(Func* f, PyObject* self, PyObject* data, PyObject* kwargs, bool str_keys) noexcept {
  Schema* s = init_schema(f, self);
  return s ? construct(s, self, data, kwargs, str_keys) : -1;
}

int model_init_keywords(Func* f, PyObject* self, PyObject* data, PyObject* const* values,
                        PyObject* kwnames) noexcept {
  Schema* s = init_schema(f, self);
  return s ? construct(s, self, data, nullptr, true, kwnames, values) : -1;
}

PyObject* model_init_impl(Func* f, PyObject* const* params, Py_ssize_t nparams, PyObject* kwargs) noexcept {
  PyObject* data = nparams > 1 ? params[1] : nullptr;
  return model_init_direct(f, params[0], data, kwargs, false) < 0 ? nullptr : new_none();
}

// ---- equality ----------------------------------------------------------------------------------

int print_args(PyObject* const* args, Py_ssize_t n) noexcept {
  Ref r = Ref::steal(PyObject_Vectorcall(B.print, args, n, nullptr));
  return r ? 0 : -1;
}

// A dictionary on the other side is first made into an instance of our class.
PyObject* compare_with_dict(PyObject* self, PyObject* other) noexcept {
  Ref cls = Ref::steal(PyObject_GetAttr(self, N.dunder_class));
  Ref kwargs = Ref::steal(cls ? PyDict_New() : nullptr);
  if (!kwargs || PyDict_Merge(kwargs.get(), other, 1) < 0) return nullptr;
  Ref made = Ref::steal(PyObject_Call(cls.get(), N.empty_tuple, kwargs.get()));
  if (!made) return nullptr;
  return PyObject_RichCompare(self, made.get(), Py_EQ);
}

PyObject* model_eq_impl(Func* f, PyObject* const* params, Py_ssize_t, PyObject*) noexcept {
  PyObject* self = params[0];
  PyObject* other = params[1];
  if (PyDict_Check(other)) return compare_with_dict(self, other);
  // The live field map, iterated as Python does (changes while iterating raise).
  Schema* s = closure_schema(f);
  if (!s) return nullptr;
  Ref it = Ref::steal(PyObject_GetIter(s->fields));
  if (!it) return nullptr;
  while (Ref name = Ref::steal(PyIter_Next(it.get()))) {
    Ref mine = Ref::steal(PyObject_GetAttr(self, name.get()));
    Ref theirs = Ref::steal(mine ? PyObject_GetAttr(other, name.get()) : nullptr);
    if (!theirs) return nullptr;
    PyObject* line[] = {name.get(), mine.get(), theirs.get()};
    if (print_args(line, 3) < 0) return nullptr;
    mine = Ref::steal(PyObject_GetAttr(self, name.get()));
    theirs = Ref::steal(mine ? PyObject_GetAttr(other, name.get()) : nullptr);
    if (!theirs) return nullptr;
    Ref differ = Ref::steal(PyObject_RichCompare(mine.get(), theirs.get(), Py_NE));
    int t = differ ? PyObject_IsTrue(differ.get()) : -1;
    if (t < 0) return nullptr;
    PyObject* verdict[] = {t ? N.false_text : N.true_text};
    if (print_args(verdict, 1) < 0) return nullptr;
    if (t) return new_bool(false);
  }
  if (PyErr_Occurred()) return nullptr;
  return new_bool(true);
}

}  // namespace

const FuncSpec kModelInit{"__init__",
                          Shape::Init,
                          1,
                          {&Names::p_self},
                          "(self, *args, **kwargs)",
                          model_init_impl,
                          nullptr,
                          nullptr,
                          model_init_direct,
                          InlineRead::None,
                          InlineWrite::None,
                          model_init_keywords};
const FuncSpec kModelEq{"__eq__",        Shape::Fixed, 2, {&Names::p_self, &Names::p_other},
                        "(self, other)", model_eq_impl};

}  // namespace quenlory
