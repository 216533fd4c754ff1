#include "factor/supernode_tree.h"

#include "core/tessar.h"

std::int64_t front_order(const tessar& solver, std::int32_t s) {
  const std::int32_t f = solver.SNode[s];
  return solver.IU[f + 1] - solver.IU[f];
}

std::int64_t update_order(const tessar& solver, std::int32_t s) {
  const std::int32_t last = solver.SNode[s + 1] - 1;
  return solver.IU[last + 1] - solver.IU[last] - 1;
}

SupernodeTree build_supernode_tree(tessar& solver) {
  const std::int32_t nsuper = solver.NSuper;
  std::vector<std::int32_t> supernode_of(solver.SNode[nsuper]);
  for (std::int32_t s = 0; s < nsuper; ++s)
    for (std::int32_t c = solver.SNode[s]; c < solver.SNode[s + 1]; ++c) supernode_of[c] = s;

  std::vector<std::int32_t> parent(nsuper, -1);
  SupernodeTree tree;
  tree.child_ptr.assign(nsuper + 1, 0);
  for (std::int32_t s = 0; s + 1 < nsuper; ++s) {
    const std::int32_t last = solver.SNode[s + 1] - 1;
    parent[s] = update_order(solver, s) == 0 ? nsuper - 1 : supernode_of[solver.JU[solver.IJU[last]]];
    if (parent[s] <= s) solver.fatal("Memory error", 1);
    ++tree.child_ptr[parent[s] + 1];
  }
  for (std::int32_t s = 0; s < nsuper; ++s) tree.child_ptr[s + 1] += tree.child_ptr[s];
  tree.children.resize(tree.child_ptr[nsuper]);
  std::vector<std::int32_t> next(tree.child_ptr.begin(), tree.child_ptr.end() - 1);
  for (std::int32_t s = 0; s < nsuper; ++s)
    if (parent[s] >= 0) tree.children[next[parent[s]]++] = s;
  // Postorder: the last child of every supernode is its predecessor.
  for (std::int32_t s = 0; s < nsuper; ++s)
    if (tree.child_count(s) > 0 && tree.children[tree.child_ptr[s + 1] - 1] != s - 1) solver.fatal("Memory error", 1);
  return tree;
}
