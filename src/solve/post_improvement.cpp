#include "solve/post_improvement.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

#include "driver/charged_array.h"
#include "driver/tessar.h"
#include "kernels/vector_kernels.h"
#include "platform/core_library.h"
#include "platform/kind_traits.h"
#include "solve/krylov.h"
#include "solve/matrix_product.h"
#include "solve/substitution.h"
#include "solve/verification.h"

// Each thread's vectors: the permuted right-hand side, the iterate, the
// method's work vectors, the kept right-hand side of the in-solve check and
// the substitution's work vector.
template <class K>
struct PostImprovement<K>::State {
  tessar& solver;
  const YaleMatrix& a;
  FactorAccess access;
  bool iterating = false;
  std::int32_t vectors_per_thread = 0;
  std::vector<ChargedArray<T>> blocks;
  std::vector<ChargedArray<std::byte>> substitution_work;

  State(tessar& s, const YaleMatrix& matrix, std::int32_t threads)
      : solver(s), a(matrix), blocks(threads), substitution_work(threads) {}

  T* vectors(std::int32_t thread) { return blocks[thread].data(); }
};

namespace {

template <class K>
std::int32_t work_vectors() {
  return K::symmetry == Symmetry::unsymmetric ? bicg_work_vectors : cg_work_vectors;
}

template <class T>
void scale_by(std::int32_t n, T* v, const double* scale_vector) {
  const T* s = reinterpret_cast<const T*>(scale_vector);
  for (std::int32_t i = 0; i < n; ++i) v[i] *= s[i];
}

}  // namespace

template <class K>
PostImprovement<K>::PostImprovement(tessar& solver, const YaleMatrix& a, std::int32_t threads)
    : state_(std::make_unique<State>(solver, a, threads)) {
  State& st = *state_;
  st.iterating = !solver.double_precision || solver.enforce_CG;
  // permuted b, x, method work, kept b for the check
  st.vectors_per_thread = 2 + (st.iterating ? work_vectors<K>() : 0) + 1;
  prepare_factor_access(solver, st.access, 0);
  const std::size_t n = static_cast<std::size_t>(a.n);
  for (std::int32_t t = 0; t < threads; ++t) {
    st.blocks[t].allocate(solver, n * st.vectors_per_thread, "Not enough memory for CG_Vectors");
    st.substitution_work[t].allocate(solver, std::max<std::size_t>(substitution_work_bytes(solver), 1),
                                     "Not enough memory for CG_Vectors");
  }
}

template <class K>
PostImprovement<K>::~PostImprovement() {
  release_factor_access(state_->solver, state_->access);
}

template <class K>
bool PostImprovement<K>::offcore() const {
  return state_->access.offcore;
}

template <class K>
void PostImprovement<K>::share_patch_loads(std::int32_t threads) {
  if (!state_->access.offcore) return;
  if (threads > 1) start_shared_loading(state_->access, threads);
}

template <class K>
int PostImprovement<K>::improve(T* vector, std::int32_t thread, bool transpose) {
  State& st = *state_;
  tessar& solver = st.solver;
  const std::int32_t n = st.a.n;
  constexpr bool unsymmetric = K::symmetry == Symmetry::unsymmetric;
  if (solver.diag_scale) scale_by(n, vector, solver.scale_vector.data());
  if (unsymmetric && transpose) OrlDebug(2, L"Solving transpose of the matrix\n");

  const double bnorm = vec::norm2(n, vector);
  const bool chain = unsymmetric && solver.pivoting && solver.post_method == 2;
  if (unsymmetric) OrlDebug(2, L"Starting BiCG improvement, Thread%d |rhs| = %le\n", thread, bnorm);
  else OrlDebug(2, L"CG improvement, Thread%d |rhs| = %le\n", thread, bnorm);
  if (bnorm == 0.0) {
    std::fill(vector, vector + n, T(0));
    return 0;
  }

  T* block = st.vectors(thread);
  T* b = block;
  T* x = block + n;
  T* kept = block + std::size_t(n) * (st.vectors_per_thread - 1);
  T* work = block + 2 * std::size_t(n);
  const std::int32_t* iperm = solver.iperm.data();
  for (std::int32_t i = 0; i < n; ++i) b[iperm[i]] = vector[i];
  if (solver.check_residual) std::copy(vector, vector + n, kept);

  void* subst_work = st.substitution_work[thread].data();
  KrylovOperators<T> ops;
  ops.precondition = [&](T* v, bool t) { SolveWithFactor<K>(solver, st.access, v, t, subst_work); };
  ops.multiply = [&](const T* in, T* out, bool t) { multiply_matrix<K>(st.a, in, out, t); };
  ops.on_leaving = [] {};
  ops.after_iteration = [] {};

  int result = 0;
  if (!st.iterating) {
    std::copy(b, b + n, x);
    ops.precondition(x, transpose);
    OrlDebug(2, unsymmetric ? L"Thread%d iter %2d, R.residual = %le\n" : L"Thread%d iter %2d, R.error = %le\n", thread,
             1, 0.0);
  } else {
    KrylovSettings settings;
    settings.n = n;
    settings.tolerance = solver.cg_tolerance;
    settings.max_iterations = solver.cg_iter;
    settings.thread = thread;
    settings.pivoting = solver.pivoting || solver.multi_thread;
    settings.transpose = transpose;
    settings.offcore_unshared = st.access.offcore;
    settings.solver = &solver;
    if constexpr (unsymmetric) {
      result = BiConjugateGradients<K>(ops, settings, b, bnorm, x, work);
      if (result != 0 && chain) {
        OrlDebug(2, L"Starting BiCGStab improvement, Thread%d |rhs| = %le\n", thread, bnorm);
        result = BiCGStab<K>(ops, settings, b, bnorm, x, work);
      }
      if (result != 0 && chain) {
        OrlDebug(2, L"Starting BiCGStab(%d) improvement, Thread%d |rhs| = %le\n", 2, thread, bnorm);
        result = BiCGStab2<K>(ops, settings, b, bnorm, x, work);
      }
    } else {
      result = ConjugateGradients<K>(ops, settings, b, bnorm, x, work);
    }
  }
  if (result != 0) return result;

  if (solver.check_residual) {
    const T* scale = solver.diag_scale ? reinterpret_cast<const T*>(solver.scale_vector.data()) : nullptr;
    InSolveResidualCheck<K>(st.a, x, kept, iperm, scale, thread, bnorm, b);
  }
  for (std::int32_t i = 0; i < n; ++i) vector[i] = x[iperm[i]];
  if (solver.diag_scale) scale_by(n, vector, solver.scale_vector.data());
  return 0;
}

template class PostImprovement<RealSymmetric>;
template class PostImprovement<RealUnsymmetric>;
template class PostImprovement<ComplexSymmetric>;
template class PostImprovement<ComplexUnsymmetric>;
template class PostImprovement<ComplexHermitian>;
