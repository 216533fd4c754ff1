#pragma once
// The one failure path. A failure is logged as
// "Error in tessar64: <message>\n, code <code>\n" and ends the process with the
// code as exit status, or, in throw mode (used by unit tests), throws a
// TessarException carrying the code and the message.
#include <cstdint>
#include <string>

#include "platform/core_library.h"

class TessarException {
 public:
  TessarException(std::int32_t code, AString message) : code_(code), message_(std::move(message)) {}
  virtual ~TessarException() = default;
  TessarException(const TessarException&) = default;
  TessarException& operator=(const TessarException&) = default;

  std::int32_t code() const { return code_; }
  const AString& message() const { return message_; }

 private:
  std::int32_t code_;
  AString message_;
};

class tsr_error {
 public:
  // A null message is reported as "solver failed".
  [[noreturn]] void fatal(const char* message, std::int32_t code) const;
  [[noreturn]] void fatal(const AString& message, std::int32_t code) const;

  // Ends the run with a failure already logged (one raised by a worker
  // thread and carried back): thrown again in throw mode.
  [[noreturn]] void end_run(const TessarException& failure) const;

  void set_throw_mode(bool throw_on_fatal) { throw_on_fatal_ = throw_on_fatal; }
  bool throw_mode() const { return throw_on_fatal_; }

 private:
  bool throw_on_fatal_ = false;
};

// Ends the process with a status after flushing the log and the standard
// streams, without running static destructors (worker threads may still run).
// A non-zero status first removes the files named by remove_on_failure.
[[noreturn]] void end_process(int status);

// Names a file that a failing run removes as it ends: partial output that a
// parent program must never take for a result. keep_on_failure forgets it
// again (the file was completed, renamed or removed).
void remove_on_failure(const std::string& path);
void keep_on_failure(const std::string& path);
