#pragma once
// A critical section with a self-check: an availability counter that must stay
// in 0 … 1. A second entry by the thread that already holds the section drives
// it to −1 and is reported as "Error in a CriticalSection object", code 1,
// instead of corrupting the state it protects.
#include <mutex>

#include "platform/error.h"

class GuardedSection {
 public:
  void enter();
  void leave();
  // For std::scoped_lock and std::lock_guard.
  void lock() { enter(); }
  void unlock() { leave(); }

  tsr_error& error() { return error_; }

 private:
  void check() const;

  std::recursive_mutex mutex_;
  int available_ = 1;
  tsr_error error_;
};
