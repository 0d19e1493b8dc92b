#pragma once
// What a thread does while it waits for a contended lock (PoisonMutex,
// support/poison.h), set once per process by the embedding program: the
// extension module makes an interpreter thread step aside while it waits
// and answer signals meanwhile (lib/detach.cpp). Without hooks a waiter
// simply sleeps until the lock is free.
#include <atomic>

namespace tavrine {

// Called around one wait: `before_wait` when it starts (its token goes to
// `after_wait`), `poll` now and then while it lasts (true gives the wait up
// with Interrupted), `after_wait` once it is over, the lock taken or not.
// All are optional and must not throw.
struct LockWaitHooks {
  void* (*before_wait)() noexcept = nullptr;
  bool (*poll)() noexcept = nullptr;
  void (*after_wait)(void* token) noexcept = nullptr;
};

inline std::atomic<const LockWaitHooks*> g_lock_wait_hooks{nullptr};

// `hooks` must outlive every lock wait (a static table); nullptr removes them.
inline void set_lock_wait_hooks(const LockWaitHooks* hooks) noexcept {
  g_lock_wait_hooks.store(hooks, std::memory_order_release);
}

}  // namespace tavrine
