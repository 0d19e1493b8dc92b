#include "lib/detach.h"

#include "support/lock_wait.h"

namespace tavrine::py {

namespace {

// The calling thread's state while this module keeps it detached from the
// interpreter; nullptr while it is attached. The one record of whether the
// thread is attached (module calls always arrive attached).
thread_local PyThreadState* t_detached = nullptr;

}  // namespace

bool detach() noexcept {
  if (t_detached != nullptr) return false;
  t_detached = PyEval_SaveThread();
  return true;
}

void reattach() noexcept { PyEval_RestoreThread(std::exchange(t_detached, nullptr)); }

bool signals_raised(bool let_others_run) noexcept {
  const bool was_detached = t_detached != nullptr;
  if (was_detached) {
    reattach();
  } else if (let_others_run) {
    detach();
    reattach();
  }
  const bool raised = PyErr_Occurred() != nullptr || PyErr_CheckSignals() < 0;
  if (was_detached) detach();
  return raised;
}

bool SignalCheck::stop_requested() noexcept {
  if (raised_) return true;
  if (Clock::now() - last_ < kPeriod) return false;
  raised_ = signals_raised(true);
  last_ = Clock::now();
  return raised_;
}

namespace {

// A wait starts detached (the token says whether to attach again after)
// and polls for signals; a raising handler gives the wait up.
int g_reattach_token;
void* detach_while_waiting() noexcept { return detach() ? &g_reattach_token : nullptr; }
bool poll_while_waiting() noexcept { return signals_raised(false); }
void back_after_waiting(void* token) noexcept {
  if (token != nullptr) reattach();
}

const LockWaitHooks kHooks{&detach_while_waiting, &poll_while_waiting, &back_after_waiting};

}  // namespace

void install_lock_wait_hooks() noexcept { set_lock_wait_hooks(&kHooks); }

}  // namespace tavrine::py
