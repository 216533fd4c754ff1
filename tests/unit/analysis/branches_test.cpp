#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "analysis/branches.h"
#include "analysis/front_tree_ops.h"
#include "tests/support/test_support.h"

namespace {

using Nodes = std::vector<std::int32_t>;

struct BranchCase {
  const char* name;
  Nodes parent, nrow;  // one-pivot nodes whose work is set by nrow alone
  std::int32_t threads;
  Nodes branch_list;  // all branch roots, ascending
  Nodes apart;        // roots that must go to pairwise different threads
};

// Every root lies on exactly one thread, the per-thread lists are sorted and
// counted, and a thread stays idle only when there are fewer branches than threads.
TEST(DistributeBranches, SplitsTheTreeIntoBalancedBranches) {
  const BranchCase cases[] = {
      {"one thread takes the whole tree", {2, 2, -1}, {3, 3, 0}, 1, {2}, {}},
      {"equal children go to different threads", {2, 2, -1}, {3, 3, 0}, 2, {0, 1}, {0, 1}},
      {"a leaf as heaviest candidate stops the splitting", {1, -1}, {4, 0}, 4, {0}, {}},
      {"a heavy branch is split until the loads balance", {4, 4, 4, 4, 6, 6, -1}, {5, 5, 5, 5, 1, 1, 0}, 3,
       {0, 1, 2, 3, 5}, {0, 1, 2}},
  };
  for (const BranchCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto solver = make_test_solver(0);
    solver->ncpu = c.threads;
    auto tree = std::make_unique<FrontTree>();
    tree->nnodes = tree->ncol = static_cast<std::int32_t>(c.parent.size());
    tree->parent = c.parent;
    tree->nrow = c.nrow;
    tree->npiv.assign(c.parent.size(), 1);
    RebuildChildLists(*tree);
    solver->front_tree = std::move(tree);
    DistributeBranches(*solver, nullptr);
    const BranchSet& set = solver->branches;
    EXPECT_EQ(set.BranchList, c.branch_list);
    ASSERT_EQ(set.BranchCount.size(), static_cast<std::size_t>(c.threads));
    ASSERT_EQ(set.BranchRoots.size(), set.BranchCount.size());
    Nodes owner(c.parent.size(), -1), all;
    for (std::int32_t t = 0; t < c.threads; ++t) {
      const Nodes& roots = set.BranchRoots[t];
      EXPECT_EQ(set.BranchCount[t], static_cast<std::int32_t>(roots.size()));
      EXPECT_TRUE(std::is_sorted(roots.begin(), roots.end()));
      EXPECT_TRUE(!roots.empty() || c.branch_list.size() < static_cast<std::size_t>(c.threads)) << t;
      for (std::int32_t r : roots) owner[r] = t;
      all.insert(all.end(), roots.begin(), roots.end());
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, c.branch_list);
    for (std::size_t i = 0; i < c.apart.size(); ++i)
      for (std::size_t j = i + 1; j < c.apart.size(); ++j) EXPECT_NE(owner[c.apart[i]], owner[c.apart[j]]);
  }
}

}  // namespace
