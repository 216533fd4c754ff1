#pragma once
// The symmetric adjacency graph of a matrix pattern, in the compressed form the
// ordering library reads (0-based offsets and vertex numbers, no self loops),
// and a permuted view of it that the tree builders read row by row.
#include <cstdint>

class tessar;

// Number of adjacency entries of the pattern: every off-diagonal entry once for
// the unsymmetric kinds (whole rows stored), twice for the symmetric kinds (one
// triangle stored). Fills xadj (n + 1 offsets).
std::int64_t CountAdjacency(const tessar& solver, std::int32_t n, const std::int64_t* rowptr,
                            const std::int32_t* colind, std::int64_t* xadj);

// Fills adjncy from the offsets of CountAdjacency. Lists are neither sorted nor
// de-duplicated.
void BuildAdjacency(tessar& solver, std::int32_t n, const std::int64_t* rowptr, const std::int32_t* colind,
                    const std::int64_t* xadj, std::int64_t* adjncy);

// Row k of the permuted pattern: the list of vertex perm[k], each entry mapped
// through iperm.
struct PatternView {
  std::int32_t n = 0;
  const std::int64_t* xadj = nullptr;
  const std::int64_t* adjncy = nullptr;
  const std::int32_t* perm = nullptr;
  const std::int32_t* iperm = nullptr;

  std::int64_t row_begin(std::int32_t k) const { return xadj[perm[k]]; }
  std::int64_t row_end(std::int32_t k) const { return xadj[perm[k] + 1]; }
  std::int32_t entry(std::int64_t e) const { return iperm[adjncy[e]]; }
};
