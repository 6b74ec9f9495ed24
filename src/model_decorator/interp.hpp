// What this interpreter is, and every read of its private state: version
// tags, dict versions, the method cache, remembered str hashes, object
// headers and descriptor structs, and the _Py* calls.  Each sits behind a
// capability whose name says what it gives; no other file tests
// PY_VERSION_HEX or Py_GIL_DISABLED, reads a _Py* name or a private field.
//
// Each capability says the interpreters it was verified on (the suite's
// matrix: CPython 3.9 to 3.15 and free-threaded 3.13t).  A new interpreter may
// break any of them without a compile error: check_assumptions() tries each
// at initialisation, and the import fails with the name of the one that broke.
//
// Layer 2 (docs/architecture.md): includes compat.hpp and below; calls only the interpreter.
// Bound by: owners release references (ref.hpp); the rules of each capability, written beside it.
#pragma once

#include "compat.hpp"

#include <structmember.h>  // after Python.h, which 3.9's needs first

#include <cstdint>
#include <type_traits>

// The module slot that declares the module safe without the global lock,
// where the interpreter knows the slot (3.13 on; an older one refuses it).
#if PY_VERSION_HEX >= 0x030D0000
#define QUENLORY_MOD_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define QUENLORY_MOD_GIL_SLOT
#endif

namespace quenlory::interp {

// The build runs without the global lock (3.13t).
#ifdef Py_GIL_DISABLED
constexpr bool kFreeThreaded = true;
#else
constexpr bool kFreeThreaded = false;
#endif

// ---- type version tags -------------------------------------------------------------------------
// Verified on 3.9-3.15 and 3.13t.

// A type's version tag names one state of one type for the life of the process
// (the numbering never restarts, so no tag is given out twice): from 3.11 on.
// Before, sys._clear_type_cache() restarts the numbering, and a type changed
// since can get its old tag back.
constexpr bool kUniqueTypeTags = PY_VERSION_HEX >= 0x030B0000;

static_assert(std::is_same_v<decltype(PyTypeObject::tp_version_tag), unsigned int>, "a tag is read as one word");

// The type's version tag when it is valid, else 0.  A plain read of a word
// that the interpreter publishes whole.
inline unsigned int type_tag(PyTypeObject* tp) noexcept {
  unsigned int tag = __atomic_load_n(&tp->tp_version_tag, __ATOMIC_ACQUIRE);
#if PY_VERSION_HEX < 0x030A0000
  if (!(tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
  return tag;
}

// The tag after a lookup (of any name) has given the type one; 0 when it has none to give.
inline unsigned int settled_tag(PyTypeObject* tp, PyObject* any_name) noexcept {
  if (!type_tag(tp)) _PyType_Lookup(tp, any_name);
  return type_tag(tp);
}

// ---- the collector -----------------------------------------------------------------------------
// Verified on 3.9-3.15 and 3.13t: in the sources (gh-97922), and under ASan with
// collections started at every allocation while lists are copied.

// Before 3.12 allocating an object the collector tracks may run a collection
// there and then (finalisers, weak-reference callbacks, gc.callbacks).  From
// 3.12 the allocation only schedules one, which runs at the interpreter's next
// check of its eval breaker (gh-97922): C code that runs no bytecode sees none.
constexpr bool kAllocationCollects = PY_VERSION_HEX < 0x030C0000;

// From 3.12 a dict may have watchers (PyDict_Watch), whose callbacks any
// change of it runs: the low eight bits of its tag word name them
// (pycore_dict.h, DICT_WATCHER_MASK).  Runs nothing.
inline bool dict_watched(PyObject* d) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
  return reinterpret_cast<PyDictObject*>(d)->_ma_watcher_tag & 0xFF;
#elif PY_VERSION_HEX >= 0x030C0000
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wdeprecated-declarations\"")
  return reinterpret_cast<PyDictObject*>(d)->ma_version_tag & 0xFF;
  _Pragma("GCC diagnostic pop")
#else
  (void)d;
  return false;
#endif
}

// ---- the pending exception ---------------------------------------------------------------------
// Verified on 3.9-3.15 and 3.13t.

// The pending exception, put aside for the life of the object and raised
// again after, exactly as it was: before 3.12 the triple is kept as it is,
// unnormalised, so that putting it aside runs nothing.
class SavedError {
 public:
#if PY_VERSION_HEX >= 0x030C0000
  SavedError() noexcept : exc_(PyErr_GetRaisedException()) {}
  ~SavedError() { PyErr_SetRaisedException(exc_); }
#else
  SavedError() noexcept { PyErr_Fetch(&type_, &exc_, &tb_); }
  ~SavedError() { PyErr_Restore(type_, exc_, tb_); }
#endif
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;

 private:
#if PY_VERSION_HEX < 0x030C0000
  PyObject* type_ = nullptr;
  PyObject* tb_ = nullptr;
#endif
  PyObject* exc_ = nullptr;
};

// ---- the tag epoch: whether tags still name what they named ------------------------------------
// Verified on 3.9 and 3.10 (from 3.11 on it always holds).

// Whether the tags handed out since the last renewal still name what they
// named then.  From 3.11 on they always do (kUniqueTypeTags).  Before, every
// restart of the numbering empties the interpreter's method cache, entries and
// all; so an entry of that cache under a name object that only this module
// holds stays there until the next restart, unless another lookup that falls
// in the same place of the cache evicts it, which counts as a restart too.  The
// cache owns a reference to the name of each of its entries: the name's
// reference count tells whether the entry is still there.
//
// No other code can take that name: it is never interned, and its text is
// random, so that no key planted in a class dict on the lookup's way (the
// canary is one of object's subclasses) has its hash, and none is compared
// with it.  The canary and the name are made once, at initialisation, since
// making a class can run a collection and any code with it.  Each renewal
// counts: a memo stamp carries the count it was taken under, and its store is
// refused in any other.
#if PY_VERSION_HEX < 0x030B0000
struct TagEpoch {
  PyTypeObject* canary = nullptr;  // a type of our own to look the name up on; kept for good
  PyObject* name = nullptr;        // owned; the cache holds a second reference while the entry is there
  unsigned long count = 0;         // renewals so far
};
inline TagEpoch g_tag_epoch;

inline bool tag_epoch_holds() noexcept { return g_tag_epoch.name && Py_REFCNT(g_tag_epoch.name) > 1; }
inline unsigned long tag_epoch_count() noexcept { return g_tag_epoch.count; }

inline int tag_epoch_init() noexcept {
  unsigned char random[16];
  if (_PyOS_URandom(random, sizeof random) < 0) return -1;
  Ref name = Ref::steal(PyUnicode_FromString("quenlory_tag_epoch"));
  Ref ns = Ref::steal(name ? PyDict_New() : nullptr);
  Ref bases = Ref::steal(ns ? PyTuple_New(0) : nullptr);
  PyObject* args[] = {name.get(), bases.get(), ns.get()};
  Ref made = Ref::steal(bases ? PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), args, 3, nullptr)
                              : nullptr);
  Ref key = Ref::steal(made ? PyBytes_FromStringAndSize(reinterpret_cast<char*>(random), sizeof random) : nullptr);
  Ref text = Ref::steal(key ? PyObject_CallMethod(key.get(), "hex", nullptr) : nullptr);
  if (!text) return -1;
  g_tag_epoch.canary = reinterpret_cast<PyTypeObject*>(made.release());
  g_tag_epoch.name = PyUnicode_FromFormat("quenlory epoch %U", text.get());  // a new object, never interned
  return g_tag_epoch.name ? 0 : -1;
}

// Before a stamp: when the epoch has ended, call `flush` (which empties every
// memo), then start a new one.  The flush releases references, which may run
// code, and that code may renew the epoch in turn: the flush is then done
// again, so that nothing stored before the restart outlives it.
inline void tag_epoch_renew(void (*flush)() noexcept) noexcept {
  if (!g_tag_epoch.canary) return;  // not initialised: the epoch never holds, and nothing is stored
  SavedError saved;
  while (!tag_epoch_holds()) {
    unsigned long before = g_tag_epoch.count;
    flush();
    if (g_tag_epoch.count != before) continue;
    ++g_tag_epoch.count;
    _PyType_Lookup(g_tag_epoch.canary, g_tag_epoch.name);  // exact strs on its way: runs nothing
    return;
  }
}
#else
inline bool tag_epoch_holds() noexcept { return true; }
inline unsigned long tag_epoch_count() noexcept { return 0; }
inline int tag_epoch_init() noexcept { return 0; }
inline void tag_epoch_renew(void (*)() noexcept) noexcept {}
#endif

// ---- the interpreter's own type lookup ---------------------------------------------------------
// Verified on 3.9-3.15 and 3.13t.

// The type's attribute `name` as the interpreter's own cached lookup finds it,
// without binding, as a new reference; empty with no exception when absent.
//
// Under the global lock, the interpreter's method cache of 3.9 to 3.12 can
// still name a class attribute that is being replaced while it is freed (its
// weak reference callbacks run before the class is marked changed); the class
// is then marked changed here, and looked up again.
inline Ref type_lookup(PyTypeObject* tp, PyObject* name) noexcept {
#if PY_VERSION_HEX >= 0x030E0000 || (defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030D0000)
  return Ref::steal(_PyType_LookupRef(tp, name));
#else
  PyObject* found = _PyType_Lookup(tp, name);
  if (found && Py_REFCNT(found) == 0) {
    PyType_Modified(tp);
    found = _PyType_Lookup(tp, name);
  }
  return Ref::borrow(found);
#endif
}

// The type has something under `name` (no reference taken, nothing run).
inline bool type_has(PyTypeObject* tp, PyObject* name) noexcept { return static_cast<bool>(type_lookup(tp, name)); }

// ---- reference counting shared between threads -------------------------------------------------
// Verified on 3.13t (the private counters), 3.14t by the public call, and as nothing under the global lock.

// Objects that every thread reads through a model class (its functions,
// field properties and declarations' merged metadata) are reference-counted
// the way the interpreter counts its own functions and descriptors on the
// free-threaded build, so that threads do not contend for one counter.  On
// 3.13 that means deferred counting until a second thread starts, when the
// interpreter makes every such object immortal, and immortal from then on.  A
// class made at start-up tells which of the two holds: the interpreter counts
// classes that way too, so it is immortal once threads have started, whenever
// the module was imported.  From 3.14 the interpreter's own call does it.
// Call it on an object just made, that no other thread can see yet.  Nothing
// to do with the global lock.
#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
inline PyObject* g_deferred_sentinel = nullptr;

constexpr uint8_t kDeferredBit = 64;  // the collector's bit for deferred counting
static_assert(std::is_same_v<decltype(PyObject::ob_gc_bits), uint8_t>, "the collector's bits are one byte");

inline void defer_refcount_now(PyObject* op) noexcept {
  op->ob_gc_bits |= kDeferredBit;
  op->ob_ref_local += 1;
  op->ob_ref_shared = 0x2;  // marked queued for merging, as the interpreter marks its own deferred objects
}

inline int init_shared_counting() noexcept {
  g_deferred_sentinel = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()N",
                                              "quenlory_thread_sentinel", PyDict_New());
  return g_deferred_sentinel ? 0 : -1;
}

// The sentinel class is counted as the interpreter counts its classes: deferred, or immortal.
inline bool sentinel_counted_as_shared() noexcept {
  return _Py_IsImmortal(g_deferred_sentinel) || (g_deferred_sentinel->ob_gc_bits & kDeferredBit);
}

inline void count_as_shared(PyObject* op) noexcept {
  // Only an object of the collector's that this thread alone holds so far.
  if (_Py_IsImmortal(op) || !_Py_IsOwnedByCurrentThread(op) || op->ob_ref_shared != 0 || !PyObject_IS_GC(op) ||
      (op->ob_gc_bits & kDeferredBit))
    return;
  if (!_Py_IsImmortal(g_deferred_sentinel)) {
    // The collector frees what is counted so; it must see the object (a dict
    // of plain values starts untracked, and is not untracked again once deferred).
    if (!PyObject_GC_IsTracked(op)) PyObject_GC_Track(op);
    defer_refcount_now(op);
    return;
  }
  if (PyObject_GC_IsTracked(op)) PyObject_GC_UnTrack(op);
  op->ob_tid = 0;
  op->ob_ref_local = UINT32_MAX;
  op->ob_ref_shared = 0;
}
#elif defined(Py_GIL_DISABLED)
inline int init_shared_counting() noexcept { return 0; }
inline bool sentinel_counted_as_shared() noexcept { return true; }
inline void count_as_shared(PyObject* op) noexcept { (void)PyUnstable_Object_EnableDeferredRefcount(op); }
#else
inline int init_shared_counting() noexcept { return 0; }
inline bool sentinel_counted_as_shared() noexcept { return true; }
inline void count_as_shared(PyObject*) noexcept {}
#endif

// The object in the object slot `*slot` of `owner`, with a reference of the
// caller's, read as the interpreter's own slot member reads it.  On the
// free-threaded build that read takes no lock when the value can be counted
// while the slot still holds it: immortal, this thread's own, or counted by
// other threads with a count not yet merged at zero (taken by compare and
// swap, then the slot read again).  Else, or when the slot changed meanwhile,
// it reads under the owner's lock, and `locked` is set: the reference let go
// in the race may have run code.  Runs nothing under the global lock, nor for
// an empty slot.
inline Ref load_object_slot(PyObject* owner, PyObject** slot, bool& locked) noexcept {
#ifdef Py_GIL_DISABLED
  PyObject* v = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
  if (!v) return {};
  {
    if (_Py_IsImmortal(v)) return Ref::borrow(v);
    if (_Py_IsOwnedByCurrentThread(v)) {
      __atomic_store_n(&v->ob_ref_local, __atomic_load_n(&v->ob_ref_local, __ATOMIC_RELAXED) + 1, __ATOMIC_RELAXED);
      return Ref::steal(v);
    }
    Py_ssize_t shared = __atomic_load_n(&v->ob_ref_shared, __ATOMIC_RELAXED);
    while (shared != 0 && shared != _Py_REF_MERGED) {
      if (__atomic_compare_exchange_n(&v->ob_ref_shared, &shared, shared + (Py_ssize_t{1} << _Py_REF_SHARED_SHIFT),
                                      false, __ATOMIC_SEQ_CST, __ATOMIC_RELAXED)) {
        Ref held = Ref::steal(v);
        if (__atomic_load_n(slot, __ATOMIC_ACQUIRE) == v) return held;
        locked = true;
        break;
      }
    }
  }
  locked = true;
  Ref value;
  Py_BEGIN_CRITICAL_SECTION(owner);
  value = Ref::borrow(__atomic_load_n(slot, __ATOMIC_ACQUIRE));
  Py_END_CRITICAL_SECTION();
  return value;
#else
  (void)owner;
  (void)locked;
  return Ref::borrow(*slot);
#endif
}

// ---- dict versions -----------------------------------------------------------------------------
// Verified on 3.9 and 3.10 (later interpreters have none to read).

// Before 3.11 an instance's dictionary sits behind a plain pointer, and every
// change of any dict takes a fresh version from one counter that never
// restarts: (dict, version) names one state of one dict for good.
constexpr bool kDictVersions = PY_VERSION_HEX < 0x030B0000;

// The instance dictionary of `o`, borrowed, or nullptr; runs nothing.  Only where kDictVersions.
inline PyObject* plain_instance_dict(PyObject* o) noexcept {
#if PY_VERSION_HEX < 0x030B0000
  PyObject** slot = _PyObject_GetDictPtr(o);
  return slot ? *slot : nullptr;
#else
  (void)o;
  return nullptr;
#endif
}

#if PY_VERSION_HEX < 0x030B0000
static_assert(std::is_same_v<decltype(PyDictObject::ma_version_tag), uint64_t>, "a dict version is 64 bits");
#endif

inline uint64_t dict_version(PyObject* d) noexcept {
#if PY_VERSION_HEX < 0x030B0000
  return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
#else
  (void)d;
  return 0;
#endif
}

// Before 3.14 every dict takes a fresh version from one counter of the
// interpreter when it is made and at every change of it, and the counter
// never restarts: (address, version) names one state of one dict for good,
// so that a memo can compare the pair without holding the dict.  From 3.14
// dicts keep no version.  On 3.13t each thread takes its versions from the
// counter in batches, and they are still never given out twice.  Only for a
// dict with a combined table (dict_versioned_by_changes).
constexpr bool kDictStateVersions = PY_VERSION_HEX < 0x030E0000;

// From 3.12 a version counts states in steps of 1 << 8 or more, its low bits holding
// the dict's watchers: two states of dicts differ above the lowest
// kDictStateSpareBits bits, which a memo may use for data of its own.
constexpr int kDictStateSpareBits = PY_VERSION_HEX >= 0x030C0000 ? 4 : 0;

// Every change of `d` gives it a new version: its table is combined.  A split
// table's values may be an object's own attribute values (from 3.13 vars(obj)
// shares them), which an attribute store changes without touching the dict's
// version.  Runs nothing.
//
// On the free-threaded build another thread may change the dict meanwhile,
// under the dict's lock, and the interpreter stores both words as plain
// aligned words: each is read as one word, giving a value the dict had, and
// ThreadSanitizer is told not to count the read (it races with those stores
// by the letter of the memory model, in a way every platform of the
// free-threaded build makes harmless).
[[gnu::no_sanitize("thread")]] inline bool dict_versioned_by_changes(PyObject* d) noexcept {
  return __atomic_load_n(&reinterpret_cast<PyDictObject*>(d)->ma_values, __ATOMIC_RELAXED) == nullptr;
}

[[gnu::no_sanitize("thread")]] inline uint64_t dict_state_version(PyObject* d) noexcept {
#if PY_VERSION_HEX < 0x030E0000
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wdeprecated-declarations\"")
  return __atomic_load_n(&reinterpret_cast<PyDictObject*>(d)->ma_version_tag, __ATOMIC_RELAXED);
  _Pragma("GCC diagnostic pop")
#else
  (void)d;
  return 0;
#endif
}

// ---- remembered str hashes ---------------------------------------------------------------------
// Verified on 3.9-3.15 (not asked on 3.13t).

static_assert(std::is_same_v<decltype(PyASCIIObject::hash), Py_hash_t>, "a str remembers its hash whole");

// Two strs whose remembered hashes differ: their texts differ.  Runs nothing.
// (Not asked on the free-threaded build, where another thread may be setting a hash.)
inline bool known_unequal(PyObject* a, PyObject* b) noexcept {
#ifdef Py_GIL_DISABLED
  (void)a;
  (void)b;
  return false;
#else
  Py_hash_t ha = reinterpret_cast<PyASCIIObject*>(a)->hash, hb = reinterpret_cast<PyASCIIObject*>(b)->hash;
  return ha != -1 && hb != -1 && ha != hb;
#endif
}

// d.get(key) for an exact dict, as a new reference: empty when absent (check
// PyErr_Occurred).  A str key's remembered hash is passed on rather than asked
// for again.  Safe against other threads changing `d`.
inline Ref dict_get(PyObject* d, PyObject* key) noexcept {
#ifdef Py_GIL_DISABLED
  PyObject* v = nullptr;
  PyDict_GetItemRef(d, key, &v);
  return Ref::steal(v);
#else
  if (PyUnicode_CheckExact(key)) {
    Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
    if (hash != -1) return Ref::borrow(_PyDict_GetItem_KnownHash(d, key, hash));
  }
  return Ref::borrow(PyDict_GetItemWithError(d, key));
#endif
}

// ---- object headers and descriptor structs -----------------------------------------------------
// Verified on 3.9-3.15 and 3.13t.

// A static type object starts zeroed; give it the reference PyVarObject_HEAD_INIT would.
inline void prepare_static_type(PyTypeObject* tp) noexcept {
#ifdef Py_GIL_DISABLED
  PyObject* o = reinterpret_cast<PyObject*>(tp);
  o->ob_tid = 0;
  o->ob_ref_local = 0;
  o->ob_ref_shared = 0;
  Py_SET_REFCNT(o, 1);
#else
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(tp), 1);
#endif
}

// The slot member that an attribute lookup of a type finds, when it is a plain
// object slot: its offset, and whether it may be assigned.  0 otherwise.
inline Py_ssize_t object_slot_offset(PyObject* descr, PyTypeObject* tp, bool for_write) noexcept {
  if (!descr || !Py_IS_TYPE(descr, &PyMemberDescr_Type)) return 0;
  PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
  if (member->type != T_OBJECT_EX || (for_write && (member->flags & READONLY)) ||
      !PyType_IsSubtype(tp, PyDescr_TYPE(descr)))
    return 0;
  return member->offset;
}

// ---- the assumptions, tried ---------------------------------------------------------------------

namespace detail {

// ImportError naming the capability whose assumption this interpreter breaks; always -1.
[[gnu::cold]] inline int broken(const char* capability) noexcept {
  PyErr_Format(PyExc_ImportError,
               "quenlory.model_decorator: this interpreter (%s) breaks what %s assumes of it; "
               "the capability needs porting",
               Py_GetVersion(), capability);
  return -1;
}

}  // namespace detail

// Try each capability that reads private state on objects made for the
// purpose, at initialisation (after tag_epoch_init): 0, or -1 with ImportError
// set naming the one that broke.
inline int check_assumptions() noexcept {
  // A class with an instance dictionary and one plain object slot.
  Ref cls_name = Ref::steal(PyUnicode_FromString("quenlory_assumptions"));
  Ref slot_name = Ref::steal(cls_name ? PyUnicode_FromString("slot") : nullptr);
  Ref dict_name = Ref::steal(slot_name ? PyUnicode_FromString("__dict__") : nullptr);
  Ref slots = Ref::steal(dict_name ? PyTuple_Pack(2, slot_name.get(), dict_name.get()) : nullptr);
  Ref ns = Ref::steal(slots ? PyDict_New() : nullptr);
  if (!ns || PyDict_SetItemString(ns.get(), "__slots__", slots.get()) < 0) return -1;
  Ref bases = Ref::steal(PyTuple_New(0));
  PyObject* args[] = {cls_name.get(), bases.get(), ns.get()};
  Ref cls = Ref::steal(bases ? PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), args, 3, nullptr)
                             : nullptr);
  if (!cls) return -1;
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls.get());

  if (!kFreeThreaded) {  // the tags serve the memos, which only builds with the global lock keep
    unsigned int tag = settled_tag(tp, slot_name.get());
    if (!tag) return detail::broken("interp::settled_tag (a looked-up class has a tag)");
    PyType_Modified(tp);
    if (type_tag(tp)) return detail::broken("interp::type_tag (a changed class has none)");
    unsigned int again = settled_tag(tp, slot_name.get());
    if (!again || (kUniqueTypeTags && again == tag))
      return detail::broken("interp::kUniqueTypeTags (a changed class gets a new tag)");
  }
#if PY_VERSION_HEX < 0x030B0000
  tag_epoch_renew([]() noexcept {});
  if (!tag_epoch_holds()) return detail::broken("interp::tag_epoch_holds (the method cache holds its entry's name)");
  PyType_ClearCache();
  if (tag_epoch_holds()) return detail::broken("interp::tag_epoch_holds (emptying the cache drops the name)");
#endif

  Ref instance = Ref::steal(PyObject_CallNoArgs(cls.get()));
  Ref value = Ref::steal(instance ? PyLong_FromLong(1 << 20) : nullptr);
  if (!value || PyObject_SetAttr(instance.get(), slot_name.get(), value.get()) < 0) return -1;
  Ref descr = type_lookup(tp, slot_name.get());
  Py_ssize_t offset = object_slot_offset(descr.get(), tp, true);
  if (!offset || *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(instance.get()) + offset) != value.get())
    return detail::broken("interp::object_slot_offset (a slot member's offset holds its value)");
  if (!type_has(tp, slot_name.get())) return detail::broken("interp::type_lookup (finds a class attribute)");

  if (kDictVersions) {
    if (PyObject_SetAttr(instance.get(), cls_name.get(), value.get()) < 0) return -1;
    Ref dict = Ref::steal(PyObject_GenericGetDict(instance.get(), nullptr));
    if (!dict) return -1;
    if (plain_instance_dict(instance.get()) != dict.get())
      return detail::broken("interp::plain_instance_dict (the instance dictionary's pointer)");
    uint64_t before = dict_version(dict.get());
    if (PyDict_SetItem(dict.get(), slot_name.get(), value.get()) < 0) return -1;
    if (dict_version(dict.get()) == before) return detail::broken("interp::dict_version (a change takes a version)");
  }

  if (!kFreeThreaded) {
    if (PyObject_Hash(cls_name.get()) == -1 || PyObject_Hash(slot_name.get()) == -1) return -1;
    if (!known_unequal(cls_name.get(), slot_name.get()) || known_unequal(cls_name.get(), cls_name.get()))
      return detail::broken("interp::known_unequal (a str remembers its hash)");
  }
  Ref table = Ref::steal(PyDict_New());
  if (!table || PyDict_SetItem(table.get(), slot_name.get(), value.get()) < 0) return -1;
  if (dict_get(table.get(), slot_name.get()).get() != value.get() || dict_get(table.get(), cls_name.get()))
    return detail::broken("interp::dict_get (a lookup under the remembered hash)");

  if (kDictStateVersions) {
    Ref other = Ref::steal(PyDict_New());
    if (!other) return -1;
    uint64_t made = dict_state_version(other.get());
    if (made == dict_state_version(table.get()) || PyDict_SetItem(other.get(), slot_name.get(), value.get()) < 0 ||
        dict_state_version(other.get()) <= made)
      return PyErr_Occurred() ? -1 : detail::broken("interp::dict_state_version (each state its own version)");
    if ((made ^ dict_state_version(other.get())) >> kDictStateSpareBits == 0 ||
        (made ^ dict_state_version(table.get())) >> kDictStateSpareBits == 0)
      return detail::broken("interp::kDictStateSpareBits (states differ above them)");
  }
#if PY_VERSION_HEX >= 0x030C0000
  {
    // A watcher of our own; where other code has taken every id, one of theirs
    // watches the table just while its bits are read (nothing changes the
    // table meanwhile, so their callback never runs).
    bool unwatched = !dict_watched(table.get());
    int watcher = PyDict_AddWatcher([](PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept { return 0; });
    bool own = watcher >= 0;
    if (own && PyDict_Watch(watcher, table.get()) < 0) {
      PyDict_ClearWatcher(watcher);
      return -1;
    }
    if (!own) {
      PyErr_Clear();  // no id free
      for (int id = 0; watcher < 0 && id < 8; ++id) {
        if (PyDict_Watch(id, table.get()) == 0) watcher = id;
        else PyErr_Clear();  // no watcher under this id
      }
      if (watcher < 0) return detail::broken("interp::dict_watched (a dict watcher to try it with)");
    }
    bool seen = unwatched && dict_watched(table.get());
    if (PyDict_Unwatch(watcher, table.get()) < 0 || (own && PyDict_ClearWatcher(watcher) < 0)) return -1;
    if (!seen) return detail::broken("interp::dict_watched (a watched dict's watcher bits)");
  }
#endif
  if (!sentinel_counted_as_shared())
    return detail::broken("interp::count_as_shared (the interpreter's classes are counted deferred)");
  return PyErr_Occurred() ? -1 : 0;
}

// The interpreter-facing state made once, then the assumptions tried: 0, or -1 with an exception set.
inline int init() noexcept { return tag_epoch_init() < 0 ? -1 : check_assumptions(); }

// A new empty dict with room for `n` items without growing, as the
// interpreter makes them for keyword arguments.  Verified on 3.9 to 3.15 and
// 3.13t.
inline PyObject* sized_dict(Py_ssize_t n) noexcept { return _PyDict_NewPresized(n); }

// A new empty dict that will hold up to `n` str keys, laid out as one grown
// key by key would be.  From 3.11 a table only of str keys is a compact one of
// its own, which a presized dict does not get (it takes the general layout, a
// third larger and looked up by the general route), so the dict starts empty.
inline PyObject* dict_for_str_keys(Py_ssize_t n) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
  (void)n;
  return PyDict_New();
#else
  return _PyDict_NewPresized(n);
#endif
}

}  // namespace quenlory::interp
