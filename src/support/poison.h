#pragma once
// A mutex that is poisoned for good when an internal failure (an exception,
// for example std::bad_alloc) escapes while it is held: the state it guards
// may then be half-updated, so every later holder fails instead of reading it.
#include <atomic>
#include <cstdint>
#include <exception>
#include <string>

#include "support/panic.h"

namespace tavrine {

class PoisonMutex {
 public:
  // `what` prefixes the panic text, e.g. "tavrine-core store mutex poisoned".
  explicit PoisonMutex(const char* what) noexcept : what_(what) {}
  PoisonMutex(const PoisonMutex&) = delete;
  PoisonMutex& operator=(const PoisonMutex&) = delete;

  bool poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }

  // Runs f() under the lock and returns its result; an exception escaping
  // f poisons the mutex. The cheapest form, for hot paths.
  template <class F>
  decltype(auto) locked(F&& f) {
    lock();
    struct Unlock {
      PoisonMutex& m;
      ~Unlock() { m.unlock(); }
    } unlock{*this};
    if (poisoned()) throw Panic(std::string(what_) + ": PoisonError { .. }");
    try {
      return f();
    } catch (...) {
      poisoned_.store(true, std::memory_order_release);
      throw;
    }
  }

  // Holds the lock for a scope; panics on a poisoned mutex, and poisons it
  // when the scope is left by an exception (`locked` is cheaper).
  class Guard {
   public:
    explicit Guard(PoisonMutex& m) : m_(m), exceptions_(std::uncaught_exceptions()) {
      m_.lock();
      if (m_.poisoned()) {
        m_.unlock();
        throw Panic(std::string(m_.what_) + ": PoisonError { .. }");
      }
    }
    ~Guard() {
      if (std::uncaught_exceptions() > exceptions_) m_.poisoned_.store(true, std::memory_order_release);
      m_.unlock();
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    PoisonMutex& m_;
    int exceptions_;
  };

 private:
  // A plain non-recursive lock: 0 free, 1 held, 2 held with waiters. The
  // uncontended path is one compare-exchange each way; waiters sleep in the
  // kernel through atomic wait/notify.
  void lock() noexcept {
    std::uint32_t expected = 0;
    if (state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
    if (expected != 2) expected = state_.exchange(2, std::memory_order_acquire);
    while (expected != 0) {
      state_.wait(2, std::memory_order_relaxed);
      expected = state_.exchange(2, std::memory_order_acquire);
    }
  }
  void unlock() noexcept {
    if (state_.exchange(0, std::memory_order_release) == 2) state_.notify_one();
  }

  std::atomic<std::uint32_t> state_{0};
  std::atomic<bool> poisoned_{false};
  const char* what_;
};

}  // namespace tavrine
