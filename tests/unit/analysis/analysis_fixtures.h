#pragma once
// Patterns and reference computations shared by the analysis tests.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "analysis/reorder.h"
#include "core/tessar.h"
#include "io/yale_matrix.h"
#include "tests/support/test_support.h"

// A symmetric pattern as a dense boolean matrix with a full diagonal.
using DensePattern = std::vector<std::vector<bool>>;

inline DensePattern random_pattern(std::int32_t n, double density, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::bernoulli_distribution edge(density);
  DensePattern p(static_cast<std::size_t>(n), std::vector<bool>(static_cast<std::size_t>(n), false));
  for (std::int32_t i = 0; i < n; ++i) {
    p[i][i] = true;
    for (std::int32_t j = i + 1; j < n; ++j) p[i][j] = p[j][i] = edge(rng);
  }
  return p;
}

// The pattern as a solver of this kind stores it: whole rows for the
// unsymmetric kinds (1 and 3), the upper triangle for the others.
inline YaleMatrix matrix_of(const DensePattern& p, int kind) {
  YaleMatrix a;
  a.n = static_cast<std::int32_t>(p.size());
  a.row_ptr.push_back(0);
  for (std::int32_t i = 0; i < a.n; ++i) {
    for (std::int32_t j = kind == 1 || kind == 3 ? 0 : i; j < a.n; ++j)
      if (p[i][j]) a.col_idx.push_back(j);
    a.row_ptr.push_back(static_cast<std::int64_t>(a.col_idx.size()));
  }
  a.nnz = a.row_ptr.back();
  a.values.assign(static_cast<std::size_t>(a.nnz), 1.0);
  return a;
}

inline void analyse(tessar& solver, const YaleMatrix& a) {
  Reorder(solver, a.n, a.nnz, a.row_ptr.data(), a.col_idx.data());
}

// Plain symbolic elimination of the pattern in the order perm: for every pivot
// k, the positions j > k of its factor column, ascending.
inline std::vector<std::vector<std::int32_t>> filled_structure(const DensePattern& p, const std::int32_t* perm) {
  const auto n = static_cast<std::int32_t>(p.size());
  DensePattern f(p.size(), std::vector<bool>(p.size(), false));
  for (std::int32_t i = 0; i < n; ++i)
    for (std::int32_t j = 0; j < n; ++j) f[i][j] = p[perm[i]][perm[j]];
  std::vector<std::vector<std::int32_t>> structure(p.size());
  for (std::int32_t k = 0; k < n; ++k) {
    for (std::int32_t j = k + 1; j < n; ++j)
      if (f[k][j]) structure[k].push_back(j);
    for (std::int32_t a : structure[k])
      for (std::int32_t b : structure[k]) f[a][b] = true;
  }
  return structure;
}

// Pivot k's stored structure (IU, IJU, JU after analysis; IU counts the diagonal).
inline std::vector<std::int32_t> stored_structure(const tessar& solver, std::int32_t k) {
  const std::int64_t off = solver.IU[k + 1] - solver.IU[k] - 1;
  std::vector<std::int32_t> list;
  for (std::int64_t p = 0; p < off; ++p) list.push_back(solver.JU[solver.IJU[k] + p]);
  return list;
}

// The action must end the run with this code and a message containing text.
inline void expect_fatal(const std::function<void()>& action, std::int32_t code, const std::string& text) {
  const auto [message, got] = failure_of(action);
  EXPECT_EQ(got, code);
  EXPECT_NE(message.find(text), std::string::npos) << message;
}
