#pragma once
// The run's timing records: one line per run appended to the profile table
// file (profile_name, default "profile"), so that many runs accumulate one
// table, and, with TESSAR_PROFILE > 0, the phase times of this run in
// "tessar.prof". Also the process CPU-time readings the scheduler uses.
//
// Where the entry point calls these (run_tessar / run_solver):
//   - reset_phase_timing_file(): once, before the solver object is built,
//     so a profiled run starts an empty "tessar.prof";
//   - create_profile(solver): right after the matrix data is read, before
//     preprocessing; keep the returned record (null when quiet) until the end;
//   - take_phase_readings() before and append_phase_timing(label, readings)
//     after each of preprocessing, factorization and solution, whether or not
//     the phase runs (the verification has no line);
//   - end_report(solver, record, N): after the verification, before the
//     matrix arrays are freed and the solver object destroyed; and also just
//     before a nonzero solution result ends the run as "Matrix solver failed".
#include <cstdint>
#include <memory>
#include <string>

class tessar;

// Process CPU time (kernel plus user). Milliseconds: the 100-ns reading times
// 0.0001, truncated; when the system cannot report it, the calendar time in
// seconds is returned instead. Microseconds: the 100-ns reading times 0.1.
// Seconds: the millisecond reading times 0.001, truncated.
std::int64_t process_cpu_milliseconds();
std::int64_t process_cpu_microseconds();
std::int64_t process_cpu_seconds();

struct ProfileRecord {
  std::uint32_t dimension = 0;
  std::uint64_t peak_memory_kb = 0;
  std::string label;
  std::int64_t cpu_offset = 0;        // CPU seconds between creation and timer start
  std::int64_t cpu_at_creation = 0;   // process CPU seconds at creation
  std::int64_t cpu_total = 0;         // CPU seconds between timer start and stop
  std::int64_t wall_start = 0;        // calendar seconds at timer start
  std::int64_t wall_elapsed = 0;      // calendar seconds between start and stop

  void start_timer();
  void stop_timer();
};

// "Solver " with the precision letter (D with double_precision, else M), the
// kind's two letters (RS, RA, CS, CA, CH) and ncpu when it is 2 or more. An
// unknown value_type or symmetry ends the run with code 1.
std::string solver_label(const tessar& solver);

// Unless quiet: builds the record with its label and starts its timer; null
// when quiet.
std::unique_ptr<ProfileRecord> create_profile(tessar& solver);

// Unless quiet (or without a record): stops the timer, logs the peak memory
// and appends the profile line to profile_name; the record is deleted. A file
// that cannot be opened is logged and skipped.
void end_report(tessar& solver, std::unique_ptr<ProfileRecord>& record, std::int32_t n);

// Pieces of the profile line.
// Hours, minutes, seconds as "%.2ld:%.2ld:%.2ld"; hours may exceed two digits.
std::string hours_minutes_seconds(std::int64_t seconds);
struct ScaledSize {
  std::int64_t value;
  const char* unit;  // "KB", "MB" or "GB"
};
// Bytes rounded to the nearest KB, then to MB above 1000 KB, then to GB above 1000 MB.
ScaledSize scaled_disk_use(std::int64_t bytes);
// The line for a finished record: label, wall and CPU time, peak memory,
// dimension and disk use, ", offcore" for offcore runs.
std::string profile_line(const ProfileRecord& record, std::int64_t disk_bytes, bool offcore);

// Bytes of "x", "b" and "A" in the current directory and, for an offcore run
// or a saved factor, of the index, L and U files in work_dir.
std::int64_t run_disk_bytes(const tessar& solver);

// Phase timing file "tessar.prof", active while TESSAR_PROFILE > 0 (read
// afresh at each call).
struct PhaseReadings {
  std::int64_t wall_ms;  // processor clock, milliseconds since the process started
  std::int64_t cpu_ms;   // process CPU milliseconds
};
bool phase_timing_enabled();
// Creates "tessar.prof" empty when phase timing is enabled.
void reset_phase_timing_file();
PhaseReadings take_phase_readings();
// Appends "<label><real>  CPU = <cpu>\n" with the seconds since start, when enabled.
// label is "Preprocessing time:  real = ", "Factorization time:  real = " or
// "Solution time:  real = ".
void append_phase_timing(const char* label, const PhaseReadings& start);
