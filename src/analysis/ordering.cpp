#include "analysis/ordering.h"

#include <metis.h>

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

#include "core/front_tree.h"
#include "core/tessar.h"
#include "platform/child_task.h"

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

[[noreturn]] void report_library_failure(tessar& solver, int status) {
  if (status == METIS_ERROR_MEMORY) {
    OrlDebug(1, L"malloc: OUT OF MEMORY %s\n", "METIS_NodeND");
    solver.fatal("METIS_NodeND: out of memory", 100);
  }
  OrlDebug(L"metis", 1, L"Metis error! %s\n", "METIS_NodeND failed");
  solver.fatal("Metis error! METIS_NodeND failed", 1);
}

}  // namespace

namespace {

// Graphs from this many vertices on are split by one separator first, and
// the two sides ordered at the same time where the run has two processors.
constexpr std::int32_t split_vertices = 40000;

// The ordering library keeps its random state for the whole process: solver
// objects on different threads order one at a time, so that each ordering is
// the one its seed gives. It is held across the child process an ordering
// starts, and the child orders without taking it.
std::mutex& ordering_library_lock() {
  static std::mutex lock;
  return lock;
}

// A status other than METIS_OK from the library.
struct LibraryFailure {
  int status;
};

void set_options(idx_t* options) {
  METIS_SetDefaultOptions(options);
  options[METIS_OPTION_NUMBERING] = 0;
  options[METIS_OPTION_SEED] = ordering_seed;
}

// A graph in the library's index type, with the vertex numbers it was cut
// from (empty for the whole graph).
struct LibraryGraph {
  std::vector<idx_t> xadj, adjncy;
  std::vector<idx_t> weights;  // per vertex, or empty for unit weights
  std::vector<std::int32_t> vertices;
  idx_t size() const { return static_cast<idx_t>(xadj.size()) - 1; }
  idx_t* vwgt() { return weights.empty() ? nullptr : weights.data(); }
};

// The graph of the pattern in the library's index type.
LibraryGraph library_graph(std::int32_t n, const std::int64_t* xadj, const std::int64_t* adjncy) {
  LibraryGraph g;
  g.xadj.assign(xadj, xadj + n + 1);
  g.adjncy.assign(adjncy, adjncy + xadj[n]);
  return g;
}

// perm of the library's nested dissection of g (perm[k]: the vertex at k).
std::vector<std::int32_t> nested_dissection(LibraryGraph& g) {
  idx_t options[METIS_NOPTIONS];
  set_options(options);
  idx_t nvtxs = g.size();
  std::vector<idx_t> perm(static_cast<std::size_t>(nvtxs)), iperm(perm.size());
  const int status = METIS_NodeND(&nvtxs, g.xadj.data(), g.adjncy.data(), g.vwgt(), options, perm.data(), iperm.data());
  if (status != METIS_OK) throw LibraryFailure{status};
  return std::vector<std::int32_t>(perm.begin(), perm.end());
}

// The subgraph induced by the vertices v with part[v] == side.
LibraryGraph side_graph(const LibraryGraph& g, const std::vector<idx_t>& part, idx_t side) {
  LibraryGraph sub;
  std::vector<idx_t> local(part.size(), -1);
  for (std::size_t v = 0; v < part.size(); ++v)
    if (part[v] == side) {
      local[v] = static_cast<idx_t>(sub.vertices.size());
      sub.vertices.push_back(static_cast<std::int32_t>(v));
      if (!g.weights.empty()) sub.weights.push_back(g.weights[v]);
    }
  sub.xadj.reserve(sub.vertices.size() + 1);
  sub.xadj.push_back(0);
  for (const std::int32_t v : sub.vertices) {
    for (idx_t p = g.xadj[v]; p < g.xadj[v + 1]; ++p)
      if (const idx_t w = local[static_cast<std::size_t>(g.adjncy[p])]; w >= 0) sub.adjncy.push_back(w);
    sub.xadj.push_back(static_cast<idx_t>(sub.adjncy.size()));
  }
  return sub;
}

// The sides of the library's vertex separator (2 marks the separator), or
// nothing where it leaves a side empty.
std::optional<std::vector<idx_t>> separator_parts(LibraryGraph& g) {
  idx_t options[METIS_NOPTIONS];
  set_options(options);
  idx_t nvtxs = g.size(), separator = 0;
  std::vector<idx_t> part(static_cast<std::size_t>(nvtxs));
  const int status =
      METIS_ComputeVertexSeparator(&nvtxs, g.xadj.data(), g.adjncy.data(), g.vwgt(), options, &separator, part.data());
  if (status == METIS_ERROR_MEMORY) throw LibraryFailure{status};
  if (status != METIS_OK) return std::nullopt;
  const auto on = [&part](idx_t side) { return std::count(part.begin(), part.end(), side); };
  if (on(0) == 0 || on(1) == 0) return std::nullopt;
  return part;
}

// Nested dissection with the top level taken apart: the two sides, each
// ordered by the library (the second in a child process where two
// processors may run), then the separator. The random choices of each call
// start from the same seed however the calls run, so the ordering does not
// depend on the processor count.
std::vector<std::int32_t> split_dissection(LibraryGraph& g, bool in_parallel) {
  const std::optional<std::vector<idx_t>> part = separator_parts(g);
  if (!part) return nested_dissection(g);
  LibraryGraph first = side_graph(g, *part, 0), second = side_graph(g, *part, 1);
  auto order_second = [&second] { return nested_dissection(second); };
  std::optional<ChildTask> child;
  if (in_parallel) child.emplace(order_second, second.vertices.size());
  const std::vector<std::int32_t> first_order = nested_dissection(first);
  const std::vector<std::int32_t> second_order = child ? child->finish() : order_second();
  std::vector<std::int32_t> perm;
  perm.reserve(part->size());
  for (const std::int32_t k : first_order) perm.push_back(first.vertices[static_cast<std::size_t>(k)]);
  for (const std::int32_t k : second_order) perm.push_back(second.vertices[static_cast<std::size_t>(k)]);
  for (std::size_t v = 0; v < part->size(); ++v)
    if ((*part)[v] == 2) perm.push_back(static_cast<std::int32_t>(v));
  return perm;
}

// Vertices with the same closed neighbourhood (the unknowns of one node of a
// vector-valued discretisation) are indistinguishable to the ordering:
// group[v] numbers v's class, the first vertex of each class in vertex order
// giving the numbers. Such vertices are neighbours, so each vertex is
// compared only with its later neighbours of the same degree and key.
std::vector<std::int32_t> indistinguishable_groups(std::int32_t n, const std::int64_t* xadj,
                                                   const std::int64_t* adjncy, std::int32_t& groups) {
  std::vector<std::uint64_t> key(static_cast<std::size_t>(n));
  for (std::int32_t v = 0; v < n; ++v) {
    std::uint64_t sum = static_cast<std::uint64_t>(v);
    for (std::int64_t p = xadj[v]; p < xadj[v + 1]; ++p) sum += static_cast<std::uint64_t>(adjncy[p]);
    key[v] = sum;
  }
  const auto degree = [&](std::int32_t v) { return xadj[v + 1] - xadj[v]; };
  std::vector<std::int32_t> representative(static_cast<std::size_t>(n), -1), mark(static_cast<std::size_t>(n), -1);
  const auto same_neighbourhood = [&](std::int32_t v, std::int32_t u) {
    for (std::int64_t p = xadj[u]; p < xadj[u + 1]; ++p)
      if (adjncy[p] != v && mark[adjncy[p]] != v) return false;
    return true;
  };
  for (std::int32_t v = 0; v < n; ++v) {
    if (representative[v] >= 0) continue;
    representative[v] = v;
    bool marked = false;
    for (std::int64_t p = xadj[v]; p < xadj[v + 1]; ++p) {
      const auto u = static_cast<std::int32_t>(adjncy[p]);
      if (u <= v || representative[u] >= 0 || key[u] != key[v] || degree(u) != degree(v)) continue;
      if (!marked) {
        mark[v] = v;
        for (std::int64_t q = xadj[v]; q < xadj[v + 1]; ++q) mark[adjncy[q]] = v;
        marked = true;
      }
      if (same_neighbourhood(v, u)) representative[u] = v;
    }
  }
  std::vector<std::int32_t> group(static_cast<std::size_t>(n));
  groups = 0;
  for (std::int32_t v = 0; v < n; ++v) group[v] = representative[v] == v ? groups++ : group[representative[v]];
  return group;
}

// The graph of the groups, each weighted by its member count.
LibraryGraph group_graph(std::int32_t n, const std::int64_t* xadj, const std::int64_t* adjncy,
                         const std::vector<std::int32_t>& group, std::int32_t groups) {
  LibraryGraph g;
  g.weights.assign(static_cast<std::size_t>(groups), 0);
  for (std::int32_t v = 0; v < n; ++v) ++g.weights[group[v]];
  g.xadj.push_back(0);
  std::vector<std::int32_t> seen(static_cast<std::size_t>(groups), -1);
  std::int32_t next = 0;
  for (std::int32_t v = 0; v < n; ++v) {
    if (group[v] != next) continue;
    seen[next] = next;
    for (std::int64_t p = xadj[v]; p < xadj[v + 1]; ++p)
      if (const std::int32_t w = group[adjncy[p]]; seen[w] != next) {
        seen[w] = next;
        g.adjncy.push_back(w);
      }
    ++next;
    g.xadj.push_back(static_cast<idx_t>(g.adjncy.size()));
  }
  return g;
}

// A large graph's order: split at its top separator, over the graph of its
// indistinguishable groups where they shrink it by a sixth or more.
std::vector<std::int32_t> large_graph_order(std::int32_t n, const std::int64_t* xadj, const std::int64_t* adjncy,
                                            bool in_parallel) {
  std::int32_t groups = 0;
  const std::vector<std::int32_t> group = indistinguishable_groups(n, xadj, adjncy, groups);
  if (groups > n - n / 6) {
    LibraryGraph g = library_graph(n, xadj, adjncy);
    return split_dissection(g, in_parallel);
  }
  LibraryGraph compressed = group_graph(n, xadj, adjncy, group, groups);
  const std::vector<std::int32_t> group_order =
      groups >= split_vertices ? split_dissection(compressed, in_parallel) : nested_dissection(compressed);
  std::vector<std::int32_t> member_ptr(static_cast<std::size_t>(groups) + 1, 0), members(static_cast<std::size_t>(n));
  for (std::int32_t v = 0; v < n; ++v) ++member_ptr[group[v] + 1];
  for (std::int32_t q = 0; q < groups; ++q) member_ptr[q + 1] += member_ptr[q];
  std::vector<std::int32_t> fill(member_ptr.begin(), member_ptr.end() - 1);
  for (std::int32_t v = 0; v < n; ++v) members[fill[group[v]]++] = v;
  std::vector<std::int32_t> perm;
  perm.reserve(static_cast<std::size_t>(n));
  for (const std::int32_t q : group_order)
    perm.insert(perm.end(), members.begin() + member_ptr[q], members.begin() + member_ptr[q + 1]);
  return perm;
}

}  // namespace

void OrderNestedDissection(tessar& solver, std::int32_t n, const std::int64_t* xadj, const std::int64_t* adjncy,
                           std::int32_t* perm, std::int32_t* iperm) {
  if (n == 0) return;
  check_fits_index_type(solver, xadj[n]);
  // The graph in the library's index type, its two sides where it is split,
  // the orderings, and the groups of indistinguishable vertices (28 bytes
  // per vertex).
  const auto graph_bytes = (static_cast<std::uint64_t>(n) + 1 + static_cast<std::uint64_t>(xadj[n])) * sizeof(idx_t);
  HeldCharge charge;
  charge.set(solver, (2 * graph_bytes + (4 * sizeof(idx_t) + 28) * static_cast<std::uint64_t>(n)) / 1024);
  std::vector<std::int32_t> order;
  try {
    std::scoped_lock lock(ordering_library_lock());
    if (n >= split_vertices) {
      order = large_graph_order(n, xadj, adjncy, solver.ncpu > 1);
    } else {
      LibraryGraph g = library_graph(n, xadj, adjncy);
      order = nested_dissection(g);
    }
  } catch (const LibraryFailure& failure) {
    report_library_failure(solver, failure.status);
  } catch (const std::bad_alloc&) {
    report_library_failure(solver, METIS_ERROR_MEMORY);
  }
  std::copy_n(order.data(), n, perm);
  for (std::int32_t k = 0; k < n; ++k) iperm[perm[k]] = k;
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
