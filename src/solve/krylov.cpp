// Krylov iterations of the post-improvement: preconditioned conjugate
// gradients, BiCG, BiCGStab and the enhanced BiCGStab(2), each written once
// over the kind and instantiated for the kinds that use it.
#include "solve/krylov.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <new>
#include <vector>

#include "core/charged_array.h"
#include "kernels/vector_kernels.h"
#include "platform/core_library.h"
#include "platform/kind_traits.h"

namespace {

// not_finite: the residual became NaN or infinite; no further step can
// recover from that.
enum class Outcome { iterating, converged, broke_down, not_finite };

// The outcome of a step that reached relative residual e.
Outcome judged(double e, const KrylovSettings& s) {
  if (!std::isfinite(e)) return Outcome::not_finite;
  return e <= s.tolerance ? Outcome::converged : Outcome::iterating;
}

void log_not_finite(const wchar_t* method, const KrylovSettings& s, std::int32_t k) {
  OrlDebug(2, L"%ls stopped after %d iterations, Thread%d: the residual is not a finite number\n", method, k, s.thread);
}

// BiCGStab stops when |ρ_old| or |ω| falls below this.
constexpr double stagnation_bound = 1e-20;
// BiCGStab(2): the least |cos| between the two minimal-residual directions
// kept by the convex combination, and the residual reduction that triggers
// a reliable update.
constexpr double angle_bound = 0.7;
constexpr double reliable_update_factor = 0.1;

template <class T>
T conjugate(const T& v) {
  if constexpr (blas::is_complex_v<T>) return std::conj(v);
  else return v;
}

// Copies from into to; nothing to do where they are the same vector (the
// residual of CG and BiCG lives in the right-hand side's place).
template <class T>
void copy_vector(std::int32_t n, const T* from, T* to) {
  if (from != to) blas::copy(n, from, 1, to, 1);
}

template <class T>
void zero_vector(std::int32_t n, T* x) {
  std::fill_n(x, n, T(0));
}

// y = x + beta·y.
template <class T>
void x_plus_beta_y(std::int32_t n, const T* x, T beta, T* y) {
  blas::scal(n, beta, y, 1);
  vec::axpy(n, T(1), x, y);
}

// ‖v‖/‖b‖, 0 for a zero right-hand side.
double relative(double norm, double bnorm) { return bnorm == 0 ? 0.0 : norm / bnorm; }

// The iteration limit; a limit below 1 still makes one iteration.
std::int32_t iteration_limit(const KrylovSettings& s) { return std::max(s.max_iterations, 1); }

// r = b − A·x, with q as the product's work vector.
template <class T>
void residual(const KrylovOperators<T>& ops, std::int32_t n, bool transpose, const T* b, const T* x, T* q, T* r) {
  ops.multiply(x, q, transpose);
  copy_vector(n, b, r);
  vec::axpy(n, T(-1), q, r);
}

// Vectors of BiCGStab and BiCGStab(2) beyond the caller's block, allocated
// per call and charged to the run's memory monitor; a failure ends the run
// through the solver's fatal path. Without a run (unit use) they are plain.
template <class T>
class ExtraVectors {
 public:
  ExtraVectors(const KrylovSettings& s, int count) : n_(static_cast<std::size_t>(s.n)) {
    const std::size_t size = static_cast<std::size_t>(count) * n_;
    if (s.solver != nullptr) charged_.allocate(*s.solver, size, "Not enough memory");
    else plain_.resize(size);
  }
  T* operator[](int i) { return (plain_.empty() ? charged_.data() : plain_.data()) + i * n_; }

 private:
  std::size_t n_;
  ChargedArray<T> charged_;
  std::vector<T> plain_;
};

// Dot product of CG: conjugated for the Hermitian kind, plain otherwise
// (the complex symmetric kind works in the bilinear form xᵀy).
template <class K>
typename K::scalar cg_dot(std::int32_t n, const typename K::scalar* x, const typename K::scalar* y) {
  if constexpr (K::symmetry == Symmetry::hermitian) return vec::dotc(n, x, y);
  else return vec::dotu(n, x, y);
}

template <class T>
struct CgState {
  T* r;
  T* p;
  T* zq;  // z = M⁻¹·r, then q = A·p
  T rho_old = T(1);
  double e = 1.0;
};

// One CG step. The pivoting modes stop on an exactly zero denominator. A zero
// right-hand side stops with x = 0 instead of dividing 0 by 0.
template <class K>
Outcome cg_step(const KrylovOperators<typename K::scalar>& ops, const KrylovSettings& s, double bnorm,
                typename K::scalar* x, CgState<typename K::scalar>& v) {
  using T = typename K::scalar;
  const std::int32_t n = s.n;
  if (bnorm == 0) {
    v.e = 0;
    return Outcome::converged;
  }
  copy_vector(n, v.r, v.zq);
  ops.precondition(v.zq, false);
  if (s.pivoting && v.rho_old == T(0)) return Outcome::broke_down;
  const T rho = cg_dot<K>(n, v.r, v.zq);
  const T beta = rho / v.rho_old;
  v.rho_old = rho;
  x_plus_beta_y(n, v.zq, beta, v.p);
  ops.multiply(v.p, v.zq, false);
  const T pq = cg_dot<K>(n, v.p, v.zq);
  if (s.pivoting && pq == T(0)) return Outcome::broke_down;
  const T alpha = rho / pq;
  vec::axpy(n, alpha, v.p, x);
  vec::axpy(n, -alpha, v.zq, v.r);
  v.e = relative(vec::norm2(n, v.r), bnorm);
  return judged(v.e, s);
}

template <class T>
struct BicgState {
  T* r;
  T* p;
  T* zq;       // z = M⁻¹·r, z̃ = M⁻ᵀ·r̃, q = A·p and q̃ = Aᵀ·p̃ in turn
  T* p_tilde;
  T* r_tilde;
  T rho_old = T(1);
  T rho = T(0);
  double e = 1.0;
};

// One BiCG step with unconjugated products; the primal sequence uses the
// operators with the caller's transpose flag, the shadow sequence the other
// one. Convergence is judged on the primal residual alone: a small shadow
// residual says nothing about x. The pivoting modes stop on an exactly zero
// denominator; a zero right-hand side stops with x = 0.
template <class K>
Outcome bicg_step(const KrylovOperators<typename K::scalar>& ops, const KrylovSettings& s, double bnorm,
                  typename K::scalar* x, BicgState<typename K::scalar>& v) {
  using T = typename K::scalar;
  const std::int32_t n = s.n;
  const bool t = s.transpose;
  if (bnorm == 0) {
    v.e = 0;
    return Outcome::converged;
  }
  copy_vector(n, v.r, v.zq);
  ops.precondition(v.zq, t);
  v.rho = vec::dotu(n, v.r_tilde, v.zq);
  if (s.pivoting && v.rho_old == T(0)) return Outcome::broke_down;
  const T beta = v.rho / v.rho_old;
  x_plus_beta_y(n, v.zq, beta, v.p);
  v.rho_old = v.rho;
  copy_vector(n, v.r_tilde, v.zq);
  ops.precondition(v.zq, !t);
  x_plus_beta_y(n, v.zq, beta, v.p_tilde);
  ops.multiply(v.p, v.zq, t);
  const T delta = vec::dotu(n, v.p_tilde, v.zq);
  if (s.pivoting && delta == T(0)) return Outcome::broke_down;
  const T alpha = v.rho / delta;
  vec::axpy(n, alpha, v.p, x);
  vec::axpy(n, -alpha, v.zq, v.r);
  ops.multiply(v.p_tilde, v.zq, !t);
  vec::axpy(n, -alpha, v.zq, v.r_tilde);
  v.e = relative(vec::norm2(n, v.r), bnorm);
  return judged(v.e, s);
}

// The residual r lives in b's place, the other four vectors in work.
template <class T>
BicgState<T> bicg_vectors(std::int32_t n, T* b, T* work) {
  return BicgState<T>{b, work, work + n, work + 2 * std::size_t(n), work + 3 * std::size_t(n)};
}

// Plain mode: x = 0, r = r̃ = b.
template <class K>
int bicg_plain(const KrylovOperators<typename K::scalar>& ops, const KrylovSettings& s, const typename K::scalar* b,
               double bnorm, typename K::scalar* x, BicgState<typename K::scalar>& v) {
  const std::int32_t n = s.n;
  zero_vector(n, x);
  copy_vector(n, b, v.r_tilde);
  const std::int32_t limit = iteration_limit(s);
  Outcome outcome = Outcome::iterating;
  std::int32_t k = 0;
  while (outcome == Outcome::iterating && k < limit) {
    ++k;
    outcome = bicg_step<K>(ops, s, bnorm, x, v);
    OrlDebug(2, L"Thread%d iter %2d, R.residual = %le\n", s.thread, k, v.e);
  }
  if (outcome == Outcome::converged) return 0;
  if (outcome == Outcome::not_finite) log_not_finite(L"BiCG", s, k);
  else OrlDebug(2, L"CG failed after %d iterations R.res = %le\n", k, v.e);
  return 16;
}

// Pivoting modes: starts from x = M⁻¹·b, stops on breakdown or ρ = 0.
template <class K>
int bicg_pivoting(const KrylovOperators<typename K::scalar>& ops, const KrylovSettings& s,
                  const typename K::scalar* b, double bnorm, typename K::scalar* x,
                  BicgState<typename K::scalar>& v) {
  using T = typename K::scalar;
  const std::int32_t n = s.n;
  copy_vector(n, b, x);
  ops.precondition(x, s.transpose);
  residual(ops, n, s.transpose, b, x, v.zq, v.r);
  v.e = relative(vec::norm2(n, v.r), bnorm);
  copy_vector(n, v.r, v.r_tilde);
  const std::int32_t limit = iteration_limit(s);
  std::int32_t k = 0;
  for (; k < limit; ++k) {
    OrlDebug(2, L"Thread%d iter %2d, R.residual = %le\n", s.thread, k, v.e);
    if (v.e <= s.tolerance) break;
    if (!std::isfinite(v.e)) {
      log_not_finite(L"BiCG", s, k);
      return 16;
    }
    if (bicg_step<K>(ops, s, bnorm, x, v) == Outcome::broke_down) {
      OrlDebug(2, L"BiCG failed after %d iterations due to a too small denominator.\n", k);
      return 16;
    }
    if (v.rho == T(0)) {
      ++k;
      break;
    }
  }
  if (v.e <= s.tolerance) return 0;
  OrlDebug(2, L"BiCG failed after %d iterations R.res = %le\n", k, v.e);
  return 16;
}

template <class T>
struct BicgstabState {
  T* r;
  T* r_hat;
  T* p;
  T* v;
  T* s;
  T* t;
  T* y;  // y = M⁻¹·p, then z = M⁻¹·s
  T rho_old = T(1);
  T alpha = T(1);
  T omega = T(1);
  double e = 1.0;
};

// One BiCGStab step with right preconditioning and conjugated products;
// returns false when |ρ_old| is below the stagnation bound (nothing changed).
template <class T>
bool bicgstab_step(const KrylovOperators<T>& ops, const KrylovSettings& s, double bnorm, std::int32_t k, T* x,
                   BicgstabState<T>& w) {
  const std::int32_t n = s.n;
  const bool t = s.transpose;
  const T rho = vec::dotc(n, w.r_hat, w.r);
  if (std::abs(w.rho_old) < stagnation_bound) return false;
  if (k == 1) {
    copy_vector(n, w.r, w.p);
  } else {
    vec::axpy(n, -w.omega, w.v, w.p);
    x_plus_beta_y(n, w.r, (rho / w.rho_old) * (w.alpha / w.omega), w.p);
  }
  copy_vector(n, w.p, w.y);
  ops.precondition(w.y, t);
  ops.multiply(w.y, w.v, t);
  w.alpha = rho / vec::dotc(n, w.r_hat, w.v);
  copy_vector(n, w.r, w.s);
  vec::axpy(n, -w.alpha, w.v, w.s);
  vec::axpy(n, w.alpha, w.y, x);
  copy_vector(n, w.s, w.y);
  ops.precondition(w.y, t);
  ops.multiply(w.y, w.t, t);
  w.omega = vec::dotc(n, w.t, w.s) / vec::dotc(n, w.t, w.t);
  copy_vector(n, w.s, w.r);
  vec::axpy(n, -w.omega, w.t, w.r);
  vec::axpy(n, w.omega, w.y, x);
  w.rho_old = rho;
  w.e = relative(vec::norm2(n, w.r), bnorm);
  return true;
}

constexpr int ell = 2;

template <class T>
struct Bicgstab2State {
  T* r_hat;
  T* b_shift;  // b′: the right-hand side of the current correction x
  T* x_sum;    // x′: the solution accumulated by reliable updates
  T* u[ell + 1];
  T* r[ell + 1];
  T rho0 = T(1);
  T alpha = T(1);
  T omega = T(1);
  double nu0 = 0;
  double nu = 0;
  double max_nu_x = 0;  // M_x
  double max_nu_r = 0;  // M_r
};

// out = M⁻¹·A·in (transposed with the caller's flag).
template <class T>
void apply_preconditioned(const KrylovOperators<T>& ops, bool transpose, const T* in, T* out) {
  ops.multiply(in, out, transpose);
  ops.precondition(out, transpose);
}

// The two BiCG steps of an outer step; false on an exactly zero denominator.
template <class T>
bool bicgstab2_bicg_part(const KrylovOperators<T>& ops, const KrylovSettings& s, T* x, Bicgstab2State<T>& w) {
  const std::int32_t n = s.n;
  w.rho0 = -w.omega * w.rho0;
  for (int j = 0; j < ell; ++j) {
    if (w.rho0 == T(0)) return false;
    const T rho1 = vec::dotc(n, w.r_hat, w.r[j]);
    const T beta = w.alpha * rho1 / w.rho0;
    w.rho0 = rho1;
    for (int i = 0; i <= j; ++i) x_plus_beta_y(n, w.r[i], -beta, w.u[i]);
    apply_preconditioned(ops, s.transpose, w.u[j], w.u[j + 1]);
    const T sigma = vec::dotc(n, w.r_hat, w.u[j + 1]);
    if (sigma == T(0)) return false;
    w.alpha = rho1 / sigma;
    vec::axpy(n, w.alpha, w.u[0], x);
    for (int i = 0; i <= j; ++i) vec::axpy(n, -w.alpha, w.u[i + 1], w.r[i]);
    apply_preconditioned(ops, s.transpose, w.r[j], w.r[j + 1]);
  }
  return true;
}

// yᴴ·Z·x for 3-vectors and the 3 × 3 column-major Gram matrix Z.
template <class T>
T gram_form(const T* z, const T* y, const T* x) {
  T sum = T(0);
  for (int i = 0; i <= ell; ++i)
    for (int j = 0; j <= ell; ++j) sum += conjugate(y[i]) * z[i + 3 * j] * x[j];
  return sum;
}

// The minimal-residual coefficients of an outer step: y₀ with first
// component −1 and y₂ with last component −1 come from the Gram matrix Z
// (Zᵢⱼ = rᵢᴴ·rⱼ) bordered by unit rows, one 3 × 3 LU and two solves; then
// the convex combination y₀ − γ̂·y₂ keeps the angle between the two residual
// directions at least at the bound, so that ω does not collapse. False when
// the bordered matrix is singular.
template <class T>
bool minimal_residual_coefficients(const T* z, T* y0) {
  T bordered[9] = {T(1), z[1], T(0), T(0), z[4], T(0), T(0), z[7], T(1)};
  T y[6] = {T(-1), T(0), T(0), T(0), T(0), T(-1)};
  int pivots[3];
  int info = 0;
  blas::getrf(3, 3, bordered, 3, pivots, &info);
  if (info != 0) return false;
  blas::getrs('N', 3, 2, bordered, 3, pivots, y, 3, &info);
  const T* y2 = y + 3;
  const double kappa0 = std::sqrt(std::abs(gram_form(z, y, y)));
  const double kappa2 = std::sqrt(std::abs(gram_form(z, y2, y2)));
  const T varrho = gram_form(z, y2, y) / (kappa0 * kappa2);
  const double size = std::abs(varrho);
  const T sign = size == 0 ? T(1) : varrho / size;
  const T gamma_hat = sign * std::max(size, angle_bound) * kappa0 / kappa2;
  for (int i = 0; i <= ell; ++i) y0[i] = y[i] - gamma_hat * y2[i];
  return true;
}

// The minimal-residual update of u₀, x and r₀; sets ω and the residual norm ν.
template <class T>
bool bicgstab2_mr_part(const KrylovSettings& s, T* x, Bicgstab2State<T>& w) {
  const std::int32_t n = s.n;
  T z[9];
  for (int j = 0; j <= ell; ++j)
    for (int i = 0; i <= ell; ++i) z[i + 3 * j] = vec::dotc(n, w.r[i], w.r[j]);
  T y0[3];
  if (!minimal_residual_coefficients(z, y0)) return false;
  w.omega = y0[ell];
  for (int i = 1; i <= ell; ++i) {
    vec::axpy(n, -y0[i], w.u[i], w.u[0]);
    vec::axpy(n, y0[i], w.r[i - 1], x);
    vec::axpy(n, -y0[i], w.r[i], w.r[0]);
  }
  w.nu = std::sqrt(std::abs(gram_form(z, y0, y0)));
  return true;
}

// Reliable update: once the residual has fallen well below a level it
// exceeded, recompute it from x, and move x into the accumulated solution
// so that later corrections start from a fresh right-hand side.
template <class T>
void bicgstab2_reliable_update(const KrylovOperators<T>& ops, const KrylovSettings& s, T* x, Bicgstab2State<T>& w) {
  const std::int32_t n = s.n;
  w.max_nu_x = std::max(w.max_nu_x, w.nu);
  w.max_nu_r = std::max(w.max_nu_r, w.nu);
  const bool update_x = w.nu < reliable_update_factor * w.nu0 && w.nu0 < w.max_nu_x;
  const bool recompute = update_x || (w.nu < reliable_update_factor * w.max_nu_r && w.nu0 < w.max_nu_r);
  if (!recompute) return;
  apply_preconditioned(ops, s.transpose, x, w.r[1]);
  copy_vector(n, w.b_shift, w.r[0]);
  vec::axpy(n, T(-1), w.r[1], w.r[0]);
  w.max_nu_r = w.nu;
  if (!update_x) return;
  vec::axpy(n, T(1), x, w.x_sum);
  zero_vector(n, x);
  copy_vector(n, w.r[0], w.b_shift);
  w.max_nu_x = w.nu;
}

}  // namespace

template <class K>
int ConjugateGradients(const KrylovOperators<typename K::scalar>& ops, const KrylovSettings& s,
                       typename K::scalar* b, double bnorm, typename K::scalar* x, typename K::scalar* work) {
  const std::int32_t n = s.n;
  CgState<typename K::scalar> v{b, work, work + n};
  zero_vector(n, x);
  zero_vector(n, v.p);
  const std::int32_t limit = iteration_limit(s);
  Outcome outcome = Outcome::iterating;
  std::int32_t k = 0;
  while (outcome == Outcome::iterating && k < limit) {
    ++k;
    outcome = cg_step<K>(ops, s, bnorm, x, v);
    if (outcome != Outcome::broke_down) OrlDebug(2, L"Thread%d iter %2d, R.error = %le\n", s.thread, k, v.e);
  }
  if (outcome == Outcome::converged) return 0;
  if (outcome == Outcome::broke_down) {
    OrlDebug(2, L"CG failed after %d iterations due to a too small denominator.\n", k - 1);
  } else if (outcome == Outcome::not_finite) {
    log_not_finite(L"CG", s, k);
  } else {
    OrlDebug(L"CG couldn't reach %le after %d steps R.res = %le\n", s.tolerance, k, v.e);
  }
  return 16;
}

template <class K>
int BiConjugateGradients(const KrylovOperators<typename K::scalar>& ops, const KrylovSettings& s,
                         typename K::scalar* b, double bnorm, typename K::scalar* x, typename K::scalar* work) {
  const std::int32_t n = s.n;
  BicgState<typename K::scalar> v = bicg_vectors(n, b, work);
  zero_vector(n, v.p);
  zero_vector(n, v.p_tilde);
  if (s.pivoting) return bicg_pivoting<K>(ops, s, b, bnorm, x, v);
  return bicg_plain<K>(ops, s, b, bnorm, x, v);
}

template <class K>
int BiCGStab(const KrylovOperators<typename K::scalar>& ops, const KrylovSettings& s, typename K::scalar* b,
             double bnorm, typename K::scalar* x, typename K::scalar* work) {
  using T = typename K::scalar;
  const std::int32_t n = s.n;
  ExtraVectors<T> extra(s, 3);
  BicgstabState<T> w{work, work + n, work + 2 * std::size_t(n), work + 3 * std::size_t(n), extra[0], extra[1],
                     extra[2]};
  copy_vector(n, b, x);
  if (!s.offcore_unshared) ops.precondition(x, s.transpose);
  residual(ops, n, s.transpose, b, x, w.v, w.r);
  copy_vector(n, w.r, w.r_hat);
  zero_vector(n, w.p);
  w.e = relative(vec::norm2(n, w.r), bnorm);
  OrlDebug(2, L"Thread%d iter %2d, R.residual = %le\n", s.thread, 0, w.e);
  const std::int32_t limit = iteration_limit(s);
  std::int32_t k = 0;
  while (w.e > s.tolerance) {
    ++k;
    if (!bicgstab_step(ops, s, bnorm, k, x, w)) break;
    OrlDebug(2, L"Thread%d iter %2d, R.residual = %le\n", s.thread, k, w.e);
    if (std::abs(w.omega) < stagnation_bound || k + 1 > limit) break;
  }
  if (w.e <= s.tolerance) return 0;
  OrlDebug(2, L"BiCGStab failed after %d iterations R.res = %le\n", k, w.e);
  return 16;
}

// Left-preconditioned: the residuals are those of M⁻¹A·x = M⁻¹b and the
// tolerance applies to ‖M⁻¹(b − A·x)‖₂/‖M⁻¹b‖₂. When no step is made (a
// tolerance of 1 or more, or M⁻¹b = 0) the solution is M⁻¹b, not the zero
// starting vector.
template <class K>
int BiCGStab2(const KrylovOperators<typename K::scalar>& ops, const KrylovSettings& s, typename K::scalar* b,
              double, typename K::scalar* x, typename K::scalar* work) {
  using T = typename K::scalar;
  const std::int32_t n = s.n;
  ExtraVectors<T> extra(s, 2 * ell + 1);
  Bicgstab2State<T> w{work, work + n, work + 2 * std::size_t(n),
                      {work + 3 * std::size_t(n), extra[0], extra[1]},
                      {extra[2], extra[3], extra[4]}};
  copy_vector(n, b, w.r[0]);
  ops.precondition(w.r[0], s.transpose);
  copy_vector(n, w.r[0], w.b_shift);
  copy_vector(n, w.r[0], w.r_hat);
  w.nu0 = w.nu = vec::norm2(n, w.r[0]);
  double e = relative(w.nu, w.nu0);
  if (e <= s.tolerance) {
    copy_vector(n, w.r[0], x);
    return 0;
  }
  zero_vector(n, x);
  zero_vector(n, w.x_sum);
  zero_vector(n, w.u[0]);
  const std::int32_t limit = iteration_limit(s);
  std::int32_t k = 0;
  while (e > s.tolerance && k < limit) {
    ++k;
    if (!bicgstab2_bicg_part(ops, s, x, w) || !bicgstab2_mr_part(s, x, w)) break;
    bicgstab2_reliable_update(ops, s, x, w);
    e = relative(w.nu, w.nu0);
    OrlDebug(2, L"Thread%d iter %2d, R.residual = %le\n", s.thread, k, e);
  }
  vec::axpy(n, T(1), w.x_sum, x);
  if (e <= s.tolerance) return 0;
  OrlDebug(2, L"CG failed after %d iterations R.res = %le\n", k, e);
  return 16;
}

namespace {

// A complex (or real) Givens rotation [c s; −conj(s) c] with c real, chosen
// to annihilate b below a.
template <class T>
struct Rotation {
  double c = 1;
  T s = T(0);

  static Rotation annihilating(T a, T b) {
    const double size_a = std::abs(a), size_b = std::abs(b);
    if (size_b == 0) return {1, T(0)};
    if (size_a == 0) return {0, conjugate(b) / size_b};
    const double t = std::hypot(size_a, size_b);
    return {size_a / t, (a / size_a) * conjugate(b) / t};
  }

  void apply(T& x, T& y) const {
    const T first = c * x + s * y;
    y = -conjugate(s) * x + c * y;
    x = first;
  }
};

// w := w − Σ (vᵢᴴw)·vᵢ over the first count columns of v, the coefficients
// added into h, by modified Gram–Schmidt; a second pass follows when the
// first removed most of w, restoring the orthogonality lost to cancellation.
// Returns ‖w‖₂ after.
template <class T>
double orthogonalize(std::int32_t n, std::int32_t count, const T* v, T* w, T* h) {
  const auto pass = [&] {
    for (std::int32_t i = 0; i < count; ++i) {
      const T* vi = v + static_cast<std::size_t>(i) * n;
      const T coefficient = vec::dotc(n, vi, w);
      h[i] += coefficient;
      vec::axpy(n, -coefficient, vi, w);
    }
    return vec::norm2(n, w);
  };
  const double before = vec::norm2(n, w);
  const double after = pass();
  return after > 0.5 * before ? after : pass();
}

}  // namespace

template <class K>
std::int32_t FlexibleGmresCycle(const KrylovOperators<typename K::scalar>& ops, const KrylovSettings& s,
                                const typename K::scalar* r, double target, std::int32_t restart,
                                typename K::scalar* d, typename K::scalar* v, typename K::scalar* z) {
  using T = typename K::scalar;
  const std::int32_t n = s.n;
  const std::int32_t m = std::max(restart, 1);
  const auto column = [n](T* base, std::int32_t j) { return base + static_cast<std::size_t>(j) * n; };
  zero_vector(n, d);
  const double beta = vec::norm2(n, r);
  if (!(beta > target)) return 0;

  std::vector<T> h(static_cast<std::size_t>(m + 1) * m, T(0));  // Hessenberg, column-major
  std::vector<Rotation<T>> rotations(m);
  std::vector<T> g(m + 1, T(0));
  g[0] = beta;
  copy_vector(n, r, v);
  vec::scale(n, 1.0 / beta, v);

  std::int32_t j = 0;
  while (j < m) {
    T* hj = h.data() + static_cast<std::size_t>(j) * (m + 1);
    copy_vector(n, column(v, j), column(z, j));
    ops.precondition(column(z, j), s.transpose);
    T* w = column(v, j + 1);
    ops.multiply(column(z, j), w, s.transpose);
    const double next = orthogonalize(n, j + 1, v, w, hj);
    hj[j + 1] = next;
    for (std::int32_t i = 0; i < j; ++i) rotations[i].apply(hj[i], hj[i + 1]);
    rotations[j] = Rotation<T>::annihilating(hj[j], hj[j + 1]);
    rotations[j].apply(hj[j], hj[j + 1]);
    rotations[j].apply(g[j], g[j + 1]);
    ++j;
    const double estimate = std::abs(g[j]);
    OrlDebug(2, L"Thread%d FGMRES iter %2d, R.estimate = %le\n", s.thread, j, estimate / beta);
    if (!std::isfinite(estimate) || estimate <= target || next == 0) break;
    vec::scale(n, 1.0 / next, w);
  }

  // Back substitution of the rotated Hessenberg system, then d = Z·y.
  std::vector<T> y(g.begin(), g.begin() + j);
  for (std::int32_t i = j - 1; i >= 0; --i) {
    for (std::int32_t k = i + 1; k < j; ++k) y[i] -= h[i + static_cast<std::size_t>(k) * (m + 1)] * y[k];
    const T diagonal = h[i + static_cast<std::size_t>(i) * (m + 1)];
    y[i] = diagonal == T(0) ? T(0) : y[i] / diagonal;
  }
  for (std::int32_t i = 0; i < j; ++i) vec::axpy(n, y[i], column(z, i), d);
  return j;
}

#define TSR_INSTANTIATE_KRYLOV(Method, K)                                                                       \
  template int Method<K>(const KrylovOperators<K::scalar>&, const KrylovSettings&, K::scalar*, double,       \
                         K::scalar*, K::scalar*);

TSR_INSTANTIATE_KRYLOV(ConjugateGradients, RealSymmetric)
TSR_INSTANTIATE_KRYLOV(ConjugateGradients, ComplexSymmetric)
TSR_INSTANTIATE_KRYLOV(ConjugateGradients, ComplexHermitian)
TSR_INSTANTIATE_KRYLOV(BiConjugateGradients, RealUnsymmetric)
TSR_INSTANTIATE_KRYLOV(BiConjugateGradients, ComplexUnsymmetric)
TSR_INSTANTIATE_KRYLOV(BiCGStab, RealUnsymmetric)
TSR_INSTANTIATE_KRYLOV(BiCGStab, ComplexUnsymmetric)
TSR_INSTANTIATE_KRYLOV(BiCGStab2, RealUnsymmetric)
TSR_INSTANTIATE_KRYLOV(BiCGStab2, ComplexUnsymmetric)
#undef TSR_INSTANTIATE_KRYLOV

#define TSR_INSTANTIATE_GMRES(K)                                                                              \
  template std::int32_t FlexibleGmresCycle<K>(const KrylovOperators<K::scalar>&, const KrylovSettings&,       \
                                              const K::scalar*, double, std::int32_t, K::scalar*, K::scalar*, \
                                              K::scalar*);
TSR_INSTANTIATE_GMRES(RealSymmetric)
TSR_INSTANTIATE_GMRES(RealUnsymmetric)
TSR_INSTANTIATE_GMRES(ComplexSymmetric)
TSR_INSTANTIATE_GMRES(ComplexUnsymmetric)
TSR_INSTANTIATE_GMRES(ComplexHermitian)
#undef TSR_INSTANTIATE_GMRES
