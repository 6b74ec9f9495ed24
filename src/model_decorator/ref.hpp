// Owning references and the few helpers every subsystem uses.
//
// Feature code never calls Py_DECREF by hand: a Ref owns one strong reference
// (or none) and releases it on every path out of a scope.  An empty Ref returned
// from a function means that a Python exception is set.
//
// Layer 0 (docs/architecture.md): includes only Python.h; calls only the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quenlory {

class Ref {
 public:
  Ref() = default;
  [[nodiscard]] static Ref steal(PyObject* p) noexcept {
    Ref r;
    r.p_ = p;
    return r;
  }
  [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return steal(p);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    Ref old(std::move(*this));  // released after the new value is in place
    p_ = o.p_;
    o.p_ = nullptr;
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  Ref dup() const noexcept { return borrow(p_); }
  PyObject* get() const noexcept { return p_; }
  [[nodiscard]] PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Py_None as a new reference, for functions that return "nothing".
inline PyObject* new_none() noexcept {
  Py_INCREF(Py_None);
  return Py_None;
}

inline PyObject* new_bool(bool b) noexcept {
  PyObject* r = b ? Py_True : Py_False;
  Py_INCREF(r);
  return r;
}

// self.name(*args), by vectorcall.
template <typename... Args>
inline PyObject* call_method(PyObject* self, PyObject* name, Args... args) noexcept {
  PyObject* stack[] = {self, args...};
  return PyObject_VectorcallMethod(name, stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr);
}

inline PyObject* call_one(PyObject* fn, PyObject* arg) noexcept { return PyObject_CallOneArg(fn, arg); }
inline PyObject* call_none(PyObject* fn) noexcept { return PyObject_CallNoArgs(fn); }

}  // namespace quenlory
