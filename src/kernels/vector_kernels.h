#pragma once
// Vector operations of the iterative improvement on working-precision
// vectors (double or complex double) of length n, over the level-1 BLAS
// routines. All vectors are contiguous.
#include <cstdint>

#include "platform/blas.h"

namespace vec {

// Σ x_i·y_i, without conjugation.
template <class T>
T dotu(std::int32_t n, const T* x, const T* y) {
  return blas::dotu(n, x, 1, y, 1);
}

// Σ conj(x_i)·y_i; the same as dotu for real vectors.
template <class T>
T dotc(std::int32_t n, const T* x, const T* y) {
  return blas::dotc(n, x, 1, y, 1);
}

// Euclidean norm, computed without overflow for large entries.
template <class T>
double norm2(std::int32_t n, const T* x) {
  return blas::nrm2(n, x, 1);
}

// y += alpha·x.
template <class T>
void axpy(std::int32_t n, T alpha, const T* x, T* y) {
  blas::axpy(n, alpha, x, 1, y, 1);
}

// x *= alpha for a real alpha, also on complex vectors.
template <class T>
void scale(std::int32_t n, double alpha, T* x) {
  blas::scal(n, alpha, x, 1);
}

}  // namespace vec
