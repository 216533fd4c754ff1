#include "analysis/working_storage.h"

#include <algorithm>
#include <vector>

#include "analysis/front_tree_ops.h"
#include "core/tessar.h"

namespace {

constexpr std::int32_t none = -1;

// Peak of a parent whose front holds f2 entries, its children being eliminated
// in the given order: each child's peak sits above the updates of the children
// before it.
template <class Children, class Peak, class Update>
std::int64_t ordered_peak(std::int64_t f2, const Children& children, Peak peak_of, Update update_of) {
  std::int64_t result = f2, acc = 0;
  for (std::int32_t h : children) {
    result = std::max(result, acc + std::max(f2, peak_of(h)));
    acc += update_of(h);
  }
  return result;
}

std::vector<std::int32_t> children_of(const FrontTree& tree, std::int32_t s) {
  std::vector<std::int32_t> children;
  for (std::int32_t h = tree.firstChild[s]; h != none; h = tree.nextSibling[h]) children.push_back(h);
  return children;
}

void relink_children(FrontTree& tree, std::int32_t s, const std::vector<std::int32_t>& children) {
  tree.firstChild[s] = children.front();
  for (std::size_t i = 0; i + 1 < children.size(); ++i) tree.nextSibling[children[i]] = children[i + 1];
  tree.nextSibling[children.back()] = none;
}

std::int64_t front_square(std::int64_t order) { return order * order; }

}  // namespace

std::int64_t UpdateSize(std::int32_t symmetry, std::int64_t m) { return symmetry == 1 ? m * m : m * (m + 1) / 2; }

void TreeMinWstore(FrontTree& tree, std::int32_t symmetry, std::int64_t* MinWstore, std::int64_t* key) {
  auto update_of = [&](std::int32_t h) { return UpdateSize(symmetry, tree.nrow[h]); };
  auto peak_of = [&](std::int32_t h) { return MinWstore[h]; };
  for (std::int32_t s : PostorderNodes(tree)) {
    const std::int64_t f2 = front_square(static_cast<std::int64_t>(tree.npiv[s]) + tree.nrow[s]);
    std::vector<std::int32_t> children = children_of(tree, s);
    if (children.empty()) {
      MinWstore[s] = f2;
      continue;
    }
    for (std::int32_t h : children) key[h] = std::max(MinWstore[h], f2) - update_of(h);
    std::stable_sort(children.begin(), children.end(), [key](std::int32_t a, std::int32_t b) { return key[a] > key[b]; });
    relink_children(tree, s, children);
    MinWstore[s] = ordered_peak(f2, children, peak_of, update_of);
  }
  if (tree.nnodes > 0) OrlDebug(2, L"MinWstore[n] = %lld\n", static_cast<long long>(MinWstore[tree.nnodes - 1]));
}

std::int64_t SubtreeStackPeak(const FrontTree& tree, std::int32_t symmetry, std::int32_t r) {
  std::int64_t stack = 0, peak = 0;
  for (std::int32_t s = FirstInPostorder(tree, r);; s = NextInPostorder(tree, s)) {
    peak = std::max(peak, front_square(static_cast<std::int64_t>(tree.npiv[s]) + tree.nrow[s]) + stack);
    for (std::int32_t h = tree.firstChild[s]; h != none && tree.nextSibling[h] != none; h = tree.nextSibling[h])
      stack -= UpdateSize(symmetry, tree.nrow[h]);
    if (s == r) break;
    if (tree.nextSibling[s] != none) stack += UpdateSize(symmetry, tree.nrow[s]);
  }
  return peak + 1;
}

namespace {

void mark_branches(const FrontTree& tree, const std::vector<std::int32_t>& roots, ChargedArray<std::uint8_t>& marks) {
  std::fill(marks.begin(), marks.end(), std::uint8_t{0});
  for (std::int32_t r : roots) {
    for (std::int32_t s = FirstInPostorder(tree, r); s != r; s = NextInPostorder(tree, s)) marks[s] = 1;
    marks[r] = 1;
  }
}

}  // namespace

std::int64_t EstimateMultiThreadMemory(tessar& solver) {
  const FrontTree& tree = *solver.front_tree;
  const std::int32_t symmetry = solver.symmetry;
  if (solver.ncpu <= 1) return SubtreeStackPeak(tree, symmetry, tree.root);
  ChargedArray<std::uint8_t> marks;
  marks.allocate(solver, static_cast<std::size_t>(tree.nnodes),
                 "Couldn't allocate memory during estimation of required memory size");
  mark_branches(tree, solver.branches.BranchList, marks);
  std::int64_t stack = 0, peak = 0;
  for (std::int32_t s : PostorderNodes(tree)) {
    if (marks[s]) continue;
    for (std::int32_t h = tree.firstChild[s]; h != none; h = tree.nextSibling[h]) {
      if (!marks[h]) continue;
      stack += UpdateSize(symmetry, tree.nrow[h]);
      peak = std::max(peak, stack + SubtreeStackPeak(tree, symmetry, h));
    }
    peak = std::max(peak, front_square(static_cast<std::int64_t>(tree.npiv[s]) + tree.nrow[s]) + stack) + 1;
    for (std::int32_t h = tree.firstChild[s]; h != none; h = tree.nextSibling[h])
      stack -= UpdateSize(symmetry, tree.nrow[h]);
    stack += UpdateSize(symmetry, tree.nrow[s]);
  }
  if (stack != 0) solver.fatal("Memory violation is expected", 1);
  return peak;
}
