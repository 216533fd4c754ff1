#include "analysis/reorder.h"

#include "driver/progress.h"
#include "driver/tessar.h"

void Reorder(tessar& solver, std::int32_t, std::int64_t, const std::int64_t*, const std::int32_t*) {
  report_progress(solver, solver.reorder_progress_start);
  report_progress(solver, band_midpoint(solver.reorder_progress_start, solver.reorder_progress_end));
  report_progress(solver, solver.reorder_progress_end);
}
