#pragma once
// The solver object: one per run, holding the run configuration, the phase
// flags, the memory account, the run's file names and handles, and every work
// array of every phase. Its class fixes the matrix kind.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "core/charged_array.h"
#include "core/front_tree.h"
#include "io/run_files.h"
#include "io/yale_matrix.h"
#include "platform/error.h"
#include "platform/guarded_section.h"

struct RhsLedger;
class RhsVectors;

// The option block, initialised first with the defaults below.
struct SolverOptions {
  double cg_tolerance = 1e-11;       // post-improvement tolerance
  std::int32_t cg_iter = 50;         // post-improvement iteration limit
  // Steps after a solution that is not confirmed: restarts of the iteration
  // from the true residual, then flexible GMRES cycles of gmres_restart
  // iterations, gmres_iter in all.
  std::int32_t restart_limit = 2;
  std::int32_t gmres_restart = 30;
  std::int32_t gmres_iter = 300;
  std::string profile_name = "profile";
  bool factors_from_disk = false;    // factors come from an earlier run
  bool double_precision = false;     // factor kept in double precision
  bool single_updates = false;       // plain fronts' update products in single precision
  bool save_factor = false;          // factor files kept after the run
  bool reorder_enabled = true;       // fill-reducing ordering on
  bool enforce_CG = false;           // post-improvement always runs
  bool pivoting = false;
  bool allow_perturbation = false;   // small pivots may be perturbed
  bool check_residual = false;       // residual of each solution checked
  std::int32_t max_zero_fill = 128;  // explicit zeros allowed per supernode merge
  bool diag_scale = false;
  // Maximum-product matching with its scaling before the ordering: 0 never,
  // 1 for an unsymmetric matrix with a zero diagonal entry, 2 always.
  std::int32_t matching = 1;
  // Threshold u of the pivoting paths: a pivot is taken when it is at least
  // u times the largest entry of its column, otherwise its column is delayed.
  double pivot_threshold = 0.01;
  std::int32_t post_method = 0;      // 0 CG, 1 BiCG, 2 BiCGStab
  bool multi_thread = false;
  std::int32_t ncpu_solve = -1;      // −1: use ncpu in the solution stage
  // Progress bands in percent: reordering, factorization, solution.
  std::int32_t reorder_progress_start = 0, reorder_progress_end = 30;
  std::int32_t factor_progress_start = 30, factor_progress_end = 80;
  std::int32_t solve_progress_start = 80, solve_progress_end = 100;
  std::int32_t block_size = 128;     // 2nd-level block size of the multi-threaded factorization
};

// Longest text a name or path setting may hold.
inline constexpr std::size_t max_setting_length = 255;

class tessar : public RunFiles, public SolverOptions {
 public:
  virtual ~tessar();
  tessar(const tessar&) = delete;
  tessar& operator=(const tessar&) = delete;

  // Start of the in-memory U / L factor area of the active precision (the
  // double area with -double_precision, else the single one); null where the
  // kind has no such factor.
  virtual void* u_factor_buffer() { return nullptr; }
  virtual void* l_factor_buffer() { return nullptr; }
  // The matching applied to a before the ordering (factor/matrix_matching.h);
  // returns the KB charged for the entries a gained.
  virtual std::uint64_t match(YaleMatrix& a) = 0;
  // Numerical factorization of the matrix (scaled and permuted in place):
  // 0, or 16 for a singular matrix.
  virtual int factorize(YaleMatrix& a) = 0;
  // Solution phase: the right-hand sides of vectors left in the ledger
  // solved into vectors, each confirmed against original, the matrix as
  // given; 0, or the error code of a right-hand side that failed.
  virtual int solve(YaleMatrix& a, const YaleMatrix& original, RhsVectors& vectors, RhsLedger& ledger) = 0;
  // On-disk check of "x" against "b" with the matrix as stored in "A".
  virtual void verify(YaleMatrix& a) = 0;
  // Recomputes elem_size from double_precision and the value type.
  virtual std::int32_t set_elem_size() { return elem_size; }

  // Selects throwing instead of ending the process for this object and its sections.
  void set_throw_mode(bool throw_on_fatal);

  std::int32_t solver_type = 0;
  std::int32_t offcore = 1;
  bool do_reorder = true, do_factor = true, do_solve = true, do_check = false;
  std::string u_file_name = "U";
  std::string l_file_name = "L";
  std::string index_file_name = "index";
  bool quiet = false;
  bool no_progress = false;
  // No stronger factorization follows this one in the run: a solution that
  // misses the tolerance but is exact up to rounding is accepted.
  bool last_round = true;
  std::int32_t ncpu = 1;

  // Memory account in KB (see memory_monitor.h), guarded by memory_section.
  GuardedSection memory_section;
  std::int64_t disk_usage = 0;
  std::int64_t memory_in_use = 0;
  std::int64_t memory_peak = 0;
  std::int64_t mem_limit_hard = 0;
  std::int64_t Soft_Memory_Limit = 0;

  std::int32_t elem_size = 4;

  // In-memory factor areas: regions of the WorkArray placed by the memory plan
  // of the factorization driver, each factor's start at single and at double
  // entry width and its capacity in entries of elem_size bytes. Reads of the
  // factor files land at the start of the area of the active precision.
  void* u_factor_single = nullptr;
  void* u_factor_double = nullptr;
  void* l_factor_single = nullptr;
  void* l_factor_double = nullptr;
  std::int64_t u_factor_capacity = 0;
  std::int64_t l_factor_capacity = 0;

  // Factor files (factor/factor_files.h): the open U and L files and, for
  // each, the entry offset the next read starts from without a seek.
  std::FILE* u_file = nullptr;
  std::FILE* l_file = nullptr;
  std::int64_t u_file_position = 0;
  std::int64_t l_file_position = 0;

  // Block offsets of the U and L files in the indexed block layout, NSuper
  // entries each: element s is the entry offset of supernode s's diagonal,
  // respectively off-diagonal, block.
  std::unique_ptr<std::int64_t[]> UDiagIndex, UOffdiagIndex, LDiagIndex, LOffdiagIndex;
  // Allocates the pair of factor 'U' or 'L' for n supernodes, charged to the
  // memory monitor as one allocation of n × 16 bytes; a failure ends the run
  // with "Couldn't allocate memory for offcore writing function", code 100.
  void allocate_factor_index(char factor, std::int32_t n);
  // Frees the pair of a factor (if held) and credits its charge.
  void release_factor_index(char factor);

  // Analysis results: permutation, factor structure, supernodes, trees.
  ChargedArray<std::int32_t> perm, iperm;
  ChargedArray<std::int64_t> IU, IJU;
  ChargedArray<std::int32_t> JU;
  std::int64_t sizeJU = 0;
  std::int64_t NzU = 0;
  std::int32_t NSuper = 0;
  ChargedArray<std::int32_t> SNode;

  ChargedArray<std::int32_t> ReorderSpace;
  ChargedArray<std::int32_t> PivotOrder;
  std::int32_t Num2x2Pivots = 0;
  std::int32_t NumPerturbed = 0;
  // Positive, negative and zero pivots of a symmetric factor whose pivots
  // were counted (the pivoting paths of the real symmetric and Hermitian
  // kinds); −1 where not known.
  std::int32_t inertia[3] = {-1, -1, -1};
  std::unique_ptr<FrontTree> front_tree;
  BranchSet branches;

  // Numerical phases (factor/memory_plan.h): the one WorkArray, bytes and KB
  // charged; the stack estimate Storage in working elements and the byte
  // offset of the stack area; the largest front column; the diagonal scale
  // factors (one working scalar per row) kept for the solution phase.
  std::unique_ptr<std::byte[]> WorkArray;
  std::int64_t work_array_bytes = 0;
  std::uint64_t work_array_kb = 0;
  std::int64_t Storage = 0;
  std::int64_t stack_offset = 0;
  std::int32_t max_front = 0;
  // Multi-threaded path: open fronts and branches allowed at once (the
  // plan's limit), and for a factor left in memory each supernode's block
  // offset in the factor regions, which hold the blocks in the order they
  // were finished (empty for every other factor: blocks in supernode order).
  std::int32_t allowed_fronts = 1;
  std::vector<std::int64_t> factor_block_at;
  ChargedArray<double> scale_vector;
  // The matching applied to the matrix before the ordering, empty when none:
  // row i of the matrix as read becomes row match_position[i], and the
  // system solved is diag(row_scale)·P·A·diag(column_scale).
  ChargedArray<std::int32_t> match_position;
  ChargedArray<double> row_scale, column_scale;
  bool matched() const { return match_position.allocated(); }
  // Symmetric kinds: the pairs of columns the matching couples where one of
  // them has a weak diagonal, (first, second) after one another; the
  // ordering keeps each pair together so that it can be a 2×2 pivot.
  ChargedArray<std::int32_t> pivot_pairs;
  // -diag_scale applies where no matching scales the matrix.
  bool diagonal_scaled() const { return diag_scale && !matched(); }

 protected:
  tessar();

 private:
  struct IndexPair {
    std::unique_ptr<std::int64_t[]>& diag;
    std::unique_ptr<std::int64_t[]>& offdiag;
    std::uint64_t& charged_kb;
  };
  IndexPair index_pair(char factor);
  void close_factor_files();
  void remove_temporary_factor_files() const;

  std::uint64_t u_index_kb_ = 0;
  std::uint64_t l_index_kb_ = 0;
};

// The two index files of a factor file in the indexed block layout.
enum class FactorIndexPart { diagonal, off_diagonal };

// Name of an index file of the factor file factor_file_name:
// "<name>_diag_index" or "<name>_offdiag_index", so "U_diag_index" with the
// default names and "U_2_diag_index" with a FileIndex of 2. The writer, the
// reader and the clean-up all name index files here, so runs numbered apart
// in one working directory neither share index files nor leave them behind.
std::string factor_index_file_name(const std::string& factor_file_name, FactorIndexPart part);

// Soft memory limit in KB for a machine with total_kb of physical memory: 5 %
// held back, at most 2 GB, and never below 512 MB.
std::int64_t soft_memory_limit_kb(std::int64_t total_kb);

// The command line's process: the dense library must not start threads of
// its own (every phase sets the thread count it wants), so OMP_NUM_THREADS
// is set to 1 for the process, once. A library leaves its host's
// environment alone.
void set_single_thread_environment();
