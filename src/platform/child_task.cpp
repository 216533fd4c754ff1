#include "platform/child_task.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Moves all bytes through transfer (read or write), across interruptions and
// short transfers; false at an error or the end of the pipe.
template <class Byte, class Transfer>
bool transfer_all(int fd, Byte* data, std::size_t bytes, Transfer transfer) {
  while (bytes > 0) {
    const ssize_t n = transfer(fd, data, bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    bytes -= static_cast<std::size_t>(n);
  }
  return true;
}

// The child: its values down the pipe, then out without the parent's exit
// handlers or buffered output (which belong to the parent).
[[noreturn]] void child_main(int fd, const std::function<std::vector<std::int32_t>()>& work, std::size_t count) {
  int status = 1;
  try {
    const std::vector<std::int32_t> values = work();
    if (values.size() == count && transfer_all(fd, reinterpret_cast<const char*>(values.data()),
                                                count * sizeof(std::int32_t), ::write))
      status = 0;
  } catch (...) {
  }
  ::close(fd);
  ::_exit(status);
}

}  // namespace

ChildTask::ChildTask(std::function<std::vector<std::int32_t>()> work, std::size_t count)
    : work_(std::move(work)), count_(count) {
  int fds[2];
  if (::pipe(fds) != 0) return;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    child_main(fds[1], work_, count_);
  }
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    return;
  }
  pid_ = pid;
  fd_ = fds[0];
}

ChildTask::~ChildTask() { reap(); }

bool ChildTask::read_result(std::vector<std::int32_t>& values) {
  values.resize(count_);
  return transfer_all(fd_, reinterpret_cast<char*>(values.data()), count_ * sizeof(std::int32_t), ::read);
}

// Closes the pipe and waits for the child.
void ChildTask::reap() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (pid_ < 0) return;
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

std::vector<std::int32_t> ChildTask::finish() {
  std::vector<std::int32_t> values;
  if (pid_ >= 0 && read_result(values)) {
    reap();
    return values;
  }
  reap();
  return work_();
}
