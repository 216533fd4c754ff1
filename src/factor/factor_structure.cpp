#include "factor/factor_structure.h"

#include <algorithm>

#include "core/tessar.h"

namespace {

constexpr const char* no_memory = "Can't allocate memory for factorization";

}  // namespace

void FactorStructure::start(tessar& solver, std::int32_t n) {
  solver_ = &solver;
  n_ = n;
  names_.allocate(solver, static_cast<std::size_t>(std::max<std::int64_t>(solver.sizeJU, 0)) + 2 * n, no_memory);
  used_ = 0;
  eliminated_ = 0;
  blocks_.clear();
}

void FactorStructure::append(const std::int32_t* names, std::int64_t count) {
  const auto need = static_cast<std::size_t>(used_ + count);
  if (need > names_.size()) names_.resize(std::max(need, names_.size() + names_.size() / 2), no_memory);
  std::copy_n(names, count, names_.data() + used_);
  used_ += count;
}

void FactorStructure::add_block(std::int32_t s, const std::int32_t* names, std::int32_t k, std::int64_t rows,
                                const std::int32_t* record) {
  if (eliminated_ + k > n_) solver_->fatal("Memory error", 1);
  blocks_.push_back({s, k, used_, rows});
  append(names, k + rows);
  append(record, k);
  eliminated_ += k;
}

std::vector<std::int32_t> FactorStructure::rewrite(tessar& solver, bool symmetric,
                                                   std::vector<std::int32_t>* supernode_number) {
  if (eliminated_ != n_) solver.fatal("Memory error", 1);
  std::sort(blocks_.begin(), blocks_.end(), [](const Block& x, const Block& y) { return x.supernode < y.supernode; });
  std::vector<std::int32_t> number(static_cast<std::size_t>(n_));
  std::int32_t next = 0;
  std::int32_t nsuper = 0;
  std::int64_t size_ju = 0;
  for (const Block& b : blocks_) {
    for (std::int32_t t = 0; t < b.pivots; ++t) number[names_[b.start + t]] = next++;
    if (b.pivots == 0) continue;
    ++nsuper;
    size_ju += b.pivots + b.rows - 1;
  }
  bool moved = false;
  for (std::int32_t j = 0; j < n_ && !moved; ++j) moved = number[j] != j;
  if (supernode_number) {
    std::int32_t largest = -1;
    for (const Block& b : blocks_) largest = std::max(largest, b.supernode);
    supernode_number->assign(static_cast<std::size_t>(largest + 1), -1);
  }

  solver.NSuper = nsuper;
  solver.sizeJU = size_ju;
  solver.SNode.allocate(solver, static_cast<std::size_t>(nsuper) + 1, no_memory);
  solver.IU.allocate(solver, static_cast<std::size_t>(n_) + 1, no_memory);
  solver.IJU.allocate(solver, static_cast<std::size_t>(n_), no_memory);
  solver.JU.allocate(solver, static_cast<std::size_t>(size_ju), no_memory);
  solver.PivotOrder.allocate(solver, static_cast<std::size_t>(n_), no_memory);
  std::vector<std::int32_t> record(static_cast<std::size_t>(n_));
  std::int32_t s = 0, f = 0;
  std::int64_t ju = 0;
  solver.IU[0] = 0;
  for (const Block& b : blocks_) {
    const std::int32_t k = b.pivots;
    if (k == 0) continue;
    const std::int64_t m = k + b.rows;
    if (supernode_number) (*supernode_number)[static_cast<std::size_t>(b.supernode)] = s;
    solver.SNode[s++] = f;
    for (std::int32_t i = 0; i < k; ++i) {
      solver.IJU[f + i] = ju + i;
      solver.IU[f + i + 1] = solver.IU[f + i] + (m - i);
      record[static_cast<std::size_t>(f + i)] = names_[b.start + m + i];
    }
    for (std::int64_t t = 1; t < m; ++t) solver.JU[ju + t - 1] = number[names_[b.start + t]];
    ju += m - 1;
    f += k;
  }
  solver.SNode[nsuper] = n_;
  solver.NzU = solver.IU[n_];

  solver.Num2x2Pivots = 0;
  for (std::int32_t c = 0; c < n_; ++c) {
    if (!symmetric) {
      solver.PivotOrder[c] = number[record[c]];
    } else if (record[c] == 2) {
      solver.PivotOrder[c] = solver.PivotOrder[c + 1] = -(c + 1);
      ++solver.Num2x2Pivots;
      ++c;
    } else {
      solver.PivotOrder[c] = c;
    }
  }
  names_.release();
  blocks_.clear();
  if (!moved) return {};
  for (std::int32_t i = 0; i < n_; ++i) solver.iperm[i] = number[solver.iperm[i]];
  if (solver.perm.size() == static_cast<std::size_t>(n_))
    for (std::int32_t i = 0; i < n_; ++i) solver.perm[solver.iperm[i]] = i;
  return number;
}
