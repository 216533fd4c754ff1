#include "solve/solution_phase.h"

#include <algorithm>

#include "driver/tessar.h"
#include "factor/matrix_prep.h"
#include "io/vectors.h"
#include "platform/kind_traits.h"
#include "solve/post_improvement.h"
#include "solve/rhs_threads.h"

template <class K>
int SolutionPhase(tessar& solver, YaleMatrix& a) {
  using T = typename K::scalar;
  const std::int32_t nrhs = count_rhs(solver, "b", a.n);
  if (!solver.do_factor) {
    if (solver.diag_scale) ScaleMatrix<K>(solver, a);
    PermuteMatrix<K>(solver, a);
  }
  PostImprovement<K> improvement(solver, a, std::max(1, std::min(solve_thread_count(solver), nrhs)));
  RhsSolveHooks hooks;
  hooks.solve_one = [&](void* vector, std::int32_t thread) {
    return improvement.improve(static_cast<T*>(vector), thread, false);
  };
  hooks.share_patch_loads = [&](std::int32_t threads) { improvement.share_patch_loads(threads); };
  // Threads that read the factor in patches would have to move through it in
  // step; one thread reading each patch for itself is used instead.
  hooks.max_threads = improvement.offcore() ? 1 : 0;
  return SolveAllRhs(solver, a.n, nrhs, sizeof(T), hooks);
}

template int SolutionPhase<RealSymmetric>(tessar&, YaleMatrix&);
template int SolutionPhase<RealUnsymmetric>(tessar&, YaleMatrix&);
template int SolutionPhase<ComplexSymmetric>(tessar&, YaleMatrix&);
template int SolutionPhase<ComplexUnsymmetric>(tessar&, YaleMatrix&);
template int SolutionPhase<ComplexHermitian>(tessar&, YaleMatrix&);
