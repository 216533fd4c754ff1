#pragma once
// A square matrix with every entry held, rows as ordered maps. The tools build
// matrices in this form and convert them to the stored form of a kind (the
// upper triangle of the symmetric and Hermitian kinds, a structurally
// symmetric pattern for the unsymmetric ones, every diagonal present) and back.
#include <cstdint>
#include <map>
#include <vector>

#include "io/yale_matrix.h"
#include "platform/kind_traits.h"

template <class K>
class FullMatrix {
 public:
  using Scalar = typename K::scalar;
  using Row = std::map<std::int32_t, Scalar>;

  explicit FullMatrix(std::int32_t n);

  std::int32_t n() const { return static_cast<std::int32_t>(rows_.size()); }
  const Row& row(std::int32_t i) const { return rows_[static_cast<std::size_t>(i)]; }
  // The entry (i, j), zero where none is held.
  Scalar at(std::int32_t i, std::int32_t j) const;

  void set(std::int32_t i, std::int32_t j, Scalar value);
  // Sets (i, j) to upper and (j, i) to lower for the unsymmetric kinds; the
  // symmetric and Hermitian kinds take the mirror of upper for (j, i), so a
  // matrix built through this call always has the kind's symmetry.
  void set_pair(std::int32_t i, std::int32_t j, Scalar upper, Scalar lower);

  std::vector<Scalar> multiply(const std::vector<Scalar>& x) const;

  // The stored form of the kind; absent diagonals and, for the unsymmetric
  // kinds, absent mirror entries are added as explicit zeros.
  YaleMatrix stored() const;
  // Expands a stored matrix of the kind: the implied triangle is mirrored.
  static FullMatrix from_stored(const YaleMatrix& a);

 private:
  YaleMatrix stored_triangle() const;
  YaleMatrix stored_symmetric_pattern() const;

  std::vector<Row> rows_;
};
