#include "core/memory_monitor.h"

#include <mutex>

#include "core/tessar.h"
#include "platform/core_library.h"
#include "platform/files.h"

void add_memory(tessar& solver, std::uint64_t kb) {
  std::scoped_lock lock(solver.memory_section);
  solver.memory_in_use += static_cast<std::int64_t>(kb);
  if (solver.mem_limit_hard != 0 && solver.memory_in_use > solver.mem_limit_hard)
    solver.fatal(format_text("Not enough memory to solve the problem: %lld KB would be in use, above the hard limit "
                             "of %lld KB (MemLimitHard in prefs.ini)",
                             static_cast<long long>(solver.memory_in_use),
                             static_cast<long long>(solver.mem_limit_hard)).c_str(),
                 100);
  OrlDebug(2, L"Memory in use = %lld KB\n", static_cast<long long>(solver.memory_in_use));
  if (solver.memory_in_use > solver.memory_peak) solver.memory_peak = solver.memory_in_use;
}

void release_memory(tessar& solver, std::uint64_t kb) {
  std::scoped_lock lock(solver.memory_section);
  solver.memory_in_use -= static_cast<std::int64_t>(kb);
  if (solver.memory_in_use < 0) solver.fatal("Memory violation: Memory monitor reports negative number", 1);
  OrlDebug(2, L"Memory in use = %lld KB\n", static_cast<long long>(solver.memory_in_use));
}

void fatal_out_of_memory(tessar& solver, const char* message) { solver.fatal(message, 100); }

std::int64_t available_disk_mb(double free_bytes) {
  return static_cast<std::int64_t>(free_bytes * 0.98 / 1'048'576.0);
}

namespace {

void check_free_disk(tessar& solver) {
  LongFileName dir{AString(solver.work_dir)};
  dir.MakeItDirectory();
  std::int64_t available_mb = available_disk_mb(LFN_GetFreeSpaceLarge(dir));
  std::int64_t needed_mb = solver.disk_usage / 1024;
  if (available_mb < needed_mb) {
    OrlDebug(1, L"Matrix solver uses %s temp directory\n", solver.work_dir.c_str());
    OrlDebug(1, L"Disk Space Usage = %lld MB available disk %lld MB\n", static_cast<long long>(needed_mb),
             static_cast<long long>(available_mb));
    solver.fatal(format_text("Not enough disk space in %s to solve the matrix", solver.work_dir.c_str()).c_str(), 6);
  }
}

}  // namespace

void decide_incore_offcore(tessar& solver, std::int64_t work_kb, std::int64_t disk_kb, std::int64_t factor_kb) {
  std::int64_t offcore_run = work_kb + solver.memory_in_use;
  std::int64_t incore_run = offcore_run + factor_kb;
  OrlDebug(2, L"Offcore_run = %lld KB Incore_run = %lld KB\n", static_cast<long long>(offcore_run),
           static_cast<long long>(incore_run));
  solver.disk_usage = disk_kb;
  if (incore_run > solver.Soft_Memory_Limit) {
    solver.offcore = 1;
    solver.disk_usage = disk_kb + factor_kb;
    OrlDebug(2, L"Numerical Factorization goes offcore\n");
  } else {
    solver.offcore = 0;
    OrlDebug(2, L"Numerical Factorization goes incore\n");
    if (solver.save_factor) solver.disk_usage += factor_kb;
  }
  if (solver.save_factor) {
    solver.disk_usage += file_size_or_zero(path_in_dir(solver.work_dir, solver.index_file_name)) / 1024;
    if (solver.offcore == 0) solver.disk_usage += factor_kb;
  }
  if (solver.offcore == 0 && !solver.save_factor) return;
  check_free_disk(solver);
}
