#pragma once
// A run in rounds, for the command line and the library alike. A round is
// the analysis, the factorization and the solution phase of one solver
// object. When it leaves right-hand sides unsolved (or the factorization
// fails), the run factors again with stronger factors in turn — double
// precision, pivoting, perturbed pivots — each round with a new solver
// object that solves only the right-hand sides still left.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/tessar.h"
#include "io/yale_matrix.h"
#include "solve/rhs_ledger.h"
#include "solve/rhs_vectors.h"

// How a round ended.
enum class RoundEnd { solved, factor_failed, solve_failed };

struct RoundOutcome {
  RoundEnd end = RoundEnd::solved;
  int code = 0;
};

// A factorization made again, with a stronger factor.
struct Refactorization {
  const char* label;
  bool double_precision;
  bool pivoting;
  bool allow_perturbation;
  std::int32_t matching = -1;  // as the settings say where −1
};

// What the caller of the rounds provides.
struct RoundInputs {
  // A new solver object with the run's settings.
  std::function<std::unique_ptr<tessar>()> make_solver;
  // The matrix as given, into a (the round reorders and scales it); returns
  // the KB charged for it.
  std::function<std::uint64_t(tessar&, YaleMatrix& a)> load_matrix;
  // Lends the matrix as given, for the confirmation of each solution.
  std::function<void(tessar&, const std::function<void(const YaleMatrix&)>&)> with_original;
};

// The state of a run between its phases.
struct RunState {
  std::unique_ptr<tessar> solver;
  YaleMatrix a;
  std::uint64_t charged_kb = 0;  // for a, grown by the entries a matching adds
  RhsLedger ledger;
  std::vector<std::string> round_labels{""};  // the factor of each round, "" the first
  std::int64_t peak_kb = 0;                   // the highest peak of the rounds so far
};

// Only a run that factors, solves and keeps no factor may factor again: a
// kept factor must stay the one the settings describe.
bool may_refactor(const tessar& solver);

// The phases of one round, each timed for the profile; the solution phase
// solves the right-hand sides of vectors the ledger leaves.
void analyze_round(RunState& run);
int factor_round(RunState& run);
RoundOutcome solve_round(RunState& run, const RoundInputs& inputs, RhsVectors& vectors);
// All three, stopping after a failed factorization.
RoundOutcome run_round(RunState& run, const RoundInputs& inputs, RhsVectors& vectors);

// Rounds of stronger factors after outcome, until one solves; the run's
// solver is then the last round's. Returns the last round's outcome.
RoundOutcome escalate(RunState& run, const RoundInputs& inputs, RhsVectors& vectors, RoundOutcome outcome);

// The stronger factors a run may still try after its first round.
std::vector<Refactorization> refactorizations(const tessar& solver, bool zero_pivot);

// The one line a parent program reads when escalation solved the system.
void report_escalation(const RunState& run);

// The message of a run that leaves right-hand sides unsolved (or could not
// factor): what was reached and what was tried.
std::string failure_text(const RunState& run, const RoundOutcome& outcome);
