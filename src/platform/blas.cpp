// Fortran bindings of the BLAS and LAPACK routines behind the overloads of
// blas.h. Character arguments carry gfortran's hidden length arguments, which
// LAPACK's own routines read.
#include "platform/blas.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>

using fstrlen = std::size_t;
using cfloat = std::complex<float>;
using cdouble = std::complex<double>;

extern "C" {
#define TSR_FORTRAN_PROTOTYPES(p, T, R)                                                            \
  void p##gemm_(const char*, const char*, const int*, const int*, const int*, const T*, const T*,  \
                const int*, const T*, const int*, const T*, T*, const int*, fstrlen, fstrlen);     \
  void p##trsm_(const char*, const char*, const char*, const char*, const int*, const int*,        \
                const T*, const T*, const int*, T*, const int*, fstrlen, fstrlen, fstrlen,         \
                fstrlen);                                                                          \
  void p##syrk_(const char*, const char*, const int*, const int*, const T*, const T*, const int*,  \
                const T*, T*, const int*, fstrlen, fstrlen);                                       \
  void p##gemv_(const char*, const int*, const int*, const T*, const T*, const int*, const T*,     \
                const int*, const T*, T*, const int*, fstrlen);                                    \
  void p##tpsv_(const char*, const char*, const char*, const int*, const T*, T*, const int*,       \
                fstrlen, fstrlen, fstrlen);                                                        \
  void p##swap_(const int*, T*, const int*, T*, const int*);                                       \
  void p##scal_(const int*, const T*, T*, const int*);                                             \
  void p##copy_(const int*, const T*, const int*, T*, const int*);                                 \
  void p##axpy_(const int*, const T*, const T*, const int*, T*, const int*);

TSR_FORTRAN_PROTOTYPES(s, float, float)
TSR_FORTRAN_PROTOTYPES(d, double, double)
TSR_FORTRAN_PROTOTYPES(c, cfloat, float)
TSR_FORTRAN_PROTOTYPES(z, cdouble, double)
#undef TSR_FORTRAN_PROTOTYPES

void sger_(const int*, const int*, const float*, const float*, const int*, const float*, const int*, float*, const int*);
void dger_(const int*, const int*, const double*, const double*, const int*, const double*, const int*, double*, const int*);
void cgeru_(const int*, const int*, const cfloat*, const cfloat*, const int*, const cfloat*, const int*, cfloat*, const int*);
void zgeru_(const int*, const int*, const cdouble*, const cdouble*, const int*, const cdouble*, const int*, cdouble*, const int*);
float snrm2_(const int*, const float*, const int*);
double dnrm2_(const int*, const double*, const int*);
float scnrm2_(const int*, const cfloat*, const int*);
double dznrm2_(const int*, const cdouble*, const int*);
void csscal_(const int*, const float*, cfloat*, const int*);
void zdscal_(const int*, const double*, cdouble*, const int*);
void dgetrf_(const int*, const int*, double*, const int*, int*, int*);
void zgetrf_(const int*, const int*, cdouble*, const int*, int*, int*);
void dgetrs_(const char*, const int*, const int*, const double*, const int*, const int*, double*, const int*, int*, fstrlen);
void zgetrs_(const char*, const int*, const int*, const cdouble*, const int*, const int*, cdouble*, const int*, int*, fstrlen);
double dlamch_(const char*, fstrlen);
void openblas_set_num_threads(int);
// The complex dot products return their value through an argument in the C
// interface, which avoids the compilers' differing conventions for returning
// a Fortran COMPLEX function value.
float cblas_sdot(int, const float*, int, const float*, int);
double cblas_ddot(int, const double*, int, const double*, int);
void cblas_cdotu_sub(int, const void*, int, const void*, int, void*);
void cblas_cdotc_sub(int, const void*, int, const void*, int, void*);
void cblas_zdotu_sub(int, const void*, int, const void*, int, void*);
void cblas_zdotc_sub(int, const void*, int, const void*, int, void*);
}

namespace blas {

namespace {

std::atomic<bool> level3_timing{false};
std::atomic<std::int64_t> level3_nanoseconds{0};

// Adds the lifetime of the object to the level-3 time while timing is on.
class Level3Timer {
 public:
  Level3Timer() : on_(level3_timing.load(std::memory_order_relaxed)) {
    if (on_) start_ = std::chrono::steady_clock::now();
  }
  ~Level3Timer() {
    if (!on_) return;
    const auto spent = std::chrono::steady_clock::now() - start_;
    level3_nanoseconds += std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count();
  }

 private:
  bool on_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace

void time_level3(bool on) {
  level3_nanoseconds = 0;
  level3_timing = on;
}

double level3_seconds() { return static_cast<double>(level3_nanoseconds.load()) * 1e-9; }

#define TSR_BLAS_DEFINE(p, T)                                                                      \
  void gemm(char transa, char transb, int m, int n, int k, T alpha, const T* a, int lda,          \
            const T* b, int ldb, T beta, T* c, int ldc) {                                          \
    const Level3Timer timer;                                                                       \
    p##gemm_(&transa, &transb, &m, &n, &k, &alpha, a, &lda, b, &ldb, &beta, c, &ldc, 1, 1);       \
  }                                                                                                \
  void trsm(char side, char uplo, char transa, char diag, int m, int n, T alpha, const T* a,      \
            int lda, T* b, int ldb) {                                                              \
    const Level3Timer timer;                                                                       \
    p##trsm_(&side, &uplo, &transa, &diag, &m, &n, &alpha, a, &lda, b, &ldb, 1, 1, 1, 1);         \
  }                                                                                                \
  void syrk(char uplo, char trans, int n, int k, T alpha, const T* a, int lda, T beta, T* c,      \
            int ldc) {                                                                             \
    const Level3Timer timer;                                                                       \
    p##syrk_(&uplo, &trans, &n, &k, &alpha, a, &lda, &beta, c, &ldc, 1, 1);                       \
  }                                                                                                \
  void gemv(char trans, int m, int n, T alpha, const T* a, int lda, const T* x, int incx, T beta, \
            T* y, int incy) {                                                                      \
    p##gemv_(&trans, &m, &n, &alpha, a, &lda, x, &incx, &beta, y, &incy, 1);                      \
  }                                                                                                \
  void tpsv(char uplo, char trans, char diag, int n, const T* ap, T* x, int incx) {               \
    p##tpsv_(&uplo, &trans, &diag, &n, ap, x, &incx, 1, 1, 1);                                    \
  }                                                                                                \
  void swap(int n, T* x, int incx, T* y, int incy) { p##swap_(&n, x, &incx, y, &incy); }          \
  void scal(int n, T alpha, T* x, int incx) { p##scal_(&n, &alpha, x, &incx); }                   \
  void copy(int n, const T* x, int incx, T* y, int incy) { p##copy_(&n, x, &incx, y, &incy); }    \
  void axpy(int n, T alpha, const T* x, int incx, T* y, int incy) {                               \
    p##axpy_(&n, &alpha, x, &incx, y, &incy);                                                      \
  }

TSR_BLAS_DEFINE(s, float)
TSR_BLAS_DEFINE(d, double)
TSR_BLAS_DEFINE(c, cfloat)
TSR_BLAS_DEFINE(z, cdouble)
#undef TSR_BLAS_DEFINE

void geru(int m, int n, float alpha, const float* x, int incx, const float* y, int incy, float* a, int lda) {
  sger_(&m, &n, &alpha, x, &incx, y, &incy, a, &lda);
}
void geru(int m, int n, double alpha, const double* x, int incx, const double* y, int incy, double* a, int lda) {
  dger_(&m, &n, &alpha, x, &incx, y, &incy, a, &lda);
}
void geru(int m, int n, cfloat alpha, const cfloat* x, int incx, const cfloat* y, int incy, cfloat* a, int lda) {
  cgeru_(&m, &n, &alpha, x, &incx, y, &incy, a, &lda);
}
void geru(int m, int n, cdouble alpha, const cdouble* x, int incx, const cdouble* y, int incy, cdouble* a, int lda) {
  zgeru_(&m, &n, &alpha, x, &incx, y, &incy, a, &lda);
}

float dotu(int n, const float* x, int incx, const float* y, int incy) { return cblas_sdot(n, x, incx, y, incy); }
double dotu(int n, const double* x, int incx, const double* y, int incy) { return cblas_ddot(n, x, incx, y, incy); }
cfloat dotu(int n, const cfloat* x, int incx, const cfloat* y, int incy) {
  cfloat r;
  cblas_cdotu_sub(n, x, incx, y, incy, &r);
  return r;
}
cdouble dotu(int n, const cdouble* x, int incx, const cdouble* y, int incy) {
  cdouble r;
  cblas_zdotu_sub(n, x, incx, y, incy, &r);
  return r;
}
float dotc(int n, const float* x, int incx, const float* y, int incy) { return cblas_sdot(n, x, incx, y, incy); }
double dotc(int n, const double* x, int incx, const double* y, int incy) { return cblas_ddot(n, x, incx, y, incy); }
cfloat dotc(int n, const cfloat* x, int incx, const cfloat* y, int incy) {
  cfloat r;
  cblas_cdotc_sub(n, x, incx, y, incy, &r);
  return r;
}
cdouble dotc(int n, const cdouble* x, int incx, const cdouble* y, int incy) {
  cdouble r;
  cblas_zdotc_sub(n, x, incx, y, incy, &r);
  return r;
}

float nrm2(int n, const float* x, int incx) { return snrm2_(&n, x, &incx); }
double nrm2(int n, const double* x, int incx) { return dnrm2_(&n, x, &incx); }
float nrm2(int n, const cfloat* x, int incx) { return scnrm2_(&n, x, &incx); }
double nrm2(int n, const cdouble* x, int incx) { return dznrm2_(&n, x, &incx); }

void scal(int n, float alpha, cfloat* x, int incx) { csscal_(&n, &alpha, x, &incx); }
void scal(int n, double alpha, cdouble* x, int incx) { zdscal_(&n, &alpha, x, &incx); }
void getrf(int m, int n, double* a, int lda, int* ipiv, int* info) { dgetrf_(&m, &n, a, &lda, ipiv, info); }
void getrf(int m, int n, cdouble* a, int lda, int* ipiv, int* info) { zgetrf_(&m, &n, a, &lda, ipiv, info); }
void getrs(char trans, int n, int nrhs, const double* a, int lda, const int* ipiv, double* b, int ldb, int* info) {
  dgetrs_(&trans, &n, &nrhs, a, &lda, ipiv, b, &ldb, info, 1);
}
void getrs(char trans, int n, int nrhs, const cdouble* a, int lda, const int* ipiv, cdouble* b, int ldb, int* info) {
  zgetrs_(&trans, &n, &nrhs, a, &lda, ipiv, b, &ldb, info, 1);
}

double epsilon() { return dlamch_("E", 1); }

void set_threads(int threads) { openblas_set_num_threads(threads); }

}  // namespace blas
