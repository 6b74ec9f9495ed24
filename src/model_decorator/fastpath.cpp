// The direct type slots.  The descriptor classes and model classes that
// `model` makes get tp_descr_get, tp_descr_set and tp_init of their own, which
// run our bodies without building an argument vector, binding a method or
// checking parameters that cannot be wrong.  A direct slot must give what the
// ordinary route gives, or take the ordinary route.
//
// Rules
// 1. A direct slot runs our body only while the class's dunder, as the
//    interpreter's own cached lookup finds it now, is one of our functions of a
//    kind that has that body.  Anything else takes the interpreter's generic
//    slot, saved once at initialisation.
// 2. The function found is owned (a Ref) for as long as its body runs: code
//    the body calls may take it off the class.
// 3. The keywords the body receives are a dict that nothing else can change
//    while it runs: the class call's own, or a copy of the caller's.
// 4. What is remembered (memo.hpp) is how reads and writes through a field
//    property's class run in line: the data dictionary's item under the
//    field's name, which the entry owns, and for writes a cast that lives for
//    good.  It is what the class's __get__ and __set__ do while the entry holds.
// 5. A peeked entry is a window (memo.hpp): from the peek to its last use
//    there is no tracked allocation or freeing decref, no comparison or hash
//    but of exact strs and ints, no int<->str conversion and no lookup on a
//    class Python can change.  What is used past any of these is owned (a
//    write's key), or checks itself (an owner names its class and tag).
// 6. A body that can reach its own slot again with no Python frame in
//    between (a field named __getattribute__, or __getattr__ with the slot
//    unset) counts the depth, as a Python descriptor's frames would, where it
//    takes the ordinary route; the in-line paths never come back.
//
// Layer 7 (docs/architecture.md): includes layers 0-6; calls layers 0-6, and the feature files' bodies only
//   through the function kinds' FuncSpec members.
// Bound by: owners release references (ref.hpp); versions and private state only through interp.hpp; the memo
//   invariants and windows (memo.hpp); the rules above.
#include "fastpath.hpp"

#include "interp.hpp"
#include "memo.hpp"
#include "casts.hpp"
#include "compound_reads.hpp"
#include "mapping.hpp"
#include "storage.hpp"

namespace quenlory::fastpath {
namespace {

// A plain function, set as __get__, __set__ and __init__ of a class made only
// to read the generic slots the interpreter gives it; it is never called.
PyObject* plain_dunder_impl(Func*, PyObject* const*, Py_ssize_t, PyObject*) noexcept { return new_none(); }
const FuncSpec kPlainDunder{"probe", Shape::One, 1, {&Names::p_value}, "(value, /)", plain_dunder_impl};

descrgetfunc g_generic_get = nullptr;
descrsetfunc g_generic_set = nullptr;
initproc g_generic_init = nullptr;
traverseproc g_generic_traverse = nullptr;
destructor g_generic_dealloc = nullptr;

// The type's attribute `name` when it is one of our functions whose kind has a
// body for the slot (`has`), held by `held`; else nullptr.
template <typename Has>
inline __attribute__((always_inline)) Func* our_function(PyTypeObject* tp, PyObject* name, Ref& held, Has has) noexcept {
  held = interp::type_lookup(tp, name);
  PyObject* fn = held.get();
  if (fn && Py_IS_TYPE(fn, &FuncType) && has(*reinterpret_cast<Func*>(fn)->spec)) return reinterpret_cast<Func*>(fn);
  return nullptr;
}

// The class of the instance last read or written through a descriptor class,
// with its tag and the offset there of the slot the access uses (data, or
// compounds for a compound property; 0: none): one comparison in front of the
// memo of slot offsets.
struct Owner {
  unsigned int tag = 0;
  PyTypeObject* type = nullptr;
  Py_ssize_t offset = 0;
};

// How reads through descriptors of a class run in line.
// `key`: the data dictionary's key, when the read is that item.
struct GetInfo : memo::OwnedKey {
  bool compound = false;    // the read is read_compound's
  bool name_in_dict = false;
  Owner owner;
};
memo::TypeMemo<GetInfo> g_get{memo::Table::Get};

bool has_get(const FuncSpec& s) noexcept { return s.get != nullptr; }

// The class's __get__ when it is ours, held by `held`; what reads in line is remembered.
[[gnu::noinline]] Func* learn_get(PyTypeObject* tp, Ref& held) noexcept {
  if constexpr (!memo::switched_on(memo::Table::Get)) return our_function(tp, N.dunder_get, held, has_get);
  memo::Stamp stamp = memo::stamp_of(tp);
  Func* f = our_function(tp, N.dunder_get, held, has_get);
  GetInfo info;
  if (f && f->spec->inline_read == InlineRead::Key) info.key = closure_peek(f);
  info.compound = f && f->spec->inline_read == InlineRead::Property;
  info.name_in_dict = name_in_instance_dict(tp);
  g_get.store(tp, stamp, info);
  return f;
}

[[gnu::noinline]] PyObject* call_get(PyObject* self, PyObject* obj, PyObject* type) noexcept {
  Ref held;
  PyTypeObject* tp = Py_TYPE(self);
  Func* f = g_get.peek(tp) ? our_function(tp, N.dunder_get, held, has_get) : learn_get(tp, held);
  if (!f) return g_generic_get(self, obj, type);
  return f->spec->get(f, self, obj ? obj : Py_None);
}

[[gnu::noinline, gnu::cold]] PyObject* missing_key(PyObject* key) noexcept {
  if (!PyErr_Occurred()) raise_key_error(key);
  return nullptr;
}

// mapping[key] for an exact dict, both held across the lookup: it may run a key's __eq__.
[[gnu::noinline]] PyObject* subscript_held(PyObject* mapping, PyObject* key) noexcept {
  Ref held_mapping = Ref::steal(Py_NewRef(mapping)), held_key = Ref::steal(Py_NewRef(key));
  Ref v = interp::dict_get(mapping, key);
  if (__builtin_expect(static_cast<bool>(v), 1)) return v.release();
  return missing_key(key);
}

// The offset from the memo of offsets, remembered as the entry's new owner
// (out of line, so that the access's own frame stays small).  No code runs.
template <typename Info>
[[gnu::noinline]] Py_ssize_t learn_owner(memo::TypeMemo<Info>& table, PyObject* self, PyTypeObject* tp,
                                         unsigned int tag, Slot which) noexcept {
  Py_ssize_t offset = known_read_offset(tp, which);
  if (offset && tag) table.update(Py_TYPE(self), [&](Info& e) { e.owner = Owner{tag, tp, offset}; });
  return offset;
}

// The offset on obj's class of the slot an access through self's class uses:
// the entry's owner when obj is of that class, else learn_owner's.
template <typename Info>
inline __attribute__((always_inline)) Py_ssize_t owner_offset(memo::TypeMemo<Info>& table, const Info* info,
                                                              PyObject* self, PyObject* obj, Slot which) noexcept {
  PyTypeObject* tp = Py_TYPE(obj);
  unsigned int tag = interp::type_tag(tp);
  if (tp == info->owner.type && tag == info->owner.tag) return info->owner.offset;  // owner.tag is never 0
  return learn_owner(table, self, tp, tag, which);
}

// Every read but the field read through the entry's owner class; `info` is the
// entry for self's class, or nullptr, peeked with nothing run since.
[[gnu::noinline]] PyObject* descr_get_other(PyObject* self, PyObject* obj, PyObject* type,
                                            const GetInfo* info) noexcept {
  if (__builtin_expect(info && obj, 1)) {
    // Nothing runs before subscript_held holds what it uses.
    if (__builtin_expect(info->key != nullptr, 1)) {
      Py_ssize_t offset = owner_offset(g_get, info, self, obj, Slot::Data);
      if (PyObject* data = offset ? dict_at(obj, offset) : nullptr) return subscript_held(data, info->key);
    } else if (info->compound) {
      Py_ssize_t offset = owner_offset(g_get, info, self, obj, Slot::Compounds);
      if (PyObject* dict = offset ? dict_at(obj, offset) : nullptr) {
        Ref compounds = Ref::borrow(dict);  // the property's name may run code
        return read_compound_from(self, compounds.get(), info->name_in_dict);
      }
      return read_compound(self, obj, info->name_in_dict);
    }
  }
  return call_get(self, obj, type);
}

// The field read of an instance of the entry's owner class, else descr_get_other.  It makes no call but the
// two last ones, so that it needs no frame of its own.
[[gnu::hot]] PyObject* descr_get_slot(PyObject* self, PyObject* obj, PyObject* type) noexcept {
  const GetInfo* info = g_get.peek(Py_TYPE(self));
  if (__builtin_expect(info && obj && info->key, 1)) {
    PyTypeObject* tp = Py_TYPE(obj);
    // An owner is remembered with a nonzero tag and offset.  Nothing runs before subscript_held holds what it uses.
    if (tp == info->owner.type && interp::type_tag(tp) == info->owner.tag)
      if (PyObject* data = dict_at(obj, info->owner.offset)) return subscript_held(data, info->key);
  }
  return descr_get_other(self, obj, type, info);
}

// How writes through a field property's class run in line: the cast of the
// value stored in the data dictionary under the field's name (owned), where the
// cast is a known cast that runs in line and lives for good (a built-in int, str
// or float, or an unconstrained checking twin).
struct SetInfo : memo::OwnedKey {
  PyObject* cast = nullptr;
  Convert convert = nullptr;  // what call_cast runs for it
  Owner owner;
};
memo::TypeMemo<SetInfo> g_set{memo::Table::Set};

bool has_set(const FuncSpec& s) noexcept { return s.set != nullptr; }

// The write by the class's __set__ when it is ours, else the generic slot;
// `learn` remembers how the class's writes run.
[[gnu::noinline]] int call_set(PyObject* self, PyObject* obj, PyObject* value, bool learn) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  learn = learn && memo::switched_on(memo::Table::Set);
  memo::Stamp stamp = learn ? memo::stamp_of(tp) : memo::Stamp{0};
  Ref held;
  Func* f = our_function(tp, N.dunder_set, held, has_set);
  if (learn) {
    SetInfo info;
    Convert convert = f && f->spec->inline_write == InlineWrite::Key && closure_peek(f) ? lasting_cast(closure_peek_cast(f)) : nullptr;
    if (convert) {
      info.key = closure_peek(f);
      info.cast = closure_peek_cast(f);
      info.convert = convert;
    }
    g_set.store(tp, stamp, info);
  }
  if (!f) return g_generic_set(self, obj, value);
  return f->spec->set(f, self, obj, value);
}

// The exact dict in obj's data slot, borrowed, where the entry's owner (or the
// memo of offsets) knows where it is; else nullptr.  No code runs.
inline __attribute__((always_inline)) PyObject* owner_dict(const SetInfo* info, PyObject* self, PyObject* obj) noexcept {
  Py_ssize_t offset = owner_offset(g_set, info, self, obj, Slot::Data);
  return offset ? dict_at(obj, offset) : nullptr;
}

int descr_set_slot(PyObject* self, PyObject* obj, PyObject* value) noexcept {
  // Deletion takes the generic path, which reports the missing __delete__.
  if (!value) return g_generic_set(self, obj, value);
  const SetInfo* info = g_set.peek(Py_TYPE(self));
  // window begins: quiet write
  if (__builtin_expect(info && info->key, 1)) {
    // The field's write: the cast first, so that a failing cast leaves the data untouched.
    Ref key = Ref::borrow(info->key);  // the entry may go once code runs
    // The cast is a known one.  Between int and str it may run code (a
    // signal handler) that puts another class's entry where `info` points:
    // only the entry's owner is read after it, and an owner names its class
    // and that class's tag, so it is used only for an instance of that class.
    bool quiet = plain_value(value);
    // window ends: quiet write
    Ref converted = Ref::steal(info->convert(info->cast, value));
    if (!converted) return -1;
    // window begins: quiet write
    // Where the cast ran nothing, the entry still holds: the data dictionary
    // is taken in line through its owner, and held across the store, whose
    // key comparisons may run code.
    Ref data = Ref::borrow(quiet ? owner_dict(info, self, obj) : nullptr);
    // window ends: quiet write
    if (data) return PyDict_SetItem(data.get(), key.get(), converted.get());
    data = get_data(obj);
    return data ? set_item(data.get(), key.get(), converted.get()) : -1;
  }
  return call_set(self, obj, value, !info);
}

bool has_init(const FuncSpec& s) noexcept { return s.init != nullptr; }

int init_slot(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
  Ref held;
  Func* f = our_function(Py_TYPE(self), N.dunder_init, held, has_init);
  if (!f) return g_generic_init(self, args, kwds);
  Ref kwargs;
  int str_keys = 0;
  if (kwds && PyDict_GET_SIZE(kwds) != 0) {
    if ((str_keys = check_keyword_dict(f, N.p_self, kwds)) < 0) return -1;
    // The class call usually hands over a dict of its own making that nothing
    // else can reach; a caller's own dict is copied, so that casts that change
    // it do not change what this construction sees.
    kwargs = PyUnstable_Object_IsUniquelyReferenced(kwds) ? Ref::borrow(kwds) : Ref::steal(PyDict_Copy(kwds));
    if (!kwargs) return -1;
  }
  PyObject* data = PyTuple_GET_SIZE(args) ? PyTuple_GET_ITEM(args, 0) : nullptr;  // held by the tuple
  if (Py_EnterRecursiveCall(" while calling a Python object")) return -1;
  int r = f->spec->init(f, self, data, kwargs.get(), str_keys == 1);
  Py_LeaveRecursiveCall();
  return r;
}

// A vectorcall's positional arguments as the tuple a class call takes.
Ref argument_tuple(PyObject* const* args, Py_ssize_t nargs) noexcept {
  Ref tuple = Ref::steal(PyTuple_New(nargs));
  // Filled before anything runs: a reference taken per item.
  for (Py_ssize_t i = 0; tuple && i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
  return tuple;
}

// A vectorcall's keywords in a dict of their own, as the interpreter makes one
// for a class call (a name's __hash__ may run as it goes in; the dict is ours
// alone until it is handed on): 0, with `kwargs` left empty where there are
// none, or -1 with an error set.
int keyword_dict(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Ref& kwargs) noexcept {
  Py_ssize_t n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (n == 0) return 0;
  if (!(kwargs = Ref::steal(interp::sized_dict(n)))) return -1;
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return -1;
  return 0;
}

// The class call's own route, for a call class_vectorcall does not take: the
// argument tuple and keyword dict the interpreter makes for it, then the
// metaclass's call slot, under the call's depth count.
[[gnu::noinline]] PyObject* generic_class_call(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kwnames) noexcept {
  Ref tuple = argument_tuple(args, nargs);
  Ref kwargs;
  if (!tuple || keyword_dict(args, nargs, kwnames, kwargs) < 0) return nullptr;
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject* result = Py_TYPE(cls)->tp_call(cls, tuple.get(), kwargs.get());
  Py_LeaveRecursiveCall();
  return result;
}

// The most keywords read where the call put them.
constexpr Py_ssize_t kKeywordsInPlace = 32;

// The vectorcall of a class `model` made: M(data, **keywords) with the class
// call's steps and no argument tuple (as call_with_data, below), the keywords
// put in a dict of their own as the interpreter puts them for the class call.
// Anything else, and a class that no longer has object's __new__ and the
// direct init slot, is the class call's own route.
PyObject* class_vectorcall(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs > 1 || !Py_IS_TYPE(cls, &PyType_Type) || tp->tp_new != PyBaseObject_Type.tp_new ||
      tp->tp_init != init_slot || (tp->tp_flags & Py_TPFLAGS_IS_ABSTRACT))
    return generic_class_call(cls, args, nargs, kwnames);
  // Keywords whose names are all exact strs stay where the call put them
  // until something needs their dict, or code may run that could reach it:
  // putting them in one runs no code, and construction makes it only where
  // code may run anyway.  Others go in one now, as the call does.
  // Each field looks for its name among them one by one: many are put in a
  // dict at once.
  Ref kwargs;
  bool in_place = kwnames && PyTuple_GET_SIZE(kwnames) > 0 && PyTuple_GET_SIZE(kwnames) <= kKeywordsInPlace;
  for (Py_ssize_t i = 0; in_place && i < PyTuple_GET_SIZE(kwnames); ++i)
    in_place = PyUnicode_CheckExact(PyTuple_GET_ITEM(kwnames, i));
  if (!in_place && keyword_dict(args, nargs, kwnames, kwargs) < 0) return nullptr;
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject* self = tp->tp_alloc(tp, 0);
  int r = -1;
  if (self) {
    Ref held;
    if (Func* f = our_function(Py_TYPE(self), N.dunder_init, held, has_init)) {
      int str_keys = kwnames && PyTuple_GET_SIZE(kwnames) ? check_keyword_names(f, N.p_self, kwnames) : 0;
      if (str_keys >= 0 && !Py_EnterRecursiveCall(" while calling a Python object")) {
        PyObject* data = nargs ? args[0] : nullptr;
        if (in_place && f->spec->init_keywords)
          r = f->spec->init_keywords(f, self, data, args + nargs, kwnames);
        else if (!in_place || keyword_dict(args, nargs, kwnames, kwargs) == 0)
          r = f->spec->init(f, self, data, kwargs.get(), str_keys == 1);
        Py_LeaveRecursiveCall();
      }
    } else if (Ref tuple = argument_tuple(args, nargs)) {
      if (!in_place || keyword_dict(args, nargs, kwnames, kwargs) == 0)
        r = g_generic_init(self, tuple.get(), kwargs.get());
    }
  }
  Py_LeaveRecursiveCall();
  if (r < 0) Py_CLEAR(self);
  return self;
}

}  // namespace

PyObject* call_with_data(PyObject* cls, PyObject* data) noexcept {
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
  if (!Py_IS_TYPE(cls, &PyType_Type) || tp->tp_new != PyBaseObject_Type.tp_new || tp->tp_init != init_slot ||
      (tp->tp_flags & Py_TPFLAGS_IS_ABSTRACT))
    return call_one(cls, data);
  // The depth the call of a class counts, then what type.__call__ does: object.__new__ allocates (it checks
  // nothing more for a class with an __init__ of its own), and the direct slot initialises.
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject* self = tp->tp_alloc(tp, 0);
  int r = -1;
  if (self) {
    Ref held;
    if (Func* f = our_function(Py_TYPE(self), N.dunder_init, held, has_init)) {
      if (!Py_EnterRecursiveCall(" while calling a Python object")) {
        r = f->spec->init(f, self, data, nullptr, false);
        Py_LeaveRecursiveCall();
      }
    } else if (Ref args = Ref::steal(PyTuple_Pack(1, data))) {
      r = g_generic_init(self, args.get(), nullptr);
    }
  }
  Py_LeaveRecursiveCall();
  if (r < 0) Py_CLEAR(self);
  return self;
}

namespace {

// Where a model instance's two slots are: right after object's header, as a
// class of two slots over object lays them out.
constexpr size_t kSlotsAt = sizeof(PyObject);

// The collector's walk of a model instance: what the generic walk of a heap
// type's instance visits, in its order (the slots by offset, then the class).
// A subclass's own generic walk visits its own members, then calls this one,
// which visits the instance's class for it.
int traverse_slot(PyObject* self, visitproc visit, void* arg) noexcept {
  PyObject** slots = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + kSlotsAt);
  Py_VISIT(slots[0]);
  Py_VISIT(slots[1]);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

// The two slots cleared as the generic dealloc clears them (by offset), the
// memory freed, the class released.
void slots_dealloc(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject** slots = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + kSlotsAt);
  Py_CLEAR(slots[0]);
  Py_CLEAR(slots[1]);
  tp->tp_free(self);
  Py_DECREF(tp);
}

// Freeing a model instance: the generic dealloc's steps for a class of two
// slots over object, without its walks of the class chain.  For an instance
// of a model class itself: under the trashcan, the class's finalizer (a
// __del__) first, and nothing more if it brought the instance back.  As the
// base's dealloc that a subclass's generic one calls, which has done those
// steps and cleared the subclass's own slots: the rest.
void dealloc_slot(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (tp->tp_dealloc != dealloc_slot) {
    slots_dealloc(self);
    return;
  }
  Py_TRASHCAN_BEGIN(self, dealloc_slot)
  bool resurrected = false;
  if (tp->tp_finalize) {
    PyObject_GC_Track(self);
    resurrected = PyObject_CallFinalizerFromDealloc(self) < 0;
    if (!resurrected) PyObject_GC_UnTrack(self);
  }
  if (!resurrected) slots_dealloc(self);
  Py_TRASHCAN_END
}

// The interpreter's generic slots, as it gives them to a class whose dunders
// are plain attributes; read from a class made for the purpose.
int save_generic_slots() noexcept {
  Ref probe_fn = make_function(kPlainDunder);
  Ref ns = Ref::steal(probe_fn ? PyDict_New() : nullptr);
  if (!ns) return -1;
  for (PyObject* name : {N.dunder_get, N.dunder_set, N.dunder_init})
    if (PyDict_SetItem(ns.get(), name, probe_fn.get()) < 0) return -1;
  PyObject* args[] = {N.probe_class, N.empty_tuple, ns.get()};
  Ref cls = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), args, 3, nullptr));
  if (!cls) return -1;
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls.get());
  g_generic_get = tp->tp_descr_get;
  g_generic_set = tp->tp_descr_set;
  g_generic_init = tp->tp_init;
  g_generic_traverse = tp->tp_traverse;
  g_generic_dealloc = tp->tp_dealloc;
  return g_generic_get && g_generic_set && g_generic_init && g_generic_traverse && g_generic_dealloc ? 0 : -1;
}

}  // namespace

void install_descriptor_slots(PyObject* cls) noexcept {
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
  if (tp->tp_descr_get == g_generic_get) tp->tp_descr_get = descr_get_slot;
  if (tp->tp_descr_set == g_generic_set) tp->tp_descr_set = descr_set_slot;
}

void install_init_slot(PyObject* cls) noexcept {
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
  if (tp->tp_init == g_generic_init) tp->tp_init = init_slot;
  if (!tp->tp_vectorcall) tp->tp_vectorcall = class_vectorcall;
  // The generic walk and dealloc find the slots through the class's member
  // table, and walk the class chain, on every call; these know where they
  // are.  Only for the layout two slots over object give, which nothing can
  // change once the class is made.
  bool two_slots = tp->tp_base == &PyBaseObject_Type && tp->tp_itemsize == 0 &&
                   tp->tp_basicsize == static_cast<Py_ssize_t>(kSlotsAt + 2 * sizeof(PyObject*)) &&
                   tp->tp_dictoffset == 0 && tp->tp_weaklistoffset == 0 && (tp->tp_flags & Py_TPFLAGS_HEAPTYPE) &&
                   (tp->tp_flags & Py_TPFLAGS_HAVE_GC) && tp->tp_free == PyObject_GC_Del;
  if (two_slots && tp->tp_traverse == g_generic_traverse) tp->tp_traverse = traverse_slot;
  // The free-threaded build counts an instance's reference to its class in a way of its own, which only the
  // generic dealloc releases.
  if (two_slots && !interp::kFreeThreaded && tp->tp_dealloc == g_generic_dealloc) tp->tp_dealloc = dealloc_slot;
}

int init() noexcept { return save_generic_slots(); }

PyObject* remembered_write_cast(PyTypeObject* tp) noexcept {
  const SetInfo* info = g_set.peek(tp);
  return info && info->key ? info->cast : nullptr;
}

}  // namespace quenlory::fastpath
