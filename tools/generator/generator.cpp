#include "tools/generator/generator.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <numbers>
#include <numeric>
#include <random>
#include <stdexcept>

#include "io/matrix_file.h"
#include "io/vectors.h"
#include "tools/common/full_matrix.h"
#include "tools/common/kind_dispatch.h"
#include "tools/common/scalar_values.h"

namespace {

using Rng = std::mt19937_64;

struct FamilyEntry {
  Family family;
  std::string_view name;
  int natural_kind;
  std::array<bool, 5> kinds;  // indexed by kind code
};

constexpr std::array<bool, 5> every_kind{true, true, true, true, true};
constexpr std::array<bool, 5> unsymmetric_kinds{false, true, false, true, false};
constexpr std::array<bool, 5> complex_symmetric_kinds{false, false, true, true, false};
constexpr std::array<bool, 5> hermitian_kinds{false, false, false, true, true};
constexpr std::array<bool, 5> real_symmetric_kind{true, false, false, false, false};

constexpr std::array<FamilyEntry, 11> family_table{{
    {Family::laplace2d, "laplace2d", 0, every_kind},
    {Family::laplace3d, "laplace3d", 0, every_kind},
    {Family::helmholtz3d, "helmholtz3d", 2, complex_symmetric_kinds},
    {Family::convdiff2d, "convdiff2d", 1, unsymmetric_kinds},
    {Family::convdiff3d, "convdiff3d", 1, unsymmetric_kinds},
    {Family::elasticity3d, "elasticity3d", 0, real_symmetric_kind},
    {Family::hermitian, "hermitian", 4, hermitian_kinds},
    {Family::zero_diagonal, "zero_diagonal", 0, every_kind},
    {Family::singular, "singular", 0, every_kind},
    {Family::pivot2x2, "pivot2x2", 0, every_kind},
    {Family::components, "components", 0, every_kind},
}};

const FamilyEntry& entry_of(Family family) { return family_table[static_cast<std::size_t>(family)]; }

// A regular grid of m points per side in 2 or 3 dimensions, numbered with the
// first coordinate fastest.
struct Grid {
  std::int32_t m;
  int dims;

  std::int32_t points() const { return dims == 2 ? m * m : m * m * m; }
  std::int32_t stride(int dim) const { return dim == 0 ? 1 : (dim == 1 ? m : m * m); }
  std::int32_t coordinate(std::int32_t p, int dim) const { return (p / stride(dim)) % m; }
  // Distance in points from p to the nearest side of the grid.
  std::int32_t depth(std::int32_t p) const {
    std::int32_t d = m;
    for (int dim = 0; dim < dims; ++dim) d = std::min({d, coordinate(p, dim), m - 1 - coordinate(p, dim)});
    return d;
  }
  // Calls f(p, q, dim) once for each grid edge, q being p's neighbour in the
  // positive direction of dim.
  template <class F>
  void for_each_edge(F&& f) const {
    for (std::int32_t p = 0; p < points(); ++p)
      for (int dim = 0; dim < dims; ++dim)
        if (coordinate(p, dim) + 1 < m) f(p, p + stride(dim), dim);
  }
};

double uniform(Rng& rng, double low, double high) { return std::uniform_real_distribution<double>(low, high)(rng); }
double random_angle(Rng& rng) { return uniform(rng, 0.0, 2.0 * std::numbers::pi); }

// The factor that turns a real model into a complex one of the kind: the
// complex symmetric and unsymmetric kinds rotate the whole matrix off the real
// axis (keeping its symmetry and regularity); the Hermitian kind keeps a real
// diagonal and gets complex couplings from phase() instead.
template <class K>
typename K::scalar rotation() {
  if constexpr (K::is_complex && K::symmetry != Symmetry::hermitian)
    return {1.0, 0.5};
  else
    return 1.0;
}

template <class K>
typename K::scalar phase(double angle) {
  if constexpr (K::symmetry == Symmetry::hermitian)
    return std::polar(1.0, angle);
  else
    return 1.0;
}

// Laplacian couplings: -1 rotated, or of modulus 1 with a random phase for the
// Hermitian kind. The diagonal is the largest degree, so the matrix is
// positive definite up to the rotation (irreducibly diagonally dominant).
template <class K>
void laplace_couplings(FullMatrix<K>& a, std::int32_t p, std::int32_t q, Rng& rng) {
  const auto w = -rotation<K>() * phase<K>(random_angle(rng));
  a.set_pair(p, q, w, w);
}

template <class K>
FullMatrix<K> laplacian(const Grid& grid, Rng& rng) {
  FullMatrix<K> a(grid.points());
  grid.for_each_edge([&](std::int32_t p, std::int32_t q, int) { laplace_couplings(a, p, q, rng); });
  for (std::int32_t p = 0; p < grid.points(); ++p) a.set(p, p, 2.0 * grid.dims * rotation<K>());
  return a;
}

// -Δ - s + iσ with s = 1.5 (past the smallest eigenvalues of the discrete
// Laplacian, so indefinite) and σ > 0 everywhere, strongest in an absorbing
// layer along the sides; Im(xᴴAx) > 0 keeps it regular.
template <class K>
FullMatrix<K> helmholtz(const Grid& grid) {
  constexpr double shift = 1.5;
  const std::int32_t layer = std::max(1, grid.m / 6);
  FullMatrix<K> a(grid.points());
  grid.for_each_edge([&](std::int32_t p, std::int32_t q, int) { a.set_pair(p, q, -1.0, -1.0); });
  for (std::int32_t p = 0; p < grid.points(); ++p) {
    const double absorption = grid.depth(p) < layer ? 1.0 : 0.02;
    a.set(p, p, make_scalar<typename K::scalar>(2.0 * grid.dims - shift, absorption));
  }
  return a;
}

// Central differences of -Δu + β·∇u with cell Péclet numbers below 1, so the
// couplings stay negative and the matrix irreducibly diagonally dominant.
template <class K>
FullMatrix<K> convection_diffusion(const Grid& grid) {
  constexpr std::array<double, 3> peclet{0.6, 0.3, 0.15};
  FullMatrix<K> a(grid.points());
  grid.for_each_edge([&](std::int32_t p, std::int32_t q, int dim) {
    const double c = peclet[static_cast<std::size_t>(dim)];
    a.set_pair(p, q, (c - 1.0) * rotation<K>(), (-1.0 - c) * rotation<K>());
  });
  for (std::int32_t p = 0; p < grid.points(); ++p) a.set(p, p, 2.0 * grid.dims * rotation<K>());
  return a;
}

// μ·(−Δ) on each of the three displacement components (unknown 3p + c) plus
// (λ + μ)·DᵀD, D the divergence on each grid cell: the forward difference of
// component d along d averaged over the cell's four edges in that direction.
// The cell terms couple the components of all eight corners, which gives the
// 27-point block stencil of trilinear elements. Positive definite: the
// Laplacian part is (Dirichlet) definite and DᵀD semidefinite.
template <class K>
void add_entry(FullMatrix<K>& a, std::int32_t i, std::int32_t j, double value) {
  if (i == j)
    a.set(i, i, a.at(i, i) + value);
  else if (i < j)
    a.set_pair(i, j, a.at(i, j) + value, a.at(i, j) + value);
}

template <class K>
void add_cell_divergence(FullMatrix<K>& a, const Grid& grid, std::int32_t corner, double weight) {
  std::array<std::int32_t, 24> unknowns{};
  std::array<double, 24> gradient{};
  for (int c = 0; c < 8; ++c) {
    std::int32_t p = corner;
    for (int dim = 0; dim < 3; ++dim) p += (c >> dim & 1) * grid.stride(dim);
    for (int dim = 0; dim < 3; ++dim) {
      unknowns[static_cast<std::size_t>(3 * c + dim)] = 3 * p + dim;
      gradient[static_cast<std::size_t>(3 * c + dim)] = (c >> dim & 1) != 0 ? 0.25 : -0.25;
    }
  }
  for (std::size_t i = 0; i < 24; ++i)
    for (std::size_t j = 0; j < 24; ++j) add_entry(a, unknowns[i], unknowns[j], weight * gradient[i] * gradient[j]);
}

template <class K>
FullMatrix<K> elasticity(const Grid& grid) {
  constexpr double mu = 1.0, lambda = 1.0;
  FullMatrix<K> a(3 * grid.points());
  grid.for_each_edge([&](std::int32_t p, std::int32_t q, int) {
    for (std::int32_t c = 0; c < 3; ++c) a.set_pair(3 * p + c, 3 * q + c, -mu, -mu);
  });
  for (std::int32_t i = 0; i < 3 * grid.points(); ++i) a.set(i, i, 2.0 * grid.dims * mu);
  for (std::int32_t p = 0; p < grid.points(); ++p) {
    const bool cell_corner = grid.coordinate(p, 0) + 1 < grid.m && grid.coordinate(p, 1) + 1 < grid.m &&
                             grid.coordinate(p, 2) + 1 < grid.m;
    if (cell_corner) add_cell_divergence(a, grid, p, lambda + mu);
  }
  return a;
}

// Couplings of modulus 1 with random phases and a real diagonal 1 ± 0.1: the
// spectrum straddles zero.
template <class K>
FullMatrix<K> hermitian_operator(const Grid& grid, Rng& rng) {
  FullMatrix<K> a(grid.points());
  grid.for_each_edge([&](std::int32_t p, std::int32_t q, int) {
    const double angle = random_angle(rng);
    const auto w = -make_scalar<typename K::scalar>(std::cos(angle), std::sin(angle));
    a.set_pair(p, q, w, conjugate(w));
  });
  for (std::int32_t p = 0; p < grid.points(); ++p) a.set(p, p, 1.0 + uniform(rng, -0.1, 0.1));
  return a;
}

// [[H, Bᵀ], [B, 0]] for the symmetric kinds and [[H, Bᵀ], [2B, 0]] for the
// unsymmetric ones: H the Laplacian of a path of 2m nodes, B of full row rank
// (row k couples to nodes 2k and 2k+1 only), so the Schur complement is regular.
template <class K>
FullMatrix<K> saddle_point(std::int32_t m, Rng& rng) {
  const std::int32_t h = 2 * m;
  FullMatrix<K> a(3 * m);
  for (std::int32_t p = 0; p + 1 < h; ++p) laplace_couplings(a, p, p + 1, rng);
  for (std::int32_t p = 0; p < h; ++p) a.set(p, p, 2.0 * rotation<K>());
  const auto beta = make_scalar<typename K::scalar>(1.0, 0.5);
  for (std::int32_t k = 0; k < m; ++k) {
    a.set_pair(2 * k, h + k, beta, 2.0 * beta);
    a.set_pair(2 * k + 1, h + k, 0.5 * beta, beta);
    a.set(h + k, h + k, 0.0);
  }
  return a;
}

// Every row sums to zero (the ones vector spans the null space); the Hermitian
// kind uses couplings -exp(i(φp − φq)) and the degree on the diagonal, whose
// null vector is exp(iφ). Unsymmetric kinds get convection-like couplings.
template <class K>
FullMatrix<K> graph_laplacian(const Grid& grid, Rng& rng) {
  using Scalar = typename K::scalar;
  std::vector<double> potential(static_cast<std::size_t>(grid.points()));
  for (double& phi : potential) phi = random_angle(rng);
  FullMatrix<K> a(grid.points());
  grid.for_each_edge([&](std::int32_t p, std::int32_t q, int) {
    const auto w =
        -rotation<K>() * phase<K>(potential[static_cast<std::size_t>(p)] - potential[static_cast<std::size_t>(q)]);
    a.set_pair(p, q, w, 1.5 * w);
  });
  for (std::int32_t p = 0; p < grid.points(); ++p) {
    Scalar diagonal{};
    for (const auto& [q, w] : a.row(p)) {
      if constexpr (K::symmetry == Symmetry::hermitian)
        diagonal += std::abs(w);
      else
        diagonal -= w;
    }
    a.set(p, p, diagonal);
  }
  return a;
}

// Blocks [[0, a], [ā or a, 0]] (|a| = 1; [[0, a], [-a, 0]] for the unsymmetric
// kinds), chained by couplings of modulus about 0.1: a unitary matrix plus a
// perturbation of norm below 1, so regular, with no usable 1×1 pivot.
template <class K>
FullMatrix<K> two_by_two_blocks(std::int32_t m) {
  using Scalar = typename K::scalar;
  const Scalar a_value =
      make_scalar<Scalar>(0.5, std::sqrt(0.75)) / std::abs(make_scalar<Scalar>(0.5, std::sqrt(0.75)));
  FullMatrix<K> a(2 * m);
  for (std::int32_t k = 0; k < m; ++k) {
    a.set_pair(2 * k, 2 * k + 1, a_value, -a_value);
    a.set(2 * k, 2 * k, 0.0);
    a.set(2 * k + 1, 2 * k + 1, 0.0);
    if (k + 1 < m) a.set_pair(2 * k + 1, 2 * k + 2, 0.1 * rotation<K>(), 0.05 * rotation<K>());
  }
  return a;
}

// Paths of 1, 2, …, m nodes; the node at position t of the concatenated paths
// is numbered t·s mod N with s coprime to N, so components interleave.
std::int32_t interleaving_step(std::int32_t n) {
  std::int32_t s = n / 3 + 1;
  while (std::gcd(s, n) != 1) ++s;
  return s;
}

template <class K>
FullMatrix<K> disconnected_paths(std::int32_t m, Rng& rng) {
  const auto n = static_cast<std::int32_t>(static_cast<std::int64_t>(m) * (m + 1) / 2);
  const std::int32_t s = interleaving_step(n);
  const auto node = [&](std::int32_t t) { return static_cast<std::int32_t>(static_cast<std::int64_t>(t) * s % n); };
  FullMatrix<K> a(n);
  std::int32_t first = 0;
  for (std::int32_t length = 1; length <= m; first += length, ++length) {
    for (std::int32_t t = first; t + 1 < first + length; ++t) {
      const auto w = rotation<K>() * phase<K>(random_angle(rng));
      a.set_pair(node(t), node(t + 1), -0.7 * w, -1.3 * w);
    }
  }
  for (std::int32_t t = 0; t < n; ++t) a.set(node(t), node(t), 2.0 * rotation<K>());
  return a;
}

std::int64_t matrix_order(Family family, std::int32_t size) {
  const std::int64_t s = size;
  switch (family) {
    case Family::laplace3d:
    case Family::helmholtz3d:
    case Family::convdiff3d:
      return s * s * s;
    case Family::elasticity3d:
      return 3 * s * s * s;
    case Family::zero_diagonal:
      return 3 * s;
    case Family::pivot2x2:
      return 2 * s;
    case Family::components:
      return s * (s + 1) / 2;
    default:
      return s * s;
  }
}

template <class K>
FullMatrix<K> build(Family family, std::int32_t size, Rng& rng) {
  switch (family) {
    case Family::laplace2d:
      return laplacian<K>(Grid{size, 2}, rng);
    case Family::laplace3d:
      return laplacian<K>(Grid{size, 3}, rng);
    case Family::helmholtz3d:
      return helmholtz<K>(Grid{size, 3});
    case Family::convdiff2d:
      return convection_diffusion<K>(Grid{size, 2});
    case Family::convdiff3d:
      return convection_diffusion<K>(Grid{size, 3});
    case Family::elasticity3d:
      return elasticity<K>(Grid{size, 3});
    case Family::hermitian:
      return hermitian_operator<K>(Grid{size, 2}, rng);
    case Family::zero_diagonal:
      return saddle_point<K>(size, rng);
    case Family::singular:
      return graph_laplacian<K>(Grid{size, 2}, rng);
    case Family::pivot2x2:
      return two_by_two_blocks<K>(size);
    case Family::components:
      return disconnected_paths<K>(size, rng);
  }
  throw std::invalid_argument("unknown family");
}

template <class K>
std::vector<typename K::scalar> random_vector(std::int32_t n, Rng& rng) {
  std::vector<typename K::scalar> x(static_cast<std::size_t>(n));
  for (auto& value : x) value = make_scalar<typename K::scalar>(uniform(rng, -1.0, 1.0), uniform(rng, -1.0, 1.0));
  return x;
}

template <class K>
GeneratedSystem generate_kind(Family family, std::int32_t size, std::int32_t nrhs, std::uint64_t seed) {
  Rng rng(seed);
  const FullMatrix<K> full = build<K>(family, size, rng);
  GeneratedSystem system{K::solver_type, full.stored(), nrhs, {}, {}};
  for (std::int32_t k = 0; k < nrhs; ++k) {
    const auto x = random_vector<K>(full.n(), rng);
    append_doubles(system.x_exact, x);
    append_doubles(system.b, full.multiply(x));
  }
  return system;
}

void check_request(Family family, std::int32_t size, int kind, std::int32_t nrhs) {
  const std::string name(family_name(family));
  if (!valid_kind(kind) || !family_allows_kind(family, kind))
    throw std::invalid_argument("family " + name + " cannot be generated as kind " + std::to_string(kind));
  if (size < 1) throw std::invalid_argument("size must be at least 1");
  if (nrhs < 1) throw std::invalid_argument("the number of right-hand sides must be at least 1");
  if (matrix_order(family, size) > std::numeric_limits<std::int32_t>::max())
    throw std::invalid_argument("size " + std::to_string(size) + " is too large for family " + name);
}

void write_file(const std::filesystem::path& path, const std::function<bool(std::FILE*)>& write) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error("cannot create " + path.string());
  const bool written = write(file);
  if (std::fclose(file) != 0 || !written) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

const std::vector<Family>& all_families() {
  static const std::vector<Family> families = [] {
    std::vector<Family> list;
    for (const FamilyEntry& entry : family_table) list.push_back(entry.family);
    return list;
  }();
  return families;
}

std::string_view family_name(Family family) { return entry_of(family).name; }

std::optional<Family> family_from_name(std::string_view name) {
  for (const FamilyEntry& entry : family_table)
    if (entry.name == name) return entry.family;
  return std::nullopt;
}

int natural_kind(Family family) { return entry_of(family).natural_kind; }

bool family_allows_kind(Family family, int kind) {
  return valid_kind(kind) && entry_of(family).kinds[static_cast<std::size_t>(kind)];
}

GeneratedSystem generate(Family family, std::int32_t size, int kind, std::int32_t nrhs, std::uint64_t seed) {
  check_request(family, size, kind, nrhs);
  return with_kind(kind, [&](auto k) { return generate_kind<decltype(k)>(family, size, nrhs, seed); });
}

void write_system(const std::filesystem::path& dir, const GeneratedSystem& system, bool markers) {
  const int width = system.a.value_width();
  write_file(dir / "A", [&](std::FILE* file) { return write_matrix_records(file, system.a, markers); });
  write_file(dir / "b", [&](std::FILE* file) {
    return write_vector_records(file, system.b.data(), system.a.n, system.nrhs, width, markers);
  });
  write_file(dir / "x_exact", [&](std::FILE* file) {
    return write_vector_records(file, system.x_exact.data(), system.a.n, system.nrhs, width, false);
  });
}
