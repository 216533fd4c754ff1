// The multifrontal peer of the side-by-side benchmark: the sequential build of
// Debian's libmumps-seq-dev (dmumps_c for the real kinds, zmumps_c for the
// complex ones) on "A" and "b" of the current directory, METIS ordering, the
// library's defaults otherwise. Writes "x" and one line of key=value figures
// with the wall times of analysis, factorization and solution.
//
//   compare_mumps <kind> <sym> [single]
//     sym 1: positive definite, 2: general symmetric (both from the file's
//     upper triangle), 0: unsymmetric. The library has no Hermitian mode, so a
//     Hermitian file runs as sym 0 on its full matrix.
//     single: the single-precision library (smumps_c, cmumps_c) factors the
//     matrix rounded to single precision, and the solution is refined in
//     double precision (residual of the double matrix, correction solved with
//     the single factor) until it stops improving; the solution time counts
//     the refinement, and iterations= its steps.
#include <cmumps_c.h>
#include <dmumps_c.h>
#include <smumps_c.h>
#include <zmumps_c.h>

#include <algorithm>
#include <cmath>
#include <complex>

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/compare/system_files.h"

namespace {

constexpr MUMPS_INT job_init = -1, job_analyse = 1, job_factorize = 2, job_solve = 3, job_end = -2;
constexpr MUMPS_INT use_comm_world = -987654;

void call(SMUMPS_STRUC_C& id) { smumps_c(&id); }
void call(DMUMPS_STRUC_C& id) { dmumps_c(&id); }
void call(CMUMPS_STRUC_C& id) { cmumps_c(&id); }
void call(ZMUMPS_STRUC_C& id) { zmumps_c(&id); }

// The library's complex types are structs of two reals, laid out like the
// (real, imaginary) pairs of the files; V is the real type of the library.
SMUMPS_COMPLEX* values_of(SMUMPS_STRUC_C&, std::vector<float>& v) { return v.data(); }
DMUMPS_COMPLEX* values_of(DMUMPS_STRUC_C&, std::vector<double>& v) { return v.data(); }
CMUMPS_COMPLEX* values_of(CMUMPS_STRUC_C&, std::vector<float>& v) { return reinterpret_cast<CMUMPS_COMPLEX*>(v.data()); }
ZMUMPS_COMPLEX* values_of(ZMUMPS_STRUC_C&, std::vector<double>& v) {
  return reinterpret_cast<ZMUMPS_COMPLEX*>(v.data());
}

using Complex = std::complex<double>;

Complex value_at(const std::vector<double>& v, std::size_t k, int width) {
  return width == 1 ? Complex(v[k]) : Complex(v[2 * k], v[2 * k + 1]);
}

// r := b − A·x for the triplets (1-based); a file of one triangle (sym ≠ 0)
// stands for the symmetric matrix. Vectors of width doubles per entry.
std::vector<double> residual_of(const Triplets& a, bool triangle, const std::vector<double>& x,
                                const std::vector<double>& b) {
  const int w = a.width;
  std::vector<Complex> r(static_cast<std::size_t>(a.n));
  for (std::size_t i = 0; i < r.size(); ++i) r[i] = value_at(b, i, w);
  for (std::size_t k = 0; k < a.rows.size(); ++k) {
    const std::size_t i = static_cast<std::size_t>(a.rows[k] - 1), j = static_cast<std::size_t>(a.cols[k] - 1);
    const Complex v = value_at(a.values, k, w);
    r[i] -= v * value_at(x, j, w);
    if (triangle && i != j) r[j] -= v * value_at(x, i, w);
  }
  std::vector<double> out(b.size());
  for (std::size_t i = 0; i < r.size(); ++i) {
    if (w == 1) {
      out[i] = r[i].real();
    } else {
      out[2 * i] = r[i].real();
      out[2 * i + 1] = r[i].imag();
    }
  }
  return out;
}

double norm2(const std::vector<double>& v) {
  double sum = 0;
  for (const double e : v) sum += e * e;
  return std::sqrt(sum);
}

constexpr int max_refinement_steps = 10;

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

// One right-hand side: refines x (in double) with solves of the factor in id
// on its single-precision copy of the residual; returns the steps taken.
template <class Struct>
int refine(Struct& id, const Triplets& a, MUMPS_INT sym, const std::vector<double>& b, std::vector<double>& x) {
  std::vector<double> r = residual_of(a, sym != 0, x, b);
  double last = norm2(r);
  const double goal = 1e-15 * norm2(b);
  int steps = 0;
  std::vector<float> correction(r.size());
  while (steps < max_refinement_steps && last > goal) {
    std::copy(r.begin(), r.end(), correction.begin());
    id.rhs = values_of(id, correction);
    id.job = job_solve;
    call(id);
    std::vector<double> next(x);
    for (std::size_t i = 0; i < x.size(); ++i) next[i] += correction[i];
    std::vector<double> next_r = residual_of(a, sym != 0, next, b);
    const double norm = norm2(next_r);
    if (norm >= 0.5 * last) break;
    ++steps;
    x.swap(next);
    r.swap(next_r);
    last = norm;
  }
  return steps;
}

// V: the real type of the library (float: factor in single precision, then
// refinement in double).
template <class Struct, class V>
int run(Triplets& a, std::vector<double>& rhs, MUMPS_INT sym) {
  constexpr bool single = std::is_same_v<V, float>;
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
  std::vector<float> rounded;  // the single-precision library's copy of the values
  if constexpr (single) {
    rounded.assign(a.values.begin(), a.values.end());
    id.a = values_of(id, rounded);
  } else {
    id.a = values_of(id, a.values);
  }
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
  int steps = 0;
  if (id.infog[0] >= 0) {
    const auto start = std::chrono::steady_clock::now();
    const std::size_t length = static_cast<std::size_t>(a.n) * static_cast<std::size_t>(a.width);
    id.nrhs = static_cast<MUMPS_INT>(rhs.size() / length);
    id.lrhs = a.n;
    id.job = job_solve;
    if constexpr (single) {
      std::vector<float> solution(rhs.begin(), rhs.end());
      id.rhs = values_of(id, solution);
      call(id);
      id.nrhs = 1;
      for (std::size_t k = 0; k * length < rhs.size(); ++k) {
        const std::vector<double> b(rhs.begin() + k * length, rhs.begin() + (k + 1) * length);
        std::vector<double> x(solution.begin() + k * length, solution.begin() + (k + 1) * length);
        steps = std::max(steps, refine(id, a, sym, b, x));
        std::copy(x.begin(), x.end(), rhs.begin() + k * length);
      }
    } else {
      id.rhs = values_of(id, rhs);
      call(id);
    }
    times[2] = seconds_since(start);
  }
  const int status = id.infog[0];
  std::printf("solver=MUMPS sym=%d n=%d analysis_s=%.4f factor_s=%.4f solve_s=%.4f factor_entries=%lld "
              "iterations=%d delayed=%d status=%d\n",
              sym, a.n, times[0], times[1], times[2], entries_from_info(id.infog[28]), steps, id.infog[12], status);
  id.job = job_end;
  call(id);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const bool single = argc == 4 && std::string(argv[3]) == "single";
  if (argc != 3 && !single) {
    std::fprintf(stderr, "usage: compare_mumps <kind> <sym> [single]   (in the directory of A and b)\n");
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
    const bool complex = complex_kind(kind);
    const int status = single ? (complex ? run<CMUMPS_STRUC_C, float>(a, rhs, sym) : run<SMUMPS_STRUC_C, float>(a, rhs, sym))
                              : (complex ? run<ZMUMPS_STRUC_C, double>(a, rhs, sym) : run<DMUMPS_STRUC_C, double>(a, rhs, sym));
    if (status < 0) return 1;
    write_vector_file("x", rhs);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "compare_mumps: %s\n", error.what());
    return 1;
  }
  return 0;
}
