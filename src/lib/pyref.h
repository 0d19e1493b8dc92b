#pragma once
// Owned Python references as RAII values, and the one C++ exception that
// means "a Python exception is already set".
//
// Every function of the surface that can fail either returns normally or
// throws `PyErrSet` after leaving an exception set in the interpreter; the
// exception barrier (errors.h) turns it into a NULL return exactly once.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tavrine::py {

// "A Python exception is set; unwind to the barrier." Deliberately not a
// std::exception, so that handlers for internal failures never catch it.
struct PyErrSet {};

[[noreturn]] inline void throw_pyerr() { throw PyErrSet{}; }

// Passes a new reference through, or throws when the API call failed.
inline PyObject* check(PyObject* obj) {
  if (obj == nullptr) [[unlikely]] throw_pyerr();
  return obj;
}

// One owned (strong) reference, released on destruction.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref tmp(std::move(other));
    std::swap(p_, tmp.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (which may be null).
  static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  // Takes over a new reference returned by an API call; throws on null.
  static Ref checked(PyObject* obj) { return Ref(check(obj)); }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return Ref(obj);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller (for example as a return value).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace tavrine::py
