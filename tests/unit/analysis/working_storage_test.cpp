#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "analysis/front_tree_ops.h"
#include "analysis/symbolic_factor.h"
#include "analysis/working_storage.h"
#include "tests/support/test_support.h"

namespace {

// A random tree: parent[s] > s, single root nnodes − 1.
FrontTree random_tree(std::int32_t nodes, std::mt19937_64& rng) {
  FrontTree tree;
  tree.nnodes = tree.ncol = nodes;
  tree.parent.assign(static_cast<std::size_t>(nodes), -1);
  tree.npiv.assign(static_cast<std::size_t>(nodes), 1);
  tree.nrow.assign(static_cast<std::size_t>(nodes), 0);
  for (std::int32_t s = 0; s + 1 < nodes; ++s)
    tree.parent[s] = std::uniform_int_distribution<std::int32_t>(s + 1, nodes - 1)(rng);
  for (std::int32_t s = 0; s < nodes; ++s) {
    tree.npiv[s] = std::uniform_int_distribution<std::int32_t>(1, 4)(rng);
    tree.nrow[s] = std::uniform_int_distribution<std::int32_t>(0, 7)(rng);
  }
  RebuildChildLists(tree);
  return tree;
}

// Stack peak of a parent with front f2 whose children, in this order, have the
// given subtree peaks and update sizes.
std::int64_t peak_for_order(std::int64_t f2, const std::vector<std::int32_t>& order,
                            const std::vector<std::int64_t>& peak, const std::vector<std::int64_t>& update) {
  std::int64_t result = f2, stacked = 0;
  for (std::int32_t h : order) {
    result = std::max(result, stacked + std::max(f2, peak[h]));
    stacked += update[h];
  }
  return result;
}

// Smallest subtree peak of every node over all child orders, by trying them all.
std::vector<std::int64_t> brute_force_peaks(const std::vector<std::vector<std::int32_t>>& children,
                                            const std::vector<std::int64_t>& f2,
                                            const std::vector<std::int64_t>& update) {
  std::vector<std::int64_t> best(children.size(), 0);
  for (std::size_t s = 0; s < children.size(); ++s) {
    std::vector<std::int32_t> order = children[s];
    std::sort(order.begin(), order.end());
    best[s] = peak_for_order(f2[s], order, best, update);
    while (std::next_permutation(order.begin(), order.end()))
      best[s] = std::min(best[s], peak_for_order(f2[s], order, best, update));
  }
  return best;
}

std::vector<std::int32_t> siblings(const FrontTree& tree, std::int32_t s) {
  std::vector<std::int32_t> list;
  for (std::int32_t h = tree.firstChild[s]; h != -1; h = tree.nextSibling[h]) list.push_back(h);
  return list;
}

TEST(TreeMinWstore, ChosenChildOrderReachesTheSmallestPeak) {
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    std::mt19937_64 rng(seed);
    for (std::int32_t symmetry : {0, 1}) {
      FrontTree tree = random_tree(9, rng);
      std::vector<std::vector<std::int32_t>> children(9);
      std::vector<std::int64_t> f2(9), update(9);
      for (std::int32_t s = 0; s < 9; ++s) {
        children[s] = siblings(tree, s);
        const std::int64_t front = tree.npiv[s] + tree.nrow[s];
        f2[s] = front * front;
        update[s] = UpdateSize(symmetry, tree.nrow[s]);
      }
      const auto expected = brute_force_peaks(children, f2, update);
      std::vector<std::int64_t> peak(9), key(9);
      TreeMinWstore(tree, symmetry, peak.data(), key.data());
      for (std::int32_t s = 0; s < 9; ++s) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << " symmetry " << symmetry << " node " << s);
        EXPECT_EQ(peak[s], expected[s]);
        const auto order = siblings(tree, s);
        EXPECT_EQ(peak_for_order(f2[s], order, peak, update), expected[s]);
        auto sorted = order;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, children[s]);
        for (std::int32_t h : order) EXPECT_EQ(tree.parent[h], s);
      }
    }
  }
}

TEST(ColumnMinWstore, ReversedChildListsReachTheSmallestPeak) {
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    std::mt19937_64 rng(seed);
    const std::int32_t n = 10;
    auto solver = make_test_solver(0);
    std::vector<std::int32_t> parent(n);
    std::vector<std::int64_t> count(n);
    for (std::int32_t c = 0; c < n; ++c) {
      parent[c] = c + 1 < n ? std::uniform_int_distribution<std::int32_t>(c + 1, n - 1)(rng) : -1;
      count[c] = std::uniform_int_distribution<std::int64_t>(0, 9)(rng);
    }
    BuildChildLists(*solver, n, parent.data());
    std::vector<std::vector<std::int32_t>> children(n);
    std::vector<std::int64_t> f2(n), update(n);
    for (std::int32_t c = 0; c < n; ++c) {
      children[c].assign(solver->ChildList.begin() + solver->ChildPtr[c],
                         solver->ChildList.begin() + solver->ChildPtr[c + 1]);
      f2[c] = (count[c] + 1) * (count[c] + 1);
      update[c] = UpdateSize(0, count[c]);
    }
    const auto expected = brute_force_peaks(children, f2, update);
    std::vector<std::int64_t> peak(n), key(n);
    ColumnMinWstore(*solver, n, count.data(), peak.data(), key.data());
    for (std::int32_t c = 0; c < n; ++c) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << " column " << c);
      EXPECT_EQ(peak[c], expected[c]);
      std::vector<std::int32_t> eliminated(solver->ChildList.begin() + solver->ChildPtr[c],
                                           solver->ChildList.begin() + solver->ChildPtr[c + 1]);
      EXPECT_TRUE(std::is_sorted(key.begin() + solver->ChildPtr[c], key.begin() + solver->ChildPtr[c + 1]));
      std::reverse(eliminated.begin(), eliminated.end());
      EXPECT_EQ(peak_for_order(f2[c], eliminated, peak, update), expected[c]);
    }
  }
}

// Root 4 (front 1) over 2 (front 3, rows 1) and 3 (front 2, rows 1); 2 over
// leaves 0 (front 3, rows 2) and 1 (front 2, rows 1).
FrontTree small_tree() {
  FrontTree tree;
  tree.nnodes = tree.ncol = 5;
  tree.parent = {2, 2, 4, 4, -1};
  tree.npiv = {1, 1, 2, 1, 1};
  tree.nrow = {2, 1, 1, 1, 0};
  RebuildChildLists(tree);
  return tree;
}

TEST(SubtreeStackPeak, FollowsTheStackOfThePostorder) {
  const FrontTree tree = small_tree();
  // 0: 9; push u(2)=3 -> 3. 1: 4+3=7; no sibling. 2: 9+3=12; pop 3 -> 0; push u(1)=1.
  // 3: 4+1=5. 4: 1+1=2; pop 1 -> 0.  Peak 12, plus one.
  EXPECT_EQ(SubtreeStackPeak(tree, 0, 4), 13);
  EXPECT_EQ(SubtreeStackPeak(tree, 0, 2), 13);  // 9, then 7 above 3, then 12
  EXPECT_EQ(SubtreeStackPeak(tree, 1, 4), 14);  // u(2)=4 under the front of 2
  EXPECT_EQ(SubtreeStackPeak(tree, 0, 3), 5);
}

TEST(EstimateMultiThreadMemory, SharedStackAboveTheBranches) {
  auto solver = make_test_solver(0);
  solver->front_tree = std::make_unique<FrontTree>(small_tree());
  solver->ncpu = 1;
  EXPECT_EQ(EstimateMultiThreadMemory(*solver), 13);
  solver->ncpu = 2;
  solver->branches.BranchList = {2, 3};
  // Node 4: branch 2 pushes u(1)=1, peak 1+13; branch 3 pushes 1, peak 2+5;
  // front 1 over stack 2 gives max(14, 3) + 1.
  EXPECT_EQ(EstimateMultiThreadMemory(*solver), 15);
}

TEST(UpdateSize, SquaredFrontOrderStaysExactBeyond32Bits) {
  EXPECT_EQ(UpdateSize(1, 100000), 10000000000LL);
  EXPECT_EQ(UpdateSize(0, 100000), 5000050000LL);
}

}  // namespace
