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

// An n × n front of kind K: symmetric / Hermitian kinds are filled in full
// (both triangles consistent), Hermitian with a real diagonal.
template <class K>
std::vector<typename K::scalar> random_front(int n, std::uint64_t seed, double diagonal_shift = 0.0) {
  using T = typename K::scalar;
  std::mt19937_64 rng(seed);
  std::vector<T> a(static_cast<std::size_t>(n) * n);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      if (K::symmetry != Symmetry::unsymmetric && i < j) continue;
      T v = random_value<T>(rng);
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
