// The perturbed factorizations against the linked library's own routines:
// with no pivot below tau they must choose the same pivots and produce the
// same factors to rounding; below tau they perturb and count.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <complex>
#include <limits>
#include <vector>

#include "dense_fixtures.h"
#include "kernels/perturbed_factorizations.h"
#include "platform/blas.h"

namespace {

using kernel_tests::random_front;
using cdouble = std::complex<double>;

// One symmetric factorization and its library counterpart.
template <class K, class T>
struct SymmetricCase {
  using kind = K;
  using scalar = T;
};

struct RealSym : SymmetricCase<RealSymmetric, double> {
  static void ours(int n, double* a, int lda, int* ipiv, double* w, int lw, int& info, int& np, double f) {
    TSDSYTRF('L', n, a, lda, ipiv, w, lw, info, np, f);
  }
  static void library(int n, double* a, int lda, int* ipiv, double* w, int lw, int& info) {
    blas::sytrf('L', n, a, lda, ipiv, w, lw, &info);
  }
};
struct ComplexSym : SymmetricCase<ComplexSymmetric, cdouble> {
  static void ours(int n, cdouble* a, int lda, int* ipiv, cdouble* w, int lw, int& info, int& np, double f) {
    TSZSYTRF('L', n, a, lda, ipiv, w, lw, info, np, f);
  }
  static void library(int n, cdouble* a, int lda, int* ipiv, cdouble* w, int lw, int& info) {
    blas::sytrf('L', n, a, lda, ipiv, w, lw, &info);
  }
};
struct ComplexHerm : SymmetricCase<ComplexHermitian, cdouble> {
  static void ours(int n, cdouble* a, int lda, int* ipiv, cdouble* w, int lw, int& info, int& np, double f) {
    TSZHETRF('L', n, a, lda, ipiv, w, lw, info, np, f);
  }
  static void library(int n, cdouble* a, int lda, int* ipiv, cdouble* w, int lw, int& info) {
    blas::hetrf('L', n, a, lda, ipiv, w, lw, &info);
  }
};

template <class C>
class SymmetricFactorization : public ::testing::Test {};
using SymmetricCases = ::testing::Types<RealSym, ComplexSym, ComplexHerm>;
TYPED_TEST_SUITE(SymmetricFactorization, SymmetricCases);

// Lower-triangle difference relative to the largest factor entry.
template <class T>
double lower_relative_difference(const std::vector<T>& a, const std::vector<T>& b, int n) {
  double diff = 0, scale = 0;
  for (int j = 0; j < n; ++j)
    for (int i = j; i < n; ++i) {
      diff = std::max(diff, std::abs(a[i + std::size_t(j) * n] - b[i + std::size_t(j) * n]));
      scale = std::max(scale, std::abs(b[i + std::size_t(j) * n]));
    }
  return diff / scale;
}

// A random front with `zero_diagonal` leading zero diagonal entries, which
// forces interchanges and 2×2 pivots.
template <class K>
std::vector<typename K::scalar> indefinite_front(int n, std::uint64_t seed, int zero_diagonal) {
  auto a = random_front<K>(n, seed);
  for (int i = 0; i < std::min(n, zero_diagonal); ++i) a[i + std::size_t(i) * n] = 0.0;
  return a;
}

template <class C>
void expect_same_as_library(const std::vector<typename C::scalar>& input, int n, int lwork, std::uint64_t seed) {
  using T = typename C::scalar;
  auto ours = input, theirs = input;
  std::vector<int> ipiv_ours(n), ipiv_theirs(n);
  std::vector<T> work(std::max(1, lwork));
  int info = 7, npert = 7, info_lib = 7;
  C::ours(n, ours.data(), std::max(1, n), ipiv_ours.data(), work.data(), lwork, info, npert, 1e-3);
  C::library(n, theirs.data(), std::max(1, n), ipiv_theirs.data(), work.data(), lwork, info_lib);
  ASSERT_EQ(info_lib, 0) << "seed " << seed;
  EXPECT_EQ(info, 0);
  EXPECT_EQ(npert, 0);
  EXPECT_EQ(ipiv_ours, ipiv_theirs) << "n " << n << " seed " << seed;
  if (n > 0) {
    EXPECT_LT(lower_relative_difference(ours, theirs, n), 1e-11 * n) << "n " << n << " seed " << seed;
  }
}

int optimal_lwork(char uplo_stem_kind, int n) {
  return std::max(1, n * blas::ilaenv(1, uplo_stem_kind == 'h' ? "ZHETRF" : "DSYTRF", "L", n, -1, -1, -1));
}

TYPED_TEST(SymmetricFactorization, ChoosesTheLibrarysPivotsAcrossBlockSizes) {
  using K = typename TypeParam::kind;
  const int nb = blas::ilaenv(1, "DSYTRF", "L", 1000, -1, -1, -1);
  for (int n : {1, 2, 5, nb - 1, nb, nb + 1, 2 * nb + 3, 301})
    for (int zeros : {0, 3, n}) {
      if (n == 1 && zeros > 0) continue;  // a zero 1×1 matrix is singular for the library
      expect_same_as_library<TypeParam>(indefinite_front<K>(n, 100 + n + zeros, zeros), n,
                                        optimal_lwork('d', n), 100 + n + zeros);
    }
}

// count scalars that end exactly where an inaccessible page begins, so that a
// read past the end faults.
template <class T>
class GuardedBuffer {
 public:
  explicit GuardedBuffer(std::size_t count) {
    const std::size_t page = sysconf(_SC_PAGESIZE);
    data_bytes_ = (count * sizeof(T) + page - 1) / page * page;
    total_ = data_bytes_ + page;
    base_ = static_cast<char*>(mmap(nullptr, total_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base_ + data_bytes_, page, PROT_NONE);
    data_ = reinterpret_cast<T*>(base_ + data_bytes_) - count;
  }
  ~GuardedBuffer() { munmap(base_, total_); }
  T* data() { return data_; }

 private:
  char* base_;
  std::size_t data_bytes_, total_;
  T* data_;
};

TYPED_TEST(SymmetricFactorization, ExactWorkspaceIsNeverReadPastItsEnd) {
  using K = typename TypeParam::kind;
  using T = typename TypeParam::scalar;
  const int n = 300;
  auto a = indefinite_front<K>(n, 77, n);
  const int lwork = optimal_lwork('d', n);
  GuardedBuffer<T> work(lwork);
  std::vector<int> ipiv(n);
  int info = 1, npert = 1;
  TypeParam::ours(n, a.data(), n, ipiv.data(), work.data(), lwork, info, npert, 1e-3);
  EXPECT_EQ(info, 0);
}

TYPED_TEST(SymmetricFactorization, ShortWorkspaceNarrowsThePanelLikeTheLibrary) {
  using K = typename TypeParam::kind;
  const int n = 250;
  for (int panel : {1, 2, 7, 40})
    expect_same_as_library<TypeParam>(indefinite_front<K>(n, 7 + panel, 2), n, n * panel, 7 + panel);
}

TYPED_TEST(SymmetricFactorization, TinyLeadingColumnIsPerturbedToTau) {
  using K = typename TypeParam::kind;
  using T = typename TypeParam::scalar;
  const int n = 6;
  const double f = 1e3, tau = f * blas::epsilon();
  for (double sign : {1.0, -1.0}) {
    auto a = random_front<K>(n, 11, 4.0);
    for (int i = 0; i < n; ++i) a[i] = a[std::size_t(i) * n] = 0.0;
    a[0] = T(sign * tau * 1e-3);
    std::vector<int> ipiv(n);
    std::vector<T> work(optimal_lwork('d', n));
    int info = 1, npert = -1;
    TypeParam::ours(n, a.data(), n, ipiv.data(), work.data(), int(work.size()), info, npert, f);
    EXPECT_EQ(info, 0);
    EXPECT_EQ(npert, 1);
    EXPECT_EQ(ipiv[0], 1);
    EXPECT_EQ(a[0], T(sign * tau));
  }
}

TYPED_TEST(SymmetricFactorization, ZeroMatrixBecomesADiagonalOfTau) {
  using T = typename TypeParam::scalar;
  const double f = 10.0, tau = f * blas::epsilon();
  for (int n : {5, 200}) {
    std::vector<T> a(std::size_t(n) * n, T(0));
    std::vector<int> ipiv(n);
    std::vector<T> work(optimal_lwork('d', n));
    int info = 1, npert = -1;
    TypeParam::ours(n, a.data(), n, ipiv.data(), work.data(), int(work.size()), info, npert, f);
    EXPECT_EQ(npert, n);
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(a[i + std::size_t(i) * n], T(tau)) << i;
      EXPECT_EQ(ipiv[i], i + 1);
    }
  }
}

TYPED_TEST(SymmetricFactorization, QueriesAndDegenerateCallsLeaveTheMatrixAlone) {
  using T = typename TypeParam::scalar;
  const int n = 50;
  std::vector<T> a(std::size_t(n) * n, T(3)), untouched = a;
  std::vector<int> ipiv(n, 0);
  T work[1] = {T(0)};
  int info = 1, npert = 5;
  TypeParam::ours(n, a.data(), n, ipiv.data(), work, -1, info, npert, 1.0);
  EXPECT_EQ(info, 0);
  EXPECT_EQ(npert, 0);
  EXPECT_EQ(std::real(work[0]), double(optimal_lwork('d', n)));
  EXPECT_EQ(a, untouched);

  npert = 5;
  TypeParam::ours(0, a.data(), 1, ipiv.data(), work, 1, info, npert, 1.0);
  EXPECT_EQ(info, 0);
  EXPECT_EQ(npert, 0);
}

TEST(SymmetricFactorizationArguments, UpperTriangleIsRefusedQuietly) {
  std::vector<double> a(16, 1.0), untouched = a, work(64);
  std::vector<int> ipiv(4);
  int info = 0, npert = 0;
  ::testing::internal::CaptureStdout();
  TSDSYTRF('U', 4, a.data(), 4, ipiv.data(), work.data(), 64, info, npert, 1.0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(info, -1);
  EXPECT_EQ(a, untouched);
}

// Illegal arguments stop the process with the fixed one-line report; the
// report goes to standard output, so the death test sends it to stderr.
TEST(KernelArgumentsDeathTest, IllegalArgumentsAreReportedAndStop) {
  std::vector<double> a(16), work(64);
  std::vector<cdouble> z(16), zwork(64);
  std::vector<int> ipiv(4);
  int info = 0, npert = 0;
  const auto to_stderr = [] { dup2(2, 1); };
  EXPECT_EXIT((to_stderr(), TSDSYTRF('X', 4, a.data(), 4, ipiv.data(), work.data(), 64, info, npert, 1.0)),
              ::testing::ExitedWithCode(1), " \\*\\* On entry to TSDSYT parameter number  1 had an illegal value");
  EXPECT_EXIT((to_stderr(), TSZHETRF('L', -1, z.data(), 4, ipiv.data(), zwork.data(), 64, info, npert, 1.0)),
              ::testing::ExitedWithCode(1), "On entry to TSZHET parameter number  2 had an illegal value");
  EXPECT_EXIT((to_stderr(), TSZSYTRF('L', 4, z.data(), 3, ipiv.data(), zwork.data(), 64, info, npert, 1.0)),
              ::testing::ExitedWithCode(1), "On entry to TSZSYT parameter number  4 had");
  EXPECT_EXIT((to_stderr(), TSDSYTRF('L', 4, a.data(), 4, ipiv.data(), work.data(), 0, info, npert, 1.0)),
              ::testing::ExitedWithCode(1), "parameter number  7 had an illegal value");
  EXPECT_EXIT((to_stderr(), TSDGETRF(4, 4, a.data(), 3, ipiv.data(), info, npert, 1.0)),
              ::testing::ExitedWithCode(1), "On entry to TSDGET parameter number  4 had an illegal value");
  EXPECT_EXIT((to_stderr(), TSZGETRF(-2, 4, z.data(), 4, ipiv.data(), info, npert, 1.0)),
              ::testing::ExitedWithCode(1), "On entry to TSZGET parameter number  1 had an illegal value");
}

// LU: the same pivots and factors as the library on square, tall and wide
// matrices on both sides of the block size.
template <class T>
class LuFactorization : public ::testing::Test {};
using LuScalars = ::testing::Types<double, cdouble>;
TYPED_TEST_SUITE(LuFactorization, LuScalars);

template <class T>
void ours_lu(int m, int n, T* a, int lda, int* ipiv, int& info, int& npert, double f) {
  if constexpr (std::is_same_v<T, double>) TSDGETRF(m, n, a, lda, ipiv, info, npert, f);
  else TSZGETRF(m, n, a, lda, ipiv, info, npert, f);
}

TYPED_TEST(LuFactorization, ChoosesTheLibrarysPivotsAndFactors) {
  using T = TypeParam;
  using K = std::conditional_t<std::is_same_v<T, double>, RealUnsymmetric, ComplexUnsymmetric>;
  const int nb = blas::ilaenv(1, "DGETRF", " ", 1000, 1000, -1, -1);
  const std::pair<int, int> shapes[] = {{1, 1}, {7, 7}, {nb, nb}, {nb + 1, nb + 1}, {300, 300}, {300, 90}, {90, 300}};
  for (auto [m, n] : shapes) {
    const int big = std::max(m, n);
    auto full = random_front<K>(big, 31 + m + n);
    std::vector<T> ours(full.begin(), full.begin() + std::size_t(m) * n), theirs = ours;
    std::vector<int> ipiv(std::min(m, n)), ipiv_lib(std::min(m, n));
    int info = 1, npert = 1, info_lib = 1;
    ours_lu(m, n, ours.data(), m, ipiv.data(), info, npert, 1e-3);
    blas::getrf(m, n, theirs.data(), m, ipiv_lib.data(), &info_lib);
    EXPECT_EQ(info, 0);
    EXPECT_EQ(npert, 0);
    EXPECT_EQ(ipiv, ipiv_lib) << m << "x" << n;
    double diff = 0, scale = 0;
    for (std::size_t i = 0; i < ours.size(); ++i) {
      diff = std::max(diff, std::abs(ours[i] - theirs[i]));
      scale = std::max(scale, std::abs(theirs[i]));
    }
    EXPECT_LT(diff / scale, 1e-11 * big) << m << "x" << n;
  }
}

TYPED_TEST(LuFactorization, SmallPivotsArePerturbedWithTheirSign) {
  using T = TypeParam;
  const double f = 100.0, tau = f * blas::epsilon();
  for (int n : {4, 200}) {
    std::vector<T> a(std::size_t(n) * n, T(0));
    a[0] = T(-tau * 0.5);
    std::vector<int> ipiv(n);
    int info = 1, npert = -1;
    ours_lu(n, n, a.data(), n, ipiv.data(), info, npert, f);
    EXPECT_EQ(info, 0);
    EXPECT_EQ(npert, n);
    EXPECT_EQ(a[0], T(-tau));
    for (int i = 1; i < n; ++i) EXPECT_EQ(a[i + std::size_t(i) * n], T(tau));
  }
  std::vector<T> empty(1);
  int ipiv = 0, info = 1, npert = 3;
  ours_lu(0, 5, empty.data(), 1, &ipiv, info, npert, f);
  EXPECT_EQ(info, 0);
  EXPECT_EQ(npert, 0);
}

}  // namespace
