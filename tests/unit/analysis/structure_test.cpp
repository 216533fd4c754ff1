#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>

#include "analysis/front_tree_ops.h"
#include "platform/error.h"
#include "tests/support/test_support.h"
#include "tests/unit/analysis/analysis_fixtures.h"
#include "tools/generator/generator.h"

namespace {

constexpr AnalysisPath all_paths[] = {AnalysisPath::plain, AnalysisPath::pivoting, AnalysisPath::multi_thread};

const char* name_of(AnalysisPath path) {
  switch (path) {
    case AnalysisPath::plain: return "plain";
    case AnalysisPath::pivoting: return "pivoting";
    default: return "multi_thread";
  }
}

std::unique_ptr<tessar> analysed(int kind, AnalysisPath path, const DensePattern& p, bool reorder,
                                 std::int32_t zero_fill) {
  auto solver = make_test_solver(kind);
  solver->no_progress = true;
  select_path(*solver, path);
  solver->reorder_enabled = reorder;
  solver->max_zero_fill = zero_fill;
  solver->ncpu = 2;
  analyse(*solver, matrix_of(p, stores_whole_rows(kind)));
  return solver;
}

void expect_inverse_permutations(const tessar& solver, std::int32_t n) {
  for (std::int32_t i = 0; i < n; ++i) {
    ASSERT_GE(solver.iperm[i], 0);
    ASSERT_LT(solver.iperm[i], n);
    ASSERT_EQ(solver.perm[solver.iperm[i]], i);
  }
}

// Supernode s covers pivots SNode[s] .. SNode[s+1]−1; pivot f+i's structure is
// the first pivot's without its first i entries.
void expect_supernode_structure(const tessar& solver, std::int32_t n) {
  ASSERT_EQ(solver.SNode[0], 0);
  ASSERT_EQ(solver.SNode[solver.NSuper], n);
  for (std::int32_t s = 0; s < solver.NSuper; ++s) {
    const std::int32_t f = solver.SNode[s];
    ASSERT_LT(f, solver.SNode[s + 1]);
    const auto head = stored_structure(solver, f);
    for (std::int32_t k = f + 1; k < solver.SNode[s + 1]; ++k) {
      ASSERT_FALSE(head.empty());
      std::vector<std::int32_t> tail(head.begin() + (k - f), head.end());
      EXPECT_EQ(stored_structure(solver, k), tail) << "pivot " << k;
      EXPECT_EQ(head[k - f - 1], k);
    }
  }
}

// Nodes are numbered in postorder, columns follow the supernodes, and the first
// row below a front's pivots belongs to its parent.
void expect_tree_matches_structure(const tessar& solver, std::int32_t n) {
  const FrontTree& tree = *solver.front_tree;
  ASSERT_EQ(tree.nnodes, solver.NSuper);
  ASSERT_EQ(tree.root, tree.nnodes - 1);
  EXPECT_EQ(tree.nextSibling[tree.root], -1);
  for (std::int32_t s = 0; s < tree.nnodes; ++s) {
    const std::int32_t f = solver.SNode[s], npiv = solver.SNode[s + 1] - f;
    EXPECT_EQ(tree.npiv[s], npiv);
    for (std::int32_t c = f; c < f + npiv; ++c) EXPECT_EQ(tree.colNode[c], s);
    const auto rows = stored_structure(solver, f);
    EXPECT_EQ(tree.nrow[s], static_cast<std::int32_t>(rows.size()) - (npiv - 1));
    if (s == tree.root) continue;
    EXPECT_GT(tree.parent[s], s);
    if (static_cast<std::int32_t>(rows.size()) >= npiv) {
      EXPECT_EQ(tree.colNode[rows[npiv - 1]], tree.parent[s]) << "node " << s;
    }
  }
  std::vector<std::int32_t> order = PostorderNodes(tree);
  std::vector<std::int32_t> expected(static_cast<std::size_t>(tree.nnodes));
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(order, expected);
  (void)n;
}

// Children of the column tree are smaller than their parent.
void expect_column_tree(const tessar& solver, std::int32_t n) {
  ASSERT_EQ(solver.ChildPtr[0], 0);
  for (std::int32_t c = 0; c < n; ++c)
    for (std::int32_t p = solver.ChildPtr[c]; p < solver.ChildPtr[c + 1]; ++p) EXPECT_LT(solver.ChildList[p], c);
}

void check_analysis(int kind, AnalysisPath path, const DensePattern& p, bool reorder, std::int32_t zero_fill) {
  const auto n = static_cast<std::int32_t>(p.size());
  auto solver = analysed(kind, path, p, reorder, zero_fill);
  expect_inverse_permutations(*solver, n);
  const auto reference = filled_structure(p, solver->perm.data());
  ASSERT_EQ(solver->IU[0], 0);
  EXPECT_EQ(solver->NzU, solver->IU[n]);
  for (std::int32_t k = 0; k < n; ++k) {
    const auto stored = stored_structure(*solver, k);
    if (zero_fill == 0 || path == AnalysisPath::plain) {
      ASSERT_EQ(stored, reference[k]) << "pivot " << k;
    } else {
      ASSERT_TRUE(std::includes(stored.begin(), stored.end(), reference[k].begin(), reference[k].end()))
          << "pivot " << k;
    }
  }
  expect_supernode_structure(*solver, n);
  if (path != AnalysisPath::multi_thread) expect_column_tree(*solver, n);
  if (path != AnalysisPath::plain) expect_tree_matches_structure(*solver, n);
  EXPECT_EQ(solver->ReorderSpace.size(), static_cast<std::size_t>(matrix_of(p, stores_whole_rows(kind)).nnz));
}

TEST(AnalysisStructure, MatchesSymbolicEliminationOfRandomPatterns) {
  ScopedWorkDir dir;
  for (AnalysisPath path : all_paths) {
    for (int kind : {0, 1, 4}) {
      for (bool reorder : {true, false}) {
        for (std::uint64_t seed = 1; seed <= 12; ++seed) {
          const auto n = static_cast<std::int32_t>(1 + seed * 3);
          const double density = 0.05 + 0.04 * static_cast<double>(seed % 5);
          SCOPED_TRACE(testing::Message() << name_of(path) << " kind " << kind << " reorder " << reorder << " seed "
                                          << seed << " n " << n);
          check_analysis(kind, path, random_pattern(n, density, seed), reorder, 0);
        }
      }
    }
  }
}

// The pattern of a stored matrix as a dense symmetric pattern.
DensePattern pattern_of(const YaleMatrix& a) {
  DensePattern p(static_cast<std::size_t>(a.n), std::vector<bool>(static_cast<std::size_t>(a.n), false));
  for (std::int32_t i = 0; i < a.n; ++i)
    for (std::int64_t e = a.row_ptr[i]; e < a.row_ptr[i + 1]; ++e) p[i][a.col_idx[e]] = p[a.col_idx[e]][i] = true;
  return p;
}

TEST(AnalysisStructure, MatchesSymbolicEliminationOfTheGeneratorFamilies) {
  ScopedWorkDir dir;
  for (Family family : all_families()) {
    const int kind = natural_kind(family);
    const bool three_d = family == Family::laplace3d || family == Family::helmholtz3d || family == Family::convdiff3d;
    const DensePattern p = pattern_of(generate(family, three_d ? 5 : 9, kind, 1, 7).a);
    for (AnalysisPath path : all_paths) {
      SCOPED_TRACE(testing::Message() << family_name(family) << " " << name_of(path));
      check_analysis(kind, path, p, true, 0);
      check_analysis(kind, path, p, true, 128);
    }
  }
}

TEST(AnalysisStructure, MergedFrontsContainTheFillAndShareTheirLists) {
  ScopedWorkDir dir;
  for (AnalysisPath path : {AnalysisPath::pivoting, AnalysisPath::multi_thread}) {
    for (std::uint64_t seed = 20; seed < 30; ++seed) {
      SCOPED_TRACE(testing::Message() << name_of(path) << " seed " << seed);
      check_analysis(0, path, random_pattern(40, 0.08, seed), true, 128);
    }
  }
}

TEST(AnalysisStructure, MergingAddsNoMoreZerosThanTheLimitPerFront) {
  ScopedWorkDir dir;
  const DensePattern p = random_pattern(60, 0.06, 7);
  for (AnalysisPath path : {AnalysisPath::pivoting, AnalysisPath::multi_thread}) {
    for (std::int32_t limit : {0, 16, 128}) {
      auto solver = analysed(0, path, p, true, limit);
      const auto reference = filled_structure(p, solver->perm.data());
      for (std::int32_t s = 0; s < solver->NSuper; ++s) {
        std::int64_t zeros = 0;
        for (std::int32_t k = solver->SNode[s]; k < solver->SNode[s + 1]; ++k)
          zeros += static_cast<std::int64_t>(stored_structure(*solver, k).size() - reference[k].size());
        EXPECT_LE(zeros, limit) << name_of(path) << " supernode " << s;
      }
    }
  }
}

TEST(AnalysisStructure, SameMatrixGivesSamePermutation) {
  ScopedWorkDir dir;
  const DensePattern p = random_pattern(150, 0.03, 99);
  for (AnalysisPath path : all_paths) {
    auto first = analysed(0, path, p, true, 128);
    auto second = analysed(0, path, p, true, 128);
    EXPECT_TRUE(std::equal(first->perm.begin(), first->perm.end(), second->perm.begin())) << name_of(path);
  }
}

TEST(AnalysisEdgeCases, NaturalOrderIsStillPostordered) {
  ScopedWorkDir dir;
  // Elimination tree 0 -> 2 -> 3 and 1 -> 3: the natural order is no postorder.
  DensePattern p = random_pattern(4, 0.0, 1);
  for (auto [i, j] : {std::pair{0, 2}, std::pair{1, 3}, std::pair{2, 3}}) p[i][j] = p[j][i] = true;
  for (AnalysisPath path : all_paths) {
    auto solver = analysed(0, path, p, false, 0);
    std::vector<std::int32_t> order(solver->perm.begin(), solver->perm.end());
    EXPECT_NE(order, (std::vector<std::int32_t>{0, 1, 2, 3})) << name_of(path);
    check_analysis(0, path, p, false, 0);
  }
}

TEST(AnalysisEdgeCases, SingleUnknown) {
  ScopedWorkDir dir;
  for (AnalysisPath path : all_paths) {
    auto solver = analysed(0, path, random_pattern(1, 0.0, 1), true, 128);
    EXPECT_EQ(solver->NSuper, 1);
    EXPECT_EQ(solver->SNode[0], 0);
    EXPECT_EQ(solver->SNode[1], 1);
    EXPECT_EQ(solver->IU[0], 0);
    EXPECT_EQ(solver->IU[1], 1);
    EXPECT_EQ(solver->perm[0], 0);
  }
}

TEST(AnalysisEdgeCases, DiagonalMatrixGivesOneColumnFronts) {
  ScopedWorkDir dir;
  const std::int32_t n = 6;
  for (AnalysisPath path : all_paths) {
    auto solver = analysed(1, path, random_pattern(n, 0.0, 1), true, 0);
    expect_inverse_permutations(*solver, n);
    EXPECT_EQ(solver->NSuper, n) << name_of(path);
    EXPECT_EQ(solver->NzU, n);
  }
}

TEST(AnalysisEdgeCases, SeveralComponentsMakeOneTree) {
  ScopedWorkDir dir;
  DensePattern p = random_pattern(12, 0.0, 1);
  for (std::int32_t base : {0, 4, 8})
    for (std::int32_t i = base; i < base + 4; ++i)
      for (std::int32_t j = base; j < base + 4; ++j) p[i][j] = true;
  for (AnalysisPath path : {AnalysisPath::pivoting, AnalysisPath::multi_thread}) {
    auto solver = analysed(0, path, p, true, 0);
    const FrontTree& tree = *solver->front_tree;
    EXPECT_EQ(tree.nextSibling[tree.root], -1);
    EXPECT_EQ(PostorderNodes(tree).size(), static_cast<std::size_t>(tree.nnodes));
    EXPECT_EQ(tree.nnodes, 4);  // three cliques, the root column on its own above them
  }
  check_analysis(0, AnalysisPath::plain, p, true, 0);
}

TEST(AnalysisEdgeCases, RepeatedColumnIndexFailsThePlainPath) {
  ScopedWorkDir dir;
  YaleMatrix a = matrix_of(random_pattern(4, 1.0, 1), false);
  a.col_idx[2] = a.col_idx[1];  // row 0: 0 1 1 3
  auto solver = make_test_solver(0);
  solver->no_progress = true;
  try {
    analyse(*solver, a);
    FAIL() << "expected a fatal error";
  } catch (const TessarException& e) {
    EXPECT_EQ(e.code(), 1);
    EXPECT_EQ(e.message().str(), "Symbolic factorization1 failed");
  }
}

TEST(AnalysisOutput, TreeInfoColumnsSumToTheDimension) {
  ScopedWorkDir dir;
  ScopedEnv env("TS_PRINT_TREE_INFO", "1");
  auto solver = analysed(0, AnalysisPath::multi_thread, random_pattern(30, 0.1, 3), true, 128);
  std::istringstream text(read_file(dir.path() / "treeinfo.txt"));
  std::string line;
  std::getline(text, line);
  EXPECT_EQ(line, "node\tM\tK\tN");
  std::int32_t node = 0, m = 0, k = 0, f = 0, sum = 0, lines = 0;
  while (text >> node >> m >> k >> f) {
    EXPECT_EQ(m + k, f);
    sum += m;
    ++lines;
  }
  EXPECT_EQ(sum, 30);
  EXPECT_EQ(lines, solver->front_tree->nnodes);
}

TEST(AnalysisOutput, PlainRunThatKeepsItsFactorSavesTheIndexFile) {
  ScopedWorkDir dir;
  auto solver = make_test_solver(0);
  solver->no_progress = true;
  solver->save_factor = true;
  analyse(*solver, matrix_of(random_pattern(10, 0.3, 5), false));
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "index"));
}

}  // namespace

namespace {

void release_analysis(tessar& solver) {
  for (auto* a : {&solver.perm, &solver.iperm, &solver.JU, &solver.SNode, &solver.ChildPtr, &solver.ChildList,
                  &solver.ReorderSpace, &solver.PivotOrder})
    a->release();
  solver.IU.release();
  solver.IJU.release();
  solver.front_tree.reset();
}

TEST(AnalysisMemory, WorkArraysAreCreditedAndResultsStayCharged) {
  ScopedWorkDir dir;
  for (AnalysisPath path : all_paths) {
    auto solver = analysed(0, path, random_pattern(400, 0.02, 5), true, 128);
    EXPECT_GT(solver->memory_peak, solver->memory_in_use) << name_of(path);
    release_analysis(*solver);
    EXPECT_EQ(solver->memory_in_use, 0) << name_of(path);
  }
}

TEST(AnalysisMemory, HardLimitEndsTheAnalysisWithCode100) {
  ScopedWorkDir dir;
  for (AnalysisPath path : all_paths) {
    auto solver = make_test_solver(0);
    solver->no_progress = true;
    select_path(*solver, path);
    solver->mem_limit_hard = 8;
    try {
      analyse(*solver, matrix_of(random_pattern(600, 0.02, 5), false));
      FAIL() << "expected a fatal error";
    } catch (const TessarException& e) {
      EXPECT_EQ(e.code(), 100) << name_of(path);
    }
  }
}

}  // namespace
