#include "factor/frontal_factorization.h"

#include <algorithm>
#include <complex>
#include <cstring>
#include <string>
#include <vector>

#include "analysis/index_file.h"
#include "driver/memory_monitor.h"
#include "driver/progress.h"
#include "driver/tessar.h"
#include "factor/factor_files.h"
#include "factor/factor_sink.h"
#include "factor/factor_structure.h"
#include "factor/matrix_prep.h"
#include "factor/supernode_tree.h"
#include "kernels/front_threshold.h"
#include "kernels/front_plain.h"
#include "platform/blas.h"
#include "platform/core_library.h"
#include "platform/kind_traits.h"

namespace {

template <class K, class Stored>
class FrontalFactorization {
 public:
  FrontalFactorization(tessar& solver, YaleMatrix& a, const SupernodeTree& tree, bool pivoting)
      : solver_(solver), a_(a), values_(matrix_values<K>(a)), tree_(tree), pivoting_(pivoting), n_(a.n) {}

  int run() {
    report_progress(solver_, solver_.factor_progress_start);
    prepare();
    for (std::int32_t s = 0; s < solver_.NSuper; ++s) {
      if (!factor_supernode(s)) {
        close_files();
        return 16;
      }
      report_factor_progress();
    }
    finish();
    return 0;
  }

 private:
  using T = typename K::scalar;
  static constexpr bool symmetric = K::symmetry != Symmetry::unsymmetric;
  // D is real symmetric or Hermitian: its pivots have signs.
  static constexpr bool has_inertia = symmetric && (!K::is_complex || K::symmetry == Symmetry::hermitian);

  std::int64_t update_size(std::int64_t x) const { return symmetric ? x * (x + 1) / 2 : x * x; }

  // Temporaries, counters and the factor destinations (steps before the loop).
  void prepare() {
    std::int64_t longest = 0;
    for (std::int32_t j = 0; j < n_; ++j) longest = std::max(longest, solver_.IU[j + 1] - solver_.IU[j] - 1);
    solver_.max_front = static_cast<std::int32_t>(longest);
    map_.allocate(solver_, n_, "Can't allocate memory for factorization");
    index_buffer_.allocate(solver_, longest + 1, "Can't allocate memory for factorization");
    OrlDebug(2, symmetric ? L"Max front %d last SNode size = %d\n" : L"Max front %d last SN size = %d\n",
             solver_.max_front, n_ - solver_.SNode[solver_.NSuper - 1]);
    if (!symmetric) {
      cursor_.allocate(solver_, n_, "Can't allocate memory for factorization");
      std::copy(a_.row_ptr.begin(), a_.row_ptr.begin() + n_, cursor_.begin());
    }
    if (pivoting_) prepare_pivoting();
    stack_ = reinterpret_cast<T*>(solver_.WorkArray.get() + solver_.stack_offset);
    stack_size_ = solver_.Storage + 1;
    open_sinks(longest + 1);
  }

  void prepare_pivoting() {
    rule_.u = solver_.pivot_threshold;
    if (solver_.allow_perturbation) {
      const double norm = MatrixOneNorm<K>(a_);
      OrlDebug(2, L"1-Norm of matrix A = %e\n", norm);
      rule_.tiny = norm * blas::epsilon();
    }
    solver_.Num2x2Pivots = 0;
    solver_.NumPerturbed = 0;
    delayed_.assign(static_cast<std::size_t>(solver_.NSuper), {});
    update_orders_.assign(static_cast<std::size_t>(solver_.NSuper), 0);
    structure_.start(solver_, n_);
  }

  void open_sinks(std::int64_t longest_piece) {
    auto* u_region = static_cast<Stored*>(solver_.u_factor_buffer());
    auto* l_region = static_cast<Stored*>(solver_.l_factor_buffer());
    if (!solver_.offcore) {
      u_sink_ = FactorSink<Stored>::incore(u_region);
      l_sink_ = FactorSink<Stored>::incore(l_region);
      return;
    }
    staging_.allocate(solver_, longest_piece, "Can't allocate memory for factorization");
    OpenUFile(solver_, "wb");
    if (!symmetric) OpenLFile(solver_, "wb");
    if (pivoting_) {
      u_sink_ = FactorSink<Stored>::buffered(solver_, 'U', u_region, solver_.u_factor_capacity, staging_.data());
      l_sink_ = FactorSink<Stored>::buffered(solver_, 'L', l_region, solver_.l_factor_capacity, staging_.data());
    } else {
      u_sink_ = FactorSink<Stored>::direct(solver_, 'U', staging_.data());
      l_sink_ = FactorSink<Stored>::direct(solver_, 'L', staging_.data());
    }
  }

  bool factor_supernode(std::int32_t s) {
    if (pivoting_) return factor_pivoting_supernode(s);
    const std::int32_t f = solver_.SNode[s];
    const std::int32_t k = solver_.SNode[s + 1] - f;
    const std::int64_t m = solver_.IU[f + 1] - solver_.IU[f];
    set_position_map(f, m);
    T* front = assemble_front(s, f, k, m);
    int flag = 0;
    FactorFrontPlain<K>(k, static_cast<int>(m), front, flag);
    if (flag != 0) return singular();
    store_block(k, m, front);
    push_update(k, m, stack_size_ - m * m);
    return true;
  }

  // The front of order m at the top of the stack area, cleared, with the
  // children's update matrices and the entries of A in place.
  T* assemble_front(std::int32_t s, std::int32_t f, std::int32_t k, std::int64_t m) {
    const std::int64_t front_start = stack_size_ - m * m;
    T* front = stack_ + front_start;
    std::fill(stack_ + std::max(front_start, stack_top_), stack_ + stack_size_, T(0));
    extend_add(s, m, front_start);
    assemble(f, k, m, front);
    return front;
  }

  // The pivoting path's front: the columns its children delayed, then the
  // rows of the analysis. Its fully summed columns are the delayed ones and
  // its own; those that find no acceptable pivot go on to the parent, and
  // the last supernode, the root, must take them all.
  bool factor_pivoting_supernode(std::int32_t s) {
    const std::int32_t f = solver_.SNode[s];
    const std::int32_t k = solver_.SNode[s + 1] - f;
    const std::int64_t delayed_in = gather_front_rows(s, f);
    const auto m = static_cast<std::int64_t>(rows_.size());
    for (std::int64_t t = 0; t < m; ++t) map_[rows_[t]] = static_cast<std::int32_t>(t);
    make_room(s, m);
    T* front = assemble_front(s, f, k, m);
    const auto npiv = static_cast<int>(delayed_in + k);
    order_.resize(static_cast<std::size_t>(m));
    record_.resize(static_cast<std::size_t>(npiv));
    rule_.forced = s + 1 == solver_.NSuper;
    const FrontElimination e =
        FactorFrontThreshold<K>(static_cast<int>(m), npiv, front, rule_, order_.data(), record_.data());
    if (e.singular) return singular();
    solver_.NumPerturbed += e.perturbed;
    largest_growth_ = std::max(largest_growth_, e.growth);
    const std::int32_t taken = e.eliminated;
    rename_rows(s, taken, npiv);
    make_factor_room(taken, m);
    front = stack_ + (stack_size_ - m * m);
    store_block(taken, m, front);
    if constexpr (has_inertia) count_inertia(taken, m, front);
    structure_.add_block(rows_.data(), taken, m - taken, record_.data());
    delayed_total_ += npiv - taken;
    update_orders_[static_cast<std::size_t>(s)] = m - taken;
    push_update(taken, m, stack_size_ - m * m);
    return true;
  }

  // rows_ := the columns the children delayed, in the children's order, and
  // the rows of the analysis' front; returns the number delayed.
  std::int64_t gather_front_rows(std::int32_t s, std::int32_t f) {
    rows_.clear();
    for (std::int32_t c = tree_.child_ptr[s]; c < tree_.child_ptr[s + 1]; ++c) {
      const std::vector<std::int32_t>& d = delayed_[static_cast<std::size_t>(tree_.children[c])];
      rows_.insert(rows_.end(), d.begin(), d.end());
    }
    const auto delayed_in = static_cast<std::int64_t>(rows_.size());
    const std::int64_t m = solver_.IU[f + 1] - solver_.IU[f];
    rows_.push_back(f);
    const std::int32_t* rows = solver_.JU.data() + solver_.IJU[f];
    rows_.insert(rows_.end(), rows, rows + (m - 1));
    return delayed_in;
  }

  // After the elimination: rows_ in the front's new order, the record of
  // the unsymmetric kinds' row interchanges by name, and the delayed
  // columns kept for the parent.
  void rename_rows(std::int32_t s, std::int32_t taken, int npiv) {
    renamed_.resize(rows_.size());
    for (std::size_t p = 0; p < rows_.size(); ++p) renamed_[p] = rows_[static_cast<std::size_t>(order_[p])];
    rows_.swap(renamed_);
    if constexpr (!symmetric)
      for (std::int32_t j = 0; j < taken; ++j) record_[j] = rows_[static_cast<std::size_t>(record_[j])];
    delayed_[static_cast<std::size_t>(s)].assign(rows_.begin() + taken, rows_.begin() + npiv);
  }

  // map(f) = 0 and map(t-th row of column f) = t.
  void set_position_map(std::int32_t f, std::int64_t m) {
    map_[f] = 0;
    const std::int32_t* rows = solver_.JU.data() + solver_.IJU[f];
    for (std::int64_t t = 1; t < m; ++t) map_[rows[t - 1]] = static_cast<std::int32_t>(t);
  }

  // The order of child c's update matrix: the analysis' on the plain path.
  std::int64_t child_update_order(std::int32_t c) const {
    return pivoting_ ? update_orders_[static_cast<std::size_t>(c)] : update_order(solver_, c);
  }

  // Front positions of the update index set of child c: the columns it
  // delayed (pivoting path), then its last column's rows.
  std::int64_t load_child_positions(std::int32_t c) {
    const std::int32_t last = solver_.SNode[c + 1] - 1;
    const std::int64_t L = solver_.IU[last + 1] - solver_.IU[last] - 1;
    const std::int32_t* rows = solver_.JU.data() + solver_.IJU[last];
    std::int64_t t = 0;
    if (pivoting_) {
      std::vector<std::int32_t>& d = delayed_[static_cast<std::size_t>(c)];
      if (static_cast<std::int64_t>(index_buffer_.size()) < L + static_cast<std::int64_t>(d.size()))
        index_buffer_.resize(L + d.size(), "Can't allocate memory for factorization");
      for (const std::int32_t name : d) index_buffer_[t++] = map_[name];
      d.clear();
      d.shrink_to_fit();
    }
    for (std::int64_t r = 0; r < L; ++r) index_buffer_[t++] = map_[rows[r]];
    return t;
  }

  // Walks one update matrix of order L from stack position p downward (its
  // last column first, each column from its last row), handing each element
  // and its front position to visit.
  template <class Visit>
  void walk_update(std::int64_t L, std::int64_t m, std::int64_t& p, Visit visit) {
    const std::int64_t* pos = index_buffer_.data();
    for (std::int64_t t = L - 1; t >= 0; --t)
      for (std::int64_t i = L - 1; i >= (symmetric ? t : 0); --i) visit(stack_[p--], pos[i] + pos[t] * m);
  }

  // Moves the last child's update matrix (on top of the stack, possibly
  // under the front) into the front, clearing each slot as it is read, then
  // adds the other children's; the stack top drops by all of them.
  void extend_add(std::int32_t s, std::int64_t m, std::int64_t front_start) {
    const std::int32_t first = tree_.child_ptr[s], end = tree_.child_ptr[s + 1];
    if (first == end) return;
    std::int64_t total = 0;
    for (std::int32_t c = first; c < end; ++c) total += update_size(child_update_order(tree_.children[c]));
    const std::int64_t top_update = update_size(child_update_order(tree_.children[end - 1]));
    if (total > stack_top_ || front_start < stack_top_ - top_update) memory_violation();
    T* front = stack_ + front_start;
    std::int64_t p = stack_top_ - 1;
    walk_update(load_child_positions(tree_.children[end - 1]), m, p, [&](T& slot, std::int64_t q) {
      const T v = slot;
      slot = T(0);
      front[q] = v;
    });
    for (std::int32_t c = end - 2; c >= first; --c)
      walk_update(load_child_positions(tree_.children[c]), m, p, [&](T& slot, std::int64_t q) { front[q] += slot; });
    stack_top_ -= total;
  }

  [[noreturn]] void memory_violation() {
    if (pivoting_)
      OrlDebug(1, L"Top_Stack = %lld,  Storage = %lld\n", static_cast<long long>(stack_top_),
               static_cast<long long>(solver_.Storage));
    solver_.fatal("Memory violation", 1);
  }

  // Adds the entries of A in the supernode's columns. Symmetric kinds hold the
  // upper triangle by rows, so entry (j, i) lands mirrored at front(i, j).
  // Unsymmetric kinds take row j's entries and, through the row cursors, the
  // entries of column j; the plain front is A's transpose, the pivoting front
  // A itself.
  void assemble(std::int32_t f, std::int32_t k, std::int64_t m, T* front) {
    const std::int64_t* row_ptr = a_.row_ptr.data();
    const std::int32_t* cols = a_.col_idx.data();
    for (std::int32_t j = f; j < f + k; ++j) {
      const std::int64_t jj = map_[j];
      if constexpr (symmetric) {
        for (std::int64_t p = row_ptr[j]; p < row_ptr[j + 1]; ++p)
          front[map_[cols[p]] + jj * m] += K::mirror(values_[p]);
      } else {
        const std::int64_t diagonal = cursor_[j];
        front[jj + jj * m] += values_[diagonal];
        for (std::int64_t p = diagonal + 1; p < row_ptr[j + 1]; ++p) {
          const std::int64_t i = map_[cols[p]];
          const T& row_value = values_[p];
          const T& column_value = values_[cursor_[cols[p]]++];
          if (pivoting_) {
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

  bool singular() {
    OrlDebug(L"ERROR:   Singular matrix\n");
    return false;
  }

  // Stores the block of the supernode in the layout of its path and kind.
  void store_block(std::int32_t k, std::int64_t m, const T* front) {
    const std::int64_t x = m - k;
    const std::int64_t entries = m * (m + 1) / 2 - x * (x + 1) / 2;
    u_sink_.begin_block(entries);
    if (!pivoting_) {
      // Column layout: each pivot column from its diagonal down.
      for (std::int64_t q = 0; q < k; ++q) u_sink_.append(front + q + q * m, m - q, 1);
    } else if (symmetric) {
      // Block layout: the pivot block's lower triangle, then L21 by columns.
      for (std::int64_t q = 0; q < k; ++q) u_sink_.append(front + q + q * m, k - q, 1);
      for (std::int64_t q = 0; q < k; ++q) u_sink_.append(front + k + q * m, x, 1);
    } else {
      // Block layout of U, by rows: the pivot block's upper triangle, then U12.
      for (std::int64_t r = 0; r < k; ++r) u_sink_.append(front + r + r * m, k - r, m);
      for (std::int64_t r = 0; r < k; ++r) u_sink_.append(front + r + k * m, x, m);
    }
    if constexpr (!symmetric) store_lower_block(k, m, front, entries);
  }

  // The L blocks of the unsymmetric kinds: the unit factor's rows of the
  // transposed plain front, or the pivoting front's columns with the unit
  // diagonal stored.
  void store_lower_block(std::int32_t k, std::int64_t m, const T* front, std::int64_t entries) {
    const std::int64_t x = m - k;
    if (!pivoting_) {
      l_sink_.begin_block(entries - k);
      for (std::int64_t q = 0; q < k; ++q) l_sink_.append(front + q + (q + 1) * m, m - q - 1, m);
      return;
    }
    static const T one(1);
    l_sink_.begin_block(entries);
    for (std::int64_t q = 0; q < k; ++q) {
      l_sink_.append(&one, 1, 0);
      l_sink_.append(front + q + 1 + q * m, k - q - 1, 1);
    }
    for (std::int64_t q = 0; q < k; ++q) l_sink_.append(front + k + q * m, x, 1);
  }

  // Signs of the pivots of D (Sylvester's law of inertia: those of A, the
  // scaling and the symmetric permutation being congruences): a 2×2 block
  // [[a, b], [b̄, c]] with det < 0 has one eigenvalue of each sign, with
  // det > 0 two of the sign of a; perturbed pivots keep their sign.
  void count_inertia(std::int32_t k, std::int64_t m, const T* front) {
    for (std::int32_t q = 0; q < k; ++q) {
      const double a = std::real(front[q + q * m]);
      if (record_[q] != 2) {
        ++inertia_[a > 0 ? 0 : (a < 0 ? 1 : 2)];
        continue;
      }
      const double c = std::real(front[q + 1 + (q + 1) * m]);
      const double det = a * c - std::norm(front[q + 1 + q * m]);
      if (det < 0) {
        ++inertia_[0];
        ++inertia_[1];
      } else {
        inertia_[a + c > 0 ? 0 : (a + c < 0 ? 1 : 2)] += 2;
      }
      ++q;
    }
  }

  void report_inertia() {
    const std::string text = format_text("Inertia: %d positive, %d negative, %d zero pivots", inertia_[0],
                                         inertia_[1], inertia_[2]);
    OrlDebug(2, L"%s\n", text.c_str());
    report_message(solver_, text.c_str());
  }

  // Copies the update matrix to the stack top; the stack top never lies
  // above the front, so copying forward never overwrites what is still unread.
  void push_update(std::int32_t k, std::int64_t m, std::int64_t front_start) {
    if (stack_top_ > front_start) memory_violation();
    const T* front = stack_ + front_start;
    T* out = stack_ + stack_top_;
    for (std::int64_t q = k; q < m; ++q) {
      const std::int64_t first_row = symmetric ? q : k;
      out = std::copy(front + first_row + q * m, front + m + q * m, out);
    }
    stack_top_ = out - stack_;
  }

  void report_factor_progress() {
    const std::int64_t span = solver_.factor_progress_end - solver_.factor_progress_start;
    const auto p = static_cast<std::int32_t>(
        std::min(span, span * u_sink_.position() / std::max<std::int64_t>(solver_.NzU, 1)));
    if (p > last_progress_) {
      last_progress_ = p;
      report_progress(solver_, solver_.factor_progress_start + p);
    }
  }

  void close_files() {
    u_sink_.flush();
    l_sink_.flush();
    CloseFactorFile(solver_, 'U');
    CloseFactorFile(solver_, 'L');
  }

  // Stack room for a front of order m over the stack below it. The last
  // child's update matrix may lie under the front: each of its entries moves
  // to a front position no lower than its own, delayed columns included
  // (they follow the earlier children's), so nothing is overwritten unread.
  void make_room(std::int32_t s, std::int64_t m) {
    const std::int32_t first = tree_.child_ptr[s], end = tree_.child_ptr[s + 1];
    const std::int64_t top_update = end > first ? update_size(child_update_order(tree_.children[end - 1])) : 0;
    const std::int64_t need = m * m + stack_top_ - top_update;
    if (need > stack_size_) grow(0, need, 0);
  }

  // Room for the block of k pivots of a front of order m: in the factor
  // region (incore) or, offcore, in the staging of pieces.
  void make_factor_room(std::int32_t k, std::int64_t m) {
    const std::int64_t x = m - k;
    const std::int64_t entries = m * (m + 1) / 2 - x * (x + 1) / 2;
    if (!solver_.offcore) {
      if (u_sink_.position() + entries > solver_.u_factor_capacity) grow(u_sink_.position() + entries, 0, m * m);
      return;
    }
    if (static_cast<std::int64_t>(staging_.size()) > m) return;
    staging_.resize(static_cast<std::size_t>(m) + 1, "Can't allocate memory for factorization");
    u_sink_.relocate(static_cast<Stored*>(solver_.u_factor_buffer()), solver_.u_factor_capacity, staging_.data());
    l_sink_.relocate(static_cast<Stored*>(solver_.l_factor_buffer()), solver_.l_factor_capacity, staging_.data());
  }

  // Delayed pivots made the factor or a front outgrow the plan: a larger
  // WorkArray, with a quarter to spare, takes the factor stored so far
  // (incore), the live part of the stack and the front at the stack area's
  // end (its last front_elements); offcore the write buffers keep their size
  // behind the larger stack.
  void grow(std::int64_t factor_entries, std::int64_t stack_elements, std::int64_t front_elements) {
    const std::int64_t E = sizeof(Stored), W = sizeof(T);
    const auto roomy = [](std::int64_t need, std::int64_t have) { return need > have ? need + need / 4 : have; };
    const bool incore = !solver_.offcore;
    const std::int64_t capacity = incore ? roomy(factor_entries, solver_.u_factor_capacity) : 0;
    const std::int64_t storage = roomy(stack_elements, stack_size_);
    const std::int64_t factor_bytes = incore ? (symmetric ? capacity + (capacity & 1) : 2 * capacity) * E : 0;
    const std::int64_t buffer_bytes = incore ? 0 : solver_.work_array_bytes - stack_size_ * W;
    const std::int64_t bytes = factor_bytes + storage * W + buffer_bytes;
    add_memory(solver_, kb_of_bytes(bytes));
    std::unique_ptr<std::byte[]> fresh(new (std::nothrow) std::byte[bytes]);
    if (!fresh) fatal_out_of_memory(solver_, "Can not allocate WorkArray");
    std::byte* base = fresh.get();
    std::byte* stack_at = base + factor_bytes;
    std::memcpy(stack_at, stack_, stack_top_ * W);
    std::memcpy(stack_at + (storage - front_elements) * W, stack_ + (stack_size_ - front_elements), front_elements * W);
    std::byte* u = incore ? base + (symmetric ? 0 : capacity * E) : stack_at + storage * W;
    std::byte* l = symmetric ? nullptr : (incore ? base : u + solver_.u_factor_capacity * E);
    if (incore) {
      std::memcpy(u, solver_.u_factor_buffer(), u_sink_.position() * E);
      if (l) std::memcpy(l, solver_.l_factor_buffer(), l_sink_.position() * E);
      solver_.u_factor_capacity = capacity;
      solver_.l_factor_capacity = symmetric ? 0 : capacity;
    }
    u_sink_.relocate(reinterpret_cast<Stored*>(u), solver_.u_factor_capacity, staging_.data());
    l_sink_.relocate(reinterpret_cast<Stored*>(l), solver_.l_factor_capacity, staging_.data());
    solver_.u_factor_single = solver_.u_factor_double = u;
    solver_.l_factor_single = solver_.l_factor_double = l;
    release_memory(solver_, solver_.work_array_kb);
    solver_.WorkArray = std::move(fresh);
    solver_.work_array_bytes = bytes;
    solver_.work_array_kb = kb_of_bytes(bytes);
    solver_.stack_offset = factor_bytes;
    solver_.Storage = storage - 1;
    stack_ = reinterpret_cast<T*>(stack_at);
    stack_size_ = storage;
    OrlDebug(2, L"Delayed pivots: work area grown to %lld KB for the %s\n", static_cast<long long>(bytes / 1024),
             stack_elements > 0 ? "stack" : "factor");
  }

  // The analysis rewritten to describe the factor, and the matrix renumbered
  // to match.
  void adopt_factor_structure() {
    const std::vector<std::int32_t> number = structure_.rewrite(solver_, symmetric);
    if (!number.empty()) PermuteMatrix<K>(solver_, a_, number.data());
    std::int64_t widest = 0;
    for (std::int32_t s = 0; s < solver_.NSuper; ++s)
      widest = std::max(widest, solver_.IU[solver_.SNode[s] + 1] - solver_.IU[solver_.SNode[s]]);
    solver_.max_front = static_cast<std::int32_t>(widest);
    OrlDebug(2, L"Number of delayed pivots = %lld\n", static_cast<long long>(delayed_total_));
    OrlDebug(2, L"Largest growth in one front = %e\n", largest_growth_);
  }

  // Files closed or, for a kept incore factor, written whole; pivot counts.
  void finish() {
    if (pivoting_) adopt_factor_structure();
    if (solver_.offcore) {
      close_files();
    } else if (solver_.save_factor) {
      write_factor_region('U', solver_.u_factor_buffer(), solver_.NzU);
      if (!symmetric) write_factor_region('L', solver_.l_factor_buffer(), pivoting_ ? solver_.NzU : solver_.NzU - n_);
    }
    // A multi-threaded run reads its factor files through their block index.
    if (solver_.multi_thread && (solver_.offcore || solver_.save_factor)) WriteSequentialBlockIndex(solver_);
    if (!pivoting_) return;
    if (symmetric) OrlDebug(2, L"Number of 2x2 pivots = %d\n", solver_.Num2x2Pivots);
    OrlDebug(2, L"Number of perturbed pivots = %d\n", solver_.NumPerturbed);
    if constexpr (has_inertia) report_inertia();
  }

  void write_factor_region(char factor, const void* region, std::int64_t entries) {
    if (factor == 'U') OpenUFile(solver_, "wb");
    else OpenLFile(solver_, "wb");
    WriteFactorEntries(solver_, region, sizeof(Stored), 0, entries, factor);
    CloseFactorFile(solver_, factor);
  }

  tessar& solver_;
  YaleMatrix& a_;
  const T* values_;
  const SupernodeTree& tree_;
  const bool pivoting_;
  const std::int32_t n_;

  ChargedArray<std::int32_t> map_;
  ChargedArray<std::int64_t> index_buffer_;
  ChargedArray<std::int64_t> cursor_;
  ChargedArray<Stored> staging_;

  // The pivoting path: the threshold rule, each supernode's delayed columns
  // until its parent takes them and the order of its update matrix, the
  // current front's rows (names in the analysis' numbering), the kernel's
  // order and pivot record, and the factor's structure as it comes out.
  ThresholdRule rule_;
  std::vector<std::vector<std::int32_t>> delayed_;
  std::vector<std::int64_t> update_orders_;
  std::vector<std::int32_t> rows_, renamed_;
  std::vector<int> order_, record_;
  FactorStructure structure_;
  std::int64_t delayed_total_ = 0;
  double largest_growth_ = 1.0;

  T* stack_ = nullptr;
  std::int64_t stack_size_ = 0;
  std::int64_t stack_top_ = 0;
  FactorSink<Stored> u_sink_ = FactorSink<Stored>::incore(nullptr);
  FactorSink<Stored> l_sink_ = FactorSink<Stored>::incore(nullptr);
  std::int32_t last_progress_ = -1;
  std::int32_t inertia_[3] = {0, 0, 0};  // positive, negative, zero pivots
};

}  // namespace

template <class K>
int FactorFronts(tessar& solver, YaleMatrix& a, const SupernodeTree& tree, bool pivoting) {
  using T = typename K::scalar;
  if (solver.double_precision) return FrontalFactorization<K, T>(solver, a, tree, pivoting).run();
  return FrontalFactorization<K, typename K::single>(solver, a, tree, pivoting).run();
}

template int FactorFronts<RealSymmetric>(tessar&, YaleMatrix&, const SupernodeTree&, bool);
template int FactorFronts<RealUnsymmetric>(tessar&, YaleMatrix&, const SupernodeTree&, bool);
template int FactorFronts<ComplexSymmetric>(tessar&, YaleMatrix&, const SupernodeTree&, bool);
template int FactorFronts<ComplexUnsymmetric>(tessar&, YaleMatrix&, const SupernodeTree&, bool);
template int FactorFronts<ComplexHermitian>(tessar&, YaleMatrix&, const SupernodeTree&, bool);
