#include "analysis/branches.h"

#include <algorithm>
#include <map>
#include <vector>

#include "analysis/front_tree_ops.h"
#include "core/tessar.h"

namespace {

constexpr std::int32_t none = -1;
constexpr double balance_goal = 0.98;

std::vector<double> subtree_work(tessar& solver, const std::int64_t* rowptr) {
  const FrontTree& tree = *solver.front_tree;
  std::vector<double> work(static_cast<std::size_t>(tree.nnodes), 0.0);
  for (std::int32_t s : PostorderNodes(tree)) {
    work[s] += NodeWork(tree, solver.symmetry, rowptr, s);
    if (tree.parent[s] != none) work[tree.parent[s]] += work[s];
  }
  return work;
}

// Greedy splitting state. Multimaps keep equal keys in insertion order, so a
// new entry goes after the entries with the same key.
class BranchSplitter {
 public:
  BranchSplitter(const FrontTree& tree, std::vector<double> work, std::int32_t threads)
      : tree_(tree), work_(std::move(work)), load_entry_(static_cast<std::size_t>(threads)) {
    for (std::int32_t t = 0; t < threads; ++t) load_entry_[t] = loads_.emplace(0.0, t);
    add_branch(tree.root);
  }

  void split(std::int32_t threads) {
    while (best_balance_ < balance_goal || static_cast<std::int32_t>(candidates_.size()) < threads) {
      const auto heaviest = std::prev(candidates_.end());
      const std::int32_t b = heaviest->second;
      if (tree_.firstChild[b] == none) break;
      change_load(owner_[b], -work_[b]);
      for (std::int32_t h = tree_.firstChild[b]; h != none; h = tree_.nextSibling[h]) add_branch(h);
      candidates_.erase(heaviest);
      owner_.erase(b);
      best_balance_ = std::max(best_balance_, balance());
    }
  }

  double best_balance() const { return best_balance_; }
  const std::map<std::int32_t, std::int32_t>& owners() const { return owner_; }

 private:
  void add_branch(std::int32_t h) {
    candidates_.emplace(work_[h], h);
    const std::int32_t t = loads_.begin()->second;
    owner_[h] = t;
    change_load(t, work_[h]);
  }

  void change_load(std::int32_t t, double delta) {
    const double load = load_entry_[t]->first + delta;
    loads_.erase(load_entry_[t]);
    load_entry_[t] = loads_.emplace(load, t);
  }

  // Smallest over largest load; loads that are all zero count as balanced.
  double balance() const {
    const double largest = std::prev(loads_.end())->first;
    return largest > 0.0 ? loads_.begin()->first / largest : 1.0;
  }

  const FrontTree& tree_;
  std::vector<double> work_;
  std::multimap<double, std::int32_t> candidates_;
  std::multimap<double, std::int32_t> loads_;
  std::vector<std::multimap<double, std::int32_t>::iterator> load_entry_;
  std::map<std::int32_t, std::int32_t> owner_;
  double best_balance_ = 0.0;
};

void store_branches(BranchSet& set, const std::map<std::int32_t, std::int32_t>& owners, std::int32_t threads) {
  set.BranchCount.assign(static_cast<std::size_t>(threads), 0);
  for (const auto& [node, thread] : owners) ++set.BranchCount[thread];
  set.BranchRoots.assign(static_cast<std::size_t>(threads), {});
  for (std::int32_t t = 0; t < threads; ++t) set.BranchRoots[t].reserve(static_cast<std::size_t>(set.BranchCount[t]));
  set.BranchList.clear();
  for (const auto& [node, thread] : owners) {
    set.BranchRoots[thread].push_back(node);
    set.BranchList.push_back(node);
  }
}

}  // namespace

double NodeWork(const FrontTree& tree, std::int32_t symmetry, const std::int64_t* rowptr, std::int32_t s) {
  const double k = tree.npiv[s], m = tree.nrow[s];
  double w = (k + 1) * k * m + k * k * k / 3 + 2 * k * m * (m + 1);
  if (symmetry == 1) w *= 2;
  if (!tree.nodeCols.empty())
    for (std::int32_t c : tree.nodeCols[s]) w += static_cast<double>(rowptr[c + 1] - rowptr[c]);
  return w;
}

void DistributeBranches(tessar& solver, const std::int64_t* rowptr) {
  const std::int32_t threads = std::max(solver.ncpu, 1);
  BranchSplitter splitter(*solver.front_tree, subtree_work(solver, rowptr), threads);
  if (threads >= 2) splitter.split(threads);
  store_branches(solver.branches, splitter.owners(), threads);
  OrlDebug(2, L"Minimum load thread / Maximum load thread = %lf\n", splitter.best_balance());
  std::int32_t total = 0;
  for (std::int32_t count : solver.branches.BranchCount) total += count;
  OrlDebug(2, L"Total number of branches to be computed in different threads = %d\n", total);
}
