#include "analysis/ordering.h"

#include <metis.h>

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <vector>

#include "driver/tessar.h"

namespace {

// The library's random choices always start from this seed.
constexpr idx_t ordering_seed = 4321;
constexpr const char* no_memory_message = "Can't allocate memory for reordering";

void check_fits_index_type(tessar& solver, std::int64_t edges) {
  if (edges <= static_cast<std::int64_t>(std::numeric_limits<idx_t>::max())) return;
  OrlDebug(1, L"Graph with %lld adjacency entries exceeds the %d-bit indices of the ordering library\n",
           static_cast<long long>(edges), static_cast<int>(8 * sizeof(idx_t)));
  solver.fatal("Graph too large for the ordering library", 1);
}

template <class From>
void copy_to_index_type(const From* from, std::size_t count, ChargedArray<idx_t>& to, tessar& solver) {
  to.allocate(solver, count, no_memory_message);
  std::transform(from, from + count, to.data(), [](From v) { return static_cast<idx_t>(v); });
}

[[noreturn]] void report_library_failure(tessar& solver, int status) {
  if (status == METIS_ERROR_MEMORY) {
    OrlDebug(1, L"malloc: OUT OF MEMORY %s\n", "METIS_NodeND");
    solver.fatal("METIS_NodeND: out of memory", 100);
  }
  OrlDebug(L"metis", 1, L"Metis error! %s\n", "METIS_NodeND failed");
  solver.fatal("Metis error! METIS_NodeND failed", 1);
}

}  // namespace

void OrderNestedDissection(tessar& solver, std::int32_t n, const std::int64_t* xadj, const std::int64_t* adjncy,
                           std::int32_t* perm, std::int32_t* iperm) {
  if (n == 0) return;
  check_fits_index_type(solver, xadj[n]);
  ChargedArray<idx_t> lib_xadj, lib_adjncy, lib_perm, lib_iperm;
  copy_to_index_type(xadj, static_cast<std::size_t>(n) + 1, lib_xadj, solver);
  copy_to_index_type(adjncy, static_cast<std::size_t>(xadj[n]), lib_adjncy, solver);
  lib_perm.allocate(solver, static_cast<std::size_t>(n), no_memory_message);
  lib_iperm.allocate(solver, static_cast<std::size_t>(n), no_memory_message);

  idx_t options[METIS_NOPTIONS];
  METIS_SetDefaultOptions(options);
  options[METIS_OPTION_NUMBERING] = 0;
  options[METIS_OPTION_SEED] = ordering_seed;
  idx_t nvtxs = n;
  const int status = METIS_NodeND(&nvtxs, lib_xadj.data(), lib_adjncy.data(), nullptr, options, lib_perm.data(),
                                  lib_iperm.data());
  if (status != METIS_OK) report_library_failure(solver, status);
  std::copy_n(lib_perm.data(), n, perm);
  std::copy_n(lib_iperm.data(), n, iperm);
}

void OrderPairedNestedDissection(tessar& solver, std::int32_t n, const std::int64_t* xadj, const std::int64_t* adjncy,
                                 const std::int32_t* pairs, std::int32_t pair_count, std::int32_t* perm,
                                 std::int32_t* iperm) {
  // Vertex v of the compressed graph stands for members[member_ptr[v] …].
  std::vector<std::int32_t> vertex_of(static_cast<std::size_t>(n), -1), members, member_ptr{0};
  members.reserve(static_cast<std::size_t>(n));
  const auto add_vertex = [&](std::initializer_list<std::int32_t> columns) {
    for (const std::int32_t c : columns) {
      vertex_of[c] = static_cast<std::int32_t>(member_ptr.size()) - 1;
      members.push_back(c);
    }
    member_ptr.push_back(static_cast<std::int32_t>(members.size()));
  };
  for (std::int32_t t = 0; t < pair_count; ++t) add_vertex({pairs[2 * t], pairs[2 * t + 1]});
  for (std::int32_t c = 0; c < n; ++c)
    if (vertex_of[c] < 0) add_vertex({c});
  const auto vertices = static_cast<std::int32_t>(member_ptr.size()) - 1;
  ChargedArray<std::int64_t> cxadj, cadjncy;
  cxadj.allocate(solver, static_cast<std::size_t>(vertices) + 1, no_memory_message);
  cadjncy.allocate(solver, static_cast<std::size_t>(std::max<std::int64_t>(xadj[n], 1)), no_memory_message);
  std::vector<std::int32_t> seen(static_cast<std::size_t>(vertices), -1);
  std::int64_t e = 0;
  cxadj[0] = 0;
  for (std::int32_t v = 0; v < vertices; ++v) {
    seen[v] = v;
    for (std::int32_t m = member_ptr[v]; m < member_ptr[v + 1]; ++m)
      for (std::int64_t p = xadj[members[m]]; p < xadj[members[m] + 1]; ++p) {
        const std::int32_t w = vertex_of[adjncy[p]];
        if (seen[w] == v) continue;
        seen[w] = v;
        cadjncy[e++] = w;
      }
    cxadj[v + 1] = e;
  }
  ChargedArray<std::int32_t> vperm, viperm;
  vperm.allocate(solver, static_cast<std::size_t>(vertices), no_memory_message);
  viperm.allocate(solver, static_cast<std::size_t>(vertices), no_memory_message);
  OrderNestedDissection(solver, vertices, cxadj.data(), cadjncy.data(), vperm.data(), viperm.data());
  std::int32_t k = 0;
  for (std::int32_t q = 0; q < vertices; ++q)
    for (std::int32_t m = member_ptr[vperm[q]]; m < member_ptr[vperm[q] + 1]; ++m) perm[k++] = members[m];
  for (std::int32_t q = 0; q < n; ++q) iperm[perm[q]] = q;
}

void OrderIdentity(std::int32_t n, std::int32_t* perm, std::int32_t* iperm) {
  for (std::int32_t i = 0; i < n; ++i) iperm[i] = i;
  for (std::int32_t i = 0; i < n; ++i) perm[iperm[i]] = i;
}
