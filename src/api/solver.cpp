#include "tessar/solver.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

#include "api/kind_solvers.h"
#include "api/rounds.h"
#include "core/memory_monitor.h"
#include "platform/core_library.h"
#include "platform/error.h"
#include "platform/process.h"

namespace tsr {

namespace {

constexpr int input_error = 1;

bool is_complex(Kind kind) { return kind != Kind::real_symmetric && kind != Kind::real_unsymmetric; }
bool is_symmetric(Kind kind) { return kind != Kind::real_unsymmetric && kind != Kind::complex_unsymmetric; }

// The library writes no log unless the environment asks for one
// (TS_LOG_FILE or TS_DEBUG_LEVEL): its failures reach the caller as errors.
void configure_library_log() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (std::getenv("TS_LOG_FILE") || std::getenv("TS_DEBUG_LEVEL")) configure_log_from_environment();
    else configure_log("", 0);
  });
}

// The caller's arrays as the solver's compressed rows: the upper triangle of
// the symmetric kinds, the pattern of A + Aᵀ of the unsymmetric ones (the
// added entries zero), every diagonal entry present. For each given entry,
// where its value goes and how: added as it is, mirrored from the lower
// triangle (conjugated for the Hermitian kind), or, where a symmetric kind
// is given both triangles, only compared with its mirror, which must hold
// the same value (conjugated for the Hermitian kind).
enum class Placement : std::uint8_t { added, mirrored, compared };

struct ConvertedMatrix {
  YaleMatrix a;
  std::vector<std::int64_t> target;
  std::vector<Placement> placement;
  int base = 0;  // of the caller's indices, for the messages
};

// Offsets and indices as given, checked: the failure names the column (or
// row) and the entry at fault, counted from base as the caller counts.
struct GivenPattern {
  std::int32_t n;
  const std::int64_t* ptr;
  const std::int32_t* idx;
  Storage storage;
  int base;

  const char* outer_name() const { return storage == Storage::columns ? "column" : "row"; }
  const char* inner_name() const { return storage == Storage::columns ? "row" : "column"; }
  std::int64_t entries() const { return ptr[n] - base; }

  void check(const tsr_error& errors) const {
    if (base != 0 && base != 1)
      errors.fatal(format_text("Error in the input: index base %d, not 0 or 1", base).c_str(), input_error);
    if (n < 1) errors.fatal(format_text("Error in the input: matrix order %d, not at least 1", n).c_str(), input_error);
    if (!ptr || !idx) errors.fatal("Error in the input: no pointer or index array", input_error);
    if (ptr[0] != base)
      errors.fatal(format_text("Error in the input: the first %s starts at %lld, not at the index base %d",
                               outer_name(), static_cast<long long>(ptr[0]), base).c_str(), input_error);
    // Every offset before any index is read: an index array is only read
    // within the entries the last offset gives.
    for (std::int32_t j = 0; j < n; ++j)
      if (ptr[j + 1] < ptr[j])
        errors.fatal(format_text("Error in the input: %s %d ends at %lld, before it starts (%lld)", outer_name(),
                                 j + base, static_cast<long long>(ptr[j + 1]), static_cast<long long>(ptr[j]))
                         .c_str(), input_error);
    const std::int64_t last = std::int64_t{n} - 1 + base;
    for (std::int32_t j = 0; j < n; ++j)
      for (std::int64_t p = ptr[j] - base; p < ptr[j + 1] - base; ++p)
        if (idx[p] < base || idx[p] > last)
          errors.fatal(format_text("Error in the input: entry %lld of %s %d has %s index %d, outside %d … %lld",
                                   static_cast<long long>(p + base), outer_name(), j + base, inner_name(), idx[p],
                                   base, static_cast<long long>(last)).c_str(), input_error);
  }

  // Row and column (from 0) of entry p of outer index j.
  std::pair<std::int32_t, std::int32_t> at(std::int32_t j, std::int64_t p) const {
    const std::int32_t i = idx[p] - base;
    return storage == Storage::columns ? std::make_pair(i, j) : std::make_pair(j, i);
  }
};

ConvertedMatrix convert(Kind kind, const GivenPattern& given, const tsr_error& errors) {
  const std::int32_t n = given.n;
  const bool symmetric = is_symmetric(kind);
  bool any_upper = false;
  for (std::int32_t j = 0; j < n && !any_upper; ++j)
    for (std::int64_t p = given.ptr[j] - given.base; p < given.ptr[j + 1] - given.base; ++p) {
      const auto [r, c] = given.at(j, p);
      if (r < c) any_upper = true;
    }
  ConvertedMatrix m;
  m.base = given.base;
  const std::int64_t count = given.entries();
  m.placement.assign(static_cast<std::size_t>(count), Placement::added);
  std::vector<std::vector<std::int32_t>> rows(static_cast<std::size_t>(n));
  for (std::int32_t i = 0; i < n; ++i) rows[i].push_back(i);
  for (std::int32_t j = 0; j < n; ++j)
    for (std::int64_t p = given.ptr[j] - given.base; p < given.ptr[j + 1] - given.base; ++p) {
      const auto [r, c] = given.at(j, p);
      if (!symmetric) {
        rows[r].push_back(c);
        rows[c].push_back(r);
      } else if (r <= c) {
        rows[r].push_back(c);
      } else if (!any_upper) {
        rows[c].push_back(r);
        m.placement[p] = Placement::mirrored;
      } else {
        m.placement[p] = Placement::compared;
      }
    }
  YaleMatrix& a = m.a;
  a.n = n;
  a.complex = is_complex(kind);
  a.row_ptr.assign(static_cast<std::size_t>(n) + 1, 0);
  for (std::int32_t i = 0; i < n; ++i) {
    std::sort(rows[i].begin(), rows[i].end());
    rows[i].erase(std::unique(rows[i].begin(), rows[i].end()), rows[i].end());
    a.row_ptr[i + 1] = a.row_ptr[i] + static_cast<std::int64_t>(rows[i].size());
  }
  a.nnz = a.row_ptr[n];
  a.col_idx.reserve(static_cast<std::size_t>(a.nnz));
  for (auto& row : rows) {
    a.col_idx.insert(a.col_idx.end(), row.begin(), row.end());
    std::vector<std::int32_t>().swap(row);
  }
  a.values.assign(static_cast<std::size_t>(a.nnz * a.value_width()), 0.0);
  m.target.assign(static_cast<std::size_t>(count), -1);
  for (std::int32_t j = 0; j < n; ++j)
    for (std::int64_t p = given.ptr[j] - given.base; p < given.ptr[j + 1] - given.base; ++p) {
      auto [r, c] = given.at(j, p);
      if (symmetric && r > c) std::swap(r, c);
      const auto first = a.col_idx.begin() + a.row_ptr[r], last = a.col_idx.begin() + a.row_ptr[r + 1];
      const auto at = std::lower_bound(first, last, c);
      if (at == last || *at != c)
        errors.fatal(format_text("Error in the input: the matrix is not %s: entry (%d, %d) has no entry (%d, %d)",
                                 kind == Kind::complex_hermitian ? "Hermitian" : "symmetric", c + given.base,
                                 r + given.base, r + given.base, c + given.base).c_str(), input_error);
      m.target[p] = at - a.col_idx.begin();
    }
  return m;
}

// Refuses a value that is not a finite number, naming the entry (counted
// from the caller's base), and, where a symmetric kind is given both
// triangles, a lower entry that differs from its upper mirror (beyond a few
// units of rounding).
void check_values(const ConvertedMatrix& m, Kind kind, const double* values, const tsr_error& errors) {
  const int width = m.a.value_width();
  const std::size_t doubles = m.target.size() * static_cast<std::size_t>(width);
  for (std::size_t d = 0; d < doubles; ++d)
    if (!std::isfinite(values[d]))
      errors.fatal(format_text("Error in the input: matrix entry %zu holds a value that is not a finite number",
                               d / width + m.base).c_str(), input_error);
  const auto value = [&](std::size_t p) {
    return std::complex<double>(values[p * width], width == 2 ? values[p * width + 1] : 0.0);
  };
  std::vector<std::complex<double>> upper, lower;
  for (std::size_t p = 0; p < m.target.size(); ++p)
    if (m.placement[p] == Placement::compared) {
      if (upper.empty()) upper.resize(static_cast<std::size_t>(m.a.nnz)), lower.resize(upper.size());
      const std::complex<double> v = value(p);
      lower[static_cast<std::size_t>(m.target[p])] += kind == Kind::complex_hermitian ? std::conj(v) : v;
    }
  if (upper.empty()) return;
  for (std::size_t p = 0; p < m.target.size(); ++p)
    if (m.placement[p] == Placement::added) upper[static_cast<std::size_t>(m.target[p])] += value(p);
  for (std::int32_t r = 0; r < m.a.n; ++r)
    for (std::int64_t q = m.a.row_ptr[r]; q < m.a.row_ptr[r + 1]; ++q) {
      const std::size_t at = static_cast<std::size_t>(q);
      const std::int32_t c = m.a.col_idx[at];
      if (c == r || std::abs(upper[at] - lower[at]) <= 8 * std::numeric_limits<double>::epsilon() * std::abs(upper[at]))
        continue;
      errors.fatal(format_text("Error in the input: the matrix is not %s: entry (%d, %d) differs from entry (%d, %d)",
                               kind == Kind::complex_hermitian ? "Hermitian" : "symmetric", c + m.base, r + m.base,
                               r + m.base, c + m.base).c_str(), input_error);
    }
}

// Puts the given values where the conversion sends them: duplicates add up,
// mirrored entries of the Hermitian kind are conjugated.
void fill_values(ConvertedMatrix& m, Kind kind, const double* values) {
  YaleMatrix& a = m.a;
  const int width = a.value_width();
  std::fill(a.values.begin(), a.values.end(), 0.0);
  const bool conjugate = kind == Kind::complex_hermitian;
  for (std::size_t p = 0; p < m.target.size(); ++p) {
    if (m.placement[p] == Placement::compared) continue;
    double* to = &a.values[static_cast<std::size_t>(m.target[p]) * width];
    to[0] += values[p * width];
    const bool mirrored = m.placement[p] == Placement::mirrored;
    if (width == 2) to[1] += conjugate && mirrored ? -values[p * width + 1] : values[p * width + 1];
  }
}

// Right-hand sides and solutions in the caller's arrays, n values each.
class MemoryRhsVectors final : public RhsVectors {
 public:
  MemoryRhsVectors(const void* b, void* x, std::int32_t nrhs) : b_(static_cast<const std::byte*>(b)),
                                                                 x_(static_cast<std::byte*>(x)), nrhs_(nrhs) {}
  std::int32_t count(RunFiles&, std::int32_t) override { return nrhs_; }
  void read(RunFiles&, std::int32_t n, void* vector, std::size_t element_size, std::int32_t k, std::int32_t) override {
    std::memmove(vector, b_ + static_cast<std::size_t>(k) * n * element_size, static_cast<std::size_t>(n) * element_size);
  }
  void write(RunFiles&, std::int32_t n, const void* vector, std::size_t element_size, std::int32_t k) override {
    std::memmove(x_ + static_cast<std::size_t>(k) * n * element_size, vector, static_cast<std::size_t>(n) * element_size);
  }

 private:
  const std::byte* b_;
  std::byte* x_;
  std::int32_t nrhs_;
};

// A tag that keeps the factor files of solver objects apart when they share
// a working directory.
std::string unique_file_tag() {
  static std::atomic<long> next{0};
  return format_text("%ld_%ld", static_cast<long>(getpid()), next.fetch_add(1));
}

}  // namespace

struct Solver::Impl {
  Kind kind;
  Options options;
  ConvertedMatrix matrix;
  std::string file_tag = unique_file_tag();
  tsr_error errors;
  RunState run;
  RoundInputs inputs;
  bool factored = false;

  Impl(Kind k, const Options& o) : kind(k), options(o) {
    errors.set_throw_mode(true);
    inputs.make_solver = [this] { return configured_solver(); };
    inputs.load_matrix = [this](tessar& solver, YaleMatrix& a) { return working_copy(solver, a); };
    inputs.with_original = [this](tessar&, const std::function<void(const YaleMatrix&)>& use) { use(matrix.a); };
  }

  void check_option(bool ok, const char* text, double value) const {
    if (!ok) errors.fatal(format_text("Option %s, not %g", text, value).c_str(), input_error);
  }

  void check_options() const {
    const Options& o = options;
    check_option(o.threads >= 1, "threads needs a processor count of at least 1", o.threads);
    check_option(o.solve_threads >= 0, "solve_threads needs a processor count of at least 0", o.solve_threads);
    check_option(o.block_size >= 1, "block_size needs a block size of at least 1", o.block_size);
    check_option(o.zero_fill >= 0, "zero_fill needs a count of at least 0", o.zero_fill);
    check_option(o.matching >= 0 && o.matching <= 2, "matching is 0, 1 or 2", o.matching);
    check_option(o.tolerance > 0 && std::isfinite(o.tolerance), "tolerance needs a positive number", o.tolerance);
    check_option(o.max_iterations >= 0, "max_iterations needs a count of at least 0", o.max_iterations);
    check_option(o.pivot_threshold > 0 && o.pivot_threshold <= 1, "pivot_threshold lies in (0, 1]",
                 o.pivot_threshold);
    check_option(o.memory_limit_kb >= 0, "memory_limit_kb needs a size of at least 0",
                 static_cast<double>(o.memory_limit_kb));
  }

  // A solver object of the kind with the options: no preferences file, no
  // progress lines, failures thrown.
  std::unique_ptr<tessar> configured_solver() {
    const Options& o = options;
    std::unique_ptr<tessar> s = make_solver(static_cast<int>(kind), SolverUse::library);
    s->set_throw_mode(true);
    s->quiet = s->no_progress = true;
    const int processors = std::max(1, processor_count());
    s->ncpu = std::min(o.threads, processors);
    set_thread_count(s->ncpu);
    s->ncpu_solve = o.solve_threads >= 1 ? std::min(o.solve_threads, processors) : -1;
    s->double_precision = o.double_precision;
    s->set_elem_size();
    s->single_updates = o.single_updates;
    s->pivoting = o.pivoting || o.allow_perturbation || o.multi_thread;
    s->allow_perturbation = o.allow_perturbation;
    s->multi_thread = o.multi_thread;
    s->block_size = o.block_size;
    s->max_zero_fill = o.zero_fill;
    s->reorder_enabled = o.reorder;
    s->diag_scale = o.diag_scale;
    s->matching = o.matching;
    if (o.bicgstab) s->post_method = 2;
    s->enforce_CG = o.enforce_iterations || o.allow_perturbation;
    s->cg_tolerance = o.tolerance;
    s->cg_iter = o.max_iterations;
    s->pivot_threshold = o.pivot_threshold;
    if (o.memory_limit_kb > 0) s->Soft_Memory_Limit = o.memory_limit_kb;
    s->work_dir = o.work_dir;
    s->u_file_name = "U_" + file_tag;
    s->l_file_name = "L_" + file_tag;
    s->index_file_name = "index_" + file_tag;
    return s;
  }

  // A copy of the matrix for a round to reorder and scale, charged.
  std::uint64_t working_copy(tessar& solver, YaleMatrix& a) {
    a = matrix.a;
    const auto bytes = static_cast<std::uint64_t>(a.row_ptr.size() * sizeof(std::int64_t) +
                                                  a.col_idx.size() * sizeof(std::int32_t) +
                                                  a.values.size() * sizeof(double));
    const std::uint64_t kb = kb_of_bytes(bytes);
    add_memory(solver, kb);
    return kb;
  }

  // Runs the checks of an entry point's arguments, or the report of a
  // failure that leaves the solver whole: failures become tsr::Error.
  template <class Work>
  void checked(const Work& work) const {
    try {
      work();
    } catch (const TessarException& failure) {
      throw Error(failure.code(), failure.message().c_str());
    }
  }

  // Runs the phases of an entry point; failures become tsr::Error, and the
  // solver starts again from the analysis on the next call. The caller's
  // thread keeps the dense-library thread count it had.
  template <class Work>
  auto guarded(const Work& work) -> decltype(work()) {
    const KeptThreadCount kept;
    try {
      return work();
    } catch (const TessarException& failure) {
      reset();
      throw Error(failure.code(), failure.message().c_str());
    } catch (const std::bad_alloc&) {
      reset();
      throw Error(100, "Not enough memory");
    } catch (const std::length_error&) {
      reset();
      throw Error(100, "Not enough memory");
    } catch (...) {
      reset();
      throw;
    }
  }

  struct KeptThreadCount {
    int threads = thread_count();
    ~KeptThreadCount() { set_thread_count(threads); }
  };

  void reset() {
    run = RunState{};
    factored = false;
  }

  // Analysed once a solver object holds the run: a failure inside a phase
  // resets it.
  void analyze() {
    if (run.solver) return;
    run.solver = configured_solver();
    run.solver->last_round = !options.escalate || refactorizations(*run.solver, false).empty();
    run.charged_kb = working_copy(*run.solver, run.a);
    analyze_round(run);
  }

  bool escalation_allowed() const { return options.escalate && may_refactor(*run.solver); }

  // The factor, with the stronger ones after a failed factorization; a
  // matrix none of them factors leaves no factor behind.
  void factorize() {
    if (factored) return;
    const RoundOutcome outcome = guarded([&] {
      analyze();
      RoundOutcome o;
      if (const int code = factor_round(run); code != 0) {
        o = {RoundEnd::factor_failed, code};
        // The stronger factors' rounds have no right-hand side yet to solve.
        MemoryRhsVectors none(nullptr, nullptr, 0);
        if (escalation_allowed()) o = escalate(run, inputs, none, o);
      }
      return o;
    });
    if (outcome.end != RoundEnd::solved) {
      const std::string text = failure_text(run, outcome);
      reset();
      checked([&] { errors.fatal(text.c_str(), outcome.code); });
    }
    factored = true;
  }

  template <class T>
  void new_values(const T* values) {
    const auto* doubles = reinterpret_cast<const double*>(values);
    checked([&] {
      check_value_type<T>();
      check_values(matrix, kind, doubles, errors);
    });
    reset();
    fill_values(matrix, kind, doubles);
    factorize();
  }

  // Any failure leaves NaN in x; a right-hand side without a solution leaves
  // the factor for the next call.
  template <class T>
  Result solve(const T* b, T* x, std::int32_t nrhs) {
    const std::int32_t n = matrix.a.n;
    checked([&] {
      check_value_type<T>();
      check_option(nrhs >= 0, "nrhs needs a count of right-hand sides of at least 0", nrhs);
      check_right_hand_sides(b, n, nrhs);
    });
    if (nrhs == 0) return Result{};
    try {
      factorize();
      MemoryRhsVectors vectors(b, x, nrhs);
      const RoundOutcome outcome = guarded([&] {
        run.ledger = RhsLedger{};
        run.ledger.current_round = static_cast<std::int32_t>(run.round_labels.size()) - 1;
        RoundOutcome o = solve_round(run, inputs, vectors);
        if (o.end != RoundEnd::solved && escalation_allowed()) o = escalate(run, inputs, vectors, o);
        return o;
      });
      if (outcome.end != RoundEnd::solved) {
        const std::string text = failure_text(run, outcome);
        if (outcome.end == RoundEnd::factor_failed) reset();
        checked([&] { errors.fatal(text.c_str(), outcome.code); });
      }
    } catch (...) {
      constexpr double nan = std::numeric_limits<double>::quiet_NaN();
      T not_a_number{};
      if constexpr (std::is_same_v<T, double>) not_a_number = nan;
      else not_a_number = T(nan, nan);
      std::fill(x, x + static_cast<std::size_t>(n) * nrhs, not_a_number);
      throw;
    }
    return report();
  }


  template <class T>
  void check_right_hand_sides(const T* b, std::int32_t n, std::int32_t nrhs) const {
    for (std::int32_t k = 0; k < nrhs; ++k)
      for (std::int32_t i = 0; i < n; ++i) {
        const std::complex<double> v = b[static_cast<std::size_t>(k) * n + i];
        if (!std::isfinite(v.real()) || !std::isfinite(v.imag()))
          errors.fatal(format_text("Error in the input: right-hand side %d holds a value that is not a finite number "
                                   "in row %d", k + matrix.base, i + matrix.base).c_str(), input_error);
      }
  }

  Result report() const {
    Result result;
    const RhsLedger& ledger = run.ledger;
    for (std::int32_t k = 0; k < ledger.size(); ++k) {
      const RhsResult& r = ledger.results[static_cast<std::size_t>(k)];
      result.rhs.push_back({r.residual, r.factor_solves, rhs_step_name(r.step), ledger.round[static_cast<std::size_t>(k)]});
    }
    result.factors = run.round_labels;
    std::copy(run.solver->inertia, run.solver->inertia + 3, result.inertia);
    result.perturbed_pivots = run.solver->NumPerturbed;
    return result;
  }

  template <class T>
  void check_value_type() const {
    if (std::is_same_v<T, double> == is_complex(kind))
      errors.fatal(is_complex(kind) ? "Error in the input: a complex kind needs complex values"
                                    : "Error in the input: a real kind needs real values",
                   input_error);
  }

  // The solver of the arrays given, converted and checked.
  template <class T>
  static std::unique_ptr<Impl> make(Kind kind, std::int32_t n, const std::int64_t* ptr, const std::int32_t* idx,
                                    const T* values, const Options& options, Storage storage, int base) {
    configure_library_log();
    auto impl = std::make_unique<Impl>(kind, options);
    impl->guarded([&] {
      if (static_cast<int>(kind) < 0 || static_cast<int>(kind) > 4)
        impl->errors.fatal(
            format_text("Error in the input: kind %d, not one of the kinds 0 … 4", static_cast<int>(kind)).c_str(),
            input_error);
      impl->template check_value_type<T>();
      impl->check_options();
      const GivenPattern given{n, ptr, idx, storage, base};
      given.check(impl->errors);
      impl->matrix = convert(kind, given, impl->errors);
      check_values(impl->matrix, kind, reinterpret_cast<const double*>(values), impl->errors);
      fill_values(impl->matrix, kind, reinterpret_cast<const double*>(values));
    });
    return impl;
  }
};

Solver::Solver(Kind kind, std::int32_t n, const std::int64_t* ptr, const std::int32_t* idx, const double* values,
               const Options& options, Storage storage, int base)
    : impl_(Impl::make(kind, n, ptr, idx, values, options, storage, base)) {}

Solver::Solver(Kind kind, std::int32_t n, const std::int64_t* ptr, const std::int32_t* idx,
               const std::complex<double>* values, const Options& options, Storage storage, int base)
    : impl_(Impl::make(kind, n, ptr, idx, values, options, storage, base)) {}

Solver::~Solver() = default;
Solver::Solver(Solver&&) noexcept = default;
Solver& Solver::operator=(Solver&&) noexcept = default;

void Solver::analyze() {
  impl_->guarded([&] { impl_->analyze(); });
}

void Solver::factorize() { impl_->factorize(); }
void Solver::factorize(const double* values) { impl_->new_values(values); }
void Solver::factorize(const std::complex<double>* values) { impl_->new_values(values); }

Result Solver::solve(const double* b, double* x, std::int32_t nrhs) { return impl_->solve(b, x, nrhs); }

Result Solver::solve(const std::complex<double>* b, std::complex<double>* x, std::int32_t nrhs) {
  return impl_->solve(b, x, nrhs);
}

Kind Solver::kind() const { return impl_->kind; }
std::int32_t Solver::order() const { return impl_->matrix.a.n; }

}  // namespace tsr
