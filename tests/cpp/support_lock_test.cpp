// The lock of a store or reducer: poisoning, the exceptions that do not
// poison, a thread taking a lock it holds, the wait hooks, and a fork while
// another thread holds a lock.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/interrupt.h"
#include "support/lock_wait.h"
#include "support/poison.h"

namespace tavrine {
namespace {

constexpr LockTexts kTexts{"test mutex poisoned", "test mutex busy", "test mutex forked"};

TEST(PoisonMutex, OnlyBrokenInvariantsPoison) {
  PoisonMutex m(kTexts);
  // Failures that leave the state as it was keep the lock usable.
  EXPECT_THROW(m.locked([]() -> int { throw std::bad_alloc(); }), std::bad_alloc);
  EXPECT_THROW(m.locked([]() -> int { throw std::length_error("full"); }), std::length_error);
  EXPECT_THROW(m.locked([]() -> int { throw Interrupted(); }), Interrupted);
  EXPECT_THROW(m.locked([]() -> int { throw LockUnavailable("inner"); }), LockUnavailable);
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

TEST(PoisonMutex, TakingALockOneHoldsIsRefusedInsteadOfWaitingForever) {
  PoisonMutex m(kTexts);
  m.locked([&] {
    try {
      m.locked([] { return 0; });
      ADD_FAILURE() << "a nested take must refuse";
    } catch (const LockUnavailable& e) {
      EXPECT_STREQ(e.what(), "test mutex busy");
    }
    return 0;
  });
  // The refused take neither held nor poisoned the lock.
  EXPECT_FALSE(m.poisoned());
  EXPECT_EQ(m.locked([] { return 1; }), 1);
}

std::atomic<int> g_waits{0};
std::atomic<int> g_polls{0};
std::atomic<int> g_done{0};
std::atomic<bool> g_give_up{false};
int g_token = 0;

void* count_wait() noexcept {
  ++g_waits;
  return &g_token;
}
bool count_poll() noexcept {
  ++g_polls;
  return g_give_up.load();
}
void count_done(void* token) noexcept {
  EXPECT_EQ(token, &g_token);
  ++g_done;
}

// Holds `m` on a thread of its own until release() is called.
class HeldElsewhere {
 public:
  explicit HeldElsewhere(PoisonMutex& m)
      : thread_([this, &m] {
          m.locked([this] {
            holding_ = true;
            while (!release_) std::this_thread::yield();
            return 0;
          });
        }) {
    while (!holding_) std::this_thread::yield();
  }
  ~HeldElsewhere() {
    release();
    thread_.join();
  }
  void release() { release_ = true; }

 private:
  std::atomic<bool> holding_{false};
  std::atomic<bool> release_{false};
  std::thread thread_;
};

TEST(PoisonMutex, AThreadThatWaitsCallsTheHooksAndPollsWhileItWaits) {
  const LockWaitHooks hooks{&count_wait, &count_poll, &count_done};
  set_lock_wait_hooks(&hooks);
  PoisonMutex m(kTexts);
  {
    HeldElsewhere holder(m);
    std::thread waiter([&] { m.locked([] { return 0; }); });
    while (g_polls.load() < 3) std::this_thread::yield();  // polls go on while it waits
    EXPECT_EQ(g_waits.load(), 1);
    EXPECT_EQ(g_done.load(), 0);
    holder.release();
    waiter.join();
  }
  EXPECT_EQ(g_waits.load(), 1);
  EXPECT_EQ(g_done.load(), 1);  // once it had the lock
  // An uncontended take calls none of them.
  const int polls = g_polls.load();
  m.locked([] { return 0; });
  EXPECT_EQ(g_waits.load(), 1);
  EXPECT_EQ(g_polls.load(), polls);
  set_lock_wait_hooks(nullptr);
}

TEST(PoisonMutex, APollThatSaysStopGivesTheWaitUpWithoutTheLock) {
  const LockWaitHooks hooks{&count_wait, &count_poll, &count_done};
  set_lock_wait_hooks(&hooks);
  g_waits = 0;
  g_done = 0;
  g_give_up = true;
  PoisonMutex m(kTexts);
  {
    HeldElsewhere holder(m);
    std::thread waiter([&] { EXPECT_THROW(m.locked([] { return 0; }), Interrupted); });
    waiter.join();
    EXPECT_EQ(g_done.load(), 1);
  }
  g_give_up = false;
  set_lock_wait_hooks(nullptr);
  // The holder released it; nobody holds it, and it is not poisoned.
  EXPECT_FALSE(m.poisoned());
  EXPECT_EQ(m.locked([] { return 2; }), 2);
  // A waiter that gave up leaves no sleeper behind: the next one gets in.
  {
    HeldElsewhere holder(m);
    std::thread waiter([&] { EXPECT_EQ(m.locked([] { return 3; }), 3); });
    holder.release();
    waiter.join();
  }
}

// In a forked child, a lock another thread held at the fork is refused; one
// that was free, or that the forking thread held, works.
TEST(PoisonMutex, AForkedChildRefusesALockAnotherThreadHeld) {
  PoisonMutex held(kTexts);
  PoisonMutex free_one(kTexts);
  PoisonMutex mine(kTexts);
  HeldElsewhere holder(held);
  const pid_t pid = mine.locked([] { return fork(); });
  if (pid == 0) {
    int code = 0;
    try {
      held.locked([] { return 0; });
      code = 1;
    } catch (const LockUnavailable& e) {
      if (std::string(e.what()) != "test mutex forked") code = 2;
    }
    if (free_one.locked([] { return 5; }) != 5) code = 3;
    if (mine.locked([] { return 6; }) != 6) code = 4;
    _exit(code);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The parent's locks are untouched.
  holder.release();
  EXPECT_EQ(held.locked([] { return 7; }), 7);
}

}  // namespace
}  // namespace tavrine
