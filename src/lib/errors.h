#pragma once
// How failures leave the module.
//
//  - An ordinary error (bad argument, unknown node id, malformed blob) is a
//    Python exception set by the surface, carried to the barrier as
//    `PyErrSet`.
//  - A failed allocation (std::bad_alloc) becomes MemoryError, a capacity
//    the core cannot exceed (std::length_error) OverflowError with the
//    core's text: the core leaves every object as it was in both cases.
//  - An interrupted computation (Interrupted) reports the exception a
//    signal handler left set, or KeyboardInterrupt when none is.
//  - A lock that cannot be taken (LockUnavailable: the object is busy in
//    this very thread, or was left locked by a fork) is RuntimeError with
//    the lock's text: the caller's doing, never a broken invariant.
//  - An internal failure (a broken invariant, a poisoned lock: any other C++
//    exception escaping the core) becomes the module's `PanicException`,
//    derived from BaseException so that ordinary `except Exception`
//    handlers do not swallow it. The class is created the first time it is
//    needed.
//  - If even that cannot be reported, the process aborts with
//    "uncaught panic at ffi boundary".
//
// `exception_barrier` is the one place where C++ exceptions stop: every function the
// interpreter calls runs its body through it.
#include <exception>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "lib/pyref.h"
#include "support/interrupt.h"
#include "support/poison.h"

namespace tavrine::py {

// Sets a fresh exception of `type` with `message` and throws PyErrSet.
[[noreturn]] void raise(PyObject* type, const char* message);
// The same with a PyUnicode_FromFormat format.
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// Replaces any pending exception by PanicException(text), the class made on
// first use. Never fails: when even that is impossible the process aborts
// with "uncaught panic at ffi boundary".
void set_internal_failure(const char* text) noexcept;

// Runs `body` and maps whatever escapes it: PyErrSet to the failure value
// (the exception is already set), any other exception to PanicException.
// The failure value is nullptr for object results and -1 for int results.
template <class F>
auto exception_barrier(F&& body) noexcept -> decltype(body()) {
  using R = decltype(body());
  static_assert(std::is_same_v<R, PyObject*> || std::is_same_v<R, int>);
  try {
    return body();
  } catch (const PyErrSet&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error& e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const Interrupted&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyboardInterrupt, "interrupted");
  } catch (const LockUnavailable& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const std::exception& e) {
    set_internal_failure(e.what());
  } catch (...) {
    set_internal_failure("unknown internal failure");
  }
  if constexpr (std::is_same_v<R, int>) {
    return -1;
  } else {
    return nullptr;
  }
}

}  // namespace tavrine::py
