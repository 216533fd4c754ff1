#include "analysis/ordering.h"

#include <metis.h>

#include <algorithm>
#include <limits>

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

void OrderIdentity(std::int32_t n, std::int32_t* perm, std::int32_t* iperm) {
  for (std::int32_t i = 0; i < n; ++i) iperm[i] = i;
  for (std::int32_t i = 0; i < n; ++i) perm[iperm[i]] = i;
}
