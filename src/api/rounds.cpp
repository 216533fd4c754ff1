#include "api/rounds.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "analysis/index_file.h"
#include "analysis/reorder.h"
#include "core/memory_monitor.h"
#include "core/profile.h"
#include "core/progress.h"
#include "platform/core_library.h"
#include "platform/kind_traits.h"

namespace {

// Runs one phase and, with TESSAR_PROFILE > 0, appends its real and CPU time
// to "tessar.prof". The readings are taken whether or not the phase runs.
template <class Phase>
void timed_phase(const char* label, const Phase& phase) {
  const PhaseReadings start = take_phase_readings();
  phase();
  append_phase_timing(label, start);
}

// An unsymmetric matrix whose rows the matching moved is factored on the
// pivoting path, where columns can be delayed; a kept factor stays on the
// path its settings name.
void pivot_after_matching(tessar& solver) {
  if (!solver.matched() || solver.symmetry != static_cast<std::int32_t>(Symmetry::unsymmetric)) return;
  if (solver.pivoting || solver.multi_thread || !may_refactor(solver)) return;
  solver.pivoting = true;
  OrlDebug(2, L"Rows matched: the factorization pivots\n");
}

// A run that solves with the factor of an earlier run takes that run's
// analysis from the index file.
void load_saved_analysis(tessar& solver, const YaleMatrix& a) {
  solver.ReorderSpace.allocate(solver, static_cast<std::size_t>(a.nnz), "Can not allocate memory for ReorderSpace");
  LoadIndexFile(solver, a.n);
}

// A new solver object for a refactorization: the run's settings, then the
// stronger factor. Progress stays in the solution band.
std::unique_ptr<tessar> refactoring_solver(const RoundInputs& inputs, const Refactorization& step) {
  std::unique_ptr<tessar> solver = inputs.make_solver();
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

}  // namespace

bool may_refactor(const tessar& solver) {
  return solver.do_factor && solver.do_solve && !solver.save_factor && !solver.factors_from_disk;
}

void analyze_round(RunState& run) {
  tessar& solver = *run.solver;
  timed_phase("Preprocessing time:  real = ", [&] {
    if (!solver.do_reorder) return;
    run.charged_kb += solver.match(run.a);
    pivot_after_matching(solver);
    Reorder(solver, run.a.n, run.a.nnz, run.a.row_ptr.data(), run.a.col_idx.data());
  });
}

int factor_round(RunState& run) {
  int code = 0;
  timed_phase("Factorization time:  real = ", [&] {
    if (run.solver->do_factor) code = run.solver->factorize(run.a);
  });
  return code;
}

RoundOutcome solve_round(RunState& run, const RoundInputs& inputs, RhsVectors& vectors) {
  tessar& solver = *run.solver;
  RoundOutcome outcome;
  timed_phase("Solution time:  real = ", [&] {
    if (!solver.do_solve) return;
    if (solver.factors_from_disk) {
      load_saved_analysis(solver, run.a);
      run.charged_kb += solver.match(run.a);
    }
    // Every solution is confirmed against the matrix as given: the run's
    // copy has been reordered and scaled.
    inputs.with_original(solver, [&](const YaleMatrix& original) {
      outcome.code = solver.solve(run.a, original, vectors, run.ledger);
    });
  });
  if (outcome.code == 0 && solver.do_solve && !run.ledger.pending().empty()) outcome.code = 16;
  if (outcome.code != 0) outcome.end = RoundEnd::solve_failed;
  return outcome;
}

RoundOutcome run_round(RunState& run, const RoundInputs& inputs, RhsVectors& vectors) {
  analyze_round(run);
  if (const int code = factor_round(run); code != 0) return {RoundEnd::factor_failed, code};
  return solve_round(run, inputs, vectors);
}

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

RoundOutcome escalate(RunState& run, const RoundInputs& inputs, RhsVectors& vectors, RoundOutcome outcome) {
  run.peak_kb = std::max(run.peak_kb, run.solver->memory_peak);
  const std::vector<Refactorization> steps = refactorizations(*run.solver, outcome.end == RoundEnd::factor_failed);
  for (const Refactorization& step : steps) {
    const std::string text = "Escalation: factoring again with " + std::string(step.label);
    OrlDebug(2, L"%s\n", text.c_str());
    report_message(*run.solver, text.c_str());
    run.a = YaleMatrix{};
    release_memory(*run.solver, run.charged_kb);
    run.solver.reset();
    run.solver = refactoring_solver(inputs, step);
    run.solver->last_round = &step == &steps.back();
    run.charged_kb = inputs.load_matrix(*run.solver, run.a);
    run.ledger.current_round = static_cast<std::int32_t>(run.round_labels.size());
    run.round_labels.emplace_back(step.label);
    outcome = run_round(run, inputs, vectors);
    run.peak_kb = std::max(run.peak_kb, run.solver->memory_peak);
    if (outcome.end == RoundEnd::solved) break;
  }
  run.solver->memory_peak = run.peak_kb;
  return outcome;
}

void report_escalation(const RunState& run) {
  const RhsLedger& ledger = run.ledger;
  std::vector<std::pair<std::string, int>> counts;
  for (std::int32_t k = 0; k < ledger.size(); ++k) {
    const std::int32_t round = ledger.round[static_cast<std::size_t>(k)];
    const RhsStep step = ledger.results[static_cast<std::size_t>(k)].step;
    if (round == 0 && step == RhsStep::iteration) continue;
    std::string label = rhs_step_name(step);
    if (round > 0) label += " after factoring again with " + run.round_labels[static_cast<std::size_t>(round)];
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
  report_message(*run.solver, text.c_str());
}

std::string failure_text(const RunState& run, const RoundOutcome& outcome) {
  const tessar& solver = *run.solver;
  const RhsLedger& ledger = run.ledger;
  const std::vector<std::string>& round_labels = run.round_labels;
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
