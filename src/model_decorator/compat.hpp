// The one place for interpreter-version shims, private CPython calls and reads
// of the interpreter's private fields.  Everything else asks for a named
// capability here and never tests PY_VERSION_HEX or Py_GIL_DISABLED itself.
#pragma once

#include "ref.hpp"

#if PY_VERSION_HEX < 0x03090000
#error "quenlory.model_decorator needs CPython 3.9 or newer"
#endif

#include <structmember.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* o) {
  Py_INCREF(o);
  return o;
}
static inline PyObject* Py_XNewRef(PyObject* o) {
  Py_XINCREF(o);
  return o;
}
#endif

// Critical sections serialise access to one object's state between threads on
// the free-threaded build, and cost nothing under the global lock.
#if PY_VERSION_HEX >= 0x030D0000
#define QUENLORY_LOCKED(o) Py_BEGIN_CRITICAL_SECTION(o);
#define QUENLORY_UNLOCKED() Py_END_CRITICAL_SECTION()
#else
#define QUENLORY_LOCKED(o) {
#define QUENLORY_UNLOCKED() }
#endif

// The module slot that declares the module safe without the global lock, where slots can say so.
#if PY_VERSION_HEX >= 0x030D0000
#define QUENLORY_MOD_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define QUENLORY_MOD_GIL_SLOT
#endif

namespace quenlory::compat {

#ifdef Py_GIL_DISABLED
constexpr bool kFreeThreaded = true;
#else
constexpr bool kFreeThreaded = false;
#endif

// A type's version tag names one state of one type for the life of the process
// (the numbering never restarts, so no tag is given out twice): from 3.11 on.
// Before, sys._clear_type_cache() restarts the numbering, and a type changed
// since can get its old tag back.
constexpr bool kUniqueTypeTags = PY_VERSION_HEX >= 0x030B0000;

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

// The pending exception, put aside for the life of the object and raised again after.
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

// The pending exception, normalised and holding its traceback, taken off
// (nullptr when none); raise_again(exc) makes it pending again, stealing it.
inline PyObject* take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *exc, *tb;
  PyErr_Fetch(&type, &exc, &tb);
  PyErr_NormalizeException(&type, &exc, &tb);
  if (exc && tb) PyException_SetTraceback(exc, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return exc;
#endif
}

inline void raise_again(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  if (!exc) return;
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
#endif
}

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

// The object is referenced from one place only, the caller's: nothing else can
// see it or change it.  Answers no where that cannot be told.
inline bool uniquely_referenced(PyObject* o) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
  return PyUnstable_Object_IsUniquelyReferenced(o);
#elif defined(Py_GIL_DISABLED)
  (void)o;
  return false;
#else
  return Py_REFCNT(o) == 1;
#endif
}

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
inline void count_as_shared(PyObject* op) noexcept { (void)PyUnstable_Object_EnableDeferredRefcount(op); }
#else
inline int init_shared_counting() noexcept { return 0; }
inline void count_as_shared(PyObject*) noexcept {}
#endif

// KeyError(key) as dict_subscript raises it, wrapping tuples so that they are not unpacked.
inline void raise_key_error(PyObject* key) noexcept {
  if (PyTuple_Check(key)) {
    Ref tup = Ref::steal(PyTuple_Pack(1, key));
    if (tup) PyErr_SetObject(PyExc_KeyError, tup.get());
  } else {
    PyErr_SetObject(PyExc_KeyError, key);
  }
}

// The instance dictionary of `o` as a new reference (made when it has none
// yet, as attribute access does: an allocation, which may run a collection),
// or empty with no exception set when instances of its type have none.
inline Ref instance_dict(PyObject* o) noexcept {
  Ref d = Ref::steal(PyObject_GenericGetDict(o, nullptr));
  if (!d) PyErr_Clear();
  return d;
}

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

inline uint64_t dict_version(PyObject* d) noexcept {
#if PY_VERSION_HEX < 0x030B0000
  return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
#else
  (void)d;
  return 0;
#endif
}

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

// d[key] for an exact dict: a new reference, or empty with KeyError/other error set.
inline Ref dict_getitem(PyObject* d, PyObject* key) noexcept {
  Ref v = dict_get(d, key);
  if (!v && !PyErr_Occurred()) raise_key_error(key);
  return v;
}

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

// self.name(*args), by vectorcall.
template <typename... Args>
inline PyObject* call_method(PyObject* self, PyObject* name, Args... args) noexcept {
  PyObject* stack[] = {self, args...};
  return PyObject_VectorcallMethod(name, stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr);
}

inline PyObject* call_one(PyObject* fn, PyObject* arg) noexcept { return PyObject_CallOneArg(fn, arg); }

// A new empty dict with room for `n` items without growing.
inline PyObject* sized_dict(Py_ssize_t n) noexcept { return _PyDict_NewPresized(n); }
inline PyObject* call_none(PyObject* fn) noexcept { return PyObject_CallNoArgs(fn); }

}  // namespace quenlory::compat
