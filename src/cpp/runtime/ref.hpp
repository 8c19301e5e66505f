// Owning reference to a Python object: the one ownership primitive of the module.
#pragma once
#include <Python.h>

namespace tavo {

/// Owns one strong reference, or none; steal() adopts a new reference, borrow() takes one.
class Ref {
  PyObject *p_ = nullptr;
  explicit Ref(PyObject *p) noexcept : p_(p) {}

public:
  Ref() = default;
  static Ref steal(PyObject *p) noexcept { return Ref(p); }
  static Ref borrow(PyObject *p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref &operator=(Ref &&o) noexcept {
    if (this != &o) {
      PyObject *old = p_;
      p_ = o.p_;
      o.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref &) = delete;
  Ref &operator=(const Ref &) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject *get() const noexcept { return p_; }
  PyObject *release() noexcept {
    PyObject *t = p_;
    p_ = nullptr;
    return t;
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }
};

} // namespace tavo
