#pragma once
// Long C++ work runs detached from the interpreter, and Ctrl-C stops it.
//
// `run_detached(work, body)` calls body(interrupt) with the calling thread
// detached from the interpreter when `work` (a node count, say) is large
// enough to be worth the switch, so other Python threads (and, in a
// free-threaded interpreter, its stop-the-world pauses) go on meanwhile.
// The body gets an Interrupt for the core's long loops: every 10 ms at most
// it re-attaches briefly and lets the interpreter run its signal handlers.
// When one raises (KeyboardInterrupt for Ctrl-C), the core unwinds with
// Interrupted, leaving everything that existed before the call as it was,
// and the handler's exception is what the caller sees.
//
// The body must not touch Python objects (it may read the buffers of
// objects the caller keeps alive, such as the bytes of a blob). Python
// objects are converted before and results built after.
//
// A thread that has to wait for a store's or a reducer's lock also detaches
// while it waits and works under it (`install_lock_wait_hooks`), so that a
// thread holding the interpreter never waits for a thread that needs the
// interpreter to finish.
#include <chrono>
#include <cstddef>
#include <utility>

#include "lib/errors.h"
#include "support/interrupt.h"

namespace tavrine::py {

// Work below this many units (nodes, or bytes / 64) is not worth detaching:
// detaching and re-attaching cost about as much as a few thousand nodes of
// the cheapest work.
inline constexpr std::size_t kDetachThreshold = 1 << 13;

// Called once, when the module is first executed.
void install_lock_wait_hooks() noexcept;

// The interrupt handed to the core: checks for signals every 10 ms at most.
class SignalCheck final : public Interrupt {
 public:
  explicit SignalCheck(PyThreadState* detached) noexcept : detached_(detached), last_(Clock::now()) {}
  SignalCheck(const SignalCheck&) = delete;
  SignalCheck& operator=(const SignalCheck&) = delete;
  ~SignalCheck() override { Py_XDECREF(raised_); }

  bool stop_requested() noexcept override;
  // The exception a signal handler raised (owned), taken out.
  PyObject* take_raised() noexcept { return std::exchange(raised_, nullptr); }
  // The thread state to re-attach with once the work is done.
  PyThreadState* detached() const noexcept { return detached_; }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kPeriod{10};
  PyThreadState* detached_;
  Clock::time_point last_;
  PyObject* raised_ = nullptr;
};

template <class F>
decltype(auto) run_detached(std::size_t work, F&& body) {
  SignalCheck check(work >= kDetachThreshold ? PyEval_SaveThread() : nullptr);
  struct Reattach {
    SignalCheck& check;
    ~Reattach() {
      if (check.detached()) PyEval_RestoreThread(check.detached());
    }
  };
  try {
    Reattach reattach{check};
    return body(static_cast<Interrupt*>(&check));
  } catch (const Interrupted&) {
    PyObject* raised = check.take_raised();
    if (raised == nullptr) raise(PyExc_KeyboardInterrupt, "interrupted");
    PyErr_SetRaisedException(raised);
    throw_pyerr();
  }
}

}  // namespace tavrine::py
