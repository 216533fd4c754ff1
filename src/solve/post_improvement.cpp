#include "solve/post_improvement.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <vector>

#include "core/charged_array.h"
#include "core/tessar.h"
#include "kernels/vector_kernels.h"
#include "platform/core_library.h"
#include "platform/kind_traits.h"
#include "solve/krylov.h"
#include "solve/matrix_product.h"
#include "solve/substitution.h"
#include "solve/verification.h"

// Each thread's vectors: the permuted right-hand side (the method's residual
// while it iterates, the solution in the system as read after it), the
// iterate and the method's work vectors; the right-hand side as read stays in
// the caller's vector until the solution replaces it. Besides them each
// thread has the substitution's work vector.
template <class K>
struct PostImprovement<K>::State {
  tessar& solver;
  const YaleMatrix& a;
  const YaleMatrix& original;
  double original_norm = 0;  // ‖A‖∞ of the matrix as read
  FactorAccess access;
  bool iterating = false;
  std::int32_t vectors_per_thread = 0;
  std::int32_t threads = 1;
  std::vector<ChargedArray<T>> blocks;
  std::vector<ChargedArray<std::byte>> substitution_work;

  State(tessar& s, const YaleMatrix& matrix, const YaleMatrix& as_read) : solver(s), a(matrix), original(as_read) {}

  T* vectors(std::int32_t thread) { return blocks[thread].data(); }
};

namespace {

constexpr const char* escalation_failure = "Not enough memory for the improvement of a solution";

template <class K>
std::int32_t work_vectors() {
  return K::symmetry == Symmetry::unsymmetric ? bicg_work_vectors : cg_work_vectors;
}

// Moves vectors between the system as read and the system the factor
// solves: B = Dr·M·A·Dc (the matching's row permutation M and scaling, or the
// diagonal scaling S on both sides, or neither), renumbered by the ordering
// P. Right-hand sides and residuals map as r_solver = P·Dr·M·r, solutions as
// x = Dc·Pᵀ·x_solver.
template <class T>
struct SystemMap {
  std::int32_t n;
  const std::int32_t* iperm;
  const std::int32_t* row_position = nullptr;  // M: row i moves to row_position[i]
  const T* scale = nullptr;                     // S
  const double* row_scale = nullptr;            // Dr
  const double* column_scale = nullptr;         // Dc

  static SystemMap of(tessar& solver, std::int32_t n) {
    SystemMap map{n, solver.iperm.data()};
    if (solver.matched()) {
      map.row_position = solver.match_position.data();
      map.row_scale = solver.row_scale.data();
      map.column_scale = solver.column_scale.data();
    } else if (solver.diagonal_scaled()) {
      map.scale = reinterpret_cast<const T*>(solver.scale_vector.data());
    }
    return map;
  }

  void to_solver(const T* in, T* out) const {
    for (std::int32_t i = 0; i < n; ++i) {
      const std::int32_t row = row_position ? row_position[i] : i;
      out[iperm[row]] = (scale ? scale[i] : T(1)) * (row_scale ? row_scale[i] : 1.0) * in[i];
    }
  }
  // out = base + Dc·Pᵀ·in, base = 0 when null.
  void to_original(const T* in, T* out, const T* base = nullptr) const {
    for (std::int32_t i = 0; i < n; ++i)
      out[i] = (base ? base[i] : T(0)) + (scale ? scale[i] : T(1)) * (column_scale ? column_scale[i] : 1.0) * in[iperm[i]];
  }
};

// The kind's iteration: CG for the symmetric kinds, BiCG for the unsymmetric
// ones, followed with -bicgstab (pivoting modes) by BiCGStab and BiCGStab(2),
// which start again from a copy of b kept for them. b is overwritten.
template <class K>
int run_iteration(tessar& solver, const KrylovOperators<typename K::scalar>& ops, const KrylovSettings& settings,
                  typename K::scalar* b, double bnorm, typename K::scalar* x, typename K::scalar* work) {
  if constexpr (K::symmetry == Symmetry::unsymmetric) {
    if (!(solver.pivoting && solver.post_method == 2)) return BiConjugateGradients<K>(ops, settings, b, bnorm, x, work);
    ChargedArray<typename K::scalar> kept;
    kept.allocate(solver, static_cast<std::size_t>(settings.n), "Not enough memory");
    std::copy(b, b + settings.n, kept.data());
    int result = BiConjugateGradients<K>(ops, settings, b, bnorm, x, work);
    if (result != 0) {
      OrlDebug(2, L"Starting BiCGStab improvement, Thread%d |rhs| = %le\n", settings.thread, bnorm);
      result = BiCGStab<K>(ops, settings, kept.data(), bnorm, x, work);
    }
    if (result != 0) {
      OrlDebug(2, L"Starting BiCGStab(%d) improvement, Thread%d |rhs| = %le\n", 2, settings.thread, bnorm);
      result = BiCGStab2<K>(ops, settings, kept.data(), bnorm, x, work);
    }
    return result;
  } else {
    return ConjugateGradients<K>(ops, settings, b, bnorm, x, work);
  }
}

void log_confirmed(std::int32_t thread, const Confirmation& c, double tolerance) {
  if (c.passed)
    OrlDebug(2, L"Thread%d solution confirmed: relative residual %le <= %le\n", thread, c.relative, tolerance);
  else
    OrlDebug(2, L"Thread%d solution confirmed by its backward error %le <= %le (relative residual %le)\n", thread,
             c.backward, backward_error_bound, c.relative);
}

// The steps that follow an unconfirmed solution. Corrections are computed in
// the factor's system from the true residual of the system as read, and a
// candidate replaces the best solution only when its true residual is lower.
template <class K>
class Escalation {
 public:
  using T = typename K::scalar;

  struct Vectors {
    const T* rhs;  // the right-hand side as read
    T* out;        // holds the first solution, receives the best one
    T* d;          // correction in the factor's system
    T* work;       // the iteration's work vectors, null when the run does not iterate
  };

  Escalation(tessar& solver, const YaleMatrix& original, double original_norm, const SystemMap<T>& map,
             const KrylovOperators<T>& ops, const KrylovSettings& settings, const Vectors& v)
      : solver_(solver), original_(original), norm_(original_norm), map_(map), ops_(ops), settings_(settings), v_(v) {
    const auto n = static_cast<std::size_t>(map.n);
    best_.allocate(solver, n, escalation_failure);
    residual_.allocate(solver, n, escalation_failure);
    r_solver_.allocate(solver, n, escalation_failure);
    if (!v_.work) {
      own_work_.allocate(solver, n * work_vectors<K>(), escalation_failure);
      v_.work = own_work_.data();
    }
  }

  // Takes the unconfirmed first solution in v.out; returns the step that
  // confirmed a solution (none when every step failed), with the best
  // solution in v.out and its confirmation in best().
  RhsStep run() {
    const std::int32_t n = map_.n;
    std::copy(v_.out, v_.out + n, best_.data());
    best_c_ = confirm(best_.data(), residual_.data());
    // Even a first solution with a large residual is kept: its error often
    // lies in a few directions (those of perturbed pivots) that the next
    // correction removes, where a start from zero would repeat the first solve.
    if (!best_c_.finite) {
      std::fill(best_.begin(), best_.end(), T(0));
      best_c_ = confirm(best_.data(), residual_.data());
    }
    RhsStep step = RhsStep::none;
    if (restart_iteration()) step = RhsStep::restart;
    else if (flexible_gmres()) step = RhsStep::gmres;
    else if (solver_.last_round && best_c_.at_rounding_level) step = best_step_;
    std::copy(best_.begin(), best_.end(), v_.out);
    return step;
  }

  const Confirmation& best() const { return best_c_; }

 private:
  Confirmation confirm(const T* x, T* r) const {
    return ConfirmSolution<K>(original_, norm_, x, v_.rhs, r, solver_.cg_tolerance);
  }

  // The reduction of the current residual a correction must reach, with a
  // margin of 10 below what the tolerance needs.
  double reduction() const {
    return std::min(0.1, 0.1 * solver_.cg_tolerance / std::max(best_c_.relative, 1e-300));
  }

  // r_solver = the best solution's true residual in the factor's system.
  double residual_in_solver() {
    map_.to_solver(residual_.data(), r_solver_.data());
    return vec::norm2(map_.n, r_solver_.data());
  }

  // Confirms best + Dc·Pᵀ·d (best + d for a correction in the system as
  // read), the correction of `step`; keeps it when its residual is lower.
  // Returns whether it was kept.
  bool try_correction(RhsStep step, const wchar_t* step_line, std::int32_t count, bool in_solver_system = true) {
    if (in_solver_system) {
      map_.to_original(v_.d, v_.out, best_.data());
    } else {
      for (std::int32_t i = 0; i < map_.n; ++i) v_.out[i] = best_[i] + v_.d[i];
    }
    const Confirmation c = confirm(v_.out, r_solver_.data());
    OrlDebug(2, step_line, settings_.thread, count, c.relative, c.backward);
    if (!c.finite || !(c.relative < best_c_.relative)) return false;
    std::copy(v_.out, v_.out + map_.n, best_.data());
    std::copy(r_solver_.begin(), r_solver_.end(), residual_.data());
    best_c_ = c;
    best_step_ = step;
    return true;
  }

  bool restart_iteration() {
    for (std::int32_t k = 1; k <= solver_.restart_limit; ++k) {
      const double rnorm = residual_in_solver();
      KrylovSettings settings = settings_;
      settings.tolerance = reduction();
      (void)run_iteration<K>(solver_, ops_, settings, r_solver_.data(), rnorm, v_.d, v_.work);
      if (!try_correction(RhsStep::restart,
                          L"Thread%d restart %d from the true residual: relative residual %le, backward error %le\n", k))
        return false;
      if (best_c_.passed) return true;
    }
    return false;
  }

  // Flexible GMRES on the system as read, preconditioned by the factor
  // through the map: it minimizes the residual the confirmation measures,
  // which a scaled system would weigh row by row.
  bool flexible_gmres() {
    const std::int32_t n = map_.n;
    const std::int32_t m = std::max(solver_.gmres_restart, 1);
    ChargedArray<T> v, z, mapped;
    v.allocate(solver_, static_cast<std::size_t>(m + 1) * n, escalation_failure);
    z.allocate(solver_, static_cast<std::size_t>(m) * n, escalation_failure);
    mapped.allocate(solver_, static_cast<std::size_t>(n), escalation_failure);
    KrylovOperators<T> ops = ops_;
    ops.multiply = [&](const T* in, T* out, bool) { multiply_matrix<K>(original_, in, out); };
    ops.precondition = [&](T* x, bool transpose) {
      map_.to_solver(x, mapped.data());
      ops_.precondition(mapped.data(), transpose);
      map_.to_original(mapped.data(), x);
    };
    std::int32_t total = 0, stalls = 0;
    while (total < solver_.gmres_iter && stalls < 2) {
      const double previous = best_c_.relative;
      const double target = reduction() * vec::norm2(n, residual_.data());
      const std::int32_t cycle = std::min(m, solver_.gmres_iter - total);
      const std::int32_t made =
          FlexibleGmresCycle<K>(ops, settings_, residual_.data(), target, cycle, v_.d, v.data(), z.data());
      total += made;
      const bool kept = try_correction(
          RhsStep::gmres, L"Thread%d flexible GMRES, %d iterations: relative residual %le, backward error %le\n",
          total, false);
      if (kept && best_c_.passed) return true;
      // A rejected cycle would only repeat itself from the same solution.
      if (!kept || made == 0) break;
      stalls = best_c_.relative < 0.5 * previous ? 0 : stalls + 1;
    }
    return false;
  }

  tessar& solver_;
  const YaleMatrix& original_;
  double norm_;
  const SystemMap<T>& map_;
  const KrylovOperators<T>& ops_;
  KrylovSettings settings_;
  Vectors v_;
  // The best solution, its true residual, a residual in the factor's system
  // (then a candidate's true residual), and the work vectors of a run that
  // does not iterate otherwise.
  ChargedArray<T> best_, residual_, r_solver_, own_work_;
  Confirmation best_c_;
  RhsStep best_step_ = RhsStep::iteration;
};

// The solve threads that fit beside the factor area, each holding
// thread_bytes: under the soft memory limit, or within a tenth of the memory
// in use where that leaves more room (what the solve must hold can exceed the
// limit: a factor read whole into the larger area its factorization needed,
// say, which the threads' vectors should not leave without parallel solves);
// at least one, at most the threads asked for.
std::int32_t threads_that_fit(const tessar& solver, std::int32_t asked, std::int64_t thread_bytes) {
  const std::int64_t left_kb = solver.Soft_Memory_Limit - solver.memory_in_use;
  const std::int64_t room_kb = std::max(left_kb, solver.memory_in_use / 10);
  const std::int64_t fit = room_kb <= 0 ? 0 : room_kb * 1024 / std::max<std::int64_t>(thread_bytes, 1);
  const auto threads = static_cast<std::int32_t>(std::clamp<std::int64_t>(fit, 1, std::max(asked, 1)));
  OrlDebug(2, L"Solution phase: %d of %d solve threads fit beside the factor area (%lld KB per thread, %lld KB left "
              L"under the soft limit)\n",
           threads, asked, static_cast<long long>(thread_bytes / 1024), static_cast<long long>(left_kb));
  return threads;
}

// Thrown by the preconditioner when the factor turns a finite vector into one
// that is not (a single-precision factor holds magnitudes up to about 3e38,
// and a badly scaled matrix can exceed them): no step with this factor can
// help, so the right-hand side is given up at once for this factor.
struct FactorNotFinite {};

// Takes part in the shared sweeps over an offcore factor while it lives.
class SweepMembership {
 public:
  explicit SweepMembership(FactorAccess& access) : access_(access.shared.on.load() ? &access : nullptr) {
    if (access_) join_shared_sweeps(*access_);
  }
  ~SweepMembership() {
    if (access_) leave_shared_sweeps(*access_);
  }
  SweepMembership(const SweepMembership&) = delete;
  SweepMembership& operator=(const SweepMembership&) = delete;

 private:
  FactorAccess* access_;
};

}  // namespace

template <class K>
PostImprovement<K>::PostImprovement(tessar& solver, const YaleMatrix& a, const YaleMatrix& original,
                                    std::int32_t threads)
    : state_(std::make_unique<State>(solver, a, original)) {
  State& st = *state_;
  st.original_norm = MatrixInfinityNorm<K>(original);
  st.iterating = !solver.double_precision || solver.enforce_CG;
  // permuted b, x, method work
  st.vectors_per_thread = 2 + (st.iterating ? work_vectors<K>() : 0);
  const std::size_t n = static_cast<std::size_t>(a.n);
  const std::size_t work_bytes = std::max<std::size_t>(substitution_work_bytes(solver), 1);
  // The block, the substitution's work and the thread's right-hand-side vector.
  const auto thread_bytes = static_cast<std::int64_t>((st.vectors_per_thread + 1) * n * sizeof(T) + work_bytes);
  PatchSettings patches = patch_settings_of();
  patches.kept_free_bytes = thread_bytes * std::max(threads, 1);
  prepare_factor_access(solver, st.access, 0, patches);
  st.threads = threads_that_fit(solver, threads, thread_bytes);
  st.blocks = std::vector<ChargedArray<T>>(st.threads);
  st.substitution_work = std::vector<ChargedArray<std::byte>>(st.threads);
  for (std::int32_t t = 0; t < st.threads; ++t) {
    st.blocks[t].allocate(solver, n * st.vectors_per_thread, "Not enough memory for CG_Vectors");
    st.substitution_work[t].allocate(solver, work_bytes, "Not enough memory for CG_Vectors");
  }
}

template <class K>
PostImprovement<K>::~PostImprovement() {
  release_factor_access(state_->solver, state_->access);
}

template <class K>
std::int32_t PostImprovement<K>::threads() const {
  return state_->threads;
}

template <class K>
void PostImprovement<K>::share_patch_loads(std::int32_t threads, std::int32_t coming) {
  if (state_->access.offcore) start_shared_loading(state_->access, threads, coming);
}

template <class K>
void PostImprovement<K>::launches_stopped(std::int32_t skipped) {
  if (state_->access.shared.on.load()) not_coming(state_->access, skipped);
}

template <class K>
int PostImprovement<K>::improve(T* vector, std::int32_t thread, bool transpose, RhsResult& result) {
  State& st = *state_;
  tessar& solver = st.solver;
  const std::int32_t n = st.a.n;
  constexpr bool unsymmetric = K::symmetry == Symmetry::unsymmetric;
  const T* rhs = vector;
  T* block = st.vectors(thread);
  T* b = block;
  T* x = block + n;
  T* work = st.iterating ? block + 2 * std::size_t(n) : nullptr;
  const SystemMap<T> map = SystemMap<T>::of(solver, n);
  map.to_solver(rhs, b);
  if (unsymmetric && transpose) OrlDebug(2, L"Solving transpose of the matrix\n");

  // Joined before anything returns, so that a right-hand side expected at
  // the sweep barrier always joins and leaves.
  const SweepMembership membership(st.access);
  const double bnorm = vec::norm2(n, b);
  if (unsymmetric) OrlDebug(2, L"Starting BiCG improvement, Thread%d |rhs| = %le\n", thread, bnorm);
  else OrlDebug(2, L"CG improvement, Thread%d |rhs| = %le\n", thread, bnorm);
  if (bnorm == 0.0) {
    std::fill(vector, vector + n, T(0));
    result = {0.0, RhsStep::iteration};
    return 0;
  }

  void* subst_work = st.substitution_work[thread].data();
  KrylovOperators<T> ops;
  std::int32_t factor_solves = 0;
  ops.precondition = [&](T* v, bool t) {
    ++factor_solves;
    const bool finite = std::isfinite(vec::norm2(n, v));
    SolveWithFactor<K>(solver, st.access, v, t, subst_work);
    if (finite && !std::isfinite(vec::norm2(n, v))) throw FactorNotFinite{};
  };
  ops.multiply = [&](const T* in, T* out, bool t) { multiply_matrix<K>(st.a, in, out, t); };
  KrylovSettings settings;
  settings.n = n;
  settings.tolerance = solver.cg_tolerance;
  settings.max_iterations = solver.cg_iter;
  settings.thread = thread;
  settings.pivoting = solver.pivoting || solver.multi_thread;
  settings.transpose = transpose;
  settings.offcore_unshared = st.access.offcore && !st.access.shared.on.load();
  settings.solver = &solver;

  try {
    if (!st.iterating) {
      std::copy(b, b + n, x);
      ops.precondition(x, transpose);
      OrlDebug(2, unsymmetric ? L"Thread%d iter %2d, R.residual = %le\n" : L"Thread%d iter %2d, R.error = %le\n",
               thread, 1, 0.0);
    } else {
      // The iteration's own verdict is not trusted: the confirmation decides.
      (void)run_iteration<K>(solver, ops, settings, b, bnorm, x, work);
    }
    // The solution in the system as read takes b's place; x serves as the
    // confirmation's residual, then as the escalation's correction.
    T* solution = b;
    map.to_original(x, solution);
    Confirmation c = ConfirmSolution<K>(st.original, st.original_norm, solution, rhs, x, solver.cg_tolerance);
    result = {c.relative, RhsStep::iteration};
    if (!c.passed) {
      OrlDebug(2, L"Thread%d solution not confirmed: relative residual %le, backward error %le\n", thread, c.relative,
               c.backward);
      Escalation<K> escalation(solver, st.original, st.original_norm, map, ops, settings, {rhs, solution, x, work});
      result.step = escalation.run();
      c = escalation.best();
      result.residual = c.relative;
      if (result.step == RhsStep::none) {
        OrlDebug(2, L"Thread%d: no step reached the tolerance %le; best relative residual %le\n", thread,
                 solver.cg_tolerance, result.residual);
        result.factor_solves = factor_solves;
        return 16;
      }
    }
    result.factor_solves = factor_solves;
    std::copy(solution, solution + n, vector);
    log_confirmed(thread, c, solver.cg_tolerance);
    if (solver.check_residual) OrlDebug(1, L"Thread%d Svtr Rel.Error = %le\n", thread, c.relative);
    return 0;
  } catch (const FactorNotFinite&) {
    OrlDebug(2, L"Thread%d: the factor turns the right-hand side into values that are not finite numbers\n", thread);
    result = {std::numeric_limits<double>::infinity(), RhsStep::none, true};
    return 16;
  }
}

template class PostImprovement<RealSymmetric>;
template class PostImprovement<RealUnsymmetric>;
template class PostImprovement<ComplexSymmetric>;
template class PostImprovement<ComplexUnsymmetric>;
template class PostImprovement<ComplexHermitian>;
