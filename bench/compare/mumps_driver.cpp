// The multifrontal peer of the side-by-side benchmark: the sequential build of
// Debian's libmumps-seq-dev (dmumps_c for the real kinds, zmumps_c for the
// complex ones) on "A" and "b" of the current directory, METIS ordering, the
// library's defaults otherwise. Writes "x" and one line of key=value figures
// with the wall times of analysis, factorization and solution.
//
//   compare_mumps <kind> <sym>
//     sym 1: positive definite, 2: general symmetric (both from the file's
//     upper triangle), 0: unsymmetric. The library has no Hermitian mode, so a
//     Hermitian file runs as sym 0 on its full matrix.
#include <dmumps_c.h>
#include <zmumps_c.h>

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/compare/system_files.h"

namespace {

constexpr MUMPS_INT job_init = -1, job_analyse = 1, job_factorize = 2, job_solve = 3, job_end = -2;
constexpr MUMPS_INT use_comm_world = -987654;

void call(DMUMPS_STRUC_C& id) { dmumps_c(&id); }
void call(ZMUMPS_STRUC_C& id) { zmumps_c(&id); }

// The library's complex type is a struct of two doubles, laid out like the
// (real, imaginary) pairs of the files.
DMUMPS_COMPLEX* values_of(DMUMPS_STRUC_C&, std::vector<double>& v) { return v.data(); }
ZMUMPS_COMPLEX* values_of(ZMUMPS_STRUC_C&, std::vector<double>& v) {
  return reinterpret_cast<ZMUMPS_COMPLEX*>(v.data());
}

// Adds the mirror of every off-diagonal entry (conjugated for the Hermitian
// kind) so that a one-triangle file becomes the full matrix.
void mirror_triangle(Triplets& a, bool conjugate) {
  const std::size_t stored = a.rows.size(), w = static_cast<std::size_t>(a.width);
  for (std::size_t k = 0; k < stored; ++k) {
    if (a.rows[k] == a.cols[k]) continue;
    a.rows.push_back(a.cols[k]);
    a.cols.push_back(a.rows[k]);
    for (std::size_t part = 0; part < w; ++part) {
      const double v = a.values[k * w + part];
      a.values.push_back(conjugate && part == 1 ? -v : v);
    }
  }
}

void to_one_based(std::vector<std::int32_t>& indices) {
  for (std::int32_t& i : indices) ++i;
}

long long entries_from_info(MUMPS_INT value) {
  return value >= 0 ? value : -static_cast<long long>(value) * 1'000'000;  // negative: millions
}

constexpr int max_margin_retries = 6;

template <class Struct>
void set_controls(Struct& id) {
  id.icntl[0] = id.icntl[1] = id.icntl[2] = -1;  // no output
  id.icntl[3] = 0;
  id.icntl[6] = 5;   // ordering by METIS
  id.icntl[27] = 1;  // sequential analysis
}

template <class Struct>
double timed_job(Struct& id, MUMPS_INT job) {
  id.job = job;
  const auto start = std::chrono::steady_clock::now();
  call(id);
  return seconds_since(start);
}

template <class Struct>
int run(Triplets& a, std::vector<double>& rhs, MUMPS_INT sym) {
  Struct id{};
  id.comm_fortran = use_comm_world;
  id.par = 1;
  id.sym = sym;
  id.job = job_init;
  call(id);
  set_controls(id);
  id.n = a.n;
  id.nnz = a.entries();
  id.irn = a.rows.data();
  id.jcn = a.cols.data();
  id.a = values_of(id, a.values);
  double times[3] = {0, 0, 0};
  times[0] = timed_job(id, job_analyse);
  if (id.infog[0] >= 0) times[1] = timed_job(id, job_factorize);
  // Delayed pivots beyond the workspace margin (−8, −9): the factorization
  // is run again with the margin doubled, as the library's guide advises;
  // the time counts every try.
  for (int retry = 0; retry < max_margin_retries && (id.infog[0] == -8 || id.infog[0] == -9); ++retry) {
    id.icntl[13] *= 2;
    times[1] += timed_job(id, job_factorize);
  }
  if (id.infog[0] >= 0) {
    id.rhs = values_of(id, rhs);
    id.nrhs = static_cast<MUMPS_INT>(rhs.size() / (static_cast<std::size_t>(a.n) * a.width));
    id.lrhs = a.n;
    times[2] = timed_job(id, job_solve);
  }
  const int status = id.infog[0];
  std::printf("solver=MUMPS sym=%d n=%d analysis_s=%.4f factor_s=%.4f solve_s=%.4f factor_entries=%lld "
              "iterations=%d delayed=%d status=%d\n",
              sym, a.n, times[0], times[1], times[2], entries_from_info(id.infog[28]), id.infog[14], id.infog[12],
              status);
  id.job = job_end;
  call(id);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: compare_mumps <kind> <sym>   (in the directory of A and b)\n");
    return 2;
  }
  try {
    const int kind = parse_kind(argv[1]);
    const int sym = std::stoi(argv[2]);
    if (sym < 0 || sym > 2 || (sym != 0 && !one_triangle_kind(kind)) || (sym != 0 && kind == 4))
      throw std::invalid_argument("sym " + std::string(argv[2]) + " does not fit kind " + argv[1]);
    Triplets a = read_matrix_file("A", complex_kind(kind));
    std::vector<double> rhs = read_vector_file("b");
    if (sym == 0 && one_triangle_kind(kind)) mirror_triangle(a, kind == 4);
    to_one_based(a.rows);
    to_one_based(a.cols);
    const int status = complex_kind(kind) ? run<ZMUMPS_STRUC_C>(a, rhs, sym) : run<DMUMPS_STRUC_C>(a, rhs, sym);
    if (status < 0) return 1;
    write_vector_file("x", rhs);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "compare_mumps: %s\n", error.what());
    return 1;
  }
  return 0;
}
