#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "analysis/front_tree_ops.h"
#include "analysis/working_storage.h"
#include "tests/support/test_support.h"

namespace {

using Nodes = std::vector<std::int32_t>;
using Sizes = std::vector<std::int64_t>;

// Stack peak of a parent with front f2 whose children, eliminated in this
// order, have the given subtree peaks and update sizes.
std::int64_t peak_for_order(std::int64_t f2, const Nodes& order, const Sizes& peak, const Sizes& update) {
  std::int64_t result = f2, stacked = 0;
  for (std::int32_t h : order) {
    result = std::max(result, stacked + std::max(f2, peak[h]));
    stacked += update[h];
  }
  return result;
}

Nodes children_of(const Nodes& parent, std::int32_t s) {
  Nodes children;
  for (std::int32_t h = 0; h < s; ++h)
    if (parent[h] == s) children.push_back(h);
  return children;
}

// Smallest stack peak of every subtree (parent[s] > s) over all child orders,
// by trying them all.
Sizes best_peaks(const Nodes& parent, const Sizes& f2, const Sizes& update) {
  Sizes best(parent.size());
  for (std::int32_t s = 0; s < static_cast<std::int32_t>(parent.size()); ++s) {
    Nodes order = children_of(parent, s);
    best[s] = peak_for_order(f2[s], order, best, update);
    while (std::next_permutation(order.begin(), order.end()))
      best[s] = std::min(best[s], peak_for_order(f2[s], order, best, update));
  }
  return best;
}

TEST(MinWstore, ChosenChildOrdersReachTheSmallestPeak) {
  const std::int32_t n = 9;
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    std::mt19937_64 rng(seed);
    auto draw = [&](std::int32_t lo, std::int32_t hi) { return std::uniform_int_distribution(lo, hi)(rng); };
    for (std::int32_t symmetry : {0, 1}) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << " symmetry " << symmetry);
      FrontTree tree;
      tree.nnodes = tree.ncol = n;
      Sizes rows(n), f2(n), update(n), peak(n), key(n);
      for (std::int32_t s = 0; s < n; ++s) {
        tree.parent.push_back(s + 1 < n ? draw(s + 1, n - 1) : -1);
        tree.npiv.push_back(draw(1, 4));
        tree.nrow.push_back(draw(0, 7));
        rows[s] = tree.nrow[s];
        f2[s] = (tree.npiv[s] + rows[s]) * (tree.npiv[s] + rows[s]);
        update[s] = UpdateSize(symmetry, rows[s]);
      }
      RebuildChildLists(tree);

      // Front tree: the sibling lists are rewritten into the best order.
      Sizes best = best_peaks(tree.parent, f2, update);
      TreeMinWstore(tree, symmetry, peak.data(), key.data());
      for (std::int32_t s = 0; s < n; ++s) {
        EXPECT_EQ(peak[s], best[s]) << "node " << s;
        Nodes order;
        for (std::int32_t h = tree.firstChild[s]; h != -1; h = tree.nextSibling[h]) order.push_back(h);
        EXPECT_EQ(peak_for_order(f2[s], order, peak, update), best[s]) << "node " << s;
        std::sort(order.begin(), order.end());
        EXPECT_EQ(order, children_of(tree.parent, s)) << "node " << s;
      }
    }
  }
}

// Root 4 (front 1) over 2 (front 3, rows 1) and 3 (front 2, rows 1); 2 over
// leaves 0 (front 3, rows 2) and 1 (front 2, rows 1).
TEST(StackPeak, SubtreeAndMultiThreadPeaksOfASmallTree) {
  auto tree = std::make_unique<FrontTree>();
  tree->nnodes = tree->ncol = 5;
  tree->parent = {2, 2, 4, 4, -1};
  tree->npiv = {1, 1, 2, 1, 1};
  tree->nrow = {2, 1, 1, 1, 0};
  RebuildChildLists(*tree);
  // Postorder 0..4: 9; 4 above u(0) = 3; 9 above 3; u(0) popped, u(2) = 1
  // pushed: 4 above 1; 1. Peak 12, plus one.
  EXPECT_EQ(SubtreeStackPeak(*tree, 0, 4), 13);
  EXPECT_EQ(SubtreeStackPeak(*tree, 1, 4), 14);  // u(0) = 4 under the front of 2
  EXPECT_EQ(SubtreeStackPeak(*tree, 0, 3), 5);

  auto solver = make_test_solver(0);
  solver->front_tree = std::move(tree);
  solver->ncpu = 1;
  EXPECT_EQ(EstimateMultiThreadMemory(*solver), 13) << "one thread: the whole tree's stack";
  solver->ncpu = 2;
  solver->branches.BranchList = {2, 3};
  // Branch 2 (peak 13) above its update 1, branch 3 (peak 5) above both
  // updates, 2; the root front 1 above 2: max(14, 7, 3) + 1.
  EXPECT_EQ(EstimateMultiThreadMemory(*solver), 15);
}

}  // namespace
