#pragma once
// The per-thread solve of one right-hand side: scaling and permutation in and
// out, the substitution with the factor as a direct solve or as the
// preconditioner of a Krylov iteration on the reordered input matrix, and the
// confirmation of the solution against the matrix as read. A solution that is
// not confirmed is improved further, each step only where the one before
// failed: the iteration restarted from the true residual (up to
// `restart_limit` times while it gains), then flexible GMRES preconditioned
// by the factor (cycles of `gmres_restart` iterations, `gmres_iter` in all).
// One object serves the whole solution phase; its construction is the set-up
// and its destruction the release.
#include <cstdint>
#include <memory>

#include "io/yale_matrix.h"
#include "solve/rhs_ledger.h"

class tessar;

template <class K>
class PostImprovement {
 public:
  using T = typename K::scalar;

  // Set-up for up to `threads` solve threads: where the factor is read from
  // (an offcore area leaves room for the threads' vectors under the soft
  // memory limit), how many threads fit beside it (logged; at least one),
  // the vector blocks of each. a is the
  // matrix as the factorization left it (reordered and scaled), original the
  // matrix as read from "A", against which every solution is confirmed.
  PostImprovement(tessar& solver, const YaleMatrix& a, const YaleMatrix& original, std::int32_t threads);
  ~PostImprovement();
  PostImprovement(const PostImprovement&) = delete;
  PostImprovement& operator=(const PostImprovement&) = delete;

  // ImproveSolution: vector holds the right-hand side (unpermuted) and
  // receives the solution. Returns 0 once the solution is confirmed, or 16
  // when no step reached a confirmed solution (the vector then still holds
  // the right-hand side). result receives the least
  // true relative residual reached and the step that confirmed the solution.
  [[nodiscard]] int improve(T* vector, std::int32_t thread, bool transpose, RhsResult& result);

  // The solve threads the set-up made room for.
  std::int32_t threads() const;

  // Number of solve threads running at once and the right-hand sides they
  // will solve: above 1 thread an offcore factor is read in shared sweeps.
  void share_patch_loads(std::int32_t threads, std::int32_t coming);
  // The launches stopped with `skipped` right-hand sides not launched.
  void launches_stopped(std::int32_t skipped);

 private:
  struct State;
  std::unique_ptr<State> state_;
};
