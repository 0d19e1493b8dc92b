#pragma once
// Long C++ work runs detached from the interpreter, and Ctrl-C stops it.
//
// Whether the calling thread is attached to the interpreter is recorded in
// one place, detach.cpp: every detach, re-attach, signal check and lock
// wait of the module goes through the functions below, which keep that
// record, so that none of them can act on a stale belief (a thread that
// detached to wait for a lock and one that detached for long work look
// the same to all of them).
//
// `run_detached(work, body)` calls body(interrupt) with the calling thread
// detached from the interpreter when `work` (a node count, say) is large
// enough to be worth the switch, so other Python threads (and, in a
// free-threaded interpreter, its stop-the-world pauses) go on meanwhile.
// The body gets an Interrupt for the core's long loops: every 10 ms at most
// it attaches briefly (or, when the call stayed attached, steps aside
// briefly, so other threads run) and lets the interpreter run its signal
// handlers. When one raises (KeyboardInterrupt for Ctrl-C), its exception
// stays set in the thread and the core unwinds with Interrupted, leaving
// everything that existed before the call as it was; `exception_barrier` then
// reports that exception.
//
// The body must not touch Python objects (it may read the buffers of
// objects the caller keeps alive, such as the bytes of a blob). Python
// objects are converted before and results built after.
//
// A thread that has to wait for a store's or a reducer's lock detaches
// while it waits (`install_lock_wait_hooks`), so that a thread holding the
// interpreter never waits for a thread that needs the interpreter to
// finish, checks for signals every few milliseconds meanwhile (a raising
// handler ends the wait with Interrupted, the lock not taken), and is back
// as it was once it has the lock.
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

// Detaches the calling thread when it is attached; true when it did.
bool detach() noexcept;
// Attaches again a thread that detach() detached.
void reattach() noexcept;

// Runs the interpreter's signal handlers with the thread attached for the
// while, and leaves it attached or detached as it found it; a thread found
// attached first steps aside briefly when `let_others_run`. True when a
// handler raised (or an exception was set already): the exception stays
// set in the thread.
bool signals_raised(bool let_others_run) noexcept;

// The interrupt handed to the core: checks for signals every 10 ms at most.
class SignalCheck final : public Interrupt {
 public:
  SignalCheck() noexcept : last_(Clock::now()) {}
  SignalCheck(const SignalCheck&) = delete;
  SignalCheck& operator=(const SignalCheck&) = delete;

  bool stop_requested() noexcept override;

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kPeriod{10};
  Clock::time_point last_;
  bool raised_ = false;
};

template <class F>
decltype(auto) run_detached(std::size_t work, F&& body) {
  SignalCheck check;
  struct Reattach {
    bool detached;
    ~Reattach() {
      if (detached) reattach();
    }
  } scope{work >= kDetachThreshold && detach()};
  return body(static_cast<Interrupt*>(&check));
}

}  // namespace tavrine::py
