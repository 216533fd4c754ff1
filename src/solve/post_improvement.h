#pragma once
// The per-thread solve of one right-hand side: scaling and permutation in and
// out, the substitution with the factor as a direct solve or as the
// preconditioner of a Krylov iteration on the reordered input matrix, and the
// in-solve residual check. One object serves the whole solution phase; its
// construction is the set-up and its destruction the release.
#include <cstdint>
#include <memory>

#include "io/yale_matrix.h"

class tessar;

template <class K>
class PostImprovement {
 public:
  using T = typename K::scalar;

  // Set-up for up to `threads` solve threads: where the factor is read from,
  // the vector blocks of every thread, the shared-load bookkeeping. a is the
  // matrix as the factorization left it (reordered and scaled).
  PostImprovement(tessar& solver, const YaleMatrix& a, std::int32_t threads);
  ~PostImprovement();
  PostImprovement(const PostImprovement&) = delete;
  PostImprovement& operator=(const PostImprovement&) = delete;

  // ImproveSolution: vector holds the right-hand side (unpermuted) and
  // receives the solution. Returns 0, or 16 when the iteration did not
  // reach the tolerance (the vector then holds no solution).
  [[nodiscard]] int improve(T* vector, std::int32_t thread, bool transpose);

  // Number of solve threads running at once (1 when they do not share).
  void share_patch_loads(std::int32_t threads);

  // Whether the substitution reads the factor in patches from its files.
  bool offcore() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};
