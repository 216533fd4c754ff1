#include "platform/error.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

struct FailureFiles {
  std::mutex lock;
  std::vector<std::string> paths;
};

// Never destroyed: end_process may run while other threads still use it.
FailureFiles& failure_files() {
  static auto* files = new FailureFiles;
  return *files;
}

void remove_failure_files() {
  FailureFiles& files = failure_files();
  std::scoped_lock guard(files.lock);
  for (const std::string& path : files.paths) std::remove(path.c_str());
  files.paths.clear();
}

}  // namespace

void remove_on_failure(const std::string& path) {
  FailureFiles& files = failure_files();
  std::scoped_lock guard(files.lock);
  if (std::find(files.paths.begin(), files.paths.end(), path) == files.paths.end()) files.paths.push_back(path);
}

void keep_on_failure(const std::string& path) {
  FailureFiles& files = failure_files();
  std::scoped_lock guard(files.lock);
  files.paths.erase(std::remove(files.paths.begin(), files.paths.end(), path), files.paths.end());
}

void tsr_error::fatal(const char* message, std::int32_t code) const {
  fatal(AString(message ? message : "solver failed"), code);
}

void tsr_error::fatal(const AString& message, std::int32_t code) const {
  OrlDebug(L"Error in tessar64: %s\n, code %d\n", message.c_str(), code);
  if (throw_on_fatal_) throw TessarException(code, message);
  end_process(code);
}

void tsr_error::end_run(const TessarException& failure) const {
  if (throw_on_fatal_) throw failure;
  end_process(failure.code());
}

void end_process(int status) {
  if (status != 0) remove_failure_files();
  flush_log();
  std::fflush(nullptr);
  std::_Exit(status);
}
