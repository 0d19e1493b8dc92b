#pragma once
// A mutex that is poisoned for good when an internal failure (an exception,
// for example std::bad_alloc) escapes while it is held: the state it guards
// may then be half-updated, so every later holder fails instead of reading it.
#include <atomic>
#include <exception>
#include <mutex>
#include <string>

#include "store/panic.h"

namespace tavrine {

class PoisonMutex {
 public:
  // `what` prefixes the panic text, e.g. "tavrine-core store mutex poisoned".
  explicit PoisonMutex(const char* what) noexcept : what_(what) {}
  PoisonMutex(const PoisonMutex&) = delete;
  PoisonMutex& operator=(const PoisonMutex&) = delete;

  bool poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }

  // Holds the lock for a scope; panics on a poisoned mutex, and poisons it
  // when the scope is left by an exception.
  class Guard {
   public:
    explicit Guard(PoisonMutex& m) : m_(m), exceptions_(std::uncaught_exceptions()) {
      m_.mutex_.lock();
      if (m_.poisoned()) {
        m_.mutex_.unlock();
        throw Panic(std::string(m_.what_) + ": PoisonError { .. }");
      }
    }
    ~Guard() {
      if (std::uncaught_exceptions() > exceptions_) m_.poisoned_.store(true, std::memory_order_release);
      m_.mutex_.unlock();
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    PoisonMutex& m_;
    int exceptions_;
  };

 private:
  std::mutex mutex_;
  std::atomic<bool> poisoned_{false};
  const char* what_;
};

}  // namespace tavrine
