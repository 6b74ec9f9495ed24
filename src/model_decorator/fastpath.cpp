// The shortcut layer.  It remembers what the interpreter's lookups found and
// runs the common reads, writes and constructions without them.  A shortcut
// must give what the ordinary route gives, or take the ordinary route.
//
// Invariants
// 1. A type memo entry names its type by address and version tag.  A tag is
//    nonzero only while the type and its bases are unchanged.  From 3.11 on the
//    interpreter never hands a tag out twice, so (address, tag) names one state
//    of one type for the life of the process, even after the type is freed and
//    its memory reused.  On 3.9 and 3.10 the numbering restarts (on
//    sys._clear_type_cache() and when it wraps) and voids every tag, that of a
//    private canary type among them, which nothing but this layer looks up: no
//    entry is read once the canary's tag has changed, and every table is
//    emptied before the canary is given a new one.
// 2. An entry is stored only under the tag the type had before the lookups that
//    filled it, and only if that tag, and the generation of the tables (a new
//    one each time they are emptied), still hold afterwards: a lookup that ran
//    code which changed the type, or emptied the tables, leaves nothing behind.
// 3. An entry hands out a function only while a weak reference the entry owns
//    still points at it: a function that is being freed (its weak references
//    are cleared first) or is gone is never handed out, and the memo keeps
//    nothing alive.  Keys are owned outright.  Replacing or emptying entries
//    writes the new contents first and releases the old references last, so
//    code that a release runs finds the tables consistent.
// 4. A reader copies the entry into locals and takes its own reference to any
//    object it uses across a call that may run Python code (a cast, a lookup in
//    a dict whose keys are not all exact str, an allocation that may start a
//    collection, a release).  No pointer into a table outlives such a call.
// 5. A dict's state is named by (address, version tag) only up to 3.11, where
//    every change of any dict takes a fresh tag from one global counter, and
//    only for dicts whose keys are all exact str, where a lookup runs no code.
// 6. A direct slot runs our body only while the class's dunder is one of our
//    functions of a kind that has that body; anything else takes the
//    interpreter's generic slot, saved from the first class made.
#include "fastpath.hpp"

#include <cstdint>

#include "compat.hpp"
#include "runtime.hpp"

namespace quenlory::fastpath {
namespace {

// ---- version tags ----------------------------------------------------------------------------

// The type's version tag when it is valid, else 0.
QUENLORY_HOT unsigned int version_tag(PyTypeObject* tp) noexcept {
#if PY_VERSION_HEX >= 0x030A0000
  // From 3.10 a change resets the tag to 0 at once; 3.13 no longer sets the flag.
  return tp->tp_version_tag;
#else
  return (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
#endif
}

// The type's attribute `name` as the interpreter's lookup finds it (borrowed).
// While a class attribute is being replaced, the interpreter's method cache
// can still name the old value as it is freed (3.9 and 3.10: its weak
// reference callbacks run before the class is marked changed); the class is
// then marked changed here, and looked up again.
PyObject* class_attribute(PyTypeObject* tp, PyObject* name) noexcept {
  PyObject* found = compat::type_lookup(tp, name);
  if (found && Py_REFCNT(found) == 0) {
    PyType_Modified(tp);
    found = compat::type_lookup(tp, name);
  }
  return found;
}

// The type's tag after a lookup has given it one (0 when it has none to give).
unsigned int settled_tag(PyTypeObject* tp) noexcept {
  if (!version_tag(tp)) compat::type_lookup(tp, N.dunder_get);
  return version_tag(tp);
}


void flush_all() noexcept;

// What a store checks: the type's tag before the lookups that filled the entry,
// and the generation of the tables then (a new one each time they are emptied).
struct Stamp {
  unsigned int tag;
  unsigned long generation;
};
unsigned long g_generation = 0;

#if PY_VERSION_HEX < 0x030B0000
// Tags restart after sys._clear_type_cache() (and when the numbering wraps),
// and both void every tag then valid.  A canary type of our own, which no
// other code looks up, keeps the tag it had when the tables were last emptied
// until the next restart voids it; only then does the next store look it up
// again, empty the tables and take its new tag.  (`object` cannot serve: every
// lookup retags it at once, with the same number each time.)  Until the canary
// exists, a zeroed type stands in, whose tag is never valid.
constexpr unsigned int kNoEpoch = ~0u;
PyTypeObject g_no_canary{};
PyTypeObject* g_canary = &g_no_canary;
unsigned int g_epoch = kNoEpoch;

QUENLORY_HOT bool epoch_holds() noexcept { return version_tag(g_canary) == g_epoch; }

// Before a store: when the canary's tag has changed, empty every table and take the new tag.
void renew_epoch() noexcept {
  if (epoch_holds()) return;
  g_epoch = kNoEpoch;
  ++g_generation;
  flush_all();
  if (g_canary == &g_no_canary) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref ns = Ref::steal(PyDict_New());
    PyObject* args[] = {N.tag_canary, N.empty_tuple, ns.get()};
    PyObject* made = ns ? PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), args, 3, nullptr) : nullptr;
    PyErr_Clear();  // without a canary nothing is remembered
    PyErr_Restore(type, value, tb);
    if (!made) return;
    g_canary = reinterpret_cast<PyTypeObject*>(made);  // kept for the life of the process
  }
  unsigned int tag = settled_tag(g_canary);
  g_epoch = tag ? tag : kNoEpoch;
}
#else
QUENLORY_HOT bool epoch_holds() noexcept { return true; }
void renew_epoch() noexcept {}
#endif

// Before the lookups that fill an entry: the tables made good for use, then the type's tag and their generation.
Stamp stamp_of(PyTypeObject* tp) noexcept {
  renew_epoch();
  unsigned int tag = settled_tag(tp);
  return {tag, g_generation};
}

// ---- per-type memos ---------------------------------------------------------------------------

// A small direct-mapped table keyed by type.  Info is copied in and out whole;
// its hold() and release() take and drop the references the entry owns.
template <typename Info>
class TypeMemo {
 public:
  // The entry for `tp`, or nullptr when there is none.  The pointer is good
  // only until code runs: copy out what is needed before any call that may.
  // The function an entry names may be gone: ask alive() before using it.
  QUENLORY_HOT const Info* peek(PyTypeObject* tp) const noexcept {
    const Entry& e = entries_[index(tp)];
    unsigned int tag = version_tag(tp);
    if (e.type != tp || tag == 0 || e.tag != tag || !epoch_holds()) return nullptr;
    return &e.info;
  }

  // Copy the entry for `tp` into `out` when it names nothing that is gone.
  QUENLORY_HOT bool find(PyTypeObject* tp, Info& out) const noexcept {
    const Info* found = peek(tp);
    if (!found || !found->alive()) return false;
    out = *found;
    return true;
  }

  // Remember `info` for `tp`, found under `stamp`, unless the type or the tables have changed since.
  void store(PyTypeObject* tp, Stamp stamp, const Info& info) noexcept {
    if (stamp.tag == 0 || version_tag(tp) != stamp.tag || !epoch_holds() || g_generation != stamp.generation)
      return;
    Entry& e = entries_[index(tp)];
    Entry old = e;
    info.hold();
    e = Entry{tp, stamp.tag, info};
    old.info.release();  // last: it may run code
  }

  // The entry for `tp` is still there: let `change` update it in place (no code may run).
  template <typename Change>
  QUENLORY_HOT void update(PyTypeObject* tp, Change change) noexcept {
    Entry& e = entries_[index(tp)];
    if (e.type == tp) change(e.info);
  }

  // Empty the table, one entry at a time: each is zeroed before its references go.
  void clear() noexcept {
    for (Entry& e : entries_) {
      Info info = e.info;
      e = Entry{};
      info.release();
    }
  }

 private:
  // One cache line per entry, so that a hit reads one line.
  struct alignas(64) Entry {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;
    Info info{};
  };
  static constexpr size_t kSize = 128;
  QUENLORY_HOT static size_t index(PyTypeObject* tp) noexcept {
    return (reinterpret_cast<uintptr_t>(tp) >> 6) % kSize;
  }
  Entry entries_[kSize] = {};
};

// Nothing owned.
struct Plain {
  bool alive() const noexcept { return true; }
  void hold() const noexcept {}
  void release() const noexcept {}
};

// The target of a weak reference; None once it has been cleared.
QUENLORY_HOT PyObject* weak_target(PyObject* ref) noexcept {
  return reinterpret_cast<PyWeakReference*>(ref)->wr_object;
}

// A function of ours as an entry keeps it: borrowed, with a weak reference
// (owned) that says whether it is still there.
struct WeakFunc {
  Func* f = nullptr;
  PyObject* ref = nullptr;
  QUENLORY_HOT bool alive() const noexcept { return !f || weak_target(ref) == reinterpret_cast<PyObject*>(f); }
  // Point at `fn` with the weak reference `held` makes; false (nothing set) on failure.
  bool point_at(PyObject* fn, Ref& held) noexcept {
    held = Ref::steal(PyWeakref_NewRef(fn, nullptr));
    if (!held) {
      PyErr_Clear();  // nothing is remembered
      return false;
    }
    f = reinterpret_cast<Func*>(fn);
    ref = held.get();
    return true;
  }
};

// Where the two instance slots are (model classes): offsets for reads and for
// assignments, 0 where they must go the ordinary way.
struct SlotOffsets {
  Py_ssize_t read[2];
  Py_ssize_t write[2];
};
struct OffsetsInfo : Plain {
  SlotOffsets offsets{};
};
TypeMemo<OffsetsInfo> g_offsets;

// A class's __get__, __set__ or __init__ when it is one of our functions with a
// body for that slot, else nullptr.
struct FunctionInfo {
  WeakFunc fn;
  QUENLORY_HOT bool alive() const noexcept { return fn.alive(); }
  void hold() const noexcept { Py_XINCREF(fn.ref); }
  void release() const noexcept { Ref::steal(fn.ref); }
};
TypeMemo<FunctionInfo> g_set;
TypeMemo<FunctionInfo> g_init;

// What a read needs to know about a descriptor class.
struct GetInfo {
  WeakFunc get;            // the class's __get__ when it is ours
  PyObject* key = nullptr; // for InlineRead::Key, the data dictionary's key (owned)
  InlineRead inline_read = InlineRead::None;
  // An ordinary lookup of `name` on the class's instances ends in the instance
  // dictionary: no custom lookup, nothing of that name on the class.
  bool name_in_dict = false;
  // The class of the instance last read through a descriptor of this class,
  // with its tag and the offset of the slot the read takes (0: none): one
  // comparison in front of the memo of slot offsets.  (Ordered so that an
  // entry fills one cache line.)
  unsigned int owner_tag = 0;
  PyTypeObject* owner = nullptr;
  Py_ssize_t owner_offset = 0;
  QUENLORY_HOT bool alive() const noexcept { return get.alive(); }
  void hold() const noexcept {
    Py_XINCREF(get.ref);
    Py_XINCREF(key);
  }
  void release() const noexcept {
    Ref::steal(get.ref);
    Ref::steal(key);
  }
};
TypeMemo<GetInfo> g_get;

[[maybe_unused]] void flush_all() noexcept {
  g_offsets.clear();
  g_get.clear();
  g_set.clear();
  g_init.clear();
}

// ---- slot offsets ------------------------------------------------------------------------------

Py_ssize_t slot_offset(PyTypeObject* tp, PyObject* name, bool for_write) noexcept {
  if (for_write ? tp->tp_setattro != PyObject_GenericSetAttr : tp->tp_getattro != PyObject_GenericGetAttr)
    return 0;
  PyObject* descr = compat::type_lookup(tp, name);
  if (!descr || !Py_IS_TYPE(descr, &PyMemberDescr_Type)) return 0;
  PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
  if (member->type != T_OBJECT_EX || (for_write && (member->flags & READONLY)) ||
      !PyType_IsSubtype(tp, PyDescr_TYPE(descr)))
    return 0;
  return member->offset;
}

[[gnu::noinline]] SlotOffsets learn_offsets(PyTypeObject* tp) noexcept {
  Stamp stamp = stamp_of(tp);
  OffsetsInfo info;
  PyObject* const names[2] = {N.data, N.compounds};
  for (int i = 0; i < 2; ++i) {
    info.offsets.read[i] = slot_offset(tp, names[i], false);
    info.offsets.write[i] = slot_offset(tp, names[i], true);
  }
  g_offsets.store(tp, stamp, info);
  return info.offsets;
}

QUENLORY_HOT PyObject** slot_at(PyObject* inst, Py_ssize_t offset) noexcept {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(inst) + offset);
}

// ---- the function of a class slot ---------------------------------------------------------------

// The type's attribute `name` when it is one of our functions with the body
// `has` asks for.  The function is held by `held`.
template <typename Has>
Func* learn_function(TypeMemo<FunctionInfo>& memo, PyTypeObject* tp, PyObject* name, Ref& held, Has has) noexcept {
  Stamp stamp = stamp_of(tp);
  held = Ref::borrow(class_attribute(tp, name));
  PyObject* fn = held.get();
  bool ours = fn && Py_IS_TYPE(fn, &FuncType) && has(*reinterpret_cast<Func*>(fn)->spec);
  FunctionInfo info;
  Ref weak;
  if (!ours || info.fn.point_at(fn, weak)) memo.store(tp, stamp, info);
  return ours ? reinterpret_cast<Func*>(fn) : nullptr;
}

// ---- a property's name ----------------------------------------------------------------------------

#if PY_VERSION_HEX < 0x030C0000
constexpr bool kNamesRemembered = true;

// The value under "name" in recently read instance dictionaries, each with the
// version tag the dict had then; a hit means the dict is unchanged since, so it
// still holds the value (borrowed from it).
struct NameMemo {
  PyObject* dict;
  uint64_t version;
  PyObject* name;
};
NameMemo g_names[64];

QUENLORY_HOT uint64_t dict_version(PyObject* d) noexcept {
  return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
}

QUENLORY_HOT NameMemo& name_memo(PyObject* dict) noexcept {
  return g_names[(reinterpret_cast<uintptr_t>(dict) >> 6) % (sizeof g_names / sizeof g_names[0])];
}

// The remembered "name" of the instance dictionary, borrowed from it, or nullptr.
QUENLORY_HOT PyObject* remembered_name(PyObject* self) noexcept {
  PyObject* dict = compat::instance_dict(self);
  if (!dict) return nullptr;
  const NameMemo& memo = name_memo(dict);
  return memo.dict == dict && memo.version == dict_version(dict) ? memo.name : nullptr;
}

// The instance dictionary's "name", as the ordinary lookup reads it; ok is
// false when the dictionary cannot be asked directly.
Ref name_from_instance_dict(PyObject* self, bool& ok) noexcept {
  Ref dict = Ref::borrow(compat::instance_dict(self));
  ok = static_cast<bool>(dict);
  if (!ok) return {};
  PyObject* d = dict.get();
  const NameMemo& memo = name_memo(d);
  if (memo.dict == d && memo.version == dict_version(d)) return Ref::borrow(memo.name);
  uint64_t version = dict_version(d);
  Ref name = Ref::borrow(PyDict_GetItemWithError(d, N.name));
  if (!name) {
    ok = PyErr_Occurred() != nullptr;  // absent: the ordinary lookup raises its own error
    return {};
  }
  // Unchanged by the lookup, and no key whose comparison could run code.
  if (dict_version(d) == version && str_keys_only(d)) name_memo(d) = NameMemo{d, version, name.get()};
  return name;
}
#else
constexpr bool kNamesRemembered = false;  // no dict versions to name a dictionary's state by

QUENLORY_HOT PyObject* remembered_name(PyObject*) noexcept { return nullptr; }

Ref name_from_instance_dict(PyObject* self, bool& ok) noexcept {
  Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
  ok = static_cast<bool>(dict);
  if (!ok) {
    PyErr_Clear();  // the ordinary lookup says what is wrong
    return {};
  }
  if (PyObject* v = PyDict_GetItemWithError(dict.get(), N.name)) return Ref::borrow(v);
  ok = PyErr_Occurred() != nullptr;
  return {};
}
#endif

// ---- reads ---------------------------------------------------------------------------------------

descrgetfunc g_generic_get = nullptr;
descrsetfunc g_generic_set = nullptr;
initproc g_generic_init = nullptr;

// Learn what reads through descriptors of class `tp` need.  The class's
// __get__ when it is ours is returned, held by `get`; `key` holds what the
// entry names.
[[gnu::noinline]] Func* learn_get(PyTypeObject* tp, GetInfo& info, Ref& get, Ref& key) noexcept {
  Stamp stamp = stamp_of(tp);
  get = Ref::borrow(class_attribute(tp, N.dunder_get));
  PyObject* fn = get.get();
  Func* ours = fn && Py_IS_TYPE(fn, &FuncType) && reinterpret_cast<Func*>(fn)->spec->get
                   ? reinterpret_cast<Func*>(fn)
                   : nullptr;
  info.name_in_dict = tp->tp_getattro == PyObject_GenericGetAttr && !compat::type_lookup(tp, N.name);
  InlineRead kind = ours ? ours->spec->inline_read : InlineRead::None;
  if (kind == InlineRead::Key && ours->c0) {
    key = Ref::borrow(ours->c0);
    info.key = key.get();
    info.inline_read = kind;
  } else if (kind == InlineRead::Property && info.name_in_dict && kNamesRemembered) {
    info.inline_read = kind;
  }
  Ref weak;
  if (!ours || info.get.point_at(fn, weak)) g_get.store(tp, stamp, info);
  return ours;
}

// The read by the class's function when it is ours, else the generic slot.
[[gnu::noinline]] PyObject* call_get(Func* f, PyObject* self, PyObject* obj, PyObject* type) noexcept {
  if (!f) return g_generic_get(self, obj, type);
  // Held while its body runs: code it calls may take it off the class.
  Ref hold = Ref::borrow(reinterpret_cast<PyObject*>(f));
  return f->spec->get(f, self, obj ? obj : Py_None);
}

[[gnu::noinline]] PyObject* descr_get_first(PyObject* self, PyObject* obj, PyObject* type) noexcept {
  GetInfo info;
  Ref get, key;
  return call_get(learn_get(Py_TYPE(self), info, get, key), self, obj, type);
}

[[gnu::noinline, gnu::cold]] PyObject* missing_key(PyObject* key) noexcept {
  if (!PyErr_Occurred()) compat::raise_key_error(key);
  return nullptr;
}

// mapping[key] for an exact dict, in one lookup; both are held across it, since
// it may run a key's __eq__.
[[gnu::noinline]] PyObject* subscript_held(PyObject* mapping, PyObject* key) noexcept {
  Ref held_mapping = Ref::steal(Py_NewRef(mapping));
  Ref held_key = Ref::steal(Py_NewRef(key));
  PyObject* v = compat::dict_peek(mapping, key);
  if (__builtin_expect(v != nullptr, 1)) return Py_NewRef(v);
  return missing_key(key);
}

// The exact dict in slot `which` of `obj` when the ordinary lookup would find it
// there, else nullptr.  Runs no code.  `info` was found with no code run since
// where tags can restart (up to 3.10).
QUENLORY_HOT PyObject* known_slot_dict(PyTypeObject* descr_tp, const GetInfo& info, PyObject* obj,
                                       int which) noexcept {
  PyTypeObject* tp = Py_TYPE(obj);
  unsigned int tag = version_tag(tp);
  Py_ssize_t offset;
  if (tp == info.owner && tag == info.owner_tag && tag != 0) {
    offset = info.owner_offset;
  } else {
    const OffsetsInfo* known = g_offsets.peek(tp);
    if (!known) return nullptr;
    offset = known->offsets.read[which];
    g_get.update(descr_tp, [&](GetInfo& e) {
      e.owner = tp;
      e.owner_tag = tag;
      e.owner_offset = offset;
    });
  }
  if (!offset) return nullptr;
  PyObject* d = *slot_at(obj, offset);
  return d && PyDict_CheckExact(d) ? d : nullptr;
}

// A compound or multi-value read whose every step is a plain read.
// The compound dictionary is read first, as the ordinary read does; finding
// the instance dictionary may then run code (3.11), so the compound dictionary
// is held across it, and a read that cannot run in line starts afresh rather
// than trust the entry.
[[gnu::noinline]] PyObject* property_get_direct(PyTypeObject* descr_tp, const GetInfo* info, PyObject* self,
                                                PyObject* obj, PyObject* type) noexcept {
  if (PyObject* compounds = known_slot_dict(descr_tp, *info, obj, 1)) {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
    Ref held = Ref::steal(Py_NewRef(compounds));
#endif
    if (PyObject* name = remembered_name(self)) return subscript_held(compounds, name);
  }
  GetInfo fresh;
  Ref get, key;
  Func* f = g_get.find(descr_tp, fresh) ? fresh.get.f : learn_get(descr_tp, fresh, get, key);
  return call_get(f, self, obj, type);
}

// The common reads run in line.  Every path ends in a call that needs nothing
// kept, so the frame stays light.
[[gnu::hot, gnu::aligned(64)]] PyObject* descr_get_slot(PyObject* self, PyObject* obj, PyObject* type) noexcept {
  PyTypeObject* descr_tp = Py_TYPE(self);
  const GetInfo* info = g_get.peek(descr_tp);
  if (__builtin_expect(!info, 0)) return descr_get_first(self, obj, type);
  if (__builtin_expect(obj != nullptr, 1)) {
    // No code runs before subscript_held holds the key.
    if (info->inline_read == InlineRead::Key) {
      if (PyObject* data = known_slot_dict(descr_tp, *info, obj, 0)) return subscript_held(data, info->key);
    } else if (info->inline_read == InlineRead::Property) {
      return property_get_direct(descr_tp, info, self, obj, type);
    }
  }
  // The inline reads use only what the entry owns; the function may be gone.
  if (__builtin_expect(info->get.alive(), 1)) return call_get(info->get.f, self, obj, type);
  return descr_get_first(self, obj, type);
}

// ---- writes and construction ------------------------------------------------------------------------

int descr_set_slot(PyObject* self, PyObject* obj, PyObject* value) noexcept {
  // Deletion takes the generic path, which reports the missing __delete__.
  if (value) {
    PyTypeObject* tp = Py_TYPE(self);
    const FunctionInfo* known = g_set.peek(tp);
    Ref held;
    Func* f = known && known->alive() ? known->fn.f
                    : learn_function(g_set, tp, N.dunder_set, held, [](const FuncSpec& s) { return s.set != nullptr; });
    if (f) {
      Ref hold = Ref::borrow(reinterpret_cast<PyObject*>(f));
      return f->spec->set(f, self, obj, value);
    }
  }
  return g_generic_set(self, obj, value);
}

// Keyword names must be strings, and `self` may not be one of them: the errors
// the generic path raises before the body runs, in its order.
int check_init_keywords(PyObject* kwds) noexcept {
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  PyObject* self_key = nullptr;
  while (PyDict_Next(kwds, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return -1;
    }
    if (!self_key && (key == N.p_self || PyUnicode_Compare(key, N.p_self) == 0)) self_key = key;
  }
  if (self_key) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "__init__", self_key);
    return -1;
  }
  return 0;
}

int init_slot(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  const FunctionInfo* known = g_init.peek(tp);
  Ref held;
  Func* f = known && known->alive() ? known->fn.f
                  : learn_function(g_init, tp, N.dunder_init, held, [](const FuncSpec& s) { return s.init != nullptr; });
  if (!f) return g_generic_init(self, args, kwds);
  Ref hold = Ref::borrow(reinterpret_cast<PyObject*>(f));  // a cast may delete __init__ from the class
  Ref kwargs;
  if (kwds && PyDict_GET_SIZE(kwds) != 0) {
    if (check_init_keywords(kwds) < 0) return -1;
    // The class call usually hands over a dict of its own making that nothing
    // else can reach; a caller's own dict (**d) is copied, so that casts that
    // change it do not change what this construction sees.
    kwargs = Py_REFCNT(kwds) == 1 ? Ref::borrow(kwds) : Ref::steal(PyDict_Copy(kwds));
    if (!kwargs) return -1;
  }
  PyObject* data = PyTuple_GET_SIZE(args) ? PyTuple_GET_ITEM(args, 0) : nullptr;  // held by the tuple
  if (Py_EnterRecursiveCall(" while calling a Python object")) return -1;
  int r = f->spec->init(f, self, data, kwargs.get());
  Py_LeaveRecursiveCall();
  return r;
}

}  // namespace

// ---- entry points ----------------------------------------------------------------------------------

void install_descriptor_slots(PyObject* cls) noexcept {
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
  if (!g_generic_get) g_generic_get = tp->tp_descr_get;
  if (!g_generic_set) g_generic_set = tp->tp_descr_set;
  if (tp->tp_descr_get == g_generic_get) tp->tp_descr_get = descr_get_slot;
  if (tp->tp_descr_set == g_generic_set) tp->tp_descr_set = descr_set_slot;
}

void install_init_slot(PyObject* cls) noexcept {
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
  if (!g_generic_init) g_generic_init = tp->tp_init;
  if (tp->tp_init == g_generic_init) tp->tp_init = init_slot;
}

PyObject* slot_value(PyObject* inst, int which) noexcept {
  PyTypeObject* tp = Py_TYPE(inst);
  const OffsetsInfo* known = g_offsets.peek(tp);
  Py_ssize_t offset = known ? known->offsets.read[which] : learn_offsets(tp).read[which];
  return offset ? *slot_at(inst, offset) : nullptr;
}

PyObject** slot_address(PyObject* inst, int which) noexcept {
  PyTypeObject* tp = Py_TYPE(inst);
  const OffsetsInfo* known = g_offsets.peek(tp);
  Py_ssize_t offset = known ? known->offsets.write[which] : learn_offsets(tp).write[which];
  return offset ? slot_at(inst, offset) : nullptr;
}

Ref property_name(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  const GetInfo* known = g_get.peek(tp);
  bool name_in_dict;
  if (known) {
    name_in_dict = known->name_in_dict;
  } else {
    GetInfo info;
    Ref get, key;
    learn_get(tp, info, get, key);
    name_in_dict = info.name_in_dict;
  }
  if (name_in_dict) {
    bool ok;
    Ref name = name_from_instance_dict(self, ok);
    if (ok) return name;
  }
  return Ref::steal(PyObject_GetAttr(self, N.name));
}

bool str_keys_only(PyObject* d) noexcept {
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(d, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

}  // namespace quenlory::fastpath
