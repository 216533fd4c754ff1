#include "tools/common/full_matrix.h"

#include "tools/common/scalar_values.h"

template <class K>
FullMatrix<K>::FullMatrix(std::int32_t n) : rows_(static_cast<std::size_t>(n)) {}

template <class K>
typename FullMatrix<K>::Scalar FullMatrix<K>::at(std::int32_t i, std::int32_t j) const {
  const auto found = row(i).find(j);
  return found == row(i).end() ? Scalar{} : found->second;
}

template <class K>
void FullMatrix<K>::set(std::int32_t i, std::int32_t j, Scalar value) {
  rows_[static_cast<std::size_t>(i)][j] = value;
}

template <class K>
void FullMatrix<K>::set_pair(std::int32_t i, std::int32_t j, Scalar upper, Scalar lower) {
  set(i, j, upper);
  set(j, i, K::symmetry == Symmetry::unsymmetric ? lower : K::mirror(upper));
}

template <class K>
std::vector<typename FullMatrix<K>::Scalar> FullMatrix<K>::multiply(const std::vector<Scalar>& x) const {
  std::vector<Scalar> y(rows_.size());
  for (std::size_t i = 0; i < rows_.size(); ++i)
    for (const auto& [j, value] : rows_[i]) y[i] += value * x[static_cast<std::size_t>(j)];
  return y;
}

namespace {

// Appends one row's entries to a matrix being filled in row order.
template <class Scalar, class Iterator>
void append_row(YaleMatrix& a, Iterator first, Iterator last) {
  for (auto entry = first; entry != last; ++entry) {
    a.col_idx.push_back(entry->first);
    push_scalar(a.values, entry->second);
  }
  a.row_ptr.push_back(static_cast<std::int64_t>(a.col_idx.size()));
}

template <class Scalar>
YaleMatrix empty_stored(std::int32_t n) {
  YaleMatrix a;
  a.n = n;
  a.complex = !std::is_same_v<Scalar, double>;
  a.row_ptr.push_back(0);
  return a;
}

}  // namespace

template <class K>
YaleMatrix FullMatrix<K>::stored_triangle() const {
  YaleMatrix a = empty_stored<Scalar>(n());
  for (std::int32_t i = 0; i < n(); ++i) {
    Row upper(row(i).lower_bound(i), row(i).end());
    upper.try_emplace(i, Scalar{});
    append_row<Scalar>(a, upper.begin(), upper.end());
  }
  a.nnz = a.row_ptr.back();
  return a;
}

template <class K>
YaleMatrix FullMatrix<K>::stored_symmetric_pattern() const {
  std::vector<Row> pattern = rows_;
  for (std::int32_t i = 0; i < n(); ++i) {
    pattern[static_cast<std::size_t>(i)].try_emplace(i, Scalar{});
    for (const auto& entry : row(i)) pattern[static_cast<std::size_t>(entry.first)].try_emplace(i, Scalar{});
  }
  YaleMatrix a = empty_stored<Scalar>(n());
  for (const Row& r : pattern) append_row<Scalar>(a, r.begin(), r.end());
  a.nnz = a.row_ptr.back();
  return a;
}

template <class K>
YaleMatrix FullMatrix<K>::stored() const {
  if constexpr (K::symmetry == Symmetry::unsymmetric)
    return stored_symmetric_pattern();
  else
    return stored_triangle();
}

template <class K>
FullMatrix<K> FullMatrix<K>::from_stored(const YaleMatrix& a) {
  FullMatrix full(a.n);
  for (std::int32_t i = 0; i < a.n; ++i) {
    for (std::int64_t p = a.row_ptr[static_cast<std::size_t>(i)]; p < a.row_ptr[static_cast<std::size_t>(i) + 1]; ++p) {
      const std::int32_t j = a.col_idx[static_cast<std::size_t>(p)];
      const Scalar value = scalar_at<Scalar>(a.values, static_cast<std::size_t>(p));
      full.set(i, j, value);
      if (K::symmetry != Symmetry::unsymmetric && j != i) full.set(j, i, K::mirror(value));
    }
  }
  return full;
}

TSR_INSTANTIATE_FOR_KINDS(FullMatrix)
