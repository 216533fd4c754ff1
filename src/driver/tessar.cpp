#include "driver/tessar.h"

#include <algorithm>
#include <cstdio>

#include "driver/preferences.h"
#include "platform/files.h"
#include "platform/process.h"

std::int64_t soft_memory_limit_kb(std::int64_t total_kb) {
  constexpr std::int64_t max_held_back_kb = 2'097'152;
  constexpr std::int64_t min_limit_kb = 524'288;
  auto held_back = static_cast<std::int64_t>(static_cast<double>(total_kb) * 0.05);
  return std::max(total_kb - std::min(held_back, max_held_back_kb), min_limit_kb);
}

namespace {

// The dense library must not start threads of its own: every phase sets the
// thread count it wants explicitly.
void single_thread_environment() {
  if (int error = put_environment("OMP_NUM_THREADS", "1"); error != 0)
    OrlDebug(2, L"Unable to do processor(s) initialization, error %d\n", error);
  processor_count();
  set_thread_count(1);
}

}  // namespace

tessar::tessar() {
  single_thread_environment();
  if (environment_has("SaveAandB")) save_a_and_b = true;

  std::int64_t total_kb = total_physical_memory_bytes() / 1024;
  OrlDebug(2, L"TotalRAM detected %lld\n", static_cast<long long>(total_kb));
  Soft_Memory_Limit = soft_memory_limit_kb(total_kb);
  OrlDebug(2, L"Soft_Memory_Limit is set to %lld\n", static_cast<long long>(Soft_Memory_Limit));

  read_preferences(*this);
}

namespace {

void remove_logged(const std::string& path, const wchar_t* failure_line) {
  if (std::remove(path.c_str()) != 0) OrlDebug(2, failure_line);
}

}  // namespace

// A factor that went to files only for this run is removed with the run;
// the index file always stays.
void tessar::remove_temporary_factor_files() const {
  if (!(do_factor && do_solve && !save_factor && offcore == 1)) return;
  const std::string u_path = path_in_dir(work_dir, u_file_name);
  remove_logged(u_path, L"Can not remove U file\n");
  if (multi_thread) {
    remove_logged(u_path + "_diag_index", L"Can not remove diagonal index of U file\n");
    remove_logged(u_path + "_offdiag_index", L"Can not remove off-diagonal index of U file\n");
  }
  if (symmetry != 1) return;
  const std::string l_path = path_in_dir(work_dir, l_file_name);
  remove_logged(l_path, L"Can not remove L file\n");
  if (multi_thread) {
    remove_logged(l_path + "_diag_index", L"Can not remove diagonal index of L file\n");
    remove_logged(l_path + "_offdiag_index", L"Can not remove off-diagonal index of L file\n");
  }
}

tessar::~tessar() {
  if (rhs_file) std::fclose(rhs_file);
  if (solution_file) std::fclose(solution_file);
  remove_temporary_factor_files();
}

void tessar::set_throw_mode(bool throw_on_fatal) {
  tsr_error::set_throw_mode(throw_on_fatal);
  memory_section.error().set_throw_mode(throw_on_fatal);
}
