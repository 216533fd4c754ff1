#include "analysis/matching.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <utility>

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr std::int32_t none = -1;

// Meeting the bounds can take factors beyond the double range: an upper
// bidiagonal matrix whose superdiagonal is ten times its diagonal needs
// r_i+1 ≥ 10·r_i all the way down, and the duals found are not always the
// narrowest that would do. The logs of the scales are clamped to
// ±700 so that every factor stays finite and positive; on the rows and
// columns where the clamp bites, the bound of 1 no longer holds.
constexpr double max_log_scale = 700.0;

// Only finite positive magnitudes are entries: zeros are absent, and an
// infinite or NaN magnitude cannot be brought to 1 by any finite scale.
bool is_entry(double magnitude) { return magnitude > 0.0 && magnitude <= std::numeric_limits<double>::max(); }

// The matrix by columns, each entry with its cost c_ij = log max_k |a_kj| − log |a_ij| ≥ 0.
struct ColumnCosts {
  std::vector<std::int64_t> ptr;
  std::vector<std::int32_t> row;
  std::vector<double> cost;
  std::vector<double> log_max;  // log max_k |a_kj|; 0 for an empty column
};

ColumnCosts column_costs(std::int32_t n, const std::int64_t* row_ptr, const std::int32_t* col_idx,
                         const double* magnitude) {
  ColumnCosts a;
  a.ptr.assign(static_cast<std::size_t>(n) + 1, 0);
  for (std::int64_t p = 0; p < row_ptr[n]; ++p)
    if (is_entry(magnitude[p])) ++a.ptr[col_idx[p] + 1];
  std::partial_sum(a.ptr.begin(), a.ptr.end(), a.ptr.begin());
  a.row.resize(static_cast<std::size_t>(a.ptr[n]));
  a.cost.resize(a.row.size());
  std::vector<std::int64_t> next(a.ptr.begin(), a.ptr.end() - 1);
  for (std::int32_t i = 0; i < n; ++i)
    for (std::int64_t p = row_ptr[i]; p < row_ptr[i + 1]; ++p) {
      if (!is_entry(magnitude[p])) continue;
      const std::int64_t q = next[col_idx[p]]++;
      a.row[q] = i;
      a.cost[q] = std::log(magnitude[p]);
    }
  a.log_max.assign(static_cast<std::size_t>(n), 0.0);
  for (std::int32_t j = 0; j < n; ++j) {
    const auto first = a.cost.begin() + a.ptr[j], last = a.cost.begin() + a.ptr[j + 1];
    if (first == last) continue;
    const double log_max = *std::max_element(first, last);
    a.log_max[j] = log_max;
    std::transform(first, last, first, [log_max](double log_magnitude) { return log_max - log_magnitude; });
  }
  return a;
}

// A partial matching with its duals: u_i + v_j ≤ c_ij on every entry, with
// equality on the matched ones. A row keeps its dual, its column and the
// search's working label side by side, so that a search touches one cache
// line per entry it looks at.
struct Row {
  double u = infinity;
  double dist = infinity;  // label of the search under way; infinity outside it
  std::int32_t col = none;
  std::int32_t mark = 0;  // open, scanned or closed, see PathSearch
};

struct Assignment {
  std::vector<Row> rows;
  std::vector<double> v;
  std::vector<std::int32_t> row_of_col;
};

// The duals u_i = min_j c_ij and v_j = min_i (c_ij − u_i), and a greedy
// matching on the entries whose reduced cost c_ij − u_i − v_j is zero.
Assignment initial_assignment(const ColumnCosts& a, std::int32_t n) {
  const auto size = static_cast<std::size_t>(n);
  Assignment s{std::vector<Row>(size), std::vector<double>(size, 0.0), std::vector<std::int32_t>(size, none)};
  for (std::size_t q = 0; q < a.row.size(); ++q) s.rows[a.row[q]].u = std::min(s.rows[a.row[q]].u, a.cost[q]);
  for (Row& row : s.rows)
    if (row.u == infinity) row.u = 0.0;
  for (std::int32_t j = 0; j < n; ++j) {
    if (a.ptr[j] == a.ptr[j + 1]) continue;
    double v = infinity;
    for (std::int64_t q = a.ptr[j]; q < a.ptr[j + 1]; ++q) v = std::min(v, a.cost[q] - s.rows[a.row[q]].u);
    s.v[j] = v;
    for (std::int64_t q = a.ptr[j]; q < a.ptr[j + 1]; ++q) {
      Row& row = s.rows[a.row[q]];
      if (row.col != none || a.cost[q] - row.u != v) continue;
      row.col = j;
      s.row_of_col[j] = a.row[q];
      break;
    }
  }
  return s;
}

// Dijkstra's search for a shortest augmenting path from a free column over
// the reduced costs c_ij − u_i − v_j ≥ 0. Rows carry the distances; a
// matched row leads on to its column. The heap holds (distance, row) pairs
// and leaves a stale pair behind when a row's distance drops, which keeps
// its sifting within the heap's own memory. Only the rows a search touched
// are reset, so a search costs what it explores.
//
// Where a search finds no free row, no later one can reach a free row
// through the rows it reached either, so those rows are closed: skipped by
// every later search, which keeps the searches of a singular matrix from
// exploring the same dead region over and over.
class PathSearch {
 public:
  PathSearch(const ColumnCosts& a, Assignment& s) : a_(a), s_(s), via_(s.rows.size(), none) {}

  // Augments the matching along a shortest path from the free column j0 and
  // updates the duals; false where no path exists.
  bool augment(std::int32_t j0) {
    bound_ = infinity;
    free_row_ = none;
    relax(j0, 0.0);
    while (!heap_.empty() && heap_.front().first < bound_) {
      const auto [d, i] = heap_.front();
      std::pop_heap(heap_.begin(), heap_.end(), std::greater<>());
      heap_.pop_back();
      Row& row = s_.rows[i];
      if (row.mark != open || d > row.dist) continue;
      row.mark = scanned;
      scanned_.push_back(i);
      relax(row.col, d);
    }
    const bool found = free_row_ != none;
    if (found) {
      update_duals(j0);
      flip_path(j0);
    } else {
      close_reached(j0);
    }
    reset();
    return found;
  }

  // The closed rows, grouped by the failed search that closed them (in the
  // order of those searches), and that search's column.
  const std::vector<std::int32_t>& closed_rows() const { return closed_rows_; }
  const std::vector<std::size_t>& block_start() const { return block_start_; }
  const std::vector<std::int32_t>& failed_columns() const { return failed_columns_; }

 private:
  static constexpr std::int32_t open = 0, scanned = 1, closed = 2;

  // Offers the rows of column j the distance base plus their reduced cost.
  void relax(std::int32_t j, double base) {
    const double v = s_.v[j];
    for (std::int64_t q = a_.ptr[j]; q < a_.ptr[j + 1]; ++q) {
      const std::int32_t i = a_.row[q];
      Row& row = s_.rows[i];
      if (row.mark != open) continue;
      const double d = base + (a_.cost[q] - row.u - v);
      if (d >= bound_) continue;
      if (row.col == none) {
        bound_ = d;
        free_row_ = i;
        via_[i] = j;
      } else if (d < row.dist) {
        if (row.dist == infinity) touched_.push_back(i);
        row.dist = d;
        via_[i] = j;
        heap_.emplace_back(d, i);
        std::push_heap(heap_.begin(), heap_.end(), std::greater<>());
      }
    }
  }

  // Lowers the reduced costs along the path to zero and keeps all others
  // nonnegative: a scanned row moves by bound − dist, and so does its column
  // the other way, keeping its matched entry tight.
  void update_duals(std::int32_t j0) {
    for (const std::int32_t i : scanned_) {
      Row& row = s_.rows[i];
      const double shift = bound_ - row.dist;
      row.u -= shift;
      s_.v[row.col] += shift;
    }
    s_.v[j0] += bound_;
  }

  void flip_path(std::int32_t j0) {
    for (std::int32_t i = free_row_;;) {
      const std::int32_t j = via_[i], previous = s_.row_of_col[j];
      s_.row_of_col[j] = i;
      s_.rows[i].col = j;
      if (j == j0) return;
      i = previous;
    }
  }

  // A failed search empties its heap, so every row it touched was scanned.
  void close_reached(std::int32_t j0) {
    block_start_.push_back(closed_rows_.size());
    failed_columns_.push_back(j0);
    for (const std::int32_t i : touched_) {
      s_.rows[i].mark = closed;
      closed_rows_.push_back(i);
    }
  }

  void reset() {
    for (const std::int32_t i : touched_) {
      Row& row = s_.rows[i];
      row.dist = infinity;
      if (row.mark == scanned) row.mark = open;
    }
    touched_.clear();
    scanned_.clear();
    heap_.clear();
  }

  const ColumnCosts& a_;
  Assignment& s_;
  std::vector<std::int32_t> via_;  // the column through which a row was reached
  std::vector<std::pair<double, std::int32_t>> heap_;
  std::vector<std::int32_t> touched_, scanned_;
  std::vector<std::int32_t> closed_rows_, failed_columns_;
  std::vector<std::size_t> block_start_;
  double bound_ = infinity;  // length of the shortest path to a free row found so far
  std::int32_t free_row_ = none;
};

// Closed rows take no part in later searches, so the entries joining them to
// columns those searches raised may have lost dual feasibility. The columns
// of a closed block (matched to its rows, or its failed column) have entries
// only in its rows and in rows closed before; lowering u on the block's rows
// and raising v on its columns by the same amount therefore leaves its own
// and later entries alone, and only the earlier blocks, handled next, feel it.
void restore_closed_feasibility(const PathSearch& search, const ColumnCosts& a, const std::int64_t* row_ptr,
                                const std::int32_t* col_idx, const double* magnitude, Assignment& s) {
  const auto& rows = search.closed_rows();
  const auto& start = search.block_start();
  const auto block_end = [&](std::size_t b) { return b + 1 < start.size() ? start[b + 1] : rows.size(); };
  std::vector<std::int32_t> block_of_col(s.v.size(), none);
  for (std::size_t b = 0; b < start.size(); ++b) {
    block_of_col[search.failed_columns()[b]] = static_cast<std::int32_t>(b);
    for (std::size_t k = start[b]; k < block_end(b); ++k) block_of_col[s.rows[rows[k]].col] = static_cast<std::int32_t>(b);
  }
  for (std::size_t b = start.size(); b-- > 0;) {
    const auto block = static_cast<std::int32_t>(b);
    double excess = 0.0;
    for (std::size_t k = start[b]; k < block_end(b); ++k) {
      const std::int32_t i = rows[k];
      for (std::int64_t p = row_ptr[i]; p < row_ptr[i + 1]; ++p) {
        const std::int32_t j = col_idx[p];
        if (!is_entry(magnitude[p]) || block_of_col[j] == block || s.row_of_col[j] == none) continue;
        excess = std::max(excess, s.rows[i].u + s.v[j] - (a.log_max[j] - std::log(magnitude[p])));
      }
    }
    for (std::size_t k = start[b]; k < block_end(b); ++k) {
      s.rows[rows[k]].u -= excess;
      s.v[s.rows[rows[k]].col] += excess;
    }
    s.v[search.failed_columns()[b]] += excess;
  }
}

// The log-domain scales of the matched part, log r_i = u_i and
// log c_j = v_j − log max_k |a_kj|, moved by the common t (r·e^t with c·e^−t
// leaves every r_i·a_ij·c_j alone) that makes the largest |log| of any scale
// as small as it can be, keeping the factors inside the double range.
void matched_log_scales(const ColumnCosts& a, const Assignment& s, std::vector<double>& log_r,
                        std::vector<double>& log_c) {
  double r_low = infinity, r_high = -infinity, c_low = infinity, c_high = -infinity;
  for (std::size_t i = 0; i < s.rows.size(); ++i) {
    if (s.rows[i].col == none) continue;
    log_r[i] = s.rows[i].u;
    r_low = std::min(r_low, log_r[i]);
    r_high = std::max(r_high, log_r[i]);
  }
  for (std::size_t j = 0; j < s.v.size(); ++j) {
    if (s.row_of_col[j] == none) continue;
    log_c[j] = s.v[j] - a.log_max[j];
    c_low = std::min(c_low, log_c[j]);
    c_high = std::max(c_high, log_c[j]);
  }
  if (r_low == infinity) return;
  const double t = (std::max(-r_low, c_high) - std::max(r_high, -c_low)) / 2.0;
  for (std::size_t i = 0; i < s.rows.size(); ++i)
    if (s.rows[i].col != none) log_r[i] += t;
  for (std::size_t j = 0; j < s.v.size(); ++j)
    if (s.row_of_col[j] != none) log_c[j] -= t;
}

// An unmatched row's entries all lie in matched columns, and an unmatched
// column's in matched rows (an entry joining the two would extend a maximum
// matching), so each takes the scale that brings its largest entry to 1.
void unmatched_log_scales(std::int32_t n, const std::int64_t* row_ptr, const std::int32_t* col_idx,
                          const double* magnitude, const ColumnCosts& a, const Assignment& s,
                          std::vector<double>& log_r, std::vector<double>& log_c) {
  for (std::int32_t i = 0; i < n; ++i) {
    if (s.rows[i].col != none) continue;
    double largest = -infinity;
    for (std::int64_t p = row_ptr[i]; p < row_ptr[i + 1]; ++p)
      if (is_entry(magnitude[p])) largest = std::max(largest, std::log(magnitude[p]) + log_c[col_idx[p]]);
    if (largest > -infinity) log_r[i] = -largest;
  }
  for (std::int32_t j = 0; j < n; ++j) {
    if (s.row_of_col[j] != none) continue;
    double largest = -infinity;
    for (std::int64_t q = a.ptr[j]; q < a.ptr[j + 1]; ++q)
      largest = std::max(largest, log_r[a.row[q]] + a.log_max[j] - a.cost[q]);
    if (largest > -infinity) log_c[j] = -largest;
  }
}

std::vector<double> clamped_exp(const std::vector<double>& logs) {
  std::vector<double> scale(logs.size());
  std::transform(logs.begin(), logs.end(), scale.begin(),
                 [](double x) { return std::exp(std::clamp(x, -max_log_scale, max_log_scale)); });
  return scale;
}

// Gives the unmatched rows the unmatched columns, in increasing order.
std::vector<std::int32_t> completed_permutation(const Assignment& s) {
  std::vector<std::int32_t> column_of_row(s.rows.size());
  std::size_t j = 0;
  for (std::size_t i = 0; i < s.rows.size(); ++i) {
    if (s.rows[i].col != none) {
      column_of_row[i] = s.rows[i].col;
      continue;
    }
    while (s.row_of_col[j] != none) ++j;
    column_of_row[i] = static_cast<std::int32_t>(j++);
  }
  return column_of_row;
}

}  // namespace

Matching MaximumProductMatching(std::int32_t n, const std::int64_t* row_ptr, const std::int32_t* col_idx,
                                const double* magnitude) {
  const ColumnCosts a = column_costs(n, row_ptr, col_idx, magnitude);
  Assignment s = initial_assignment(a, n);
  PathSearch search(a, s);
  for (std::int32_t j = 0; j < n; ++j)
    if (s.row_of_col[j] == none && a.ptr[j] < a.ptr[j + 1]) search.augment(j);
  restore_closed_feasibility(search, a, row_ptr, col_idx, magnitude, s);

  std::vector<double> log_r(static_cast<std::size_t>(n), 0.0), log_c(static_cast<std::size_t>(n), 0.0);
  matched_log_scales(a, s, log_r, log_c);
  unmatched_log_scales(n, row_ptr, col_idx, magnitude, a, s, log_r, log_c);

  Matching m;
  m.matched = static_cast<std::int32_t>(
      std::count_if(s.row_of_col.begin(), s.row_of_col.end(), [](std::int32_t i) { return i != none; }));
  m.column_of_row = completed_permutation(s);
  m.row_scale = clamped_exp(log_r);
  m.column_scale = clamped_exp(log_c);
  return m;
}

std::vector<double> SymmetricMatchingScale(const Matching& m) {
  std::vector<double> d(m.row_scale.size());
  // The square roots are taken apart so that the product cannot overflow.
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = std::sqrt(m.row_scale[i]) * std::sqrt(m.column_scale[i]);
  return d;
}
