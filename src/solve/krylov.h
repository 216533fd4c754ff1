#pragma once
// Krylov iterations of the post-improvement, written against operator
// callables so that they know nothing of factors, files or threads: the
// preconditioner applies the factorization (M⁻¹, optionally transposed) and
// the product applies the reordered input matrix.
//
// Every method solves A·x = b for the vector b given, in the working
// precision of the kind (double or complex double), starting from the state
// its description names, and returns 0 when the relative residual
// ‖b − A·x‖₂/‖b‖₂ reached the tolerance, 16 when it did not or the iteration
// broke down (after logging why). Dot products follow the kind: unconjugated
// for complex symmetric, conjugated for Hermitian; the unsymmetric kinds use
// unconjugated products in BiCG and conjugated ones in BiCGStab and
// BiCGStab(2).
#include <cstdint>
#include <functional>

class tessar;

template <class T>
struct KrylovOperators {
  // x := M⁻¹·x in place; transpose selects M⁻ᵀ (unsymmetric kinds).
  std::function<void(T* x, bool transpose)> precondition;
  // y := A·x (transpose: Aᵀ·x).
  std::function<void(const T* x, T* y, bool transpose)> multiply;
};

struct KrylovSettings {
  std::int32_t n = 0;
  double tolerance = 1e-11;
  std::int32_t max_iterations = 50;
  std::int32_t thread = 0;       // for the log lines
  bool pivoting = false;          // pivoting-mode variants (breakdown tests, initial solve)
  bool transpose = false;         // solve Aᵀ·x = b (unsymmetric kinds)
  bool offcore_unshared = false;  // BiCGStab starts from x = b instead of an initial solve
  // The run whose memory monitor is charged with the extra vectors of
  // BiCGStab and BiCGStab(2) and whose fatal path ("Not enough memory", code
  // 100) ends a failed allocation; without one they are plain vectors.
  tessar* solver = nullptr;
};

// Vectors a method needs besides b and x, in units of n scalars: CG keeps
// r, p and z/q, BiCG r, p, z/q, p̃ and r̃, with r in b's place.
inline constexpr int cg_work_vectors = 2;
inline constexpr int bicg_work_vectors = 4;

// Preconditioned conjugate gradients for the symmetric kinds. b is the
// permuted right-hand side, which the iteration overwrites with its residual;
// x receives the solution; work holds cg_work_vectors·n scalars.
// bnorm = ‖b‖₂.
template <class K>
[[nodiscard]] int ConjugateGradients(const KrylovOperators<typename K::scalar>& ops, const KrylovSettings& s,
                                     typename K::scalar* b, double bnorm, typename K::scalar* x,
                                     typename K::scalar* work);

// BiCG for the unsymmetric kinds, b overwritten as in CG, work holds
// bicg_work_vectors·n scalars.
template <class K>
[[nodiscard]] int BiConjugateGradients(const KrylovOperators<typename K::scalar>& ops, const KrylovSettings& s,
                                       typename K::scalar* b, double bnorm, typename K::scalar* x,
                                       typename K::scalar* work);

// BiCGStab and BiCGStab(2) (pivoting modes only) leave b as it is; work holds
// bicg_work_vectors·n scalars, and they allocate their further vectors
// themselves (three and five), ending the run with "Not enough memory"
// (code 100) through KrylovSettings::solver when they cannot.
// BiCGStab(2) iterates on the left-preconditioned system M⁻¹A·x = M⁻¹b: its
// tolerance applies to ‖M⁻¹(b − A·x)‖₂/‖M⁻¹b‖₂ (bnorm is not used), and when
// it makes no step (a tolerance of 1 or more) it returns x = M⁻¹b.
template <class K>
[[nodiscard]] int BiCGStab(const KrylovOperators<typename K::scalar>& ops, const KrylovSettings& s,
                           typename K::scalar* b, double bnorm, typename K::scalar* x, typename K::scalar* work);
template <class K>
[[nodiscard]] int BiCGStab2(const KrylovOperators<typename K::scalar>& ops, const KrylovSettings& s,
                            typename K::scalar* b, double bnorm, typename K::scalar* x,
                            typename K::scalar* work);

// One cycle of flexible GMRES with the factorization as right preconditioner:
// from d = 0, at most `restart` iterations towards A·d = r, stopping early
// once the least-squares estimate of ‖r − A·d‖₂ is at most `target` or the
// Krylov space is exhausted. Each preconditioned direction zⱼ = M⁻¹vⱼ is kept,
// so d = Σ yⱼzⱼ minimizes the residual of A itself, whatever the quality of
// M. Inner products are conjugated for every kind (GMRES needs a true inner
// product, also for the complex symmetric kind). v holds (restart + 1)·n and
// z restart·n scalars. Returns the number of iterations made.
template <class K>
std::int32_t FlexibleGmresCycle(const KrylovOperators<typename K::scalar>& ops, const KrylovSettings& s,
                                const typename K::scalar* r, double target, std::int32_t restart,
                                typename K::scalar* d, typename K::scalar* v, typename K::scalar* z);
