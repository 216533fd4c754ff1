#pragma once
// Work done beside the caller in a copy of the process: for a library that
// keeps global state (a random number generator shared by every thread),
// which makes two calls in threads of one process interfere, while two
// processes each start from the same state and give what the calls give one
// after another.
#include <cstdint>
#include <functional>
#include <vector>

class ChildTask {
 public:
  // Starts work in a child process; the count values it returns come back
  // through a pipe. Without a child (the system refused one) finish() runs
  // work in the caller.
  ChildTask(std::function<std::vector<std::int32_t>()> work, std::size_t count);
  ChildTask(const ChildTask&) = delete;
  ChildTask& operator=(const ChildTask&) = delete;
  ~ChildTask();

  // The child's values; where the child failed or ended early, work run again
  // in the caller, so that its failures are reported as the caller's own.
  std::vector<std::int32_t> finish();

 private:
  bool read_result(std::vector<std::int32_t>& values);
  void reap();

  std::function<std::vector<std::int32_t>()> work_;
  std::size_t count_;
  int pid_ = -1;
  int fd_ = -1;
};
