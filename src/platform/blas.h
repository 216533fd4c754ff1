#pragma once
// Thin typed overloads of the BLAS and LAPACK routines the solver uses: one
// name per operation for float, double, std::complex<float> and
// std::complex<double>, so that every dense algorithm is written once over
// its scalar type. Integers are the library's 32-bit INTEGER; character
// arguments are single letters as in the Fortran interface.
#include <complex>

namespace blas {

template <class T> struct real_of { using type = T; };
template <class T> struct real_of<std::complex<T>> { using type = T; };
template <class T> using real_t = typename real_of<T>::type;
template <class T> inline constexpr bool is_complex_v = !std::is_same_v<T, real_t<T>>;

#define TSR_BLAS_DECLARE(T)                                                                        \
  void gemm(char transa, char transb, int m, int n, int k, T alpha, const T* a, int lda,          \
            const T* b, int ldb, T beta, T* c, int ldc);                                           \
  void trsm(char side, char uplo, char transa, char diag, int m, int n, T alpha, const T* a,      \
            int lda, T* b, int ldb);                                                               \
  void syrk(char uplo, char trans, int n, int k, T alpha, const T* a, int lda, T beta, T* c,      \
            int ldc);                                                                              \
  void gemv(char trans, int m, int n, T alpha, const T* a, int lda, const T* x, int incx, T beta, \
            T* y, int incy);                                                                       \
  void tpsv(char uplo, char trans, char diag, int n, const T* ap, T* x, int incx);                \
  /* A += alpha * x * y^T, unconjugated for complex types. */                                     \
  void geru(int m, int n, T alpha, const T* x, int incx, const T* y, int incy, T* a, int lda);     \
  void swap(int n, T* x, int incx, T* y, int incy);                                                \
  void scal(int n, T alpha, T* x, int incx);                                                       \
  void copy(int n, const T* x, int incx, T* y, int incy);                                          \
  void axpy(int n, T alpha, const T* x, int incx, T* y, int incy);                                 \
  /* Unconjugated and conjugated dot products; the same for real types. */                        \
  T dotu(int n, const T* x, int incx, const T* y, int incy);                                       \
  T dotc(int n, const T* x, int incx, const T* y, int incy);                                       \
  real_t<T> nrm2(int n, const T* x, int incx);

TSR_BLAS_DECLARE(float)
TSR_BLAS_DECLARE(double)
TSR_BLAS_DECLARE(std::complex<float>)
TSR_BLAS_DECLARE(std::complex<double>)
#undef TSR_BLAS_DECLARE

// Real scaling of a complex vector (csscal / zdscal).
void scal(int n, float alpha, std::complex<float>* x, int incx);
void scal(int n, double alpha, std::complex<double>* x, int incx);

// The library's LU factorization and its solve.
void getrf(int m, int n, double* a, int lda, int* ipiv, int* info);
void getrf(int m, int n, std::complex<double>* a, int lda, int* ipiv, int* info);
// Solves with the LU factors of getrf: op(A)·X = B for nrhs columns, trans 'N', 'T' or 'C'.
void getrs(char trans, int n, int nrhs, const double* a, int lda, const int* ipiv, double* b, int ldb, int* info);
void getrs(char trans, int n, int nrhs, const std::complex<double>* a, int lda, const int* ipiv,
           std::complex<double>* b, int ldb, int* info);

// DLAMCH("Epsilon").
double epsilon();

// Threads the library may use for one call made from the calling thread.
void set_threads(int threads);

// Wall time inside the level-3 routines (gemm, trsm, syrk), summed over the
// calling threads, from time_level3(true) on; off by default, since it reads
// the clock twice per call.
void time_level3(bool on);
double level3_seconds();

}  // namespace blas
