#pragma once
// Scalars of a kind in the flat double arrays of the file formats: one double
// per value for the real kinds, a (real, imaginary) pair for the complex ones.
#include <complex>
#include <cstddef>
#include <type_traits>
#include <vector>

template <class Scalar>
Scalar scalar_at(const std::vector<double>& values, std::size_t k) {
  if constexpr (std::is_same_v<Scalar, double>)
    return values[k];
  else
    return {values[2 * k], values[2 * k + 1]};
}

template <class Scalar>
void push_scalar(std::vector<double>& values, const Scalar& x) {
  if constexpr (std::is_same_v<Scalar, double>) {
    values.push_back(x);
  } else {
    values.push_back(x.real());
    values.push_back(x.imag());
  }
}

template <class Scalar>
void append_doubles(std::vector<double>& values, const std::vector<Scalar>& xs) {
  for (const Scalar& x : xs) push_scalar(values, x);
}

// A scalar of the kind's type from its parts; real kinds keep the real part.
template <class Scalar>
Scalar make_scalar(double re, double im) {
  if constexpr (std::is_same_v<Scalar, double>)
    return re;
  else
    return {re, im};
}

template <class Scalar>
Scalar conjugate(const Scalar& x) {
  if constexpr (std::is_same_v<Scalar, double>)
    return x;
  else
    return std::conj(x);
}
