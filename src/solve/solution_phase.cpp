#include "solve/solution_phase.h"

#include <algorithm>

#include "core/tessar.h"
#include "factor/matrix_prep.h"
#include "platform/kind_traits.h"
#include "solve/post_improvement.h"
#include "solve/rhs_threads.h"

template <class K>
int SolutionPhase(tessar& solver, YaleMatrix& a, const YaleMatrix& original, RhsVectors& vectors, RhsLedger& ledger) {
  using T = typename K::scalar;
  const std::int32_t nrhs = vectors.count(solver, a.n);
  if (ledger.size() == 0) ledger.resize(nrhs);
  if (!solver.do_factor) {
    if (solver.diagonal_scaled()) ScaleMatrix<K>(solver, a);
    PermuteMatrix<K>(solver, a);
  }
  const std::vector<std::int32_t> pending = ledger.pending();
  const auto count = static_cast<std::int32_t>(pending.size());
  PostImprovement<K> improvement(solver, a, original, std::max(1, std::min(solve_thread_count(solver), count)));
  RhsSolveHooks hooks;
  hooks.solve_one = [&](void* vector, std::int32_t thread, std::int32_t rhs) {
    RhsResult result;
    const int code = improvement.improve(static_cast<T*>(vector), thread, false, result);
    ledger.record(rhs, result, code == 0);
    return code;
  };
  hooks.share_patch_loads = [&](std::int32_t threads, std::int32_t coming) {
    improvement.share_patch_loads(threads, coming);
  };
  hooks.launches_stopped = [&](std::int32_t skipped) { improvement.launches_stopped(skipped); };
  hooks.max_threads = improvement.threads();
  return SolveAllRhs(solver, vectors, a.n, pending, sizeof(T), hooks);
}

template int SolutionPhase<RealSymmetric>(tessar&, YaleMatrix&, const YaleMatrix&, RhsVectors&, RhsLedger&);
template int SolutionPhase<RealUnsymmetric>(tessar&, YaleMatrix&, const YaleMatrix&, RhsVectors&, RhsLedger&);
template int SolutionPhase<ComplexSymmetric>(tessar&, YaleMatrix&, const YaleMatrix&, RhsVectors&, RhsLedger&);
template int SolutionPhase<ComplexUnsymmetric>(tessar&, YaleMatrix&, const YaleMatrix&, RhsVectors&, RhsLedger&);
template int SolutionPhase<ComplexHermitian>(tessar&, YaleMatrix&, const YaleMatrix&, RhsVectors&, RhsLedger&);
