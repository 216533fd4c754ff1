// The Cholesky peer of the side-by-side benchmark, for the positive definite
// real symmetric systems: CHOLMOD's supernodal factorization from Debian's
// libsuitesparse-dev on "A" (upper triangle) and "b" of the current directory,
// METIS ordering. Writes "x" and one line of key=value figures with the wall
// times of analysis, factorization and solution.
//
//   compare_cholmod
#include <cholmod.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <utility>
#include <vector>

#include "bench/compare/system_files.h"

namespace {

// The file's upper triangle as a CHOLMOD sparse matrix (stype 1: upper part
// used); the triplets are released on the way.
cholmod_sparse* upper_triangle(Triplets&& a, cholmod_common& c) {
  const auto nnz = static_cast<std::size_t>(a.entries());
  cholmod_triplet* t = cholmod_l_allocate_triplet(a.n, a.n, nnz, 1, CHOLMOD_REAL, &c);
  if (t == nullptr) throw std::runtime_error("cannot allocate the triplet matrix");
  auto* ti = static_cast<SuiteSparse_long*>(t->i);
  auto* tj = static_cast<SuiteSparse_long*>(t->j);
  for (std::size_t k = 0; k < nnz; ++k) {
    ti[k] = a.rows[k];
    tj[k] = a.cols[k];
  }
  std::memcpy(t->x, a.values.data(), nnz * sizeof(double));
  t->nnz = nnz;
  a = Triplets{};
  cholmod_sparse* sparse = cholmod_l_triplet_to_sparse(t, nnz, &c);
  cholmod_l_free_triplet(&t, &c);
  if (sparse == nullptr) throw std::runtime_error("cannot build the sparse matrix");
  return sparse;
}

cholmod_dense* right_hand_sides(const std::vector<double>& b, std::int32_t n, cholmod_common& c) {
  const std::size_t nrhs = b.size() / static_cast<std::size_t>(n);
  cholmod_dense* dense = cholmod_l_allocate_dense(n, nrhs, n, CHOLMOD_REAL, &c);
  if (dense == nullptr) throw std::runtime_error("cannot allocate the right-hand sides");
  std::memcpy(dense->x, b.data(), b.size() * sizeof(double));
  return dense;
}

std::vector<double> solution_values(const cholmod_dense* x) {
  const auto* first = static_cast<const double*>(x->x);
  return std::vector<double>(first, first + x->nrow * x->ncol);
}

void use_supernodal_metis(cholmod_common& c) {
  c.supernodal = CHOLMOD_SUPERNODAL;
  c.nmethods = 1;
  c.method[0].ordering = CHOLMOD_METIS;
  c.postorder = 1;
}

int run(cholmod_common& c) {
  Triplets triplets = read_matrix_file("A", false);
  const std::int32_t n = triplets.n;
  std::vector<double> b = read_vector_file("b");
  cholmod_sparse* a = upper_triangle(std::move(triplets), c);
  cholmod_dense* rhs = right_hand_sides(b, n, c);
  b = {};

  auto start = std::chrono::steady_clock::now();
  cholmod_factor* l = cholmod_l_analyze(a, &c);
  const double analysis = seconds_since(start);
  double factor = 0, solve = 0;
  long long entries = 0;
  cholmod_dense* x = nullptr;
  if (l != nullptr) {
    start = std::chrono::steady_clock::now();
    cholmod_l_factorize(a, l, &c);
    factor = seconds_since(start);
    entries = static_cast<long long>(l->is_super ? l->xsize : c.lnz);
  }
  const bool factored = l != nullptr && c.status == CHOLMOD_OK && l->minor == l->n;
  if (factored) {
    start = std::chrono::steady_clock::now();
    x = cholmod_l_solve(CHOLMOD_A, l, rhs, &c);
    solve = seconds_since(start);
  }
  const int status = x != nullptr ? 0 : (c.status != CHOLMOD_OK ? c.status : -1);
  std::printf("solver=CHOLMOD n=%d analysis_s=%.4f factor_s=%.4f solve_s=%.4f factor_entries=%lld iterations=0 "
              "status=%d\n",
              n, analysis, factor, solve, entries, status);
  if (x != nullptr) write_vector_file("x", solution_values(x));
  cholmod_l_free_dense(&x, &c);
  cholmod_l_free_dense(&rhs, &c);
  cholmod_l_free_factor(&l, &c);
  cholmod_l_free_sparse(&a, &c);
  return status;
}

}  // namespace

int main(int argc, char**) {
  if (argc != 1) {
    std::fprintf(stderr, "usage: compare_cholmod   (in the directory of A and b, a positive definite real system)\n");
    return 2;
  }
  cholmod_common c;
  cholmod_l_start(&c);
  use_supernodal_metis(c);
  int status = 1;
  try {
    status = run(c);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "compare_cholmod: %s\n", error.what());
  }
  cholmod_l_finish(&c);
  return status == 0 ? 0 : 1;
}
