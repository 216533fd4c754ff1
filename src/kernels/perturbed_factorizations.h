#pragma once
// Blocked dense factorizations that replace a pivot too small to use by a
// perturbed value instead of failing, and count the replacements. Argument
// lists follow the library routines of the same stem (DSYTRF, ZSYTRF,
// ZHETRF, DGETRF, ZGETRF), with two more: npert returns the number of
// perturbed pivots and f scales the threshold, tau = f * machine epsilon.
// Only the lower triangle is supported by the symmetric ones.
#include <complex>

// Symmetric indefinite (Bunch–Kaufman) LDL^T of the lower triangle of the
// n × n matrix a: ipiv, info and work as in DSYTRF; lwork = -1 queries the
// work size into work[0].
void TSDSYTRF(char uplo, int n, double* a, int lda, int* ipiv, double* work, int lwork, int& info,
              int& npert, const double& f);
void TSZSYTRF(char uplo, int n, std::complex<double>* a, int lda, int* ipiv,
              std::complex<double>* work, int lwork, int& info, int& npert, const double& f);
void TSZHETRF(char uplo, int n, std::complex<double>* a, int lda, int* ipiv,
              std::complex<double>* work, int lwork, int& info, int& npert, const double& f);

// LU with partial pivoting of the m × n matrix a, as DGETRF.
void TSDGETRF(int m, int n, double* a, int lda, int* ipiv, int& info, int& npert, const double& f);
void TSZGETRF(int m, int n, std::complex<double>* a, int lda, int* ipiv, int& info, int& npert,
              const double& f);
