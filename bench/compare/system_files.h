#pragma once
// The benchmark's own reading of the solver's input files, independent of the
// solver's libraries so that every peer driver sees exactly the same data:
// "A" in the plain layout (per record: row and column as 0-based int32, then
// one double or a real and imaginary pair) kept as coordinate triplets in file
// order, and "b"/"x" as vectors of n values back to back.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct Triplets {
  std::int32_t n = 0;  // the last record is the diagonal entry (n−1, n−1)
  int width = 1;       // doubles per value: 1 real, 2 complex
  std::vector<std::int32_t> rows, cols;
  std::vector<double> values;  // width doubles per entry

  std::int64_t entries() const { return static_cast<std::int64_t>(rows.size()); }
};

// Kind codes as on the solver's command line: 0 real symmetric, 1 real
// unsymmetric, 2 complex symmetric, 3 complex unsymmetric, 4 complex Hermitian.
// Throws std::invalid_argument for anything else.
int parse_kind(const std::string& text);
inline bool complex_kind(int kind) { return kind >= 2; }
// Symmetric and Hermitian files hold the upper triangle only.
inline bool one_triangle_kind(int kind) { return kind == 0 || kind == 2 || kind == 4; }

// Both throw std::runtime_error naming the file that cannot be read or whose
// length does not fit the layout.
Triplets read_matrix_file(const std::string& path, bool complex);
std::vector<double> read_vector_file(const std::string& path);
void write_vector_file(const std::string& path, const std::vector<double>& values);

inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
