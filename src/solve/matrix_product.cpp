#include "solve/matrix_product.h"

#include <algorithm>

#include "platform/kind_traits.h"

template <class K>
void multiply_matrix(const YaleMatrix& a, const typename K::scalar* x, typename K::scalar* y, bool transpose) {
  using T = typename K::scalar;
  const auto* v = reinterpret_cast<const T*>(a.values.data());
  std::fill(y, y + a.n, T(0));
  for (std::int32_t i = 0; i < a.n; ++i) {
    T sum(0);
    for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p) {
      const std::int32_t j = a.col_idx[p];
      if constexpr (K::symmetry == Symmetry::unsymmetric) {
        if (transpose) y[j] += v[p] * x[i];
        else sum += v[p] * x[j];
      } else {
        sum += v[p] * x[j];
        if (j != i) y[j] += K::mirror(v[p]) * x[i];
      }
    }
    y[i] += sum;
  }
}

template void multiply_matrix<RealSymmetric>(const YaleMatrix&, const double*, double*, bool);
template void multiply_matrix<RealUnsymmetric>(const YaleMatrix&, const double*, double*, bool);
template void multiply_matrix<ComplexSymmetric>(const YaleMatrix&, const std::complex<double>*, std::complex<double>*, bool);
template void multiply_matrix<ComplexUnsymmetric>(const YaleMatrix&, const std::complex<double>*, std::complex<double>*, bool);
template void multiply_matrix<ComplexHermitian>(const YaleMatrix&, const std::complex<double>*, std::complex<double>*, bool);
