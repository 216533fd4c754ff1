#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "analysis/branches.h"
#include "analysis/front_tree_ops.h"
#include "tests/support/test_support.h"

namespace {

// A tree of one-pivot nodes whose work is set by nrow alone.
std::unique_ptr<FrontTree> tree_of(std::vector<std::int32_t> parent, std::vector<std::int32_t> nrow) {
  auto tree = std::make_unique<FrontTree>();
  tree->nnodes = tree->ncol = static_cast<std::int32_t>(parent.size());
  tree->parent = std::move(parent);
  tree->nrow = std::move(nrow);
  tree->npiv.assign(tree->parent.size(), 1);
  RebuildChildLists(*tree);
  return tree;
}

BranchSet distribute(std::unique_ptr<FrontTree> tree, std::int32_t threads) {
  auto solver = make_test_solver(0);
  solver->ncpu = threads;
  solver->front_tree = std::move(tree);
  DistributeBranches(*solver, nullptr);
  return solver->branches;
}

TEST(DistributeBranches, OneThreadTakesTheWholeTree) {
  const BranchSet set = distribute(tree_of({2, 2, -1}, {3, 3, 0}), 1);
  EXPECT_EQ(set.BranchCount, (std::vector<std::int32_t>{1}));
  EXPECT_EQ(set.BranchRoots[0], (std::vector<std::int32_t>{2}));
  EXPECT_EQ(set.BranchList, (std::vector<std::int32_t>{2}));
}

TEST(DistributeBranches, EqualChildrenGoToDifferentThreads) {
  const BranchSet set = distribute(tree_of({2, 2, -1}, {3, 3, 0}), 2);
  EXPECT_EQ(set.BranchCount, (std::vector<std::int32_t>{1, 1}));
  ASSERT_EQ(set.BranchRoots[0].size(), 1u);
  ASSERT_EQ(set.BranchRoots[1].size(), 1u);
  EXPECT_NE(set.BranchRoots[0][0], set.BranchRoots[1][0]);
  EXPECT_EQ(set.BranchList, (std::vector<std::int32_t>{0, 1}));
}

TEST(DistributeBranches, LeafAsHeaviestCandidateStopsTheSplitting) {
  // Root 1 over the single leaf 0: after one split the leaf is the only branch.
  const BranchSet set = distribute(tree_of({1, -1}, {4, 0}), 4);
  EXPECT_EQ(set.BranchList, (std::vector<std::int32_t>{0}));
  std::int32_t total = 0;
  for (std::int32_t count : set.BranchCount) total += count;
  EXPECT_EQ(total, 1);
}

TEST(DistributeBranches, HeavyBranchIsSplitUntilLoadsBalance) {
  // Root 6 over a heavy node 4 (children 0, 1, 2, 3 of equal work) and a light
  // leaf 5. Splitting 4 spreads its children over the three threads.
  const BranchSet set = distribute(tree_of({4, 4, 4, 4, 6, 6, -1}, {5, 5, 5, 5, 1, 1, 0}), 3);
  std::vector<std::int32_t> owner(7, -1);
  for (std::int32_t t = 0; t < 3; ++t)
    for (std::int32_t r : set.BranchRoots[t]) owner[r] = t;
  EXPECT_EQ(set.BranchList, (std::vector<std::int32_t>{0, 1, 2, 3, 5}));
  for (std::int32_t t = 0; t < 3; ++t) EXPECT_GE(set.BranchCount[t], 1);
  EXPECT_NE(owner[0], owner[1]);
  EXPECT_NE(owner[1], owner[2]);
  EXPECT_NE(owner[0], owner[2]);
  for (const auto& roots : set.BranchRoots) EXPECT_TRUE(std::is_sorted(roots.begin(), roots.end()));
}

}  // namespace
