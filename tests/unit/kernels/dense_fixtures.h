#pragma once
// Random dense fronts shared by the kernel tests.
// Matrices are column-major std::vector with leading dimension = rows.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include "platform/kind_traits.h"

namespace kernel_tests {

using KernelKinds = ::testing::Types<RealSymmetric, RealUnsymmetric, ComplexSymmetric,
                                     ComplexUnsymmetric, ComplexHermitian>;

template <class T>
T random_value(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  if constexpr (std::is_same_v<T, double>) return u(rng);
  else return T(u(rng), u(rng));
}

template <class T>
std::vector<T> random_vector(std::size_t count, std::mt19937_64& rng) {
  std::vector<T> v(count);
  for (auto& x : v) x = random_value<T>(rng);
  return v;
}

// An n × n front of kind K, entries scaled by size and diagonal_shift added to
// the diagonal: symmetric / Hermitian kinds are filled in full (both
// triangles consistent), Hermitian with a real diagonal.
template <class K>
std::vector<typename K::scalar> random_front(int n, std::mt19937_64& rng, double diagonal_shift = 0.0,
                                             double size = 1.0) {
  using T = typename K::scalar;
  std::vector<T> a(static_cast<std::size_t>(n) * n);
  for (int j = 0; j < n; ++j)
    for (int i = K::symmetry == Symmetry::unsymmetric ? 0 : j; i < n; ++i) {
      T v = size * random_value<T>(rng);
      if (i == j) {
        if constexpr (K::symmetry == Symmetry::hermitian) v = T(std::real(v), 0.0);
        v += T(diagonal_shift);
      }
      a[i + static_cast<std::size_t>(j) * n] = v;
      if (K::symmetry != Symmetry::unsymmetric) a[j + static_cast<std::size_t>(i) * n] = K::mirror(v);
    }
  return a;
}

}  // namespace kernel_tests
