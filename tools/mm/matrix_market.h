#pragma once
// Matrix Market files for people who bring their own matrices: coordinate
// matrices (real, integer or complex; general, symmetric, skew-symmetric or
// Hermitian) converted to the stored form of a kind, dense array files for
// right-hand sides and solutions, and a writer for stored matrices.
//
// Every problem is a MatrixMarketError whose message starts "file:line: ".
// Entries given twice (in a symmetric file, (i, j) and (j, i) name the same
// entry) are rejected rather than summed: a file that repeats an entry is more
// often a broken file than an unassembled one, and summing would hide it.
#include <complex>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "io/yale_matrix.h"

class MatrixMarketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class MmField { real, integer, complex };
enum class MmSymmetry { general, symmetric, skew_symmetric, hermitian };

struct MmEntry {
  std::int32_t row = 0;  // 0-based
  std::int32_t col = 0;
  std::complex<double> value;
  std::int64_t line = 0;
};

struct MmMatrix {
  std::string file;
  MmField field = MmField::real;
  MmSymmetry symmetry = MmSymmetry::general;
  std::int32_t n = 0;
  std::vector<MmEntry> entries;
};

struct MmArray {
  std::string file;
  std::int64_t size_line = 0;
  std::int32_t rows = 0;
  std::int32_t cols = 0;
  bool complex = false;
  std::vector<std::complex<double>> values;  // column by column
};

// Reads a square coordinate matrix.
MmMatrix read_matrix_market(const std::filesystem::path& path);

// The kind a file is meant for: real symmetric 0, real general 1, complex
// symmetric 2, complex general 3, Hermitian 4; skew-symmetric files 1 or 3.
int default_kind(const MmMatrix& matrix);

// The stored form of the kind: the upper triangle of a symmetric or Hermitian
// kind (a file's lower triangle is mirrored, conjugated for Hermitian), every
// entry of an unsymmetric kind with explicit zeros completing the symmetric
// pattern, and an explicit zero on every absent diagonal. Rejects complex
// values for a real kind and, for the symmetric and Hermitian kinds, any
// entry whose mirror differs, naming its line.
YaleMatrix convert_to_kind(const MmMatrix& matrix, int kind);

// Writes a stored matrix of the kind: symmetric kinds as "symmetric", the
// Hermitian kind as "hermitian" (both with the lower triangle), unsymmetric
// kinds as "general" with every stored entry, explicit zeros included.
void write_matrix_market(const std::filesystem::path& path, const YaleMatrix& a, int kind);

// Reads a dense array file (general), such as right-hand sides.
MmArray read_matrix_market_array(const std::filesystem::path& path);

// The columns of an array as vectors of n values of the kind, back to back.
std::vector<double> vectors_for_kind(const MmArray& array, std::int32_t n, int kind);

// Writes count vectors of n values (pairs for complex) as an array file.
void write_matrix_market_array(const std::filesystem::path& path, const std::vector<double>& values, std::int32_t n,
                               std::int32_t count, bool complex);

// A·1 for a stored matrix of the kind: the right-hand side used when none is given.
std::vector<double> multiply_by_ones(const YaleMatrix& a, int kind);
