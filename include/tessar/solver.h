#pragma once
// tessar64 as a library: the sparse direct solver of the command line, called
// in-process on a matrix and right-hand sides held in memory.
//
//   tsr::Solver solver(tsr::Kind::real_symmetric, n, col_ptr, row_idx, values);
//   tsr::Result result = solver.solve(b, x);        // analysis and factor on first use
//
// The matrix is given in compressed columns (or rows) with 64-bit pointers,
// 32-bit indices from 0 or 1, and double or std::complex<double> values.
// The symmetric and Hermitian kinds take either triangle or both (which must
// then agree to rounding). Each solution is refined in double
// precision and confirmed by its residual against the matrix as given,
// exactly as on the command line; where it cannot be confirmed the solver
// factors again with stronger factors (double precision, pivoting, perturbed
// pivots), and where nothing confirms it, solve throws tsr::Error. A failure
// never leaves a solution in x: x is then filled with NaN.
//
// Distinct Solver objects may be used from different threads at once; one
// object must not be used by two threads at a time. The calling thread's
// OpenMP thread count and the process environment are left as they were.
#include <complex>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tsr {

// The five kinds; the codes are those of the command line's kind switches.
enum class Kind {
  real_symmetric = 0,
  real_unsymmetric = 1,
  complex_symmetric = 2,
  complex_unsymmetric = 3,
  complex_hermitian = 4,
};

// How the arrays hold the matrix: ptr has one entry per column (or row) and
// one more.
enum class Storage { columns, rows };

// The command line's switches and preferences, with its defaults.
struct Options {
  int threads = 1;                 // -ncpu
  int solve_threads = 0;           // -ncpu_fbs (0: as threads)
  bool double_precision = false;   // -double_precision: factor kept in double precision
  bool single_updates = false;     // -single_updates
  bool pivoting = false;           // -pivoting
  bool allow_perturbation = false; // -allow_perturbation (implies pivoting)
  bool multi_thread = false;       // -mt (implies pivoting)
  int block_size = 128;            // -nblock
  int zero_fill = 128;             // -zerofill
  bool reorder = true;             // false: -noreorder
  bool diag_scale = false;         // -diag_scale
  int matching = 1;                // 0 never, 1 unsymmetric with a zero diagonal entry, 2 always (-matching)
  bool bicgstab = false;           // -bicgstab
  bool enforce_iterations = false; // -enforce_CG
  double tolerance = 1e-11;        // ErrorNorm: relative residual each solution must reach
  int max_iterations = 50;         // MaxPostIter
  double pivot_threshold = 0.01;   // PivotThreshold
  std::int64_t memory_limit_kb = 0;  // MemLimitSoft: the factor goes to files above it (0: the machine's default)
  std::string work_dir = ".";      // WorkingDirectory: where a factor that goes out of core is written
  bool escalate = true;            // factor again with stronger factors where a solution is not confirmed
};

// What solve reached for one right-hand side.
struct RhsReport {
  double residual = 0;      // ‖b − A·x‖ / ‖b‖ with the matrix as given
  int iterations = 0;       // solves with the factor, every step together
  std::string step;         // "iteration", "restarted iteration" or "flexible GMRES"
  int factorization = 0;    // 0: the first factor; k: the k-th stronger one (see Result::factors)
};

struct Result {
  std::vector<RhsReport> rhs;
  // The factors made so far: "" for the first, then e.g. "a double precision
  // factor", "pivoting", "perturbed pivots".
  std::vector<std::string> factors;
  // Positive, negative and zero pivots of the last factor where it counted
  // them (pivoting, real symmetric and Hermitian kinds); −1 otherwise.
  std::int64_t inertia[3] = {-1, -1, -1};
  int perturbed_pivots = 0;
};

// A failure, with the exit status and the message of the command line.
class Error : public std::runtime_error {
 public:
  Error(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

class Solver {
 public:
  // The matrix of order n: ptr[n + 1] offsets into idx and values; indices
  // and offsets counted from base (0 or 1). The arrays are copied.
  Solver(Kind kind, std::int32_t n, const std::int64_t* ptr, const std::int32_t* idx, const double* values,
         const Options& options = {}, Storage storage = Storage::columns, int base = 0);
  Solver(Kind kind, std::int32_t n, const std::int64_t* ptr, const std::int32_t* idx,
         const std::complex<double>* values, const Options& options = {}, Storage storage = Storage::columns,
         int base = 0);
  ~Solver();
  // A moved-from solver may only be destroyed or assigned to.
  Solver(Solver&&) noexcept;
  Solver& operator=(Solver&&) noexcept;
  Solver(const Solver&) = delete;
  Solver& operator=(const Solver&) = delete;

  // Ordering and symbolic factorization (done by factorize where not yet).
  void analyze();
  // Numerical factorization of the values given (once; later calls keep the
  // factor), or of new values on the same pattern (same ptr and idx, values
  // in the same order), which analyzes again.
  void factorize();
  void factorize(const double* values);
  void factorize(const std::complex<double>* values);
  // Solves A·X = B for nrhs right-hand sides, column after column (n values
  // each), factoring first where needed. b and x may be the same array.
  Result solve(const double* b, double* x, std::int32_t nrhs = 1);
  Result solve(const std::complex<double>* b, std::complex<double>* x, std::int32_t nrhs = 1);

  Kind kind() const;
  std::int32_t order() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tsr
