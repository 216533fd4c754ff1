#include "kernels/illegal_argument.h"

#include <cstdio>
#include <cstdlib>

#include "platform/core_library.h"

void report_illegal_argument(const char* name, int parameter) {
  std::printf(" ** On entry to %-6.6s parameter number %2d had an illegal value\n", name, parameter);
  std::fflush(stdout);
  flush_log();
  std::_Exit(1);
}
