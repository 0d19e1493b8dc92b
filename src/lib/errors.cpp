#include "lib/errors.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tavrine::py {

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw_pyerr();
}

void raise_format(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw_pyerr();
}

namespace {

constexpr const char* kPanicDoc =
    "Internal failure of tavrine_core: a broken invariant or an exhausted resource.\n\n"
    "Derived from BaseException so that `except Exception` does not hide it; the\n"
    "message states the condition that did not hold. A store that fails this way\n"
    "while it is locked stays unusable.";

std::atomic<PyObject*> g_panic_type{nullptr};
PyMutex g_panic_lock{};

// The internal-error class (a borrowed reference), created on first use.
// Returns nullptr with an exception set if it cannot be created.
PyObject* panic_exception_type() noexcept {
  PyObject* type = g_panic_type.load(std::memory_order_acquire);
  if (type != nullptr) return type;
  // PyMutex detaches from the interpreter while it waits, so a thread
  // blocked here never holds up one that needs the interpreter lock.
  PyMutex_Lock(&g_panic_lock);
  type = g_panic_type.load(std::memory_order_relaxed);
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("tavrine_core.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    // Kept for the life of the process, like the module's own types.
    if (type != nullptr) g_panic_type.store(type, std::memory_order_release);
  }
  PyMutex_Unlock(&g_panic_lock);
  return type;
}

[[noreturn]] void abort_at_barrier() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

void set_internal_failure(const char* text) noexcept {
  PyErr_Clear();
  PyObject* type = panic_exception_type();
  if (type == nullptr) abort_at_barrier();
  PyObject* message = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
  if (message == nullptr) abort_at_barrier();
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

}  // namespace tavrine::py
