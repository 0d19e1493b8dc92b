#pragma once
// The lock of a store or a reducer.
//
// Contract
//  - A plain, non-recursive mutual-exclusion lock. The uncontended path is
//    one compare-exchange each way; waiters sleep in the kernel.
//  - Poisoning: an exception that escapes while the lock is held means the
//    guarded state may be half-updated, so the lock is poisoned for good and
//    every later holder fails with Panic("<poisoned text>: PoisonError { .. }").
//    Four kinds of exception are exempt, because the operations that throw
//    them are written to leave the state exactly as it was: std::bad_alloc
//    (an allocation failed), std::length_error (a capacity is exhausted),
//    Interrupted (the caller asked the operation to stop) and LockUnavailable
//    (a lock further in could not be taken).
//  - A lock that cannot be taken is refused with LockUnavailable, before
//    anything is changed: when the calling thread holds it already (only
//    possible from code that runs in the middle of an operation, such as a
//    signal handler; it would otherwise wait for itself forever), and in a
//    forked child when a thread other than the forking one held it at the
//    fork (that thread does not exist in the child, so nobody would ever
//    release it). Locks that were free at the fork work in the child.
//  - Waiting: a thread that has to wait calls the process's lock-wait hooks
//    (support/lock_wait.h): `before_wait` when it starts, `poll` every
//    kPollPeriod while it waits (a true result gives the wait up with
//    Interrupted, the lock not taken), and `after_wait` once the wait is
//    over, taken or given up.
//  - Every lock is listed in a process-wide registry (taken at construction
//    and destruction only), which the fork handlers walk; the lock path
//    itself never touches it.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#endif

#include "support/interrupt.h"
#include "support/lock_wait.h"
#include "support/panic.h"

namespace tavrine {

// Thrown instead of taking a lock that cannot be taken; nothing was changed.
// The text says why (see PoisonMutex).
class LockUnavailable final : public std::exception {
 public:
  explicit LockUnavailable(const char* text) noexcept : text_(text) {}
  const char* what() const noexcept override { return text_; }

 private:
  const char* text_;
};

// The texts a lock fails with: the prefix of its poisoned panic, and the
// whole messages of its two LockUnavailable cases.
struct LockTexts {
  const char* poisoned;
  const char* busy;    // taken again by the thread that holds it
  const char* forked;  // held by another thread when the process forked
};

class PoisonMutex {
 public:
  // How often a waiting thread calls the poll hook, at least.
  static constexpr std::chrono::milliseconds kPollPeriod{5};

  explicit PoisonMutex(const LockTexts& texts) noexcept : texts_(texts) { registry().add(this); }
  ~PoisonMutex() { registry().remove(this); }
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
    } catch (const LockUnavailable&) {
      throw;
    } catch (...) {
      poisoned_.store(true, std::memory_order_release);
      throw;
    }
  }

  // Takes the lock for a longer stretch (see Store::Batch); panics on a
  // poisoned lock (without holding it). Pair with unlock_checked.
  void lock_checked() {
    lock();
    if (poisoned()) {
      unlock();
      panic_poisoned();
    }
  }
  void unlock_checked() noexcept { unlock(); }

 private:
  // Holds the lock for one scope.
  class Holder {
   public:
    explicit Holder(PoisonMutex& m) : m_(m) { m_.lock_checked(); }
    ~Holder() { m_.unlock(); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

   private:
    PoisonMutex& m_;
  };

  // Every living lock, for the fork handlers.
  class Registry {
   public:
    void add(PoisonMutex* m) noexcept {
      std::call_once(handlers_, [] { pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child); });
      std::lock_guard<std::mutex> guard(mutex_);
      m->next_ = head_;
      m->prev_ = nullptr;
      if (head_ != nullptr) head_->prev_ = m;
      head_ = m;
    }
    void remove(PoisonMutex* m) noexcept {
      std::lock_guard<std::mutex> guard(mutex_);
      if (m->prev_ != nullptr) m->prev_->next_ = m->next_;
      if (m->next_ != nullptr) m->next_->prev_ = m->prev_;
      if (head_ == m) head_ = m->next_;
    }

   private:
    // The registry stays locked across the fork, so that the child finds
    // the list whole.
    static void before_fork() noexcept { registry().mutex_.lock(); }
    static void after_fork_in_parent() noexcept { registry().mutex_.unlock(); }
    static void after_fork_in_child() noexcept {
      Registry& r = registry();
      for (PoisonMutex* m = r.head_; m != nullptr; m = m->next_) m->orphan_if_held_elsewhere();
      r.mutex_.unlock();
    }

    std::mutex mutex_;
    std::once_flag handlers_;
    PoisonMutex* head_ = nullptr;
  };
  static Registry& registry() noexcept {
    // Never destroyed: a lock may outlive the other statics.
    static Registry* r = new Registry;
    return *r;
  }

  [[noreturn]] void panic_poisoned() const { throw Panic(std::string(texts_.poisoned) + ": PoisonError { .. }"); }

  // A number unique to the calling thread among the living ones: its thread
  // pointer, read from a register (a thread_local would cost a call in a
  // shared library). A forked child's one thread keeps the forking thread's.
  static std::uintptr_t self() noexcept {
#if defined(__GNUC__) || defined(__clang__)
    return reinterpret_cast<std::uintptr_t>(__builtin_thread_pointer());
#else
    static thread_local char marker;
    return reinterpret_cast<std::uintptr_t>(&marker);
#endif
  }

  // States: 0 free, 1 held, 2 held with waiters, kForked held by a thread
  // that did not survive a fork (for good).
  static constexpr std::uint32_t kForked = 3;

  void lock() {
    std::uint32_t expected = 0;
    if (state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) [[likely]] {
      owner_.store(self(), std::memory_order_relaxed);
      return;
    }
    lock_contended(expected);
  }

  [[gnu::noinline]] void lock_contended(std::uint32_t seen) {
    if (seen == kForked) throw LockUnavailable(texts_.forked);
    if (owner_.load(std::memory_order_relaxed) == self()) throw LockUnavailable(texts_.busy);
    struct Wait {
      const LockWaitHooks* hooks = g_lock_wait_hooks.load(std::memory_order_acquire);
      void* token = hooks && hooks->before_wait ? hooks->before_wait() : nullptr;
      ~Wait() {
        if (hooks && hooks->after_wait) hooks->after_wait(token);
      }
    } wait;
    using Clock = std::chrono::steady_clock;
    Clock::time_point polled = Clock::now();
    if (seen != 2) seen = state_.exchange(2, std::memory_order_acquire);
    while (seen != 0) {
      sleep_while_held();
      // Giving up leaves the state at 2: the holder's release then wakes
      // a waiter that is not there, and the others find the lock free when
      // their sleep ends, within one period.
      if (wait.hooks && wait.hooks->poll && Clock::now() - polled >= kPollPeriod) {
        if (wait.hooks->poll()) throw Interrupted();
        polled = Clock::now();
      }
      seen = state_.exchange(2, std::memory_order_acquire);
    }
    owner_.store(self(), std::memory_order_relaxed);
  }

  void unlock() noexcept {
    owner_.store(0, std::memory_order_relaxed);
    if (state_.exchange(0, std::memory_order_release) == 2) wake_one();
  }

  // Sleeps while the state is 2, for one poll period at most.
  void sleep_while_held() noexcept {
#if defined(__linux__)
    constexpr long kNanos = std::chrono::nanoseconds(kPollPeriod).count();
    const timespec timeout{0, kNanos};
    syscall(SYS_futex, state_word(), FUTEX_WAIT_PRIVATE, 2u, &timeout, nullptr, 0);
#else
    std::this_thread::sleep_for(std::chrono::microseconds(100));
#endif
  }
  void wake_one() noexcept {
#if defined(__linux__)
    syscall(SYS_futex, state_word(), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
#endif
  }
#if defined(__linux__)
  std::uint32_t* state_word() noexcept {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free);
    return reinterpret_cast<std::uint32_t*>(&state_);
  }
#endif

  // In a forked child, before any other thread exists there.
  void orphan_if_held_elsewhere() noexcept {
    const std::uint32_t s = state_.load(std::memory_order_relaxed);
    if (s != 0 && s != kForked && owner_.load(std::memory_order_relaxed) != self()) {
      state_.store(kForked, std::memory_order_relaxed);
    }
  }

  std::atomic<std::uint32_t> state_{0};
  std::atomic<std::uintptr_t> owner_{0};
  std::atomic<bool> poisoned_{false};
  const LockTexts& texts_;
  PoisonMutex* prev_ = nullptr;
  PoisonMutex* next_ = nullptr;
};

}  // namespace tavrine
