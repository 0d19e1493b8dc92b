// The lock of a store or reducer: poisoning, the exceptions that do not
// poison, a thread taking a lock it holds, and the wait hooks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>

#include "support/interrupt.h"
#include "support/poison.h"

namespace tavrine {
namespace {

TEST(PoisonMutex, OnlyBrokenInvariantsPoison) {
  PoisonMutex m("test mutex poisoned");
  // Failures that leave the state as it was keep the lock usable.
  EXPECT_THROW(m.locked([]() -> int { throw std::bad_alloc(); }), std::bad_alloc);
  EXPECT_THROW(m.locked([]() -> int { throw std::length_error("full"); }), std::length_error);
  EXPECT_THROW(m.locked([]() -> int { throw Interrupted(); }), Interrupted);
  EXPECT_FALSE(m.poisoned());
  EXPECT_EQ(m.locked([] { return 7; }), 7);
  // Anything else may have left it half-updated.
  EXPECT_THROW(m.locked([]() -> int { throw std::runtime_error("broken"); }), std::runtime_error);
  EXPECT_TRUE(m.poisoned());
  try {
    m.locked([] { return 0; });
    FAIL() << "a poisoned lock must refuse";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "test mutex poisoned: PoisonError { .. }");
  }
}

TEST(PoisonMutex, TakingALockOneHoldsPanicsInsteadOfWaitingForever) {
  PoisonMutex m("test mutex");
  m.locked([&] {
    try {
      m.locked([] { return 0; });
      ADD_FAILURE() << "a nested take must refuse";
    } catch (const Panic& p) {
      EXPECT_EQ(p.message(), "test mutex: already held by this thread");
    }
    return 0;
  });
  // The refused take neither held nor poisoned the lock.
  EXPECT_FALSE(m.poisoned());
  EXPECT_EQ(m.locked([] { return 1; }), 1);
}

std::atomic<int> g_waits{0};
std::atomic<int> g_releases{0};
int g_token = 0;

void* count_wait() noexcept {
  ++g_waits;
  return &g_token;
}
void count_release(void* token) noexcept {
  EXPECT_EQ(token, &g_token);
  ++g_releases;
}

TEST(PoisonMutex, AThreadThatWaitsCallsTheHooksAroundItsWaitAndWork) {
  const LockWaitHooks hooks{&count_wait, &count_release};
  set_lock_wait_hooks(&hooks);
  PoisonMutex m("test mutex");
  std::atomic<bool> holding{false};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    m.locked([&] {
      holding = true;
      while (!release) std::this_thread::yield();
      return 0;
    });
  });
  while (!holding) std::this_thread::yield();
  std::thread waiter([&] { m.locked([] { return 0; }); });
  while (g_waits.load() == 0) std::this_thread::yield();
  EXPECT_EQ(g_releases.load(), 0);  // still waiting: nothing given back yet
  release = true;
  holder.join();
  waiter.join();
  EXPECT_EQ(g_waits.load(), 1);
  EXPECT_EQ(g_releases.load(), 1);
  // An uncontended take calls neither.
  m.locked([] { return 0; });
  EXPECT_EQ(g_waits.load(), 1);
  set_lock_wait_hooks(nullptr);
}

}  // namespace
}  // namespace tavrine
