#include "driver/main_flow.h"

#include <cstdio>
#include <ctime>
#include <functional>
#include <string>

#include "analysis/index_file.h"
#include "analysis/reorder.h"
#include "driver/kind_solvers.h"
#include "driver/memory_monitor.h"
#include "driver/profile.h"
#include "driver/switches.h"
#include "io/matrix_file.h"
#include "io/vectors.h"
#include "platform/core_library.h"
#include "platform/error.h"
#include "platform/process.h"

namespace {

constexpr int status_index_unreadable = 5;
constexpr int status_kind_unreadable = 4;

// The kind code stored at the head of "index" by the run that saved the analysis.
int kind_from_index_file() {
  std::FILE* index = std::fopen("index", "rb");
  if (!index) {
    OrlDebug(1, L"Can not read index\n");
    end_process(status_index_unreadable);
  }
  std::int32_t kind = 0;
  bool read = std::fread(&kind, sizeof kind, 1, index) == 1;
  std::fclose(index);
  if (!read) {
    OrlDebug(1, L"Can not read Solver_Type\n");
    end_process(status_kind_unreadable);
  }
  return kind;
}

// Runs one phase and, with TESSAR_PROFILE > 0, appends its real and CPU time
// to "tessar.prof". The readings are taken whether or not the phase runs.
void timed_phase(const char* label, const std::function<void()>& phase) {
  const PhaseReadings start = take_phase_readings();
  phase();
  append_phase_timing(label, start);
}

// Marks the start of a run in the log, which several runs may share.
void log_run_start(int argc, const char* const* argv) {
  std::string command = "tessar64";
  for (int i = 1; i < argc; ++i) command.append(" ").append(argv[i]);
  std::time_t now = std::time(nullptr);
  char stamp[32] = "";
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
  OrlDebug(2, L"---- %s: %s ----\n", stamp, command.c_str());
}

// KB the entry point charges for the input matrix arrays.
std::uint64_t matrix_charge_kb(const MatrixHeader& header, bool complex) {
  auto n = static_cast<std::uint64_t>(header.n);
  auto nnz = static_cast<std::uint64_t>(header.nnz);
  return ((n + (complex ? 6 : 4) * nnz) * 4) / 1024;
}

// A failed allocation here ends the run as "Not enough memory", code 100
// (the entry point routes std::bad_alloc there).
void allocate_matrix(YaleMatrix& a, const MatrixHeader& header, bool complex) {
  a.n = header.n;
  a.nnz = header.nnz;
  a.complex = complex;
  a.values.resize(static_cast<std::size_t>(header.nnz) * (complex ? 2 : 1));
  a.row_ptr.resize(static_cast<std::size_t>(header.n) + 1);
  a.col_idx.resize(static_cast<std::size_t>(header.nnz));
}

// A run that solves with the factor of an earlier run takes that run's
// analysis from the index file.
void load_saved_analysis(tessar& solver, const YaleMatrix& a) {
  solver.ReorderSpace.allocate(solver, static_cast<std::size_t>(a.nnz), "Can not allocate memory for ReorderSpace");
  LoadIndexFile(solver, a.n);
}

// Reads "A" into a, charged to the memory monitor; returns the KB charged.
std::uint64_t read_matrix(tessar& solver, YaleMatrix& a) {
  const MatrixHeader header = read_matrix_header(solver);
  const bool complex = solver.value_type == 1;
  allocate_matrix(a, header, complex);
  const std::uint64_t charged_kb = matrix_charge_kb(header, complex);
  add_memory(solver, charged_kb);
  if (complex)
    read_matrix_complex(solver, a);
  else
    read_matrix_real(solver, a);
  return charged_kb;
}

// The on-disk check compares "x" with "b" through the matrix as stored in
// "A": the run's copy has been reordered and scaled, so "A" is read again.
void verify_solutions(tessar& solver) {
  YaleMatrix a;
  const std::uint64_t charged_kb = read_matrix(solver, a);
  solver.verify(a);
  a = YaleMatrix{};
  release_memory(solver, charged_kb);
}

void run_phases(tessar& solver, YaleMatrix& a, std::unique_ptr<ProfileRecord>& profile) {
  timed_phase("Preprocessing time:  real = ", [&] {
    if (solver.do_reorder) Reorder(solver, a.n, a.nnz, a.row_ptr.data(), a.col_idx.data());
  });
  timed_phase("Factorization time:  real = ", [&] {
    if (!solver.do_factor) return;
    if (const int result = solver.factorize(a); result != 0) solver.fatal("Matrix solver failed", result);
  });
  timed_phase("Solution time:  real = ", [&] {
    if (!solver.do_solve) return;
    if (solver.factors_from_disk) load_saved_analysis(solver, a);
    if (const int result = solver.solve(a); result != 0) {
      end_report(solver, profile, a.n);
      solver.fatal("Matrix solver failed", result);
    }
  });
  if (solver.do_check) verify_solutions(solver);
}

void run_solver(tessar& solver, int argc, const char* const* argv) {
  if (parse_switches(solver, argc, argv) == ParseOutcome::end_now) end_process(0);

  YaleMatrix a;
  const std::uint64_t charged_kb = read_matrix(solver, a);
  auto profile = create_profile(solver);

  run_phases(solver, a, profile);

  end_report(solver, profile, a.n);
  a = YaleMatrix{};
  release_memory(solver, charged_kb);
}

}  // namespace

int run_tessar(int argc, const char* const* argv) {
  log_run_start(argc, argv);
  KindSelection selection = kind_from_switches(argc, argv);
  int kind = selection.back_exec ? kind_from_index_file() : selection.kind;

  reset_phase_timing_file();

  if (auto solver = make_solver(kind)) {
    run_solver(*solver, argc, argv);
  } else {
    OrlDebug(2, L"It's funny I ended up here :(\n");
  }
  OrlDebug(2, L"exit status(0) \n");
  return 0;
}
