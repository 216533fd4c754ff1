#include "analysis/tree_symbolic.h"

#include <algorithm>
#include <vector>

#include "core/memory_monitor.h"
#include "core/tessar.h"

namespace {

using IndexList = std::vector<std::int32_t>;

// Charges the front lists to the memory monitor as they grow, in whole KB.
class ListCharge {
 public:
  explicit ListCharge(tessar& solver) : solver_(solver) {}
  ~ListCharge() {
    if (kb_of_bytes(bytes_) > 0) release_memory(solver_, kb_of_bytes(bytes_));
  }
  ListCharge(const ListCharge&) = delete;
  ListCharge& operator=(const ListCharge&) = delete;

  void add(std::size_t entries) {
    const std::uint64_t before = kb_of_bytes(bytes_);
    bytes_ += entries * sizeof(std::int32_t);
    if (kb_of_bytes(bytes_) > before) add_memory(solver_, kb_of_bytes(bytes_) - before);
  }

 private:
  tessar& solver_;
  std::uint64_t bytes_ = 0;
};

class FrontLists {
 public:
  FrontLists(tessar& solver, FrontTree& tree, const PatternView& pattern)
      : tree_(tree), pattern_(pattern), lists_(static_cast<std::size_t>(tree.nnodes)),
        mark_(static_cast<std::size_t>(tree.ncol), -1), first_column_(first_columns(tree)), charge_(solver) {}

  void build() {
    for (std::int32_t s = 0; s < tree_.nnodes; ++s) build_node(s);
  }

  const std::vector<IndexList>& lists() const { return lists_; }

 private:
  static std::vector<std::int32_t> first_columns(const FrontTree& tree) {
    std::vector<std::int32_t> first(static_cast<std::size_t>(tree.nnodes), tree.ncol);
    for (std::int32_t c = tree.ncol - 1; c >= 0; --c) first[tree.colNode[c]] = c;
    return first;
  }

  void add_row(IndexList& list, std::int32_t s, std::int32_t r) {
    if (mark_[r] == s) return;
    mark_[r] = s;
    list.push_back(r);
  }

  void build_node(std::int32_t s) {
    IndexList list;
    const std::int32_t f = first_column_[s];
    for (std::int32_t c = f; c < f + tree_.npiv[s]; ++c) add_row(list, s, c);
    for (std::int32_t h = tree_.firstChild[s]; h != -1; h = tree_.nextSibling[h]) add_child_rows(list, s, lists_[h]);
    for (std::int32_t c = f; c < f + tree_.npiv[s]; ++c) add_pattern_rows(list, s, c);
    tree_.nrow[s] = static_cast<std::int32_t>(list.size()) - tree_.npiv[s];
    std::sort(list.begin(), list.end(), [this](std::int32_t a, std::int32_t b) {
      return tree_.colNode[a] != tree_.colNode[b] ? tree_.colNode[a] < tree_.colNode[b] : a < b;
    });
    list.shrink_to_fit();
    charge_.add(list.size());
    lists_[s] = std::move(list);
  }

  // The child's rows beyond s, read from the end of its sorted list.
  void add_child_rows(IndexList& list, std::int32_t s, const IndexList& child) {
    for (auto it = child.rbegin(); it != child.rend() && tree_.colNode[*it] > s; ++it) add_row(list, s, *it);
  }

  void add_pattern_rows(IndexList& list, std::int32_t s, std::int32_t c) {
    for (std::int64_t e = pattern_.row_begin(c); e < pattern_.row_end(c); ++e) {
      const std::int32_t r = pattern_.entry(e);
      if (tree_.colNode[r] > s) add_row(list, s, r);
    }
  }

  FrontTree& tree_;
  const PatternView& pattern_;
  std::vector<IndexList> lists_;
  std::vector<std::int32_t> mark_;
  std::vector<std::int32_t> first_column_;
  ListCharge charge_;
};

void store_supernodes(tessar& solver, const FrontTree& tree, const std::vector<IndexList>& lists) {
  solver.NSuper = tree.nnodes;
  solver.SNode.allocate(solver, static_cast<std::size_t>(tree.nnodes) + 1, "No memory for SNode");
  for (std::int32_t s = 0; s < tree.nnodes; ++s) solver.SNode[s] = lists[s].front();
  std::sort(solver.SNode.begin(), solver.SNode.begin() + tree.nnodes);
  solver.SNode[tree.nnodes] = tree.ncol;
}

void store_structure(tessar& solver, const FrontTree& tree, const std::vector<IndexList>& lists) {
  std::int64_t size = 0;
  for (const auto& list : lists) size += static_cast<std::int64_t>(list.size()) - 1;
  solver.JU.allocate(solver, static_cast<std::size_t>(size), "Can't allocate memory for IU, JU, IJU");
  solver.sizeJU = size;
  std::vector<std::int32_t> by_first(static_cast<std::size_t>(tree.nnodes));
  for (std::int32_t s = 0; s < tree.nnodes; ++s) by_first[s] = s;
  std::sort(by_first.begin(), by_first.end(),
            [&lists](std::int32_t a, std::int32_t b) { return lists[a].front() < lists[b].front(); });
  std::int64_t pos = 0;
  solver.IU[0] = 0;
  for (std::int32_t s : by_first) {
    const IndexList& list = lists[s];
    const std::int32_t f = list.front();
    const auto length = static_cast<std::int64_t>(list.size());
    for (std::int32_t i = 0; i < tree.npiv[s]; ++i) {
      solver.IU[f + i + 1] = solver.IU[f + i] + length - i;
      solver.IJU[f + i] = pos + i;
    }
    std::copy(list.begin() + 1, list.end(), solver.JU.begin() + pos);
    pos += length - 1;
  }
}

}  // namespace

void TreeSymbolicFactor(tessar& solver, FrontTree& tree, const PatternView& pattern) {
  FrontLists fronts(solver, tree, pattern);
  fronts.build();
  store_supernodes(solver, tree, fronts.lists());
  store_structure(solver, tree, fronts.lists());
}
