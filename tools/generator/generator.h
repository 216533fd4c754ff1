#pragma once
// Test systems for every kind: a matrix in the solver's storage for the kind,
// right-hand sides and the exact solution they were made from (b = A·x with the
// full matrix). The families resemble what users bring (grid Laplacians,
// Helmholtz with absorption, convection-diffusion, a Hermitian operator) plus
// small hard cases that exercise pivoting, singularity and disconnected graphs.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io/yale_matrix.h"

enum class Family {
  laplace2d,      // 5-point Laplacian on a size × size grid, positive definite
  laplace3d,      // 7-point Laplacian on a size³ grid, positive definite
  helmholtz3d,    // 7-point Helmholtz on a size³ grid with an absorbing term: complex symmetric, indefinite
  convdiff2d,     // central-difference convection-diffusion, size × size: unsymmetric values, symmetric pattern
  convdiff3d,     // the same on a size³ grid
  elasticity3d,   // Lamé-type operator on a size³ grid, three unknowns per point: positive definite
  hermitian,      // size × size grid with random complex couplings, shifted to be indefinite
  zero_diagonal,  // saddle point [[H, Bᵀ], [B, 0]] with 3·size rows: size zero diagonal entries
  singular,       // graph Laplacian of a size × size grid: every row sums to zero (exactly singular)
  pivot2x2,       // size weakly coupled [[0, a], [a, 0]] blocks: every diagonal entry zero
  components,     // size disconnected paths of 1 … size nodes, numbered interleaved
};

// The families in the order above, with their command-line names.
const std::vector<Family>& all_families();
std::string_view family_name(Family family);
std::optional<Family> family_from_name(std::string_view name);

// The kind a family is meant for, and whether it can be generated as another.
int natural_kind(Family family);
bool family_allows_kind(Family family, int kind);

struct GeneratedSystem {
  int kind = 0;
  YaleMatrix a;
  std::int32_t nrhs = 0;
  std::vector<double> b;        // nrhs vectors of n values, back to back
  std::vector<double> x_exact;  // the solutions b was made from, same layout
};

// Throws std::invalid_argument for a kind the family does not allow, a size
// below 1, a size whose matrix would not fit 32-bit indices, or nrhs below 1.
GeneratedSystem generate(Family family, std::int32_t size, int kind, std::int32_t nrhs, std::uint64_t seed);

// Writes "A" and "b" (in the marker layout when markers is set) and the plain
// vector file "x_exact" into dir; throws std::runtime_error naming the file
// that could not be written.
void write_system(const std::filesystem::path& dir, const GeneratedSystem& system, bool markers);
