#pragma once
// The five matrix kinds as compile-time traits: the scalar type, the symmetry,
// the kind code and the small operations that differ between kinds. Every
// algorithm that depends on the kind is written once over these traits.
#include <complex>
#include <cstdint>
#include <type_traits>

enum class Symmetry : std::int32_t { symmetric = 0, unsymmetric = 1, hermitian = 2 };

template <class Scalar, Symmetry Sym>
struct Kind {
  using scalar = Scalar;
  static constexpr Symmetry symmetry = Sym;
  static constexpr bool is_complex = !std::is_floating_point_v<Scalar>;
  static_assert(!(Sym == Symmetry::hermitian && !is_complex), "a real Hermitian kind is the real symmetric kind");
  static constexpr std::int32_t solver_type =
      Sym == Symmetry::hermitian ? 4 : (is_complex ? 2 : 0) + (Sym == Symmetry::unsymmetric ? 1 : 0);
  static constexpr std::int32_t value_type = is_complex ? 1 : 0;
  // The factor's stored scalar unless -double_precision: the single-precision
  // counterpart of the scalar.
  using single = std::conditional_t<is_complex, std::complex<float>, float>;

  // The entry mirrored across the diagonal: conjugated for the Hermitian kind.
  static Scalar mirror(const Scalar& x) {
    if constexpr (Sym == Symmetry::hermitian) return std::conj(x);
    else return x;
  }
};

// Fronts of kind K computed in single precision.
template <class K>
using SingleFronts = Kind<typename K::single, K::symmetry>;

using RealSymmetric = Kind<double, Symmetry::symmetric>;
using RealUnsymmetric = Kind<double, Symmetry::unsymmetric>;
using ComplexSymmetric = Kind<std::complex<double>, Symmetry::symmetric>;
using ComplexUnsymmetric = Kind<std::complex<double>, Symmetry::unsymmetric>;
using ComplexHermitian = Kind<std::complex<double>, Symmetry::hermitian>;

// Instantiates a class template once for each of the five kinds.
#define TSR_INSTANTIATE_FOR_KINDS(Template) \
  template class Template<RealSymmetric>;   \
  template class Template<RealUnsymmetric>; \
  template class Template<ComplexSymmetric>; \
  template class Template<ComplexUnsymmetric>; \
  template class Template<ComplexHermitian>;
