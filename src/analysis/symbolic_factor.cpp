#include "analysis/symbolic_factor.h"

#include <algorithm>
#include <vector>

#include "driver/tessar.h"

namespace {

constexpr std::int32_t none = -1;

}  // namespace

void BuildChildLists(tessar& solver, std::int32_t n, const std::int32_t* parent) {
  const char* message = "Can't allocate memory for topology";
  solver.ChildPtr.allocate(solver, static_cast<std::size_t>(n) + 1, message);
  solver.ChildList.allocate(solver, static_cast<std::size_t>(std::max(n, 1)), message);
  auto& ptr = solver.ChildPtr;
  std::fill(ptr.begin(), ptr.end(), 0);
  for (std::int32_t c = 0; c < n; ++c)
    if (parent[c] != none) ++ptr[parent[c] + 1];
  for (std::int32_t c = 0; c < n; ++c) ptr[c + 1] += ptr[c];
  std::vector<std::int32_t> fill(ptr.begin(), ptr.begin() + n);
  for (std::int32_t c = 0; c < n; ++c)
    if (parent[c] != none) solver.ChildList[fill[parent[c]]++] = c;
}

void TopologicalOrdering(tessar& solver, std::int32_t n, std::int32_t* number) {
  if (n == 0) return;
  const char* message = "Can't allocate memory for topology";
  ChargedArray<std::int32_t> stack, iter;
  stack.allocate(solver, static_cast<std::size_t>(n), message);
  iter.allocate(solver, static_cast<std::size_t>(n), message);
  std::copy_n(solver.ChildPtr.data(), n, iter.data());
  std::int32_t depth = 0, next = 0;
  stack[0] = n - 1;
  number[n - 1] = next++;
  while (depth >= 0) {
    const std::int32_t c = stack[depth];
    if (iter[c] == solver.ChildPtr[c + 1]) {
      --depth;
      continue;
    }
    const std::int32_t child = solver.ChildList[iter[c]++];
    number[child] = next++;
    stack[++depth] = child;
  }
  if (next < n) solver.fatal("Problem during TopologicalOrdering", 1);
  for (std::int32_t c = 0; c < n; ++c) number[c] = n - 1 - number[c];
}
