#include "driver/main_flow.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "analysis/index_file.h"
#include "analysis/reorder.h"
#include "api/kind_solvers.h"
#include "core/memory_monitor.h"
#include "core/profile.h"
#include "core/progress.h"
#include "driver/switches.h"
#include "io/matrix_file.h"
#include "io/vectors.h"
#include "platform/core_library.h"
#include "platform/error.h"
#include "platform/kind_traits.h"
#include "platform/process.h"
#include "solve/rhs_ledger.h"

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

// How one round (an analysis, a factorization and the solve of the
// right-hand sides left) ended.
enum class RoundEnd { solved, factor_failed, solve_failed };

struct RoundOutcome {
  RoundEnd end = RoundEnd::solved;
  int code = 0;
};

// Only a run that factors, solves and keeps no factor may factor again: a
// kept factor must stay the one the switches describe, since later runs read
// it with their own switches.
bool may_refactor(const tessar& solver) {
  return solver.do_factor && solver.do_solve && !solver.save_factor && !solver.factors_from_disk;
}

// An unsymmetric matrix whose rows the matching moved is factored on the
// pivoting path, where columns can be delayed; a kept factor stays on the
// path its switches name.
void pivot_after_matching(tessar& solver) {
  if (!solver.matched() || solver.symmetry != static_cast<std::int32_t>(Symmetry::unsymmetric)) return;
  if (solver.pivoting || solver.multi_thread || !may_refactor(solver)) return;
  solver.pivoting = true;
  OrlDebug(2, L"Rows matched: the factorization pivots\n");
}

// charged_kb, the charge of a, grows by the entries a matching adds.
RoundOutcome run_round(tessar& solver, YaleMatrix& a, std::uint64_t& charged_kb, RhsLedger& ledger) {
  timed_phase("Preprocessing time:  real = ", [&] {
    if (!solver.do_reorder) return;
    charged_kb += solver.match(a);
    pivot_after_matching(solver);
    Reorder(solver, a.n, a.nnz, a.row_ptr.data(), a.col_idx.data());
  });
  RoundOutcome outcome;
  timed_phase("Factorization time:  real = ", [&] {
    if (solver.do_factor) outcome.code = solver.factorize(a);
  });
  if (outcome.code != 0) return {RoundEnd::factor_failed, outcome.code};
  timed_phase("Solution time:  real = ", [&] {
    if (!solver.do_solve) return;
    if (solver.factors_from_disk) {
      load_saved_analysis(solver, a);
      charged_kb += solver.match(a);
    }
    // Every solution is confirmed against the matrix as read: the run's copy
    // has been reordered and scaled.
    YaleMatrix original;
    const std::uint64_t charged_kb = read_matrix(solver, original);
    outcome.code = solver.solve(a, original, ledger);
    original = YaleMatrix{};
    release_memory(solver, charged_kb);
  });
  if (outcome.code == 0 && solver.do_solve && !ledger.pending().empty()) outcome.code = 16;
  if (outcome.code != 0) outcome.end = RoundEnd::solve_failed;
  return outcome;
}

// A factorization made again after a round that left right-hand sides
// unsolved, with a stronger factor.
struct Refactorization {
  const char* label;
  bool double_precision;
  bool pivoting;
  bool allow_perturbation;
  std::int32_t matching = -1;  // as the switches and preferences say where −1
};


// In turn: the factor in double precision (not after a zero pivot: fronts
// are computed in double precision anyway, so the same pivot recurs), then
// pivoting where the run did not pivot, then the perturbation of small
// pivots. The unsymmetric kinds pivot with their rows matched to large
// diagonal entries, and, as the matching can also steer the pivots wrong,
// end with perturbed pivots on the rows as read.
std::vector<Refactorization> refactorizations(const tessar& solver, bool zero_pivot) {
  std::vector<Refactorization> steps;
  const bool pivoting = solver.pivoting || solver.multi_thread;
  const bool match_rows = solver.symmetry == static_cast<std::int32_t>(Symmetry::unsymmetric) && solver.matching != 0;
  const std::int32_t pivot_matching = match_rows ? 2 : -1;
  if (!solver.double_precision && !zero_pivot) steps.push_back({"a double precision factor", true, pivoting, false});
  if (!pivoting) steps.push_back({"pivoting", true, true, false, pivot_matching});
  if (!solver.allow_perturbation) steps.push_back({"perturbed pivots", true, true, true, pivot_matching});
  if (match_rows) steps.push_back({"perturbed pivots on unmatched rows", true, true, true, 0});
  return steps;
}

// A new solver object for a refactorization: the run's switches and
// preferences, then the stronger factor. Progress stays in the solution band.
std::unique_ptr<tessar> refactoring_solver(int kind, const Refactorization& step, int argc, const char* const* argv) {
  std::unique_ptr<tessar> solver = make_solver(kind);
  (void)parse_switches(*solver, argc, argv);
  solver->double_precision = step.double_precision;
  solver->set_elem_size();
  solver->pivoting = step.pivoting;
  if (step.matching >= 0) solver->matching = step.matching;
  if (step.allow_perturbation) solver->allow_perturbation = solver->enforce_CG = true;
  const std::int32_t start = solver->solve_progress_start;
  solver->reorder_progress_start = solver->reorder_progress_end = start;
  solver->factor_progress_start = solver->factor_progress_end = start;
  return solver;
}

// The steps each right-hand side goes through before a round gives it up
// (only the iteration where the factor gave values that are not finite
// numbers), and the factorizations the run made again.
std::string tried_steps(const tessar& solver, const std::vector<std::string>& round_labels, bool not_finite) {
  std::string steps = "iteration";
  if (solver.restart_limit > 0 && !not_finite) steps += ", restarted iteration";
  if (solver.gmres_iter > 0 && !not_finite) steps += ", flexible GMRES";
  for (std::size_t round = 1; round < round_labels.size(); ++round) steps += ", factoring again with " + round_labels[round];
  return steps;
}

// The one line a parent program reads when escalation solved the system:
// which step solved how many right-hand sides.
void report_escalation(const tessar& solver, const RhsLedger& ledger, const std::vector<std::string>& round_labels) {
  std::vector<std::pair<std::string, int>> counts;
  for (std::int32_t k = 0; k < ledger.size(); ++k) {
    const std::int32_t round = ledger.round[static_cast<std::size_t>(k)];
    const RhsStep step = ledger.results[static_cast<std::size_t>(k)].step;
    if (round == 0 && step == RhsStep::iteration) continue;
    std::string label = rhs_step_name(step);
    if (round > 0) label += " after factoring again with " + round_labels[static_cast<std::size_t>(round)];
    auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == label; });
    if (it == counts.end()) counts.emplace_back(label, 1);
    else ++it->second;
  }
  if (counts.empty()) return;
  std::string text = "Solved after escalation:";
  for (std::size_t i = 0; i < counts.size(); ++i)
    text += format_text("%s %s (%d of %d right-hand sides)", i == 0 ? "" : ";", counts[i].first.c_str(),
                        counts[i].second, ledger.size());
  OrlDebug(2, L"%s\n", text.c_str());
  report_message(solver, text.c_str());
}

// The message of a run that leaves right-hand sides unsolved: the first of
// them with the best residual it reached, what was tried, and, for a
// factor with perturbed pivots, that the matrix is singular or nearly so.
std::string failure_text(const tessar& solver, const RoundOutcome& outcome, const RhsLedger& ledger,
                         const std::vector<std::string>& round_labels) {
  std::string text = "Matrix solver failed: ";
  if (outcome.end == RoundEnd::factor_failed && ledger.size() == 0) {
    text += "singular matrix (an exactly zero pivot in the factorization)";
    if (round_labels.size() == 1) return text;
    text += "; factored again with ";
    for (std::size_t round = 1; round < round_labels.size(); ++round)
      text += (round > 1 ? ", " : "") + round_labels[round];
    return text;
  }
  const std::vector<std::int32_t> left = ledger.pending();
  std::int32_t named = left.front();
  for (std::int32_t k : left)
    if (std::isfinite(ledger.results[static_cast<std::size_t>(k)].residual)) {
      named = k;
      break;
    }
  const double best = ledger.results[static_cast<std::size_t>(named)].residual;
  text += format_text("right-hand side %d of %d reached a relative residual of %.3e, above the tolerance %.3e",
                      named + 1, ledger.size(), best, solver.cg_tolerance);
  if (left.size() > 1) text += format_text(" (%d right-hand sides unsolved)", static_cast<int>(left.size()));
  if (solver.NumPerturbed > 0)
    text += format_text("; the matrix is singular or nearly so: %d pivots were perturbed", solver.NumPerturbed);
  const bool not_finite = std::any_of(left.begin(), left.end(), [&](std::int32_t k) {
    return ledger.results[static_cast<std::size_t>(k)].factor_not_finite;
  });
  if (not_finite)
    text += solver.double_precision
                ? "; the factor gave values that are not finite numbers: a matrix scaled by -diag_scale may solve"
                : "; the single-precision factor gave values that are not finite numbers: -double_precision or "
                  "-diag_scale may solve";
  return text + "; tried: " + tried_steps(solver, round_labels, not_finite);
}

void run_solver(std::unique_ptr<tessar> solver, int kind, int argc, const char* const* argv) {
  if (parse_switches(*solver, argc, argv) == ParseOutcome::end_now) end_process(0);
  if (solver->do_solve) begin_solution_file(*solver);

  YaleMatrix a;
  std::uint64_t charged_kb = read_matrix(*solver, a);
  auto profile = create_profile(*solver);
  RhsLedger ledger;
  std::vector<std::string> round_labels{""};

  solver->last_round = !may_refactor(*solver) || refactorizations(*solver, false).empty();
  RoundOutcome outcome = run_round(*solver, a, charged_kb, ledger);
  if (outcome.end != RoundEnd::solved && may_refactor(*solver)) {
    std::int64_t peak = solver->memory_peak;
    const std::vector<Refactorization> steps = refactorizations(*solver, outcome.end == RoundEnd::factor_failed);
    for (const Refactorization& step : steps) {
      const std::string text = "Escalation: factoring again with " + std::string(step.label);
      OrlDebug(2, L"%s\n", text.c_str());
      report_message(*solver, text.c_str());
      a = YaleMatrix{};
      release_memory(*solver, charged_kb);
      solver.reset();
      solver = refactoring_solver(kind, step, argc, argv);
      solver->last_round = &step == &steps.back();
      charged_kb = read_matrix(*solver, a);
      ledger.current_round = static_cast<std::int32_t>(round_labels.size());
      round_labels.emplace_back(step.label);
      outcome = run_round(*solver, a, charged_kb, ledger);
      peak = std::max(peak, solver->memory_peak);
      if (outcome.end == RoundEnd::solved) break;
    }
    solver->memory_peak = peak;
  }
  if (outcome.end != RoundEnd::solved) {
    end_report(*solver, profile, a.n);
    if (solver->do_solve) discard_solution_file(*solver);
    solver->fatal(failure_text(*solver, outcome, ledger, round_labels).c_str(), outcome.code);
  }
  if (solver->do_solve) {
    commit_solution_file(*solver);
    report_escalation(*solver, ledger, round_labels);
  }
  if (solver->do_check) verify_solutions(*solver);

  end_report(*solver, profile, a.n);
  a = YaleMatrix{};
  release_memory(*solver, charged_kb);
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
