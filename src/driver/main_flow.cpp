#include "driver/main_flow.h"

#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "api/kind_solvers.h"
#include "api/rounds.h"
#include "core/memory_monitor.h"
#include "core/profile.h"
#include "driver/switches.h"
#include "io/matrix_file.h"
#include "io/vectors.h"
#include "platform/core_library.h"
#include "platform/error.h"
#include "platform/process.h"
#include "solve/rhs_vectors.h"

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

// A solver object of the kind with the run's switches and preferences.
std::unique_ptr<tessar> configured_solver(int kind, int argc, const char* const* argv) {
  std::unique_ptr<tessar> solver = make_solver(kind);
  (void)parse_switches(*solver, argc, argv);
  return solver;
}

// The matrix as read from "A", lent for the confirmation of the solutions.
void with_matrix_as_read(tessar& solver, const std::function<void(const YaleMatrix&)>& use) {
  YaleMatrix original;
  const std::uint64_t charged_kb = read_matrix(solver, original);
  use(original);
  original = YaleMatrix{};
  release_memory(solver, charged_kb);
}

void run_solver(std::unique_ptr<tessar> solver, int kind, int argc, const char* const* argv) {
  if (parse_switches(*solver, argc, argv) == ParseOutcome::end_now) end_process(0);
  if (solver->do_solve) begin_solution_file(*solver);

  FileRhsVectors vectors;
  RoundInputs inputs;
  inputs.make_solver = [&] { return configured_solver(kind, argc, argv); };
  inputs.load_matrix = read_matrix;
  inputs.with_original = with_matrix_as_read;

  RunState run;
  run.solver = std::move(solver);
  run.charged_kb = read_matrix(*run.solver, run.a);
  auto profile = create_profile(*run.solver);

  run.solver->last_round = !may_refactor(*run.solver) || refactorizations(*run.solver, false).empty();
  RoundOutcome outcome = run_round(run, inputs, vectors);
  if (outcome.end != RoundEnd::solved && may_refactor(*run.solver)) outcome = escalate(run, inputs, vectors, outcome);
  tessar& last = *run.solver;
  if (outcome.end != RoundEnd::solved) {
    end_report(last, profile, run.a.n);
    if (last.do_solve) discard_solution_file(last);
    last.fatal(failure_text(run, outcome).c_str(), outcome.code);
  }
  if (last.do_solve) {
    commit_solution_file(last);
    report_escalation(run);
  }
  if (last.do_check) verify_solutions(last);

  end_report(last, profile, run.a.n);
  run.a = YaleMatrix{};
  release_memory(last, run.charged_kb);
}

}  // namespace

int run_tessar(int argc, const char* const* argv) {
  log_run_start(argc, argv);
  KindSelection selection = kind_from_switches(argc, argv);
  int kind = selection.back_exec ? kind_from_index_file() : selection.kind;

  reset_phase_timing_file();

  std::unique_ptr<tessar> solver = make_solver(kind);
  if (!solver)
    tsr_error().fatal(
        format_text("Error in the input: index holds solver type %d, not one of the kinds 0 … 4", kind).c_str(), 1);
  run_solver(std::move(solver), kind, argc, argv);
  OrlDebug(2, L"exit status(0) \n");
  return 0;
}
