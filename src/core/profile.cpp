#include "core/profile.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "core/tessar.h"
#include "platform/core_library.h"
#include "platform/process.h"

namespace {

std::int64_t calendar_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

// Size of dir/name in bytes; a missing or unreadable file counts 0. (The
// file helpers of the I/O library build on this library, so the size is taken
// here directly.)
std::int64_t file_bytes(const std::string& dir, const std::string& name) {
  std::error_code error;
  const auto size = std::filesystem::file_size(std::filesystem::path(dir) / name, error);
  return error ? 0 : static_cast<std::int64_t>(size);
}

// The two letters of the kind: R or C, then S (symmetric), A (unsymmetric) or H.
std::string kind_letters(const tessar& solver) {
  if (solver.value_type == 0) {
    if (solver.symmetry == 0) return "RS";
    if (solver.symmetry == 1) return "RA";
    solver.fatal("Unknown symmetry type for real matrix", 1);
  }
  if (solver.value_type == 1) {
    if (solver.symmetry == 0) return "CS";
    if (solver.symmetry == 1) return "CA";
    if (solver.symmetry == 2) return "CH";
    solver.fatal("Unknown symmetry type for complex matrix", 1);
  }
  solver.fatal("Unknown matrix type", 1);
}

}  // namespace

std::int64_t process_cpu_milliseconds() {
  const auto cpu = process_cpu_time_100ns();
  return cpu ? static_cast<std::int64_t>(static_cast<double>(*cpu) * 0.0001) : calendar_seconds();
}

std::int64_t process_cpu_microseconds() {
  const auto cpu = process_cpu_time_100ns();
  return cpu ? static_cast<std::int64_t>(static_cast<double>(*cpu) * 0.1) : calendar_seconds();
}

std::int64_t process_cpu_seconds() {
  return static_cast<std::int64_t>(static_cast<double>(process_cpu_milliseconds()) * 0.001);
}

void ProfileRecord::start_timer() {
  cpu_offset = process_cpu_seconds() - cpu_at_creation;
  wall_start = calendar_seconds();
}

void ProfileRecord::stop_timer() {
  cpu_total += process_cpu_seconds() - cpu_at_creation - cpu_offset;
  wall_elapsed = calendar_seconds() - wall_start;
}

std::string solver_label(const tessar& solver) {
  std::string label = "Solver ";
  label += solver.double_precision ? 'D' : 'M';
  label += kind_letters(solver);
  if (solver.ncpu >= 2) label += std::to_string(solver.ncpu);
  return label;
}

std::unique_ptr<ProfileRecord> create_profile(tessar& solver) {
  if (solver.quiet) return nullptr;
  auto record = std::make_unique<ProfileRecord>();
  record->label = solver_label(solver);
  record->cpu_at_creation = process_cpu_seconds();
  record->start_timer();
  return record;
}

std::string hours_minutes_seconds(std::int64_t seconds) {
  const long hours = static_cast<long>(seconds / 3600);
  const long minutes = static_cast<long>((seconds - 3600 * static_cast<std::int64_t>(hours)) / 60);
  const long rest = static_cast<long>(seconds - 3600 * static_cast<std::int64_t>(hours) - 60 * minutes);
  char text[64];
  std::snprintf(text, sizeof text, "%.2ld:%.2ld:%.2ld", hours, minutes, rest);
  return text;
}

ScaledSize scaled_disk_use(std::int64_t bytes) {
  const std::int64_t kb = (bytes + 512) / 1024;
  if (kb <= 1000) return {kb, "KB"};
  const std::int64_t mb = (kb + 512) / 1024;
  if (mb <= 1000) return {mb, "MB"};
  return {(mb + 512) / 1024, "GB"};
}

std::string profile_line(const ProfileRecord& record, std::int64_t disk_bytes, bool offcore) {
  const ScaledSize disk = scaled_disk_use(disk_bytes);
  char text[512];
  std::snprintf(text, sizeof text, "| %-13s | %s | %s | %7lluK | %7d %-6s, %4ld%s disk%s |\n", record.label.c_str(),
                hours_minutes_seconds(record.wall_elapsed).c_str(), hours_minutes_seconds(record.cpu_total).c_str(),
                static_cast<unsigned long long>(record.peak_memory_kb), static_cast<int>(record.dimension), "matrix",
                static_cast<long>(disk.value), disk.unit, offcore ? ", offcore" : "");
  return text;
}

std::int64_t run_disk_bytes(const tessar& solver) {
  std::int64_t bytes = file_bytes(".", "x") + file_bytes(".", "b") + file_bytes(".", "A");
  if (solver.offcore == 1 || solver.save_factor)
    bytes += file_bytes(solver.work_dir, solver.index_file_name) + file_bytes(solver.work_dir, solver.l_file_name) +
             file_bytes(solver.work_dir, solver.u_file_name);
  return bytes;
}

void end_report(tessar& solver, std::unique_ptr<ProfileRecord>& record, std::int32_t n) {
  if (solver.quiet || !record) return;
  record->stop_timer();
  record->dimension = static_cast<std::uint32_t>(n);
  record->peak_memory_kb = static_cast<std::uint64_t>(solver.memory_peak);
  OrlDebug(2, L"Maximum memory used = %lld KB\n", static_cast<long long>(solver.memory_peak));
  const std::string line = profile_line(*record, run_disk_bytes(solver), solver.offcore == 1);
  record.reset();
  std::FILE* file = std::fopen(solver.profile_name.c_str(), "a");
  if (!file) {
    OrlDebug(1, L"Cannot open profile file, skipping ..\n");
    return;
  }
  std::fputs(line.c_str(), file);
  std::fclose(file);
}

bool phase_timing_enabled() {
  const auto value = environment_value("TESSAR_PROFILE");
  return value && *value > 0;
}

void reset_phase_timing_file() {
  if (phase_timing_enabled()) std::ofstream("tessar.prof", std::ios::trunc);
}

PhaseReadings take_phase_readings() { return {elapsed_milliseconds(), process_cpu_milliseconds()}; }

void append_phase_timing(const char* label, const PhaseReadings& start) {
  if (!phase_timing_enabled()) return;
  const PhaseReadings now = take_phase_readings();
  std::ofstream prof("tessar.prof", std::ios::app);
  prof << label << static_cast<double>(now.wall_ms - start.wall_ms) / 1000.0
       << "  CPU = " << static_cast<double>(now.cpu_ms - start.cpu_ms) / 1000.0 << "\n";
}
