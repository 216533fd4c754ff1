#include "platform/error.h"

#include <cstdio>
#include <cstdlib>

void tsr_error::fatal(const char* message, std::int32_t code) const {
  fatal(AString(message ? message : "solver failed"), code);
}

void tsr_error::fatal(const AString& message, std::int32_t code) const {
  OrlDebug(L"Error in tessar64: %s\n, code %d\n", message.c_str(), code);
  if (throw_on_fatal_) throw TessarException(code, message);
  end_process(code);
}

void end_process(int status) {
  flush_log();
  std::fflush(nullptr);
  std::_Exit(status);
}
