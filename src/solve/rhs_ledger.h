#pragma once
// What the solution phase made of each right-hand side of "b". The ledger
// outlives the solver objects of one run: when a right-hand side is still
// unsolved after every step of the solve, the run may factor again (in double
// precision, with pivoting) and solve only the right-hand sides left.
#include <cstdint>
#include <limits>
#include <vector>

// The step of the per-right-hand-side solve that confirmed a solution.
enum class RhsStep : std::uint8_t {
  none,       // not solved
  iteration,  // the direct solve or the kind's Krylov iteration, as first run
  restart,    // the iteration restarted from the true residual
  gmres,      // flexible GMRES preconditioned by the factor
};

inline const char* rhs_step_name(RhsStep step) {
  switch (step) {
    case RhsStep::iteration: return "iteration";
    case RhsStep::restart: return "restarted iteration";
    case RhsStep::gmres: return "flexible GMRES";
    case RhsStep::none: break;
  }
  return "none";
}

struct RhsResult {
  double residual = std::numeric_limits<double>::infinity();  // least true relative residual reached
  RhsStep step = RhsStep::none;
  bool factor_not_finite = false;  // the factor gave values that are not finite numbers
  std::int32_t factor_solves = 0;  // solves with the factor (one per iteration), all steps together
};

struct RhsLedger {
  std::vector<RhsResult> results;   // one per right-hand side of "b"
  std::vector<std::int32_t> round;  // the factorization that solved it (0 the first), −1 while unsolved
  std::int32_t current_round = 0;   // the factorization solving now

  // Records what the solve of right-hand side k reached in this round.
  void record(std::int32_t k, const RhsResult& result, bool solved) {
    RhsResult& kept = results[static_cast<std::size_t>(k)];
    if (solved) {
      kept = result;
      round[static_cast<std::size_t>(k)] = current_round;
    } else {
      if (result.residual < kept.residual) kept.residual = result.residual;
      kept.factor_not_finite = result.factor_not_finite;
    }
  }

  void resize(std::int32_t nrhs) {
    results.assign(static_cast<std::size_t>(nrhs), RhsResult{});
    round.assign(static_cast<std::size_t>(nrhs), -1);
  }
  std::int32_t size() const { return static_cast<std::int32_t>(results.size()); }
  bool solved(std::int32_t k) const { return round[static_cast<std::size_t>(k)] >= 0; }

  // The right-hand sides not solved yet, in ascending order.
  std::vector<std::int32_t> pending() const {
    std::vector<std::int32_t> left;
    for (std::int32_t k = 0; k < size(); ++k)
      if (!solved(k)) left.push_back(k);
    return left;
  }
};
