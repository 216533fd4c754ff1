#include "platform/threads.h"

#include <new>
#include <system_error>
#include <thread>

#include "platform/core_library.h"
#include "platform/error.h"

void mtverify_failed() {
  OrlDebug(1, L"MTVERIFY failed\n");
  end_process(1);
}

std::thread start_thread(std::function<void()> task) {
  try {
    return std::thread(std::move(task));
  } catch (const std::system_error&) {
    mtverify_failed();
  }
}

Semaphore::Semaphore(std::ptrdiff_t initial) {
  if (initial < 0 || initial > std::counting_semaphore<>::max()) mtverify_failed();
  semaphore_.reset(new (std::nothrow) std::counting_semaphore<>(initial));
  if (!semaphore_) mtverify_failed();
}
