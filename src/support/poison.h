#pragma once
// The lock of a store or a reducer.
//
// Contract
//  - A plain, non-recursive mutual-exclusion lock. The uncontended path is
//    one compare-exchange each way; waiters sleep in the kernel.
//  - Poisoning: an exception that escapes while the lock is held means the
//    guarded state may be half-updated, so the lock is poisoned for good and
//    every later holder fails with Panic("<what>: PoisonError { .. }").
//    Three kinds of exception are exempt, because the operations that throw
//    them are written to leave the state exactly as it was: std::bad_alloc
//    (an allocation failed), std::length_error (a capacity is exhausted) and
//    Interrupted (the caller asked the operation to stop).
//  - A thread that tries to take a lock it already holds (only possible
//    from code that runs in the middle of an operation, such as a signal
//    handler) gets Panic("<what>: already held by this thread") instead of
//    waiting for itself forever.
//  - Waiting: a thread that has to wait calls the process's lock-wait hooks
//    (set once by the embedding program) before it waits and after it has
//    released the lock again, so an interpreter thread can step aside while
//    it waits and while it works under a lock it had to wait for.
#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "support/interrupt.h"
#include "support/panic.h"

namespace tavrine {

// Called around a wait for a contended lock: `before_wait` returns a token
// that `after_release` gets back once the waiting thread has taken the lock,
// done its work and released it. Both are optional and must not throw.
struct LockWaitHooks {
  void* (*before_wait)() noexcept = nullptr;
  void (*after_release)(void* token) noexcept = nullptr;
};
inline std::atomic<const LockWaitHooks*> g_lock_wait_hooks{nullptr};
inline void set_lock_wait_hooks(const LockWaitHooks* hooks) noexcept {
  g_lock_wait_hooks.store(hooks, std::memory_order_release);
}

class PoisonMutex {
 public:
  // `what` prefixes the panic texts, e.g. "tavrine-core store mutex poisoned".
  explicit PoisonMutex(const char* what) noexcept : what_(what) {}
  PoisonMutex(const PoisonMutex&) = delete;
  PoisonMutex& operator=(const PoisonMutex&) = delete;

  bool poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }

  // Runs f() under the lock and returns its result.
  template <class F>
  decltype(auto) locked(F&& f) {
    Holder holder(*this);
    return while_locked(f);
  }

  // Runs f() while the caller holds the lock (through lock_checked),
  // poisoning it when f throws anything but the exempt exceptions.
  template <class F>
  decltype(auto) while_locked(F&& f) {
    try {
      return f();
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::length_error&) {
      throw;
    } catch (const Interrupted&) {
      throw;
    } catch (...) {
      poisoned_.store(true, std::memory_order_release);
      throw;
    }
  }

  // Takes the lock for a longer stretch (see Store::Batch); panics on a
  // poisoned lock (without holding it). Pair with unlock_checked.
  void lock_checked() {
    token_for_batch_ = lock();
    if (poisoned()) {
      unlock_checked();
      panic_poisoned();
    }
  }
  void unlock_checked() noexcept { unlock(token_for_batch_); }

 private:
  // Holds the lock for one scope.
  class Holder {
   public:
    explicit Holder(PoisonMutex& m) : m_(m), token_(m.lock()) {
      if (m_.poisoned()) {
        m_.unlock(token_);
        m_.panic_poisoned();
      }
    }
    ~Holder() { m_.unlock(token_); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

   private:
    PoisonMutex& m_;
    void* token_;
  };

  [[noreturn]] void panic_poisoned() const { throw Panic(std::string(what_) + ": PoisonError { .. }"); }

  // A number unique to the calling thread among the living ones: its thread
  // pointer, read from a register (a thread_local would cost a call in a
  // shared library).
  static std::uintptr_t self() noexcept {
#if defined(__GNUC__) || defined(__clang__)
    return reinterpret_cast<std::uintptr_t>(__builtin_thread_pointer());
#else
    static thread_local char marker;
    return reinterpret_cast<std::uintptr_t>(&marker);
#endif
  }

  // 0 free, 1 held, 2 held with waiters. Returns the wait hook's token, or
  // nullptr when the lock was taken without waiting (or without a hook).
  void* lock() {
    std::uint32_t expected = 0;
    if (state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) [[likely]] {
      owner_.store(self(), std::memory_order_relaxed);
      return nullptr;
    }
    if (owner_.load(std::memory_order_relaxed) == self()) {
      throw Panic(std::string(what_) + ": already held by this thread");
    }
    void* token = nullptr;
    const LockWaitHooks* hooks = g_lock_wait_hooks.load(std::memory_order_acquire);
    if (hooks && hooks->before_wait) token = hooks->before_wait();
    if (expected != 2) expected = state_.exchange(2, std::memory_order_acquire);
    while (expected != 0) {
      state_.wait(2, std::memory_order_relaxed);
      expected = state_.exchange(2, std::memory_order_acquire);
    }
    owner_.store(self(), std::memory_order_relaxed);
    return token;
  }
  void unlock(void* token) noexcept {
    owner_.store(0, std::memory_order_relaxed);
    if (state_.exchange(0, std::memory_order_release) == 2) state_.notify_one();
    if (token != nullptr) {
      const LockWaitHooks* hooks = g_lock_wait_hooks.load(std::memory_order_acquire);
      if (hooks && hooks->after_release) hooks->after_release(token);
    }
  }

  std::atomic<std::uint32_t> state_{0};
  std::atomic<std::uintptr_t> owner_{0};
  std::atomic<bool> poisoned_{false};
  void* token_for_batch_ = nullptr;
  const char* what_;
};

}  // namespace tavrine
