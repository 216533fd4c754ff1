#include "analysis/graph.h"

#include <algorithm>

#include "core/tessar.h"

namespace {

bool stores_one_triangle(const tessar& solver) { return solver.symmetry != 1; }

// Turns per-vertex counts held in xadj[1..n] into offsets.
void prefix_sum(std::int32_t n, std::int64_t* xadj) {
  xadj[0] = 0;
  for (std::int32_t i = 0; i < n; ++i) xadj[i + 1] += xadj[i];
}

}  // namespace

std::int64_t CountAdjacency(const tessar& solver, std::int32_t n, const std::int64_t* rowptr,
                            const std::int32_t* colind, std::int64_t* xadj) {
  std::fill(xadj, xadj + n + 1, 0);
  const bool mirror = stores_one_triangle(solver);
  for (std::int32_t i = 0; i < n; ++i) {
    for (std::int64_t e = rowptr[i]; e < rowptr[i + 1]; ++e) {
      const std::int32_t j = colind[e];
      if (j == i) continue;
      ++xadj[i + 1];
      if (mirror) ++xadj[j + 1];
    }
  }
  prefix_sum(n, xadj);
  return xadj[n];
}

void BuildAdjacency(tessar& solver, std::int32_t n, const std::int64_t* rowptr, const std::int32_t* colind,
                    const std::int64_t* xadj, std::int64_t* adjncy) {
  ChargedArray<std::int64_t> fill;
  fill.allocate(solver, static_cast<std::size_t>(n), "Can't allocate memory for reordering");
  std::copy_n(xadj, n, fill.data());
  const bool mirror = stores_one_triangle(solver);
  for (std::int32_t i = 0; i < n; ++i) {
    for (std::int64_t e = rowptr[i]; e < rowptr[i + 1]; ++e) {
      const std::int32_t j = colind[e];
      if (j == i) continue;
      adjncy[fill[i]++] = j;
      if (mirror) adjncy[fill[j]++] = i;
    }
  }
}
