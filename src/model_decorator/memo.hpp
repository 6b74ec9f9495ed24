// Per-type memos: what the interpreter's lookups found for a class, kept in
// front of those lookups on the hot paths.
//
// Invariants
// 1. An entry names its type by address and version tag, and is used only
//    while the type still has that tag.  A tag is nonzero only while the type
//    and its bases are unchanged.
// 2. Tags name one state of one type for the life of the process where the
//    interpreter never gives a tag out twice (3.11 on).  Before, the numbering
//    restarts on sys._clear_type_cache() (and when it wraps), and a type
//    changed since can get its old tag back; every restart empties the
//    interpreter's own method cache, which interp::TagEpoch watches through an
//    entry that only it can make.  No entry is used once that entry is gone,
//    and every table is emptied before it is made again.
// 3. An entry holds plain data, and owned references to objects that keep no
//    class alive (field names); never a borrowed pointer.  Replacing or
//    emptying an entry writes the new contents first and releases the old
//    references last, so code that a release runs finds the table whole.
// 4. A reader copies what it needs out of the entry, and takes its own
//    reference to any object of it that it uses across code that can run.
// 5. An entry is stored under the tag the type had before the lookups that
//    filled it, and the stamp carries the epoch it was taken in: the store is
//    refused in any other, since a restart between them may have given the
//    tag to another state of the type.
// 6. On the free-threaded build there are no type memos: every read asks the
//    interpreter's lookup, which is safe there.  The one memo it keeps, of
//    metadata rules (instances.cpp), names dict states by version, which stay
//    unique there, and its entries are stored and read a word at a time.
//
// Windows.  A window is a stretch of code where a shortcut uses borrowed
// references or trusts a memo: from a peek to the last use of what it found,
// from a stamp to its store, and a construction's `quiet` stretch and the
// values it notes.  "No code runs here" is the premise of every window, and it
// is false more often than it looks.  A window contains none of:
//   - an allocation of an object the collector tracks, or a decref that can
//     free one: a collection runs finalisers, weak-reference callbacks and
//     gc.callbacks, and clears a cycle one object at a time, so that code may
//     see any object of it half-cleared (a class without its MRO, a schema
//     whose tables are gone).  From 3.12 an allocation only schedules the
//     collection (interp::kAllocationCollects), and a decref that frees a
//     list of exact strs, ints, floats, bools and None runs nothing;
//   - a comparison or hash of anything but an exact str or int: a str
//     subclass's __eq__ runs inside the interpreter's own type lookups, when
//     such a key is planted in a class dict;
//   - a conversion between int and str of unbounded size: int to str checks
//     for signals as it goes (their handlers run), and from 3.12 long ones
//     call the replaceable _pylong module;
//   - an attribute or type lookup on a class that Python code can change.
// Where a window must contain one, what it uses afterwards is owned (an
// incref is two instructions) or read again.  In the source a window's
// stretches are marked by a "window begins: NAME" comment and its "window
// ends: NAME" in the same function; code that must run one of the above ends
// the window first, or drops what it trusts.  tests/test_lint.py checks every
// call of a marked stretch, and of each PyDict_Next step and each stamp to
// its store, against the calls known to run nothing.
//
// Layer 3 (docs/architecture.md): includes names.hpp and below; calls layers 0-2.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp.
#pragma once

#include <cstdint>

#include "debug.hpp"
#include "interp.hpp"
#include "names.hpp"

namespace quenlory::memo {

constexpr bool kEnabled = !interp::kFreeThreaded;

// The tables, each of which a build can switch off to measure what it saves
// (tools/memo_cost.sh): -DQUENLORY_MEMOS_OFF=<sum of the values below>.
enum class Table : unsigned { Get = 1, Set = 2, Offsets = 4, Entered = 8, Names = 16, Declarations = 32 };
#ifndef QUENLORY_MEMOS_OFF
#define QUENLORY_MEMOS_OFF 0
#endif
constexpr bool switched_on(Table t) noexcept { return kEnabled && !(QUENLORY_MEMOS_OFF & static_cast<unsigned>(t)); }

// Every table, so that a new epoch empties them all.
constexpr int kMaxTables = 12;
struct Registered {
  void* table;
  void (*clear)(void* table) noexcept;
};
inline Registered g_registered[kMaxTables] = {};
inline int g_tables = 0;

inline void clear_all() noexcept {
  for (int i = 0; i < g_tables; ++i) g_registered[i].clear(g_registered[i].table);
}

// The tag under which a memo entry may be stored, taken before the lookups,
// and the epoch it was taken in (see interp::TagEpoch).
struct Stamp {
  unsigned int tag;
  unsigned long epoch = 0;
};

inline Stamp stamp_of(PyTypeObject* tp) noexcept {
  interp::tag_epoch_renew(clear_all);
  return {interp::settled_tag(tp, N.dunder_get), interp::tag_epoch_count()};
}

constexpr size_t kEntries = 128;

// The entry a type uses in every table.
inline size_t index_of(PyTypeObject* tp) noexcept { return (reinterpret_cast<uintptr_t>(tp) >> 6) % kEntries; }

template <typename Info>
class TypeMemo {
 public:
  // Tables are statics of the files that use them, registered so that a new
  // epoch empties them.  One that finds no room is never used.
  explicit TypeMemo(Table which) noexcept : usable_(switched_on(which) && g_tables < kMaxTables) {
    if (usable_)
      g_registered[g_tables++] = {this, [](void* table) noexcept { static_cast<TypeMemo*>(table)->clear(); }};
  }

  // The entry for `tp`, or nullptr.  The pointer is good only until code runs.
  inline __attribute__((always_inline)) const Info* peek(PyTypeObject* tp) const noexcept {
    if constexpr (!kEnabled) return nullptr;
    if (!usable_) return nullptr;
    const Entry& e = entries_[index_of(tp)];
    unsigned int tag = interp::type_tag(tp);
    if (e.type != tp || tag == 0 || e.tag != tag || !interp::tag_epoch_holds()) return nullptr;
    return &e.info;
  }

  // Remember `info` for `tp`, found under `stamp` by lookups that ran no code.
  void store(PyTypeObject* tp, Stamp stamp, const Info& info) noexcept {
    // A ready class, looked up without an error, under a stamp of this epoch or an earlier one.
    QUENLORY_ASSERT(tp && PyType_Check(reinterpret_cast<PyObject*>(tp)) && (tp->tp_flags & Py_TPFLAGS_READY));
    QUENLORY_ASSERT(!PyErr_Occurred() && stamp.epoch <= interp::tag_epoch_count());
    if constexpr (!kEnabled) return;
    if (!usable_) return;
    // A stamp of an earlier epoch may name another state of the type now.
    if (stamp.tag == 0 || stamp.epoch != interp::tag_epoch_count() || !interp::tag_epoch_holds()) return;
    Entry& e = entries_[index_of(tp)];
    Entry old = e;
    info.hold();
    e = Entry{tp, stamp.tag, info};
    old.info.release();  // last: it may run code
  }

  // The entry for `tp` is still there: let `change` update its plain data in place (no code may run).
  template <typename Change>
  inline __attribute__((always_inline)) void update(PyTypeObject* tp, Change change) noexcept {
    Entry& e = entries_[index_of(tp)];
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
  struct alignas(64) Entry {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;
    Info info{};
  };
  bool usable_;
  Entry entries_[kEntries] = {};
};

// Nothing owned.
struct Plain {
  void hold() const noexcept {}
  void release() const noexcept {}
};

// A field name, owned by the entry.
struct OwnedKey {
  PyObject* key = nullptr;
  void hold() const noexcept { Py_XINCREF(key); }
  void release() const noexcept { Ref dropped = Ref::steal(key); }
};

}  // namespace quenlory::memo
