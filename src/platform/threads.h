#pragma once
// Thread and semaphore primitives of the worker phases. A failure to create a
// thread or a semaphore logs "MTVERIFY failed\n" and ends the process with
// status 1.
#include <functional>
#include <memory>
#include <semaphore>
#include <thread>

[[noreturn]] void mtverify_failed();

// Starts a thread running task. The caller joins it, so that nothing the task
// touches last (a semaphore it releases, say) can go away while it still runs.
std::thread start_thread(std::function<void()> task);

// A counting semaphore whose initial count is set at creation.
class Semaphore {
 public:
  explicit Semaphore(std::ptrdiff_t initial);
  void acquire() { semaphore_->acquire(); }
  void release(std::ptrdiff_t count = 1) { semaphore_->release(count); }

 private:
  std::unique_ptr<std::counting_semaphore<>> semaphore_;
};
