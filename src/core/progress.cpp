#include "core/progress.h"

#include <algorithm>
#include <cstdio>

#include "core/tessar.h"

void report_progress(const tessar& solver, std::int32_t percent) {
  if (solver.quiet || solver.no_progress) return;
  std::fprintf(stderr, "solver :progress %f\n", static_cast<double>(std::min(percent, 100)));
  std::fflush(stderr);
}

void report_message(const tessar& solver, const char* text) {
  if (solver.quiet || solver.no_progress) return;
  std::fprintf(stderr, "solver :message %s\n", text);
  std::fflush(stderr);
}

std::int32_t band_midpoint(std::int32_t start, std::int32_t end) {
  return static_cast<std::int32_t>(0.5 * start + 0.5 * end);
}
