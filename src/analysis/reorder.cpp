#include "analysis/reorder.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "analysis/branches.h"
#include "analysis/front_tree_ops.h"
#include "analysis/graph.h"
#include "analysis/index_file.h"
#include "analysis/ordering.h"
#include "analysis/tree_symbolic.h"
#include "analysis/working_storage.h"
#include "core/memory_monitor.h"
#include "core/progress.h"
#include "core/tessar.h"
#include "io/matrix_file.h"

namespace {

struct AnalysisInput {
  std::int32_t n;
  std::int64_t NzA;
  const std::int64_t* rowptr;
  const std::int32_t* colind;
};

// The adjacency graph, alive while one path runs.
struct AnalysisGraph {
  ChargedArray<std::int64_t> xadj, adjncy;
  PatternView view(const tessar& solver, std::int32_t n) const {
    return PatternView{n, xadj.data(), adjncy.data(), solver.perm.data(), solver.iperm.data()};
  }
};

std::size_t count_of(std::int64_t n) { return static_cast<std::size_t>(n); }

// IU and IJU, which the working-storage passes also use as scratch; JU is
// sized by the symbolic factorization of the fronts.
void allocate_structure(tessar& solver, const AnalysisInput& in) {
  const char* message = "Can't allocate memory for IU, JU, IJU";
  solver.IJU.allocate(solver, count_of(in.n), message);
  solver.IU.allocate(solver, count_of(in.n) + 1, message);
}

void build_graph(tessar& solver, const AnalysisInput& in, AnalysisGraph& graph) {
  const char* message = "Can't allocate memory for reordering";
  graph.xadj.allocate(solver, count_of(in.n) + 1, message);
  const std::int64_t entries = CountAdjacency(solver, in.n, in.rowptr, in.colind, graph.xadj.data());
  graph.adjncy.allocate(solver, count_of(std::max<std::int64_t>(entries, 1)), message);
  BuildAdjacency(solver, in.n, in.rowptr, in.colind, graph.xadj.data(), graph.adjncy.data());
}

void order_graph(tessar& solver, const AnalysisInput& in, const AnalysisGraph& graph) {
  const char* message = "Can't allocate memory for permutation vector";
  solver.iperm.allocate(solver, count_of(in.n), message);
  solver.perm.allocate(solver, count_of(in.n), message);
  const auto pair_count = static_cast<std::int32_t>(solver.pivot_pairs.size() / 2);
  if (solver.reorder_enabled && pair_count > 0)
    OrderPairedNestedDissection(solver, in.n, graph.xadj.data(), graph.adjncy.data(), solver.pivot_pairs.data(),
                                pair_count, solver.perm.data(), solver.iperm.data());
  else if (solver.reorder_enabled)
    OrderNestedDissection(solver, in.n, graph.xadj.data(), graph.adjncy.data(), solver.perm.data(),
                          solver.iperm.data());
  else
    OrderIdentity(in.n, solver.perm.data(), solver.iperm.data());
}

// Shared by the three paths: graph, first-stage ordering, progress to the
// middle of the analysis band.
void prologue(tessar& solver, const AnalysisInput& in, AnalysisGraph& graph) {
  report_progress(solver, solver.reorder_progress_start);
  OrlDebug(2, L"Reordering matrix dim = %d NzA = %lld\n", in.n, static_cast<long long>(in.NzA));
  if (my_orl_debug_data.level > 1) check_input_matrix(solver, in.n, in.NzA, in.rowptr, in.colind);
  allocate_structure(solver, in);
  build_graph(solver, in, graph);
  order_graph(solver, in, graph);
  report_progress(solver, band_midpoint(solver.reorder_progress_start, solver.reorder_progress_end));
}

// Moves the unknown at position c to position number[c]: perm and iperm follow.
void renumber_positions(tessar& solver, std::int32_t n, const std::int32_t* number) {
  for (std::int32_t k = 0; k < n; ++k) solver.iperm[solver.perm[k]] = number[k];
  for (std::int32_t i = 0; i < n; ++i) solver.perm[solver.iperm[i]] = i;
}

void allocate_factor_space(tessar& solver, const AnalysisInput& in) {
  solver.ReorderSpace.allocate(solver, count_of(in.NzA), "Can not allocate memory for ReorderSpace");
}

void finish(tessar& solver) { report_progress(solver, solver.reorder_progress_end); }

void log_tree(const wchar_t* format, const FrontTree& tree) {
  OrlDebug(2, format, tree.nnodes, static_cast<long long>(TreeNZ(tree)));
}

// Fundamental supernodes, then the merge passes when the zero fill-in limit
// allows merging.
void form_supernodes(tessar& solver, FrontTree& tree) {
  std::vector<std::int64_t> z(static_cast<std::size_t>(tree.nnodes), 0);
  MergeFrontsOne(tree, 0, z);
  log_tree(L"Number of fundamental supernodes = %d  NZ = %lld\n", tree);
  const std::int64_t limit = solver.max_zero_fill;
  if (limit == 0) return;
  MergeFrontsOne(tree, limit, z);
  log_tree(L"Number of supernodes after MergeFrontsOne = %d  NZ = %lld\n", tree);
  MergeFrontsAll(tree, limit, z);
  log_tree(L"Number of supernodes after MergeFrontsAll = %d  NZ = %lld\n", tree);
  MergeFrontsAny(tree, limit, z);
  log_tree(L"Number of supernodes after MergeFrontsAny = %d  NZ = %lld\n", tree);
}

// Renames nodes and columns to the final numbering: nodes by node_number,
// column c to column_number[c].
void renumber_tree(FrontTree& tree, const std::vector<std::int32_t>& node_number, const std::int32_t* column_number) {
  RenumberTree(tree, node_number);
  std::vector<std::int32_t> moved(tree.colNode.size());
  for (std::int32_t c = 0; c < tree.ncol; ++c) moved[column_number[c]] = tree.colNode[c];
  tree.colNode = std::move(moved);
  for (auto& cols : tree.nodeCols)
    for (auto& c : cols) c = column_number[c];
}

// Column numbering: nodes in postorder after the sibling reordering, each
// node's columns ascending.
std::vector<std::int32_t> tree_column_order(tessar& solver, FrontTree& tree, ChargedArray<std::int32_t>& number) {
  BuildNodeColumns(tree);
  TreeMinWstore(tree, solver.symmetry, solver.IJU.data(), solver.IU.data());
  number.allocate(solver, count_of(tree.ncol), "Can't allocate memory for topology");
  std::vector<std::int32_t> node_number(static_cast<std::size_t>(tree.nnodes));
  std::int32_t next_node = 0, next_column = 0;
  for (std::int32_t s : PostorderNodes(tree)) {
    node_number[s] = next_node++;
    for (std::int32_t c : tree.nodeCols[s]) number[c] = next_column++;
  }
  return node_number;
}

// Hands the tree to the solver object, which keeps it charged.
void keep_tree(tessar& solver, std::unique_ptr<FrontTree> tree) {
  tree->charge.set(solver, kb_of_bytes(TreeBytes(*tree)));
  solver.front_tree = std::move(tree);
}

void allocate_pivoting_space(tessar& solver, const AnalysisInput& in) {
  allocate_factor_space(solver, in);
  solver.PivotOrder.allocate(solver, count_of(in.n), "Can't allocate memory for pivoting");
}

bool tree_info_requested() {
  const char* value = std::getenv("TS_PRINT_TREE_INFO");
  return value && std::atoi(value) > 0;
}

// The analysis of every path: fundamental supernodes merged under the zero
// fill-in limit, nodes in postorder after the sibling reordering, and the
// structure of the merged fronts.
void amalgamated_analysis(tessar& solver, const AnalysisInput& in, const AnalysisGraph& graph, FrontTree& tree) {
  BuildFrontTree(tree, graph.view(solver, in.n));
  form_supernodes(solver, tree);
  {
    ChargedArray<std::int32_t> number;
    const std::vector<std::int32_t> node_number = tree_column_order(solver, tree, number);
    renumber_tree(tree, node_number, number.data());
    renumber_positions(solver, in.n, number.data());
  }
  TreeSymbolicFactor(solver, tree, graph.view(solver, in.n));
  OrlDebug(2, L"Number of SuperNodes = %d  sizeJU = %lld\n", solver.NSuper, static_cast<long long>(solver.sizeJU));
  solver.NzU = solver.IU[in.n];
}

void ReorderPlain(tessar& solver, const AnalysisInput& in) {
  AnalysisGraph graph;
  prologue(solver, in, graph);
  {
    FrontTree tree;
    amalgamated_analysis(solver, in, graph, tree);
  }
  graph.adjncy.release();
  graph.xadj.release();
  allocate_factor_space(solver, in);
  finish(solver);
  if (solver.save_factor) SaveIndexFile(solver, in.n);
}

// The pivoting paths keep the tree (delays change the fronts it describes);
// the multithreaded one also splits it into branches. The single-thread
// pivoting path thus factors the same supernodes as -mt on one thread.
void ReorderPivoting(tessar& solver, const AnalysisInput& in) {
  AnalysisGraph graph;
  prologue(solver, in, graph);
  auto tree = std::make_unique<FrontTree>();
  amalgamated_analysis(solver, in, graph, *tree);
  keep_tree(solver, std::move(tree));
  graph.adjncy.release();
  graph.xadj.release();
  allocate_pivoting_space(solver, in);
  if (solver.multi_thread) {
    if (tree_info_requested()) PrintTreeInfo(*solver.front_tree);
    DistributeBranches(solver, in.rowptr);
  }
  finish(solver);
}

}  // namespace

void Reorder(tessar& solver, std::int32_t n, std::int64_t NzA, const std::int64_t* rowptr,
             const std::int32_t* colind) {
  const AnalysisInput in{n, NzA, rowptr, colind};
  if (solver.multi_thread || solver.pivoting)
    ReorderPivoting(solver, in);
  else
    ReorderPlain(solver, in);
}
