#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "analysis/front_tree_ops.h"
#include "tests/support/test_support.h"
#include "tests/unit/analysis/analysis_fixtures.h"
#include "tools/generator/generator.h"

namespace {

// Every path orders and merges alike; the plain one keeps no front tree and
// the multithreaded one also cuts the tree into branches.
std::unique_ptr<tessar> solver_for(int kind, bool multi_thread, bool reorder = true, std::int32_t zero_fill = 128) {
  auto solver = make_test_solver(kind);
  solver->no_progress = true;
  solver->pivoting = solver->multi_thread = multi_thread;
  solver->reorder_enabled = reorder;
  solver->max_zero_fill = zero_fill;
  solver->ncpu = 2;
  return solver;
}

// Analyses p and checks what the later phases rely on: inverse permutations;
// every pivot's structure holds its symbolic fill (exactly, where no fronts are
// merged) and each front at most zero_fill explicit zeros; pivot f+i of a
// supernode has the first pivot's structure without its first i entries; the
// front tree of the supernodes is one tree in postorder, and the first row
// below a front's pivots belongs to its parent.
void check_analysis(int kind, bool multi_thread, const DensePattern& p, bool reorder, std::int32_t zero_fill) {
  const auto n = static_cast<std::int32_t>(p.size());
  auto solver = solver_for(kind, multi_thread, reorder, zero_fill);
  analyse(*solver, matrix_of(p, kind));
  const tessar& s = *solver;
  for (std::int32_t i = 0; i < n; ++i) ASSERT_TRUE(s.iperm[i] >= 0 && s.iperm[i] < n && s.perm[s.iperm[i]] == i) << i;
  const auto reference = filled_structure(p, s.perm.data());
  ASSERT_EQ(s.IU[0], 0);
  EXPECT_EQ(s.NzU, s.IU[n]);
  EXPECT_EQ(s.ReorderSpace.size(), static_cast<std::size_t>(matrix_of(p, kind).nnz));
  ASSERT_EQ(s.SNode[0], 0);
  ASSERT_EQ(s.SNode[s.NSuper], n);
  const FrontTree* tree = multi_thread ? s.front_tree.get() : nullptr;
  if (tree) {
    ASSERT_EQ(tree->nnodes, s.NSuper);
    ASSERT_EQ(tree->root, tree->nnodes - 1);
    EXPECT_EQ(tree->nextSibling[tree->root], -1);
    std::vector<std::int32_t> postorder(static_cast<std::size_t>(tree->nnodes));
    std::iota(postorder.begin(), postorder.end(), 0);
    EXPECT_EQ(PostorderNodes(*tree), postorder);
  }
  const bool exact = zero_fill == 0;
  for (std::int32_t node = 0; node < s.NSuper; ++node) {
    const std::int32_t f = s.SNode[node], npiv = s.SNode[node + 1] - f;
    ASSERT_GT(npiv, 0);
    const auto head = stored_structure(s, f);
    std::int64_t zeros = 0;
    for (std::int32_t k = f; k < f + npiv; ++k) {
      const auto stored = stored_structure(s, k), ref = reference[k];
      ASSERT_TRUE(exact ? stored == ref : std::includes(stored.begin(), stored.end(), ref.begin(), ref.end())) << k;
      zeros += static_cast<std::int64_t>(stored.size() - ref.size());
      if (k == f) continue;
      ASSERT_TRUE(head.size() >= static_cast<std::size_t>(k - f) && head[k - f - 1] == k) << "pivot " << k;
      EXPECT_EQ(stored, std::vector<std::int32_t>(head.begin() + (k - f), head.end())) << "pivot " << k;
    }
    EXPECT_LE(zeros, zero_fill) << "supernode " << node;
    if (!tree) continue;
    EXPECT_EQ(tree->npiv[node], npiv);
    EXPECT_EQ(tree->nrow[node], static_cast<std::int32_t>(head.size()) - (npiv - 1));
    if (node == tree->root) continue;
    EXPECT_GT(tree->parent[node], node);
    if (static_cast<std::int32_t>(head.size()) < npiv) continue;
    const auto* snode = s.SNode.data();
    EXPECT_EQ(std::upper_bound(snode, snode + s.NSuper + 1, head[npiv - 1]) - snode - 1, tree->parent[node]);
  }
}

// Random patterns (seed 0: a single unknown) and the generator families.
// Without merging (limit 0) the structure is exact; merged fronts hold the
// fill and at most the limit of explicit zeros.
TEST(AnalysisStructure, MatchesSymbolicElimination) {
  ScopedWorkDir dir;
  for (bool multi_thread : {false, true})
    for (int kind : {0, 1, 4})
      for (bool reorder : {true, false})
        for (std::int32_t limit : {0, 16, 128})
          for (std::uint64_t seed = 0; seed <= 12; ++seed) {
            SCOPED_TRACE(testing::Message() << "mt " << multi_thread << " kind " << kind << " reorder " << reorder
                                            << " limit " << limit << " seed " << seed);
            const auto n = static_cast<std::int32_t>(1 + seed * 4);
            const double density = 0.05 + 0.04 * static_cast<double>(seed % 5);
            check_analysis(kind, multi_thread, random_pattern(n, density, seed), reorder, limit);
          }
  for (Family family : all_families()) {
    const int kind = natural_kind(family);
    const bool three_d = family == Family::laplace3d || family == Family::helmholtz3d || family == Family::convdiff3d;
    const YaleMatrix a = generate(family, three_d ? 5 : 9, kind, 1, 7).a;
    DensePattern p(static_cast<std::size_t>(a.n), std::vector<bool>(static_cast<std::size_t>(a.n), false));
    for (std::int32_t i = 0; i < a.n; ++i)
      for (std::int64_t e = a.row_ptr[i]; e < a.row_ptr[i + 1]; ++e) p[i][a.col_idx[e]] = p[a.col_idx[e]][i] = true;
    for (bool multi_thread : {false, true})
      for (std::int32_t limit : {0, 128}) {
        SCOPED_TRACE(testing::Message() << family_name(family) << " mt " << multi_thread << " limit " << limit);
        check_analysis(kind, multi_thread, p, true, limit);
      }
  }
}

TEST(AnalysisMemory, HardLimitEndsTheAnalysisWithCode100) {
  ScopedWorkDir dir;
  for (bool multi_thread : {false, true}) {
    auto solver = solver_for(0, multi_thread);
    solver->mem_limit_hard = 8;
    expect_fatal([&] { analyse(*solver, matrix_of(random_pattern(600, 0.02, 5), 0)); }, 100, "");
  }
}

}  // namespace
