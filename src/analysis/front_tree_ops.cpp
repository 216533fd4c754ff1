#include "analysis/front_tree_ops.h"

#include <cstdio>
#include <numeric>
#include <utility>

#include "platform/core_library.h"

namespace {

constexpr std::int32_t none = -1;

std::int32_t find_group(std::vector<std::int32_t>& rep, std::int32_t s) {
  std::int32_t top = s;
  while (rep[top] != top) top = rep[top];
  while (rep[s] != top) s = std::exchange(rep[s], top);
  return top;
}

std::vector<std::int32_t> single_groups(const FrontTree& tree) {
  std::vector<std::int32_t> rep(static_cast<std::size_t>(tree.nnodes));
  std::iota(rep.begin(), rep.end(), 0);
  return rep;
}

// Moves each group's accumulated zeros to the group's new index.
void carry_zeros(std::int32_t groups, const std::vector<std::int32_t>& rep, const std::vector<std::int32_t>& group,
                 std::vector<std::int64_t>& z) {
  std::vector<std::int64_t> moved(static_cast<std::size_t>(groups), 0);
  for (std::size_t s = 0; s < rep.size(); ++s)
    if (rep[s] == static_cast<std::int32_t>(s)) moved[static_cast<std::size_t>(group[s])] = z[s];
  z = std::move(moved);
}

void finish_pass(FrontTree& tree, std::vector<std::int32_t>& rep, std::vector<std::int64_t>& z) {
  const std::vector<std::int32_t> group = CompressTree(tree, rep);
  carry_zeros(tree.nnodes, rep, group, z);
}

// Explicit zeros that appear when child c (with w[c] pivots) joins j.
std::int64_t join_cost(const FrontTree& tree, const std::vector<std::int64_t>& w, std::int32_t j, std::int32_t c) {
  return (w[j] + tree.nrow[j] - tree.nrow[c]) * w[c];
}

std::vector<std::int64_t> pivot_counts(const FrontTree& tree) {
  return std::vector<std::int64_t>(tree.npiv.begin(), tree.npiv.end());
}

// Replaces child c in j's sibling list by c's own children, in their order.
void splice_out_child(FrontTree& tree, std::int32_t j, std::int32_t c) {
  std::int32_t after = tree.nextSibling[c];
  std::int32_t first = tree.firstChild[c];
  if (first != none) {
    std::int32_t last = first;
    for (std::int32_t h = first; h != none; h = tree.nextSibling[h]) {
      tree.parent[h] = j;
      last = h;
    }
    tree.nextSibling[last] = after;
    after = first;
  }
  if (tree.firstChild[j] == c) {
    tree.firstChild[j] = after;
  } else {
    std::int32_t prev = tree.firstChild[j];
    while (tree.nextSibling[prev] != c) prev = tree.nextSibling[prev];
    tree.nextSibling[prev] = after;
  }
  tree.firstChild[c] = none;
  tree.nextSibling[c] = none;
}

// The child of j that adds the fewest zeros (ties: fewer pivots, then earlier).
std::int32_t cheapest_child(const FrontTree& tree, const std::vector<std::int64_t>& w,
                            const std::vector<std::int64_t>& z, std::int32_t j, std::int64_t& cost) {
  std::int32_t best = none;
  for (std::int32_t c = tree.firstChild[j]; c != none; c = tree.nextSibling[c]) {
    const std::int64_t cc = join_cost(tree, w, j, c) + z[c];
    if (best == none || cc < cost || (cc == cost && w[c] < w[best])) {
      best = c;
      cost = cc;
    }
  }
  return best;
}

// Parent of each column in the elimination forest of the pattern (−1 for a
// root): each entry (j, i), i < j, climbs from i through the ancestors found
// so far, which are compressed to point at j (Liu's algorithm).
std::vector<std::int32_t> elimination_forest(const PatternView& pattern) {
  const auto size = static_cast<std::size_t>(pattern.n);
  std::vector<std::int32_t> parent(size, none), ancestor(size, none);
  for (std::int32_t j = 0; j < pattern.n; ++j)
    for (std::int64_t e = pattern.row_begin(j); e < pattern.row_end(j); ++e)
      for (std::int32_t i = pattern.entry(e); i != none && i < j;) {
        const std::int32_t next = ancestor[i];
        ancestor[i] = j;
        if (next == none) parent[i] = j;
        i = next;
      }
  return parent;
}

// The off-diagonal count of each column of the factor, in time near the
// pattern's size rather than the factor's (Gilbert, Ng and Peyton): column
// j's count is the number of row subtrees j lies in, summed over the forest
// from differences kept at the leaves of each row subtree, the overlaps of
// consecutive leaves subtracted at their least common ancestor (found by
// union-find over the columns done so far, in postorder).
std::vector<std::int32_t> off_diagonal_counts(const FrontTree& tree, const PatternView& pattern,
                                              const std::vector<std::int32_t>& post) {
  const auto size = static_cast<std::size_t>(pattern.n);
  std::vector<std::int32_t> first(size, none), delta(size, 0);
  for (std::int32_t k = 0; k < pattern.n; ++k) {
    std::int32_t j = post[static_cast<std::size_t>(k)];
    delta[j] = first[j] == none ? 1 : 0;  // a leaf of the forest
    for (; j != none && first[j] == none; j = tree.parent[j]) first[j] = k;
  }
  std::vector<std::int32_t> max_first(size, none), previous_leaf(size, none), ancestor(size);
  std::iota(ancestor.begin(), ancestor.end(), 0);
  for (const std::int32_t j : post) {
    if (tree.parent[j] != none) --delta[tree.parent[j]];
    for (std::int64_t e = pattern.row_begin(j); e < pattern.row_end(j); ++e) {
      const std::int32_t i = pattern.entry(e);
      if (i <= j || first[j] <= max_first[i]) continue;  // j is no leaf of row i's subtree
      max_first[i] = first[j];
      const std::int32_t previous = std::exchange(previous_leaf[i], j);
      ++delta[j];
      if (previous == none) continue;
      std::int32_t q = previous;
      while (q != ancestor[q]) q = ancestor[q];
      for (std::int32_t s = previous; s != q;) s = std::exchange(ancestor[s], q);
      --delta[q];
    }
    if (tree.parent[j] != none) ancestor[j] = tree.parent[j];
  }
  for (std::int32_t j = 0; j < pattern.n; ++j)
    if (tree.parent[j] != none) delta[tree.parent[j]] += delta[j];
  for (auto& count : delta) --count;  // the diagonal
  return delta;
}

}  // namespace

std::int32_t FirstInPostorder(const FrontTree& tree, std::int32_t s) {
  while (tree.firstChild[s] != none) s = tree.firstChild[s];
  return s;
}

std::int32_t NextInPostorder(const FrontTree& tree, std::int32_t s) {
  if (tree.nextSibling[s] != none) return FirstInPostorder(tree, tree.nextSibling[s]);
  return tree.parent[s];
}

std::vector<std::int32_t> PostorderNodes(const FrontTree& tree) {
  std::vector<std::int32_t> order;
  order.reserve(static_cast<std::size_t>(tree.nnodes));
  if (tree.root == none) return order;
  for (std::int32_t s = FirstInPostorder(tree, tree.root); s != none; s = NextInPostorder(tree, s)) order.push_back(s);
  return order;
}

void RebuildChildLists(FrontTree& tree) {
  tree.firstChild.assign(static_cast<std::size_t>(tree.nnodes), none);
  tree.nextSibling.assign(static_cast<std::size_t>(tree.nnodes), none);
  tree.root = none;
  for (std::int32_t s = tree.nnodes - 1; s >= 0; --s) {
    const std::int32_t p = tree.parent[s];
    std::int32_t& head = p == none ? tree.root : tree.firstChild[p];
    tree.nextSibling[s] = head;
    head = s;
  }
}

void BuildFrontTree(FrontTree& tree, const PatternView& pattern) {
  const std::int32_t n = pattern.n;
  const auto size = static_cast<std::size_t>(n);
  tree.nnodes = tree.ncol = n;
  tree.npiv.assign(size, 1);
  tree.colNode.resize(size);
  std::iota(tree.colNode.begin(), tree.colNode.end(), 0);
  tree.nodeCols.clear();
  tree.parent = elimination_forest(pattern);
  RebuildChildLists(tree);
  tree.nrow = off_diagonal_counts(tree, pattern, PostorderNodes(tree));
  for (std::int32_t s = 0; s + 1 < n; ++s)
    if (tree.parent[s] == none) tree.parent[s] = n - 1;
  RebuildChildLists(tree);
}

std::uint64_t TreeBytes(const FrontTree& tree) {
  const auto nodes = static_cast<std::uint64_t>(tree.nnodes), columns = static_cast<std::uint64_t>(tree.ncol);
  const std::uint64_t listed = tree.nodeCols.empty() ? 0 : columns;
  return sizeof(std::int32_t) * (5 * nodes + columns + listed);
}

std::int64_t TreeNZ(const FrontTree& tree) {
  std::int64_t nz = 0;
  for (std::int32_t s = 0; s < tree.nnodes; ++s) {
    const std::int64_t k = tree.npiv[s];
    nz += k * (k + 1) / 2 + static_cast<std::int64_t>(tree.nrow[s]) * k;
  }
  return nz;
}

void MergeFrontsOne(FrontTree& tree, std::int64_t limit, std::vector<std::int64_t>& z) {
  std::vector<std::int32_t> rep = single_groups(tree);
  std::vector<std::int64_t> w = pivot_counts(tree);
  for (std::int32_t j : PostorderNodes(tree)) {
    const std::int32_t c = tree.firstChild[j];
    if (c == none || tree.nextSibling[c] != none) continue;
    const std::int64_t added = join_cost(tree, w, j, c);
    if (added + z[c] > limit) continue;
    rep[c] = j;
    w[j] += w[c];
    z[j] = added + z[c];
  }
  finish_pass(tree, rep, z);
}

void MergeFrontsAll(FrontTree& tree, std::int64_t limit, std::vector<std::int64_t>& z) {
  std::vector<std::int32_t> rep = single_groups(tree);
  std::vector<std::int64_t> w = pivot_counts(tree);
  for (std::int32_t j : PostorderNodes(tree)) {
    if (tree.firstChild[j] == none) continue;
    const std::int64_t front = w[j] + tree.nrow[j];
    std::int64_t pivots = 0, twice_zeros = 2 * z[j];
    for (std::int32_t c = tree.firstChild[j]; c != none; c = tree.nextSibling[c]) {
      pivots += w[c];
      twice_zeros += 2 * z[c] + (2 * (front - tree.nrow[c]) - w[c]) * w[c];
    }
    twice_zeros += pivots * pivots;
    if (twice_zeros / 2 > limit) continue;
    for (std::int32_t c = tree.firstChild[j]; c != none; c = tree.nextSibling[c]) rep[c] = j;
    w[j] += pivots;
    z[j] = twice_zeros / 2;
  }
  finish_pass(tree, rep, z);
}

void MergeFrontsAny(FrontTree& tree, std::int64_t limit, std::vector<std::int64_t>& z) {
  std::vector<std::int32_t> rep = single_groups(tree);
  std::vector<std::int64_t> w = pivot_counts(tree);
  for (std::int32_t j : PostorderNodes(tree)) {
    while (tree.firstChild[j] != none) {
      const bool several = tree.nextSibling[tree.firstChild[j]] != none;
      if (several && tree.parent[j] == none) break;
      std::int64_t cost = 0;
      const std::int32_t best = cheapest_child(tree, w, z, j, cost);
      if (z[j] + cost > limit) break;
      splice_out_child(tree, j, best);
      rep[best] = j;
      w[j] += w[best];
      z[j] += cost;
    }
  }
  finish_pass(tree, rep, z);
}

std::vector<std::int32_t> CompressTree(FrontTree& tree, std::vector<std::int32_t>& rep) {
  const std::int32_t old_count = tree.nnodes;
  std::vector<std::int32_t> group(static_cast<std::size_t>(old_count), none);
  std::int32_t groups = 0;
  for (std::int32_t s = 0; s < old_count; ++s)
    if (find_group(rep, s) == s) group[s] = groups++;
  for (std::int32_t s = 0; s < old_count; ++s) group[s] = group[find_group(rep, s)];

  const auto size = static_cast<std::size_t>(groups);
  std::vector<std::int32_t> parent(size, none), npiv(size, 0), nrow(size, 0);
  for (std::int32_t s = 0; s < old_count; ++s) {
    npiv[group[s]] += tree.npiv[s];
    if (rep[s] != s || tree.parent[s] == none) continue;
    parent[group[s]] = group[tree.parent[s]];
    nrow[group[s]] = tree.nrow[s];
  }
  tree.nnodes = groups;
  tree.parent = std::move(parent);
  tree.npiv = std::move(npiv);
  tree.nrow = std::move(nrow);
  for (auto& node : tree.colNode) node = group[node];
  tree.nodeCols.clear();
  RebuildChildLists(tree);
  return group;
}

void RenumberTree(FrontTree& tree, const std::vector<std::int32_t>& number) {
  const auto size = static_cast<std::size_t>(tree.nnodes);
  std::vector<std::int32_t> parent(size), npiv(size), nrow(size);
  std::vector<std::vector<std::int32_t>> cols(tree.nodeCols.empty() ? 0 : size);
  for (std::int32_t s = 0; s < tree.nnodes; ++s) {
    const std::int32_t t = number[s];
    parent[t] = tree.parent[s] == none ? none : number[tree.parent[s]];
    npiv[t] = tree.npiv[s];
    nrow[t] = tree.nrow[s];
    if (!cols.empty()) cols[t] = std::move(tree.nodeCols[s]);
  }
  tree.parent = std::move(parent);
  tree.npiv = std::move(npiv);
  tree.nrow = std::move(nrow);
  tree.nodeCols = std::move(cols);
  for (auto& node : tree.colNode) node = number[node];
  RebuildChildLists(tree);
}

void BuildNodeColumns(FrontTree& tree) {
  tree.nodeCols.assign(static_cast<std::size_t>(tree.nnodes), {});
  for (std::int32_t s = 0; s < tree.nnodes; ++s) tree.nodeCols[s].reserve(static_cast<std::size_t>(tree.npiv[s]));
  for (std::int32_t c = 0; c < tree.ncol; ++c) tree.nodeCols[tree.colNode[c]].push_back(c);
}

void PrintTreeInfo(const FrontTree& tree) {
  std::FILE* file = std::fopen("treeinfo.txt", "w");
  if (!file) {
    OrlDebug(1, L"Could not open %s file\n", "treeinfo.txt");
    return;
  }
  std::fprintf(file, "node\tM\tK\tN\n");
  for (std::int32_t s : PostorderNodes(tree))
    std::fprintf(file, "%d\t%d\t%d\t%d\n", s, tree.npiv[s], tree.nrow[s], tree.npiv[s] + tree.nrow[s]);
  std::fclose(file);
}
