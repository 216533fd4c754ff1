#include "core/tessar.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <new>

#include "core/memory_monitor.h"
#include "platform/files.h"
#include "platform/process.h"

std::int64_t soft_memory_limit_kb(std::int64_t total_kb) {
  constexpr std::int64_t max_held_back_kb = 2'097'152;
  constexpr std::int64_t min_limit_kb = 524'288;
  auto held_back = static_cast<std::int64_t>(static_cast<double>(total_kb) * 0.05);
  return std::max(total_kb - std::min(held_back, max_held_back_kb), min_limit_kb);
}

void set_single_thread_environment() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (int error = put_environment("OMP_NUM_THREADS", "1"); error != 0)
      OrlDebug(2, L"Unable to do processor(s) initialization, error %d\n", error);
    processor_count();
  });
}

tessar::tessar() {
  set_thread_count(1);
  if (environment_has("SaveAandB")) save_a_and_b = true;

  std::int64_t total_kb = total_physical_memory_bytes() / 1024;
  OrlDebug(2, L"TotalRAM detected %lld\n", static_cast<long long>(total_kb));
  Soft_Memory_Limit = soft_memory_limit_kb(total_kb);
  OrlDebug(2, L"Soft_Memory_Limit is set to %lld\n", static_cast<long long>(Soft_Memory_Limit));
}

std::string factor_index_file_name(const std::string& factor_file_name, FactorIndexPart part) {
  return factor_file_name + (part == FactorIndexPart::diagonal ? "_diag_index" : "_offdiag_index");
}

tessar::IndexPair tessar::index_pair(char factor) {
  if (factor == 'U') return {UDiagIndex, UOffdiagIndex, u_index_kb_};
  if (factor == 'L') return {LDiagIndex, LOffdiagIndex, l_index_kb_};
  fatal("Unknown factor is specified", 1);
}

void tessar::allocate_factor_index(char factor, std::int32_t n) {
  release_factor_index(factor);
  IndexPair pair = index_pair(factor);
  const auto count = static_cast<std::size_t>(n > 0 ? n : 1);
  // Recorded before charging: the monitor counts the charge even when the
  // hard limit then ends the run, and the release credits it back.
  pair.charged_kb = kb_of_bytes(static_cast<std::uint64_t>(count) * 2 * sizeof(std::int64_t));
  add_memory(*this, pair.charged_kb);
  pair.diag.reset(new (std::nothrow) std::int64_t[count]);
  pair.offdiag.reset(new (std::nothrow) std::int64_t[count]);
  if (!pair.diag || !pair.offdiag) fatal_out_of_memory(*this, "Couldn't allocate memory for offcore writing function");
}

void tessar::release_factor_index(char factor) {
  IndexPair pair = index_pair(factor);
  pair.diag.reset();
  pair.offdiag.reset();
  if (pair.charged_kb != 0) release_memory(*this, pair.charged_kb);
  pair.charged_kb = 0;
}

void tessar::close_factor_files() {
  if (u_file) std::fclose(u_file);
  if (l_file) std::fclose(l_file);
  u_file = l_file = nullptr;
}

namespace {

void remove_logged(const std::string& path, const wchar_t* failure_line) {
  if (std::remove(path.c_str()) != 0) OrlDebug(2, failure_line);
  keep_on_failure(path);
}

// The level-2 lines logged when a file of one factor cannot be removed.
struct RemovalLines {
  const wchar_t* file;
  const wchar_t* diag_index;
  const wchar_t* offdiag_index;
};

void remove_factor(const std::string& dir, const std::string& name, bool with_index, const RemovalLines& lines) {
  remove_logged(path_in_dir(dir, name), lines.file);
  if (!with_index) return;
  remove_logged(path_in_dir(dir, factor_index_file_name(name, FactorIndexPart::diagonal)), lines.diag_index);
  remove_logged(path_in_dir(dir, factor_index_file_name(name, FactorIndexPart::off_diagonal)), lines.offdiag_index);
}

}  // namespace

// A factor that went to files only for this run is removed with the run,
// together with the index files of the indexed (-mt) layout; the analysis
// "index" file always stays. Removal failures are only logged.
void tessar::remove_temporary_factor_files() const {
  if (!(do_factor && do_solve && !save_factor && offcore == 1)) return;
  remove_factor(work_dir, u_file_name, multi_thread,
                {L"Can not remove U file\n", L"Can not remove diagonal index of U file\n",
                 L"Can not remove off-diagonal index of U file\n"});
  if (symmetry != 1) return;
  remove_factor(work_dir, l_file_name, multi_thread,
                {L"Can not remove L file\n", L"Can not remove diagonal index of L file\n",
                 L"Can not remove off-diagonal index of L file\n"});
}

tessar::~tessar() {
  close_factor_files();
  if (rhs_file) std::fclose(rhs_file);
  if (solution_file) std::fclose(solution_file);
  remove_temporary_factor_files();
  release_factor_index('U');
  release_factor_index('L');
  if (WorkArray) release_memory(*this, work_array_kb);
}

void tessar::set_throw_mode(bool throw_on_fatal) {
  tsr_error::set_throw_mode(throw_on_fatal);
  memory_section.error().set_throw_mode(throw_on_fatal);
}
