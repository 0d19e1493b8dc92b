#include "lib/detach.h"

#include "support/poison.h"

namespace tavrine::py {

bool SignalCheck::stop_requested() noexcept {
  if (raised_ != nullptr) return true;
  const Clock::time_point now = Clock::now();
  if (now - last_ < kPeriod) return false;
  if (detached_) PyEval_RestoreThread(detached_);
  if (PyErr_CheckSignals() < 0) raised_ = PyErr_GetRaisedException();
  if (detached_) detached_ = PyEval_SaveThread();
  last_ = Clock::now();
  return raised_ != nullptr;
}

namespace {

// Steps aside from the interpreter while waiting for a lock, when the
// thread is attached to one; the token is the thread state to come back
// with after the lock is released again.
void* detach_while_waiting() noexcept {
  if (PyThreadState_GetUnchecked() == nullptr) return nullptr;
  return PyEval_SaveThread();
}

void reattach_after_release(void* token) noexcept { PyEval_RestoreThread(static_cast<PyThreadState*>(token)); }

const LockWaitHooks kHooks{&detach_while_waiting, &reattach_after_release};

}  // namespace

void install_lock_wait_hooks() noexcept { set_lock_wait_hooks(&kHooks); }

}  // namespace tavrine::py
