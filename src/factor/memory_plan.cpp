#include "factor/memory_plan.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <utility>
#include <climits>

#include "analysis/working_storage.h"
#include "core/memory_monitor.h"
#include "core/progress.h"
#include "core/tessar.h"
#include "factor/supernode_tree.h"
#include "platform/core_library.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

std::int64_t even(std::int64_t x) { return x + (x & 1); }

// Sizes in one place: entry width E of the stored factor, working width W of
// fronts and vectors, width S of the stack's elements (W, or E where the
// plain path's fronts are single precision), and the element counts the
// plans are built from.
struct PlanSizes {
  std::int64_t n, F, E, W, S, r;
  bool symmetric;
  std::int64_t T;        // factor entries in all factor regions
  std::int64_t M;        // what the solution phase needs in working elements
  std::int64_t P;        // largest factor block of one supernode
  std::int64_t factor_kb, disk_kb;

  std::int64_t update_size(std::int64_t x) const { return symmetric ? x * (x + 1) / 2 : x * x; }
};

std::int64_t largest_block(const tessar& solver, bool symmetric) {
  std::int64_t largest = 0;
  for (std::int32_t s = 0; s < solver.NSuper; ++s) {
    const std::int64_t m = front_order(solver, s), x = update_order(solver, s);
    largest = std::max(largest, symmetric ? m * (m + 1) / 2 - x * (x + 1) / 2 : m * (m + 1) - x * (x + 1));
  }
  return largest;
}

std::int32_t largest_front(const tessar& solver) {
  std::int64_t largest = 0;
  for (std::int32_t s = 0; s < solver.NSuper; ++s) largest = std::max(largest, front_order(solver, s));
  return static_cast<std::int32_t>(largest);
}

// Delayed pivots are to be expected where the matching moved rows or paired
// columns with weak diagonals: the pivoting plan then keeps a margin.
bool expects_delays(const tessar& solver) { return solver.matched() || solver.pivot_pairs.size() > 0; }

PlanSizes plan_sizes(const tessar& solver, bool pivoting) {
  PlanSizes z{};
  z.n = solver.SNode[solver.NSuper];
  z.F = solver.NzU + (pivoting && expects_delays(solver) ? solver.NzU / 16 : 0);
  z.E = solver.elem_size;
  z.W = solver.value_type == 1 ? 16 : 8;
  z.r = z.W / z.E;
  z.S = z.W;
  z.symmetric = solver.symmetry != 1;
  z.T = z.symmetric ? z.F : (pivoting ? 2 * z.F : 2 * z.F - z.n);
  z.M = solver.double_precision && !solver.enforce_CG ? z.n : (z.symmetric ? 3 : 5) * z.n;
  if (pivoting) z.M += solver.max_front;
  z.P = largest_block(solver, z.symmetric);
  z.factor_kb = z.T * z.E / 1024;
  z.disk_kb = (file_size_or_zero("A") + 2 * file_size_or_zero("b")) / 1024;
  return z;
}

// Charges and allocates the WorkArray; a failure names the size and ends the
// run with "Can not allocate WorkArray", code 100.
void allocate_work_array(tessar& solver, std::int64_t bytes, const PlanSizes& z, bool pivoting) {
  add_memory(solver, kb_of_bytes(bytes));
  solver.WorkArray.reset(new (std::nothrow) std::byte[bytes]);
  solver.work_array_bytes = bytes;
  solver.work_array_kb = kb_of_bytes(bytes);
  if (solver.WorkArray) {
    // The factorization writes the whole array (the plan sizes it to the
    // factor and the stack's peak): its pages are backed in one call.
    back_pages_now(solver.WorkArray.get(), static_cast<std::size_t>(bytes));
    return;
  }
  if (z.symmetric)
    OrlDebug(1, L"Trying to allocate %lld Kbites\n", static_cast<long long>(bytes / 1024));
  else
    OrlDebug(1, pivoting ? L"Trying to allocate %lld bytes\n" : L"Trying to allocate %lld bites\n",
             static_cast<long long>(bytes));
  solver.fatal("Can not allocate WorkArray", 100);
}

// Places the regions inside the WorkArray: incore the factor region(s) first
// and the stack area behind them; offcore the stack area first and, on the
// pivoting path, the write buffer(s) behind it.
void place_regions(tessar& solver, const PlanSizes& z, bool pivoting) {
  std::byte* base = solver.WorkArray.get();
  const std::int64_t stack_bytes = (solver.Storage + 1) * z.S;
  if (solver.offcore) {
    solver.stack_offset = 0;
    const std::int64_t rest = std::max<std::int64_t>(0, solver.work_array_bytes - stack_bytes);
    const std::int64_t each = z.symmetric ? rest : rest / 16 * 8;
    solver.u_factor_capacity = pivoting ? each / z.E : 0;
    solver.l_factor_capacity = pivoting && !z.symmetric ? each / z.E : 0;
    std::byte* u = base + stack_bytes;
    std::byte* l = u + each;
    solver.u_factor_single = solver.u_factor_double = u;
    solver.l_factor_single = solver.l_factor_double = z.symmetric ? nullptr : l;
    return;
  }
  const std::int64_t l_entries = z.symmetric ? 0 : (pivoting ? z.F : z.F - z.n);
  std::byte* l = base;
  std::byte* u = base + l_entries * z.E;
  solver.stack_offset = z.symmetric ? even(z.F) * z.E : (pivoting ? 2 * z.F * z.E : even(2 * z.F - z.n) * z.E);
  solver.u_factor_single = solver.u_factor_double = u;
  solver.l_factor_single = solver.l_factor_double = z.symmetric ? nullptr : l;
  solver.u_factor_capacity = z.F;
  solver.l_factor_capacity = l_entries;
}

void log_storage(const tessar& solver, std::int64_t divisor) {
  OrlDebug(2, L"Storage= %lld Reduction= %le\n", static_cast<long long>(solver.Storage),
           static_cast<double>(solver.Storage) / static_cast<double>(std::max<std::int64_t>(divisor, 1)));
}

// Offcore size when the solution phase follows in this run: the whole
// factor plus the solve's vectors if they fit under the soft limit,
// otherwise what memory is left, but never less than the path's minimum.
std::int64_t offcore_size_with_solve(const tessar& solver, const PlanSizes& z, std::int64_t minimum_entries,
                                     bool clamp_at_zero) {
  const std::int64_t Y = even(z.r * z.M + z.T) * z.E;
  if (static_cast<double>(Y / 1024 + solver.memory_in_use) > static_cast<double>(solver.Soft_Memory_Limit)) {
    std::int64_t left = solver.Soft_Memory_Limit - solver.memory_in_use;
    if (clamp_at_zero) left = std::max<std::int64_t>(left, 0);
    return std::max(left * 1024, minimum_entries * z.E);
  }
  return std::max((solver.Storage + 1) * z.S, Y);
}

}  // namespace

namespace {

// Peak of the stack over supernodes first … last and the stack left at the
// end (the subtree's root update, when last is not the tree's root, is left
// out: it goes up in place or to the pool).
std::pair<std::int64_t, std::int64_t> stack_peak(const tessar& solver, const SupernodeTree& tree, std::int32_t first,
                                                 std::int32_t last) {
  const bool symmetric = solver.symmetry != 1;
  const auto u = [&](std::int64_t x) { return symmetric ? x * (x + 1) / 2 : x * x; };
  std::int64_t stack = 0, peak = 0;
  for (std::int32_t s = first; s <= last; ++s) {
    const std::int64_t m = front_order(solver, s);
    peak = std::max(peak, m * m + stack);
    for (std::int32_t c = tree.child_ptr[s]; c + 1 < tree.child_ptr[s + 1]; ++c)
      stack -= u(update_order(solver, tree.children[c]));
    if (s + 1 <= last && tree.child_count(s + 1) == 0) stack += u(update_order(solver, s));
  }
  return {peak, stack};
}

}  // namespace

std::int64_t StackEstimate(tessar& solver, const SupernodeTree& tree) {
  const auto [peak, stack] = stack_peak(solver, tree, 0, solver.NSuper - 1);
  OrlDebug(2, L"Memory required for stack = %lld\n", static_cast<long long>(peak));
  if (stack != 0) solver.fatal("Memory violation is expected", 1);
  return peak;
}

std::int64_t SubtreeStackEstimate(const tessar& solver, const SupernodeTree& tree, std::int32_t first,
                                  std::int32_t last) {
  const std::int64_t peak = stack_peak(solver, tree, first, last).first + 1;
  return expects_delays(solver) ? peak + peak / 16 : peak;
}

bool PlainFrontsInSingle(const tessar& solver) { return solver.single_updates && !solver.double_precision; }

void PlainPlan(tessar& solver, const SupernodeTree& tree) {
  solver.Storage = StackEstimate(solver, tree);
  PlanSizes z = plan_sizes(solver, false);
  if (PlainFrontsInSingle(solver)) z.S = z.E;
  log_storage(solver, z.symmetric ? z.F : 2 * z.F - z.n);
  const std::int64_t stack_bytes = (solver.Storage + 1) * z.S;
  const std::int64_t G = std::max(stack_bytes, z.M * z.W);
  decide_incore_offcore(solver, G / 1024, z.disk_kb, z.factor_kb);
  std::int64_t bytes;
  if (!solver.offcore)
    bytes = even(z.T) * z.E + G;
  else if (solver.do_solve)
    bytes = offcore_size_with_solve(solver, z, std::max(stack_bytes / z.E, z.F / 20 + z.r * z.M), false);
  else
    bytes = stack_bytes;
  allocate_work_array(solver, bytes, z, false);
  place_regions(solver, z, false);
}

void PivotingPlan(tessar& solver, const SupernodeTree& tree) {
  solver.max_front = largest_front(solver);
  solver.Storage = StackEstimate(solver, tree);
  if (expects_delays(solver)) solver.Storage += solver.Storage / 16;
  const PlanSizes z = plan_sizes(solver, true);
  const auto kb = [](std::int64_t bytes) { return static_cast<long long>(bytes / 1024); };
  if (z.symmetric) {
    OrlDebug(2, L"Memory required for stack = %lld KB  Reduction= %le\n", kb(solver.Storage * z.W),
             static_cast<double>(solver.Storage) / static_cast<double>(std::max<std::int64_t>(z.F, 1)));
    OrlDebug(2, L"Memory required for UFactor = %lld KB\n", static_cast<long long>(z.factor_kb));
  } else {
    log_storage(solver, 2 * z.F);
    OrlDebug(2, L"Memory required for solve = %lld KB\n", kb(z.M * z.W));
    OrlDebug(2, L"Memory required for stack & frontal matrix = %lld KB\n", kb(solver.Storage * z.W));
    OrlDebug(2, L"Memory required for LUFactor = %lld KB\n", static_cast<long long>(z.factor_kb));
  }
  const std::int64_t G = std::max(solver.Storage + 1, z.M);
  decide_incore_offcore(solver, G * z.W / 1024, z.disk_kb, z.factor_kb);
  const std::int64_t Q = std::max(z.symmetric ? z.F / 20 : z.F / 10, z.P);
  std::int64_t bytes;
  if (!solver.offcore)
    bytes = (z.symmetric ? even(z.F) : 2 * z.F) * z.E + G * z.W;
  else if (solver.do_solve)
    bytes = offcore_size_with_solve(solver, z, std::max((Q + solver.Storage + 1) * z.r, (z.M + Q) * z.r), true);
  else
    bytes = (Q + solver.Storage + 1) * z.W;
  allocate_work_array(solver, bytes, z, true);
  place_regions(solver, z, true);
}

void MultiThreadPlan(tessar& solver, const SupernodeTree& tree) {
  solver.max_front = largest_front(solver);
  const PlanSizes z = plan_sizes(solver, true);
  const auto kb = [&](std::int64_t elements) { return static_cast<long long>(elements * z.W / 1024); };
  const std::int64_t umin = EstimateMultiThreadMemory(solver);
  OrlDebug(2, L"Minimum memory requirement to store update and frontal matrices = %lld KB\n", kb(umin));
  OrlDebug(2, z.symmetric ? L"Memory required for UFactor = %lld KB\n" : L"Memory required for LUFactor = %lld KB\n",
           static_cast<long long>(z.factor_kb));
  decide_incore_offcore(solver, umin * z.W / 1024, z.disk_kb, z.factor_kb);
  const std::int64_t single = stack_peak(solver, tree, 0, solver.NSuper - 1).first + 1;
  OrlDebug(2, L"Maximum memory required for single core run = %lld KB\n",
           static_cast<long long>(solver.memory_in_use + kb(single) + z.factor_kb));
  solver.allowed_fronts = std::max(solver.ncpu, 1);
  const double need = static_cast<double>(solver.memory_in_use + kb(umin) + z.factor_kb) * 1.05;
  if (need > static_cast<double>(solver.Soft_Memory_Limit) || solver.offcore) {
    solver.allowed_fronts = 1;
    OrlDebug(2, L"No multiple frontal matrices are allowed to be processed concurrently\n");
  }
  if (const auto fronts = environment_value("TS_ALLOWED_FRONTS"); fronts && *fronts > 0)
    solver.allowed_fronts = static_cast<std::int32_t>(std::min<std::int64_t>(*fronts, INT32_MAX));
  OrlDebug(2, L"Maximum allowed concurrent frontal matrices is set to = %d\n", solver.allowed_fronts);
  std::int64_t bytes;
  if (solver.offcore) {
    const std::int64_t Q = z.symmetric ? std::max(z.P + 3, z.F / 20) : std::max(z.P, z.F / 10);
    const std::int64_t left = std::max<std::int64_t>(solver.Soft_Memory_Limit - solver.memory_in_use - kb(umin), 0);
    bytes = std::max(left * 1024, even(Q) * z.E * (z.symmetric ? 1 : 2));
    OrlDebug(2, L"Size of the memory buffer for offcore = %lld KB\n", static_cast<long long>(bytes / 1024));
    OrlDebug(2, L"size of buffer/size of factor = %f\n",
             static_cast<double>(bytes / 1024) / static_cast<double>(std::max<std::int64_t>(z.factor_kb, 1)));
  } else {
    bytes = (z.symmetric ? even(z.F) : 2 * z.F) * z.E;
  }
  allocate_work_array(solver, bytes, z, true);
  std::byte* base = solver.WorkArray.get();
  solver.stack_offset = bytes;
  if (solver.offcore) {
    solver.u_factor_single = solver.u_factor_double = nullptr;
    solver.l_factor_single = solver.l_factor_double = nullptr;
    solver.u_factor_capacity = solver.l_factor_capacity = 0;
    return;
  }
  std::byte* u = z.symmetric ? base : base + z.F * z.E;
  solver.u_factor_single = solver.u_factor_double = u;
  solver.l_factor_single = solver.l_factor_double = z.symmetric ? nullptr : base;
  solver.u_factor_capacity = z.F;
  solver.l_factor_capacity = z.symmetric ? 0 : z.F;
}

void ReportFactorEstimate(const tessar& solver) {
  char text[96];
  std::snprintf(text, sizeof text, "Factor (Est. memory = %dMB, disk = %dMB)",
                static_cast<int>(solver.memory_in_use / 1024 + 1), static_cast<int>(solver.disk_usage / 1024 + 1));
  report_message(solver, text);
}
