#pragma once
// The work on one front that the single-thread factorization and the threads
// of the parallel one share: the rows of a front (the columns its children
// delayed, then the rows of the analysis), extend-add of the children's
// update matrices, assembly of the entries of A, elimination, the factor
// block in the layout of its path, and the update matrix for the parent.
//
// FactorizationShared holds what every thread of one factorization reads or
// adds to; a FrontWorker is one thread's scratch (position map, index buffer)
// and, for whole subtrees, its update-matrix stack. The stack holds update
// matrices one after another, each column by column (symmetric kinds from
// the diagonal down, unsymmetric kinds the whole column), and the front of
// the supernode in progress at its far end.
#include <algorithm>
#include <atomic>
#include <complex>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/memory_monitor.h"
#include "core/progress.h"
#include "core/tessar.h"
#include "factor/factor_files.h"
#include "factor/factor_sink.h"
#include "factor/factor_structure.h"
#include "factor/matrix_prep.h"
#include "factor/supernode_tree.h"
#include "kernels/front_plain.h"
#include "kernels/front_threshold.h"
#include "platform/blas.h"
#include "platform/core_library.h"
#include "platform/kind_traits.h"

inline constexpr const char* factorization_memory_message = "Can't allocate memory for factorization";

template <class K, class Stored>
struct FactorizationShared {
  using T = typename K::scalar;
  static constexpr bool symmetric = K::symmetry != Symmetry::unsymmetric;

  FactorizationShared(tessar& s, YaleMatrix& matrix, const SupernodeTree& t, bool pivots)
      : solver(s), a(matrix), values(matrix_values<K>(matrix)), tree(t), pivoting(pivots), n(matrix.n) {
    for (std::int32_t j = 0; j < n; ++j) longest_column = std::max(longest_column, solver.IU[j + 1] - solver.IU[j] - 1);
  }

  static std::int64_t update_size(std::int64_t x) { return symmetric ? x * (x + 1) / 2 : x * x; }

  // The threshold rule, the delay bookkeeping and the factor structure of
  // the pivoting path.
  void prepare_pivoting() {
    rule.u = solver.pivot_threshold;
    if (solver.allow_perturbation) {
      const double norm = MatrixOneNorm<K>(a);
      OrlDebug(2, L"1-Norm of matrix A = %e\n", norm);
      rule.tiny = norm * blas::epsilon();
    }
    solver.Num2x2Pivots = 0;
    solver.NumPerturbed = 0;
    delayed.assign(static_cast<std::size_t>(solver.NSuper), {});
    update_orders.assign(static_cast<std::size_t>(solver.NSuper), 0);
    structure.start(solver, n);
  }

  // The order of the update matrix supernode c passes to its parent.
  std::int64_t child_update_order(std::int32_t c) const {
    return pivoting ? update_orders[static_cast<std::size_t>(c)] : update_order(solver, c);
  }

  // Adds a stored block's entries to the count and reports progress when
  // it moved on.
  void count_stored(std::int64_t entries) {
    const std::int64_t done = stored.fetch_add(entries) + entries;
    const std::int64_t span = solver.factor_progress_end - solver.factor_progress_start;
    const auto p = static_cast<std::int32_t>(std::min(span, span * done / std::max<std::int64_t>(solver.NzU, 1)));
    std::scoped_lock lock(progress_lock);
    if (p > last_progress) {
      last_progress = p;
      report_progress(solver, solver.factor_progress_start + p);
    }
  }

  tessar& solver;
  YaleMatrix& a;
  const T* values;
  const SupernodeTree& tree;
  const bool pivoting;
  const std::int32_t n;
  std::int64_t longest_column = 0;  // below its diagonal, in the analysis
  ThresholdRule rule;
  // Per supernode: the columns it delayed, until its parent takes them, and
  // the order of its update matrix. Each entry is written by the thread
  // that finished the supernode before the parent's front can start.
  std::vector<std::vector<std::int32_t>> delayed;
  std::vector<std::int64_t> update_orders;
  FactorStructure structure;
  std::mutex structure_lock;
  std::atomic<std::int64_t> stored{0};
  std::mutex progress_lock;
  std::int32_t last_progress = -1;
};

// One front's names and the kernel's records: rows in the analysis'
// numbering, the order and pivot record the kernel returns.
struct FrontRows {
  std::vector<std::int32_t> rows, renamed;
  std::vector<int> order, record;
  std::int64_t delayed_in = 0;
};

// What a thread's fronts added up to.
struct WorkerCounts {
  std::int64_t delayed = 0;
  std::int32_t perturbed = 0;
  double growth = 1.0;
  std::int32_t inertia[3] = {0, 0, 0};  // positive, negative, zero pivots

  void add(const WorkerCounts& o) {
    delayed += o.delayed;
    perturbed += o.perturbed;
    growth = std::max(growth, o.growth);
    for (int i = 0; i < 3; ++i) inertia[i] += o.inertia[i];
  }
};

// The analysis rewritten to describe the factor, the matrix renumbered to
// match, and the delays logged (factor/factor_structure.h).
template <class K>
void AdoptFactorStructure(tessar& solver, YaleMatrix& a, FactorStructure& structure, const WorkerCounts& counts,
                          std::vector<std::int32_t>* supernode_number) {
  const std::vector<std::int32_t> number =
      structure.rewrite(solver, K::symmetry != Symmetry::unsymmetric, supernode_number);
  if (!number.empty()) PermuteMatrix<K>(solver, a, number.data());
  std::int64_t widest = 0;
  for (std::int32_t s = 0; s < solver.NSuper; ++s)
    widest = std::max(widest, solver.IU[solver.SNode[s] + 1] - solver.IU[solver.SNode[s]]);
  solver.max_front = static_cast<std::int32_t>(widest);
  OrlDebug(2, L"Number of delayed pivots = %lld\n", static_cast<long long>(counts.delayed));
  OrlDebug(2, L"Largest growth in one front = %e\n", counts.growth);
}

// The pivoting paths' closing lines: 2×2 and perturbed pivots, inertia.
template <class K>
void ReportPivotCounts(tessar& solver, const WorkerCounts& counts) {
  constexpr bool symmetric = K::symmetry != Symmetry::unsymmetric;
  solver.NumPerturbed = counts.perturbed;
  if (symmetric) OrlDebug(2, L"Number of 2x2 pivots = %d\n", solver.Num2x2Pivots);
  OrlDebug(2, L"Number of perturbed pivots = %d\n", solver.NumPerturbed);
  if constexpr (symmetric && (!K::is_complex || K::symmetry == Symmetry::hermitian)) {
    std::copy(counts.inertia, counts.inertia + 3, solver.inertia);
    const std::string text = format_text("Inertia: %d positive, %d negative, %d zero pivots", counts.inertia[0],
                                         counts.inertia[1], counts.inertia[2]);
    OrlDebug(2, L"%s\n", text.c_str());
    report_message(solver, text.c_str());
  }
}

// Writes a factor region of entries to its factor file, which it creates.
inline void WriteFactorRegion(tessar& solver, char factor, const void* region, std::int64_t entries) {
  if (factor == 'U') OpenUFile(solver, "wb");
  else OpenLFile(solver, "wb");
  WriteFactorEntries(solver, region, solver.elem_size, 0, entries, factor);
  CloseFactorFile(solver, factor);
}

// FK is the kind the fronts are computed in: K itself, or on the plain path
// its single-precision counterpart; the entries of A are rounded to it as
// they are assembled.
template <class K, class Stored, class FK = K>
class FrontWorker {
 public:
  using T = typename FK::scalar;
  using Shared = FactorizationShared<K, Stored>;
  static constexpr bool symmetric = Shared::symmetric;
  // D is real symmetric or Hermitian: its pivots have signs.
  static constexpr bool has_inertia = symmetric && (!K::is_complex || K::symmetry == Symmetry::hermitian);

  explicit FrontWorker(Shared& shared) : z_(shared), solver_(shared.solver) {
    map_.allocate(solver_, static_cast<std::size_t>(z_.n), factorization_memory_message);
    index_buffer_.allocate(solver_, static_cast<std::size_t>(z_.longest_column + 1), factorization_memory_message);
    run_end_.allocate(solver_, index_buffer_.size(), factorization_memory_message);
  }

  // The stack the worker's subtrees are factored on; grow(need, front) is
  // called when a front does not fit (the last front elements to be kept).
  void set_stack(T* stack, std::int64_t size) {
    stack_ = stack;
    stack_size_ = size;
  }
  void set_stack_growth(std::function<void(std::int64_t, std::int64_t)> grow) { grow_ = std::move(grow); }
  // A stack of its own, charged, of at least elements, its pages backed.
  void use_private_stack(std::int64_t elements) {
    own_stack_.allocate(solver_, static_cast<std::size_t>(std::max<std::int64_t>(elements, 1)),
                        factorization_memory_message);
    own_stack_.back_now();
    set_stack(own_stack_.data(), static_cast<std::int64_t>(own_stack_.size()));
    stack_top_ = 0;
    grow_ = [this](std::int64_t need, std::int64_t front_elements) { grow_private_stack(need, front_elements); };
  }
  void release_private_stack() { own_stack_.release(); }
  std::int64_t private_stack_kb() const { return static_cast<std::int64_t>(own_stack_.size() * sizeof(T) / 1024); }

  // Where the factor blocks of stack fronts go: store(s, k, m, front) is
  // called once the front is eliminated.
  void set_store(std::function<void(std::int32_t, std::int32_t, std::int64_t, const T*)> store) {
    store_ = std::move(store);
  }

  // The plain path's supernode on the stack; false when singular.
  bool factor_plain_supernode(std::int32_t s) {
    const std::int32_t f = solver_.SNode[s];
    const std::int32_t k = solver_.SNode[s + 1] - f;
    const std::int64_t m = solver_.IU[f + 1] - solver_.IU[f];
    set_position_map(f, m);
    T* front = assemble_on_stack(s, f, k, m);
    int flag = 0;
    FactorFrontPlain<FK>(k, static_cast<int>(m), front, flag);
    if (flag != 0) return singular();
    store_(s, k, m, front);
    push_update(k, m, stack_ + (stack_size_ - m * m));
    return true;
  }

  // The pivoting path's supernode on the stack: its fully summed columns are
  // the delayed ones and its own; those that find no acceptable pivot go on
  // to the parent, and the root must take them all.
  bool factor_pivoting_supernode(std::int32_t s) {
    const std::int32_t f = solver_.SNode[s];
    const std::int32_t k = solver_.SNode[s + 1] - f;
    gather_front_rows(s, f, rows_);
    const auto m = static_cast<std::int64_t>(rows_.rows.size());
    set_row_map(rows_);
    make_room(s, m);
    T* front = assemble_on_stack(s, f, k, m);
    const auto npiv = static_cast<int>(rows_.delayed_in + k);
    prepare_records(rows_, m, npiv);
    ThresholdRule rule = z_.rule;
    rule.forced = s + 1 == solver_.NSuper;
    const FrontElimination e =
        FactorFrontThreshold<K>(static_cast<int>(m), npiv, front, rule, rows_.order.data(), rows_.record.data());
    if (e.singular) return singular();
    const std::int32_t taken = e.eliminated;
    close_front(s, rows_, e, npiv, m);
    store_(s, taken, m, front);
    front = stack_ + (stack_size_ - m * m);  // storing may have moved the stack
    if constexpr (has_inertia) count_inertia(rows_, taken, m, front);
    push_update(taken, m, front);
    return true;
  }

  // A shared front: its rows and the map of their positions.
  void start_shared_front(std::int32_t s, FrontRows& rows) {
    gather_front_rows(s, solver_.SNode[s], rows);
    set_row_map(rows);
  }

  // The update matrix of child c, stored column by column as on the stack,
  // added into front (order m) at the positions of the current map.
  void extend_add_copy(std::int32_t c, const T* update, std::int64_t m, T* front) {
    add_update(load_child_positions(c), m, update, front);
  }

  // The entries of A in supernode s's columns, into front at the positions
  // of the current map.
  void assemble_entries(std::int32_t s, std::int64_t m, T* front) {
    const std::int32_t f = solver_.SNode[s];
    assemble(f, solver_.SNode[s + 1] - f, m, front);
  }

  // After the elimination of a front: rows renamed, the delayed columns kept
  // for the parent, the block recorded in the structure, counts.
  void close_front(std::int32_t s, FrontRows& rows, const FrontElimination& e, int npiv, std::int64_t m) {
    counts_.perturbed += e.perturbed;
    counts_.growth = std::max(counts_.growth, e.growth);
    const std::int32_t taken = e.eliminated;
    rename_rows(s, rows, taken, npiv);
    {
      std::scoped_lock lock(z_.structure_lock);
      z_.structure.add_block(s, rows.rows.data(), taken, m - taken, rows.record.data());
    }
    counts_.delayed += npiv - taken;
    z_.update_orders[static_cast<std::size_t>(s)] = m - taken;
  }

  // Signs of the pivots of D (Sylvester's law of inertia: those of A, the
  // scaling and the symmetric permutation being congruences): a 2×2 block
  // [[a, b], [b̄, c]] with det < 0 has one eigenvalue of each sign, with
  // det > 0 two of the sign of a; perturbed pivots keep their sign.
  void count_inertia(const FrontRows& rows, std::int32_t k, std::int64_t m, const T* front) {
    for (std::int32_t q = 0; q < k; ++q) {
      const double a = std::real(front[q + q * m]);
      if (rows.record[q] != 2) {
        ++counts_.inertia[a > 0 ? 0 : (a < 0 ? 1 : 2)];
        continue;
      }
      const double c = std::real(front[q + 1 + (q + 1) * m]);
      const double det = a * c - std::norm(front[q + 1 + q * m]);
      if (det < 0) {
        ++counts_.inertia[0];
        ++counts_.inertia[1];
      } else {
        counts_.inertia[a + c > 0 ? 0 : (a + c < 0 ? 1 : 2)] += 2;
      }
      ++q;
    }
  }

  // The update matrix of a front of order m with k pivots, column by column,
  // to out; returns the end.
  static T* copy_update(std::int32_t k, std::int64_t m, const T* front, T* out) {
    for (std::int64_t q = k; q < m; ++q) {
      const std::int64_t first_row = symmetric ? q : k;
      out = std::copy(front + first_row + q * m, front + m + q * m, out);
    }
    return out;
  }

  // The update matrix on top of the stack (the last one pushed) and its size.
  const T* top_update(std::int64_t elements) const { return stack_ + (stack_top_ - elements); }
  void pop(std::int64_t elements) { stack_top_ -= elements; }

  void prepare_records(FrontRows& rows, std::int64_t m, int npiv) {
    rows.order.resize(static_cast<std::size_t>(m));
    rows.record.resize(static_cast<std::size_t>(npiv));
  }

  const WorkerCounts& counts() const { return counts_; }

  // A singular front; the caller reports it once for the factorization.
  static bool singular() { return false; }

  // Stores the block of the supernode in the layout of its path and kind.
  static void store_block(bool pivoting, std::int32_t k, std::int64_t m, const T* front, FactorSink<Stored>& u,
                          FactorSink<Stored>& l) {
    const std::int64_t x = m - k;
    const std::int64_t entries = block_entries(k, m);
    u.begin_block(entries);
    if (!pivoting) {
      // Column layout: each pivot column from its diagonal down.
      for (std::int64_t q = 0; q < k; ++q) u.append(front + q + q * m, m - q, 1);
    } else if (symmetric) {
      // Block layout: the pivot block's lower triangle, then L21 by columns.
      for (std::int64_t q = 0; q < k; ++q) u.append(front + q + q * m, k - q, 1);
      for (std::int64_t q = 0; q < k; ++q) u.append(front + k + q * m, x, 1);
    } else {
      // Block layout of U, by rows: the pivot block's upper triangle, then U12.
      for (std::int64_t r = 0; r < k; ++r) u.append(front + r + r * m, k - r, m);
      for (std::int64_t r = 0; r < k; ++r) u.append(front + r + k * m, x, m);
    }
    if constexpr (!symmetric) store_lower_block(pivoting, k, m, front, entries, l);
  }

  // Entries of one factor's block of k pivots in a front of order m.
  static std::int64_t block_entries(std::int64_t k, std::int64_t m) {
    const std::int64_t x = m - k;
    return m * (m + 1) / 2 - x * (x + 1) / 2;
  }

 private:
  // The L blocks of the unsymmetric kinds: the unit factor's rows of the
  // transposed plain front, or the pivoting front's columns with the unit
  // diagonal stored.
  static void store_lower_block(bool pivoting, std::int32_t k, std::int64_t m, const T* front, std::int64_t entries,
                                FactorSink<Stored>& l) {
    const std::int64_t x = m - k;
    if (!pivoting) {
      l.begin_block(entries - k);
      for (std::int64_t q = 0; q < k; ++q) l.append(front + q + (q + 1) * m, m - q - 1, m);
      return;
    }
    static const T one(1);
    l.begin_block(entries);
    for (std::int64_t q = 0; q < k; ++q) {
      l.append(&one, 1, 0);
      l.append(front + q + 1 + q * m, k - q - 1, 1);
    }
    for (std::int64_t q = 0; q < k; ++q) l.append(front + k + q * m, x, 1);
  }

  // The front of order m at the far end of the stack, cleared, with the
  // children's update matrices and the entries of A in place.
  T* assemble_on_stack(std::int32_t s, std::int32_t f, std::int32_t k, std::int64_t m) {
    const std::int64_t front_start = stack_size_ - m * m;
    T* front = stack_ + front_start;
    extend_add(s, m, front_start);
    assemble(f, k, m, front);
    return front;
  }

  // Zeros the front where the stack below does not reach. The plain kernels
  // of the symmetric kinds never read the strict upper triangle before they
  // write it, so only the lower one is cleared there.
  void clear_front(std::int64_t front_start, std::int64_t m) {
    if (!symmetric || z_.pivoting) {
      std::fill(stack_ + std::max(front_start, stack_top_), stack_ + stack_size_, T(0));
      return;
    }
    for (std::int64_t q = 0; q < m; ++q) {
      const std::int64_t column_end = front_start + (q + 1) * m;
      const std::int64_t first = std::max(front_start + q * m + q, stack_top_);
      if (first < column_end) std::fill(stack_ + first, stack_ + column_end, T(0));
    }
  }

  // rows := the columns the children delayed, in the children's order, and
  // the rows of the analysis' front.
  void gather_front_rows(std::int32_t s, std::int32_t f, FrontRows& rows) {
    rows.rows.clear();
    const SupernodeTree& tree = z_.tree;
    for (std::int32_t c = tree.child_ptr[s]; c < tree.child_ptr[s + 1]; ++c) {
      const std::vector<std::int32_t>& d = z_.delayed[static_cast<std::size_t>(tree.children[c])];
      rows.rows.insert(rows.rows.end(), d.begin(), d.end());
    }
    rows.delayed_in = static_cast<std::int64_t>(rows.rows.size());
    const std::int64_t m = solver_.IU[f + 1] - solver_.IU[f];
    rows.rows.push_back(f);
    const std::int32_t* analysis_rows = solver_.JU.data() + solver_.IJU[f];
    rows.rows.insert(rows.rows.end(), analysis_rows, analysis_rows + (m - 1));
  }

  void set_row_map(const FrontRows& rows) {
    const auto m = static_cast<std::int64_t>(rows.rows.size());
    for (std::int64_t t = 0; t < m; ++t) map_[rows.rows[t]] = static_cast<std::int32_t>(t);
  }

  // After the elimination: rows in the front's new order, the record of the
  // unsymmetric kinds' row interchanges by name, and the delayed columns
  // kept for the parent.
  void rename_rows(std::int32_t s, FrontRows& rows, std::int32_t taken, int npiv) {
    rows.renamed.resize(rows.rows.size());
    for (std::size_t p = 0; p < rows.rows.size(); ++p)
      rows.renamed[p] = rows.rows[static_cast<std::size_t>(rows.order[p])];
    rows.rows.swap(rows.renamed);
    if constexpr (!symmetric)
      for (std::int32_t j = 0; j < taken; ++j) rows.record[j] = rows.rows[static_cast<std::size_t>(rows.record[j])];
    z_.delayed[static_cast<std::size_t>(s)].assign(rows.rows.begin() + taken, rows.rows.begin() + npiv);
  }

  // map(f) = 0 and map(t-th row of column f) = t.
  void set_position_map(std::int32_t f, std::int64_t m) {
    map_[f] = 0;
    const std::int32_t* rows = solver_.JU.data() + solver_.IJU[f];
    for (std::int64_t t = 1; t < m; ++t) map_[rows[t - 1]] = static_cast<std::int32_t>(t);
  }

  // Front positions of the update index set of child c: the columns it
  // delayed (pivoting path), then its last column's rows.
  std::int64_t load_child_positions(std::int32_t c) {
    const std::int32_t last = solver_.SNode[c + 1] - 1;
    const std::int64_t L = solver_.IU[last + 1] - solver_.IU[last] - 1;
    const std::int32_t* rows = solver_.JU.data() + solver_.IJU[last];
    std::int64_t t = 0;
    if (z_.pivoting) {
      std::vector<std::int32_t>& d = z_.delayed[static_cast<std::size_t>(c)];
      if (static_cast<std::int64_t>(index_buffer_.size()) < L + static_cast<std::int64_t>(d.size())) {
        index_buffer_.resize(L + d.size(), factorization_memory_message);
        run_end_.resize(L + d.size(), factorization_memory_message);
      }
      for (const std::int32_t name : d) index_buffer_[t++] = map_[name];
      d.clear();
      d.shrink_to_fit();
    }
    for (std::int64_t r = 0; r < L; ++r) index_buffer_[t++] = map_[rows[r]];
    mark_runs(t);
    return t;
  }

  // run_end_[i]: the end of the run of consecutive front positions that
  // position i of the index buffer belongs to (its first L entries); the
  // two buffers are sized together.
  void mark_runs(std::int64_t L) {
    const std::int64_t* pos = index_buffer_.data();
    for (std::int64_t i = L - 1; i >= 0; --i)
      run_end_[i] = i + 1 < L && pos[i + 1] == pos[i] + 1 ? run_end_[i + 1] : i + 1;
  }

  // Adds an update matrix of order L, stored column by column, into the
  // front at the positions of the index buffer, one run of consecutive
  // rows at a time.
  void add_update(std::int64_t L, std::int64_t m, const T* update, T* front) {
    const std::int64_t* pos = index_buffer_.data();
    const std::int64_t* run_end = run_end_.data();
    for (std::int64_t t = 0; t < L; ++t) {
      T* column = front + pos[t] * m;
      for (std::int64_t i = symmetric ? t : 0; i < L; i = run_end[i]) {
        T* __restrict out = column + pos[i];
        const T* __restrict in = update;
        const std::int64_t count = run_end[i] - i;
        for (std::int64_t j = 0; j < count; ++j) out[j] += in[j];
        update += count;
      }
    }
  }

  // Moves an update matrix of order L that reaches under the front into it,
  // reading from its last stack position p downward (its last column first,
  // each column from its last row) and clearing each slot as it is read.
  void move_update_from_end(std::int64_t L, std::int64_t m, std::int64_t p, T* front) {
    const std::int64_t* pos = index_buffer_.data();
    for (std::int64_t t = L - 1; t >= 0; --t)
      for (std::int64_t i = L - 1; i >= (symmetric ? t : 0); --i) {
        const T v = stack_[p];
        stack_[p--] = T(0);
        front[pos[i] + pos[t] * m] = v;
      }
  }

  // Clears the front and moves the last child's update matrix (on top of
  // the stack) into it, then adds the other children's; the stack top drops
  // by all of them. An update lying wholly below the front is moved column
  // by column, each front column cleared just before it is filled; one
  // reaching under the front is moved from its end, clearing each slot as it
  // is read.
  void extend_add(std::int32_t s, std::int64_t m, std::int64_t front_start) {
    const SupernodeTree& tree = z_.tree;
    const std::int32_t first = tree.child_ptr[s], end = tree.child_ptr[s + 1];
    T* front = stack_ + front_start;
    if (first == end) {
      clear_front(front_start, m);
      return;
    }
    std::int64_t total = 0;
    for (std::int32_t c = first; c < end; ++c) total += Shared::update_size(z_.child_update_order(tree.children[c]));
    const std::int64_t top_update = Shared::update_size(z_.child_update_order(tree.children[end - 1]));
    if (total > stack_top_ || front_start < stack_top_ - top_update) memory_violation();
    const std::int64_t L = load_child_positions(tree.children[end - 1]);
    std::int64_t next = stack_top_ - top_update;  // where the update just taken starts
    if (stack_top_ <= front_start) {
      clear_and_move(m, front, stack_ + next, L);
    } else {
      clear_front(front_start, m);
      move_update_from_end(L, m, stack_top_ - 1, front);
    }
    for (std::int32_t c = end - 2; c >= first; --c) {
      const std::int32_t child = tree.children[c];
      next -= Shared::update_size(z_.child_update_order(child));
      add_update(load_child_positions(child), m, stack_ + next, front);
    }
    stack_top_ -= total;
  }

  // The front column by column (the lower triangle where clear_front clears
  // only that): each column of update (order L, at the positions of the
  // index buffer) copied in, and only the rows between its entries cleared.
  void clear_and_move(std::int64_t m, T* front, const T* update, std::int64_t L) {
    const std::int64_t* pos = index_buffer_.data();
    const bool lower_only = symmetric && !z_.pivoting;
    std::int64_t t = 0;
    for (std::int64_t j = 0; j < m; ++j) {
      T* column = front + j * m;
      std::int64_t row = lower_only ? j : 0;  // rows above it are cleared or written
      if (t < L && pos[t] == j) {
        for (std::int64_t i = symmetric ? t : 0; i < L; i = run_end_[i]) {
          const std::int64_t r = pos[i], count = run_end_[i] - i;
          if (row < r) std::fill(column + row, column + r, T(0));
          T* __restrict out = column + r;
          for (std::int64_t e = 0; e < count; ++e) out[e] = update[e];
          update += count;
          row = r + count;
        }
        ++t;
      }
      std::fill(column + row, column + m, T(0));
    }
  }

  [[noreturn]] void memory_violation() {
    if (z_.pivoting)
      OrlDebug(1, L"Top_Stack = %lld,  Storage = %lld\n", static_cast<long long>(stack_top_),
               static_cast<long long>(solver_.Storage));
    solver_.fatal("Memory violation", 1);
  }

  // Position of entry (row, col) in the stored rows of a; every row of the
  // unsymmetric kinds lists its columns in increasing order, the pattern is
  // symmetric and every diagonal is stored.
  std::int64_t entry_position(std::int32_t row, std::int32_t col) const {
    const std::int32_t* cols = z_.a.col_idx.data();
    const std::int32_t* first = cols + z_.a.row_ptr[row];
    const std::int32_t* last = cols + z_.a.row_ptr[row + 1];
    return std::lower_bound(first, last, col) - cols;
  }

  // Adds the entries of A in the supernode's columns. Symmetric kinds hold the
  // upper triangle by rows, so entry (j, i) lands mirrored at front(i, j).
  // Unsymmetric kinds take row j's entries from its diagonal on and, by their
  // mirror positions, the entries of column j; the plain front is A's
  // transpose, the pivoting front A itself.
  void assemble(std::int32_t f, std::int32_t k, std::int64_t m, T* front) {
    const std::int64_t* row_ptr = z_.a.row_ptr.data();
    const std::int32_t* cols = z_.a.col_idx.data();
    const auto* values = z_.values;
    for (std::int32_t j = f; j < f + k; ++j) {
      const std::int64_t jj = map_[j];
      if constexpr (symmetric) {
        for (std::int64_t p = row_ptr[j]; p < row_ptr[j + 1]; ++p)
          front[map_[cols[p]] + jj * m] += T(K::mirror(values[p]));
      } else {
        const std::int64_t diagonal = entry_position(j, j);
        front[jj + jj * m] += T(values[diagonal]);
        for (std::int64_t p = diagonal + 1; p < row_ptr[j + 1]; ++p) {
          const std::int64_t i = map_[cols[p]];
          const T row_value(values[p]);
          const T column_value(values[entry_position(cols[p], j)]);
          if (z_.pivoting) {
            front[jj + i * m] += row_value;
            front[i + jj * m] += column_value;
          } else {
            front[i + jj * m] += row_value;
            front[jj + i * m] += column_value;
          }
        }
      }
    }
  }

  // Copies the update matrix to the stack top; the stack top never lies
  // above the front, so copying forward never overwrites what is still unread.
  void push_update(std::int32_t k, std::int64_t m, const T* front) {
    if (stack_ + stack_top_ > front) memory_violation();
    stack_top_ = copy_update(k, m, front, stack_ + stack_top_) - stack_;
  }

  // Stack room for a front of order m over the stack below it. The last
  // child's update matrix may lie under the front: each of its entries moves
  // to a front position no lower than its own, delayed columns included
  // (they follow the earlier children's), so nothing is overwritten unread.
  void make_room(std::int32_t s, std::int64_t m) {
    const SupernodeTree& tree = z_.tree;
    const std::int32_t first = tree.child_ptr[s], end = tree.child_ptr[s + 1];
    const std::int64_t top_update =
        end > first ? Shared::update_size(z_.child_update_order(tree.children[end - 1])) : 0;
    const std::int64_t need = m * m + stack_top_ - top_update;
    if (need > stack_size_) grow_(need, 0);
  }

  // A private stack outgrown by delayed pivots: a larger one, with a
  // quarter to spare, takes the live part and the front at its end.
  void grow_private_stack(std::int64_t need, std::int64_t front_elements) {
    ChargedArray<T> fresh;
    const std::int64_t size = need + need / 4;
    fresh.allocate(solver_, static_cast<std::size_t>(size), factorization_memory_message);
    std::copy_n(stack_, stack_top_, fresh.data());
    std::copy_n(stack_ + (stack_size_ - front_elements), front_elements, fresh.data() + (size - front_elements));
    own_stack_.swap(fresh);
    set_stack(own_stack_.data(), size);
  }

  Shared& z_;
  tessar& solver_;
  ChargedArray<std::int32_t> map_;
  ChargedArray<std::int64_t> index_buffer_;
  ChargedArray<std::int64_t> run_end_;
  ChargedArray<T> own_stack_;
  FrontRows rows_;
  WorkerCounts counts_;
  std::function<void(std::int64_t, std::int64_t)> grow_;
  std::function<void(std::int32_t, std::int32_t, std::int64_t, const T*)> store_;

 public:
  T* stack_ = nullptr;
  std::int64_t stack_size_ = 0;
  std::int64_t stack_top_ = 0;
};
