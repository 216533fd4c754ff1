#include "solve/substitution.h"

#include <algorithm>
#include <complex>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "core/memory_monitor.h"
#include "core/tessar.h"
#include "factor/factor_files.h"
#include "kernels/supernode_solve.h"
#include "platform/core_library.h"
#include "platform/kind_traits.h"
#include "platform/process.h"

namespace {

std::int64_t even_up(std::int64_t x) { return x + (x & 1); }
std::int64_t even_down(std::int64_t x) { return x - (x & 1); }

bool is_symmetric(const tessar& solver) { return solver.symmetry != 1; }
// The factorization stores the block form on the pivoting path, which the
// multi-threaded factorization always takes.
bool uses_block_form(const tessar& solver) { return solver.pivoting || solver.multi_thread; }
// The order of the matrix; a solve-only run of the plain path has no
// supernodes (its saved analysis holds none), but always the permutation.
std::int32_t order_of(const tessar& solver) { return static_cast<std::int32_t>(solver.iperm.size()); }

// Calls f with std::type_identity of the factor's stored entry type.
template <class F>
decltype(auto) with_stored_type(const tessar& solver, F&& f) {
  if (solver.value_type == 1) {
    if (solver.double_precision) return f(std::type_identity<std::complex<double>>{});
    return f(std::type_identity<std::complex<float>>{});
  }
  if (solver.double_precision) return f(std::type_identity<double>{});
  return f(std::type_identity<float>{});
}

// The units a factor is read and swept in (columns in the column form,
// supernodes in the block form) and the entry offset of each in the factor:
// unit u occupies entries start(u) … start(u + 1) − 1. The column-form L
// holds no diagonal, so its column c starts c entries before U's.
class FactorUnits {
 public:
  FactorUnits(const tessar& solver, bool block_form, char factor)
      : solver_(solver), block_(block_form), without_diagonal_(!block_form && factor == 'L') {}

  std::int32_t count() const { return block_ ? solver_.NSuper : order_of(solver_); }
  std::int64_t start(std::int32_t u) const {
    if (block_) return solver_.IU[solver_.SNode[u]];
    return solver_.IU[u] - (without_diagonal_ ? u : 0);
  }
  std::int64_t end(std::int32_t u) const { return start(u + 1); }

  // The longest run upwards from a (downwards from b) that fits in capacity
  // entries; never less than the one unit.
  std::int32_t run_up(std::int32_t a, std::int64_t capacity) const {
    std::int32_t b = a;
    while (b + 1 < count() && end(b + 1) - start(a) <= capacity) ++b;
    return b;
  }
  std::int32_t run_down(std::int32_t b, std::int64_t capacity) const {
    std::int32_t a = b;
    while (a > 0 && end(b) - start(a - 1) <= capacity) --a;
    return a;
  }

  std::int64_t largest() const {
    std::int64_t largest = 0;
    for (std::int32_t u = 0; u < count(); ++u) largest = std::max(largest, end(u) - start(u));
    return largest;
  }

  PatchRequest request(std::int32_t first, std::int32_t last, char factor) const {
    return {first, last, start(first), end(last) - start(first), factor};
  }

 private:
  const tessar& solver_;
  bool block_;
  bool without_diagonal_;
};

std::int64_t l_factor_entries(const tessar& solver) {
  if (is_symmetric(solver)) return 0;
  return uses_block_form(solver) ? solver.NzU : solver.NzU - order_of(solver);
}

// Entry offset of supernode s's block: in supernode order, or where the
// multi-threaded factorization left it in memory.
std::int64_t block_start(const tessar& solver, std::int32_t s) {
  if (!solver.factor_block_at.empty()) return solver.factor_block_at[static_cast<std::size_t>(s)];
  return solver.IU[solver.SNode[s]];
}

// The block of supernode s in an area whose content starts at entry offset.
template <class S>
SupernodeBlock<S> supernode_block(const tessar& solver, const S* area, std::int32_t s, std::int64_t offset) {
  const std::int32_t f = solver.SNode[s];
  const std::int32_t last = solver.SNode[s + 1] - 1;
  const auto rows = static_cast<std::int32_t>(solver.IU[last + 1] - solver.IU[last] - 1);
  return {area + (block_start(solver, s) - offset), f, last - f + 1, rows, solver.JU.data() + solver.IJU[last]};
}

// Offset of column j's diagonal entry in a packed lower triangle of order w.
std::int64_t packed_column_start(std::int32_t w, std::int32_t j) {
  return static_cast<std::int64_t>(j) * (2 * static_cast<std::int64_t>(w) + 1 - j) / 2;
}

// Moves the 2×2 couplings of supernodes first … last out of the factor into
// couplings (out) or back from it; returns how many were moved.
template <class S>
std::int32_t move_couplings(tessar& solver, S* area, S* couplings, std::int64_t capacity, std::int32_t first,
                            std::int32_t last, std::int64_t offset, bool out) {
  const std::int32_t* pivots = solver.PivotOrder.data();
  std::int32_t moved = 0;
  for (std::int32_t s = first; s <= last; ++s) {
    const std::int32_t f = solver.SNode[s];
    const std::int32_t w = solver.SNode[s + 1] - f;
    S* block = area + (block_start(solver, s) - offset);
    for (std::int32_t j = 0; j < w; ++j) {
      if (pivots[f + j] >= 0) continue;
      if (moved >= capacity) solver.fatal("Error occurred in a 2x2 pivot", 1);
      S& coupling = block[packed_column_start(w, j) + 1];
      if (out) {
        if (is_single_precision_v<S> && std::abs(coupling) < 1e-15) solver.fatal("Error occurred in a 2x2 pivot", 1);
        couplings[moved] = coupling;
        coupling = S(0);
      } else {
        coupling = couplings[moved];
      }
      ++moved;
      ++j;
    }
  }
  return moved;
}

std::int32_t two_by_two_pairs(const tessar& solver) {
  std::int32_t pairs = 0;
  for (std::int32_t c = 0; c < order_of(solver); ++c)
    if (solver.PivotOrder[c] < 0) {
      ++pairs;
      ++c;
    }
  return pairs;
}

bool has_two_by_two_pivots(const tessar& solver, const FactorAccess& access) {
  return access.block_form && is_symmetric(solver);
}

// Where the factor areas lie: incore U first and L behind it; offcore one
// area for both, with the patch capacity as each factor's capacity.
void place_whole_factor(tessar& solver, std::byte* base) {
  solver.u_factor_single = solver.u_factor_double = base;
  solver.u_factor_capacity = solver.NzU;
  const std::int64_t l_entries = l_factor_entries(solver);
  std::byte* l = is_symmetric(solver) ? nullptr : base + solver.NzU * solver.elem_size;
  solver.l_factor_single = solver.l_factor_double = l;
  solver.l_factor_capacity = l_entries;
}

void place_patch_area(tessar& solver, std::byte* base, std::int64_t capacity) {
  solver.u_factor_single = solver.u_factor_double = base;
  solver.u_factor_capacity = capacity;
  std::byte* l = is_symmetric(solver) ? nullptr : base;
  solver.l_factor_single = solver.l_factor_double = l;
  solver.l_factor_capacity = is_symmetric(solver) ? 0 : capacity;
}

// Replaces the WorkArray by one of bytes (charged), keeping its first
// keep_bytes and the factor areas' positions inside it.
void replace_work_array(tessar& solver, std::int64_t bytes, std::int64_t keep_bytes) {
  const char* message = is_symmetric(solver) ? "Can not allocate memory for FBS" : "Can't allocate memory for FBS";
  add_memory(solver, kb_of_bytes(bytes));
  std::unique_ptr<std::byte[]> fresh(new (std::nothrow) std::byte[bytes]);
  if (!fresh) fatal_out_of_memory(solver, message);
  std::byte* old_base = solver.WorkArray.get();
  if (keep_bytes > 0) std::memcpy(fresh.get(), old_base, keep_bytes);
  const auto rebase = [&](void*& p) {
    if (p && old_base) p = fresh.get() + (static_cast<std::byte*>(p) - old_base);
  };
  for (void** p : {&solver.u_factor_single, &solver.u_factor_double, &solver.l_factor_single, &solver.l_factor_double})
    rebase(*p);
  if (solver.WorkArray) release_memory(solver, solver.work_array_kb);
  solver.WorkArray = std::move(fresh);
  solver.work_array_bytes = bytes;
  solver.work_array_kb = kb_of_bytes(bytes);
}

void read_whole_factor(tessar& solver) {
  if (solver.multi_thread) {
    LoadSupernodeFactors(solver, 0, solver.NSuper - 1, 'U');
    if (!is_symmetric(solver)) LoadSupernodeFactors(solver, 0, solver.NSuper - 1, 'L');
  } else {
    ReadFactorRange(solver, 0, solver.NzU, 'U');
    if (!is_symmetric(solver)) ReadFactorRange(solver, 0, l_factor_entries(solver), 'L');
  }
  CloseFactorFile(solver, 'U');
  CloseFactorFile(solver, 'L');
}

void log_decision(const tessar& solver, bool offcore) {
  const auto nzu = static_cast<long long>(solver.NzU);
  if (is_symmetric(solver))
    OrlDebug(2, offcore ? L"Post improvement goes offcore NzU = %lld\n" : L"Post improvement goes incore NzU = %lld\n", nzu);
  else
    OrlDebug(2, offcore ? L"Post improvement goes offcore NzU=%lld\n" : L"Post improvement goes incore Nzu=%lld\n", nzu);
}

void allocate_couplings(tessar& solver, FactorAccess& access) {
  if (!has_two_by_two_pivots(solver, access)) return;
  const std::int32_t entries = std::max(solver.Num2x2Pivots, two_by_two_pairs(solver));
  access.TwoByTwoOffdiag.allocate(solver, static_cast<std::size_t>(entries) * solver.elem_size,
                                  "Can not allocate memory for FBS");
}

void finish_incore(tessar& solver, FactorAccess& access) {
  access.offcore = false;
  access.patch_capacity = solver.NzU + l_factor_entries(solver);
  access.u_area = solver.u_factor_buffer();
  access.l_area = solver.l_factor_buffer();
  allocate_couplings(solver, access);
  if (has_two_by_two_pivots(solver, access)) SplitTwoByTwoPivots(solver, access, 0, solver.NSuper - 1, 0);
  log_decision(solver, false);
}

void finish_offcore(tessar& solver, FactorAccess& access, std::int64_t capacity) {
  access.offcore = true;
  access.patch_capacity = capacity;
  place_patch_area(solver, solver.WorkArray.get(), capacity);
  access.u_area = solver.u_factor_buffer();
  access.l_area = solver.l_factor_buffer();
  allocate_couplings(solver, access);
  OpenUFile(solver, "rb");
  if (!is_symmetric(solver)) OpenLFile(solver, "rb");
  log_decision(solver, true);
}

void set_vector_block(tessar& solver, FactorAccess& access, std::int64_t reserved_bytes) {
  access.vector_block_bytes = reserved_bytes;
  access.vector_block = solver.WorkArray.get() + (solver.work_array_bytes - reserved_bytes);
}

// The patch capacity from the entries the area offers, or the caller's
// choice: even, at most the whole U factor, and never below the largest unit
// of either factor.
std::int64_t patch_capacity(const tessar& solver, std::int64_t available, const PatchSettings& settings) {
  if (settings.patch_entries > 0) available = settings.patch_entries;
  const std::int64_t capacity = even_down(std::min(available, even_up(solver.NzU)));
  const bool block = uses_block_form(solver);
  return std::max(capacity, FactorUnits(solver, block, 'U').largest());
}

void ensure_area(tessar& solver, std::int64_t bytes, std::int64_t keep_bytes) {
  if (!solver.WorkArray || solver.work_array_bytes < bytes) replace_work_array(solver, bytes, keep_bytes);
}

// The factor stayed in memory: only room for the vectors may be missing.
void prepare_after_incore_factorization(tessar& solver, FactorAccess& access, std::int64_t reserved_bytes) {
  ensure_area(solver, solver.stack_offset + reserved_bytes, solver.stack_offset);
  set_vector_block(solver, access, reserved_bytes);
  finish_incore(solver, access);
}

bool whole_factor_wanted(const PatchSettings& settings) { return settings.patch_entries <= 0; }

void prepare_after_offcore_factorization(tessar& solver, FactorAccess& access, std::int64_t reserved_bytes,
                                         const PatchSettings& settings) {
  const std::int64_t w = solver.elem_size;
  const std::int64_t whole = even_up(solver.NzU + l_factor_entries(solver));
  const std::int64_t available = std::max<std::int64_t>(0, (solver.work_array_bytes - reserved_bytes) / w);
  if (available >= whole && whole_factor_wanted(settings)) {
    place_whole_factor(solver, solver.WorkArray.get());
    set_vector_block(solver, access, reserved_bytes);
    read_whole_factor(solver);
    finish_incore(solver, access);
    return;
  }
  const std::int64_t capacity = patch_capacity(solver, available, settings);
  ensure_area(solver, capacity * w + reserved_bytes, 0);
  set_vector_block(solver, access, reserved_bytes);
  finish_offcore(solver, access, capacity);
}

// Bytes of the area for an offcore solve without factorization: what the
// soft limit leaves beside the memory in use and the bytes kept free, at
// least a twentieth of the factor, at most the whole factor; with a capacity
// chosen by the caller, that capacity.
std::int64_t offcore_area_bytes(const tessar& solver, std::int64_t whole, std::int64_t reserved_bytes,
                                const PatchSettings& settings) {
  const std::int64_t w = solver.elem_size;
  if (!whole_factor_wanted(settings)) return patch_capacity(solver, settings.patch_entries, settings) * w + reserved_bytes;
  const std::int64_t left = (solver.Soft_Memory_Limit - solver.memory_in_use) * 1024 - settings.kept_free_bytes;
  const std::int64_t least = (solver.NzU / 20) * w + reserved_bytes;
  return std::min(std::max(left, least), whole * w + reserved_bytes);
}

// Maps the factor files as the whole factor instead of reading them into a
// fresh area, whose every page would be faulted in and cleared first (as
// long as reading the factor once more takes). The multi-threaded layout
// needs its block index and is read; false where the files cannot be mapped.
bool map_whole_factor(tessar& solver, FactorAccess& access, std::int64_t reserved_bytes) {
  if (solver.multi_thread) return false;
  const std::int64_t w = solver.elem_size, l_entries = l_factor_entries(solver);
  if (!access.u_mapped.map(path_in_dir(solver.work_dir, solver.u_file_name), solver.NzU * w)) return false;
  if (l_entries > 0 && !access.l_mapped.map(path_in_dir(solver.work_dir, solver.l_file_name), l_entries * w)) {
    access.u_mapped.unmap();
    return false;
  }
  access.mapped_kb = kb_of_bytes((solver.NzU + l_entries) * w);
  add_memory(solver, access.mapped_kb);
  solver.u_factor_single = solver.u_factor_double = access.u_mapped.data();
  solver.u_factor_capacity = solver.NzU;
  solver.l_factor_single = solver.l_factor_double = access.l_mapped.data();
  solver.l_factor_capacity = l_entries;
  if (reserved_bytes > 0) {
    replace_work_array(solver, reserved_bytes, 0);
    set_vector_block(solver, access, reserved_bytes);
  }
  return true;
}

// The factor an earlier run kept must be the one this run's analysis and
// switches describe: each file holds its entries in the stored precision.
// One kept in the other precision (the switch -double_precision not given
// again, or given anew) or of another analysis is refused, code 1, before a
// byte of it is read as a factor.
void check_kept_factor(tessar& solver, const std::string& name, std::int64_t entries) {
  const std::string path = path_in_dir(solver.work_dir, name);
  const std::int64_t w = solver.elem_size, bytes = file_size_or_zero(path);
  // A missing file is left to the open, which names it.
  if (entries == 0 || bytes == entries * w || !std::filesystem::exists(path)) return;
  const bool double_kept = !solver.double_precision && bytes == 2 * entries * w;
  const bool single_kept = solver.double_precision && 2 * bytes == entries * w;
  if (double_kept || single_kept)
    solver.fatal(format_text("Error in the input: %s holds a factor kept in %s precision, and this run asks for %s; "
                             "%s -double_precision, as the factorizing run did",
                             name.c_str(), double_kept ? "double" : "single", double_kept ? "single" : "double",
                             double_kept ? "give" : "leave out").c_str(),
                 1);
  solver.fatal(format_text("Error in the input: %s holds %lld bytes where the saved analysis needs %lld: it is not "
                           "the factor of this analysis",
                           name.c_str(), static_cast<long long>(bytes), static_cast<long long>(entries * w)).c_str(),
               1);
}

void prepare_without_factorization(tessar& solver, FactorAccess& access, std::int64_t reserved_bytes,
                                   const PatchSettings& settings) {
  check_kept_factor(solver, solver.u_file_name, solver.NzU);
  check_kept_factor(solver, solver.l_file_name, l_factor_entries(solver));
  const std::int64_t w = solver.elem_size;
  const std::int64_t whole = even_up(solver.NzU + l_factor_entries(solver));
  const std::int64_t whole_bytes = whole * w + reserved_bytes;
  if (solver.WorkArray) {
    release_memory(solver, solver.work_array_kb);
    solver.WorkArray.reset();
    solver.work_array_bytes = 0;
    solver.work_array_kb = 0;
  }
  const std::int64_t used = solver.memory_in_use, limit = solver.Soft_Memory_Limit;
  if (whole_bytes / 1024 + used < limit && whole_factor_wanted(settings)) {
    if (map_whole_factor(solver, access, reserved_bytes)) {
      finish_incore(solver, access);
      return;
    }
    replace_work_array(solver, whole_bytes, 0);
    place_whole_factor(solver, solver.WorkArray.get());
    set_vector_block(solver, access, reserved_bytes);
    read_whole_factor(solver);
    finish_incore(solver, access);
    return;
  }
  const std::int64_t bytes = offcore_area_bytes(solver, whole, reserved_bytes, settings);
  const std::int64_t capacity = patch_capacity(solver, (bytes - reserved_bytes) / w, settings);
  replace_work_array(solver, std::max(bytes, capacity * w + reserved_bytes), 0);
  set_vector_block(solver, access, reserved_bytes);
  finish_offcore(solver, access, capacity);
}

void load_patch(tessar& solver, FactorAccess& access, const PatchRequest& request) {
  if (solver.multi_thread) LoadSupernodeFactors(solver, request.first, request.last, request.factor);
  else ReadFactorRange(solver, request.offset, request.count, request.factor);
  if (has_two_by_two_pivots(solver, access)) SplitTwoByTwoPivots(solver, access, request.first, request.last, request.offset);
  ++access.traffic.loads;
  access.traffic.bytes += request.count * solver.elem_size;
}

// Starts a sweep when the expected threads wait at the sweep barrier: its
// riders are the waiting threads of one direction, the other direction's
// first when the last sweep went this way. The caller holds the mutex.
void start_sweep_if_all_wait(FactorAccess& access) {
  SharedSweeps& shared = access.shared;
  const std::int32_t waiting = shared.waiting[0] + shared.waiting[1];
  const std::int32_t expected = std::min(shared.threads, shared.active + shared.coming);
  if (waiting == 0 || waiting < expected) return;
  std::int32_t d = 1 - shared.last_direction;
  if (shared.waiting[d] == 0) d = 1 - d;
  shared.riders = shared.waiting[d];
  shared.waiting[d] = 0;
  shared.arrived = 0;
  ++shared.started[d];
  shared.last_direction = d;
  ++access.traffic.sweeps;
  shared.changed.notify_all();
}

// Waits at the sweep barrier until a sweep of this direction takes the
// calling thread along.
void board_shared_sweep(FactorAccess& access, bool transposed) {
  SharedSweeps& shared = access.shared;
  const int d = transposed ? 1 : 0;
  std::unique_lock lock(shared.mutex);
  const std::int64_t ticket = shared.started[d];
  ++shared.waiting[d];
  start_sweep_if_all_wait(access);
  shared.changed.wait(lock, [&] { return shared.started[d] != ticket; });
}

enum class Sweep { forward, backward };

template <class S>
auto widen(const S& v) {
  if constexpr (blas::is_complex_v<S>) return std::complex<double>(v);
  else return static_cast<double>(v);
}

// The pivot of the column form: the Hermitian kind reads only the real part.
template <class K, class S>
typename K::scalar column_pivot(const S& d) {
  if constexpr (K::symmetry == Symmetry::hermitian) return typename K::scalar(std::real(widen(d)));
  else return widen(d);
}

template <class K, class S>
class RangeSolver {
 public:
  using T = typename K::scalar;
  static constexpr bool symmetric = K::symmetry != Symmetry::unsymmetric;
  // The complex symmetric column form holds L·Lᵀ with the square roots of the
  // pivots on the diagonal instead of L·D·Lᵀ.
  static constexpr bool root_pivots = K::symmetry == Symmetry::symmetric && K::is_complex;

  RangeSolver(const tessar& solver, bool block_form, bool transpose, T* x, S* work)
      : solver_(solver), block_(block_form), transpose_(transpose), x_(x), work_(work) {}

  // Runs one sweep over units first … last of the factor in area, whose
  // content starts at entry offset; couplings are those of the 2×2 pivots
  // of the range, in order.
  void run(Sweep sweep, const S* area, std::int64_t offset, std::int32_t first, std::int32_t last,
           const S* couplings) const {
    if (block_) {
      if constexpr (symmetric) sweep == Sweep::forward ? block_forward(area, offset, first, last, couplings)
                                                       : block_backward(area, offset, first, last);
      else sweep == Sweep::forward ? block_forward_lu(area, offset, first, last) : block_backward_lu(area, offset, first, last);
    } else {
      if constexpr (symmetric) sweep == Sweep::forward ? column_forward(area, offset, first, last)
                                                       : column_backward(area, offset, first, last);
      else sweep == Sweep::forward ? column_forward_lu(area, offset, first, last) : column_backward_lu(area, offset, first, last);
    }
  }

 private:
  const std::int32_t* rows_of(std::int32_t c) const { return solver_.JU.data() + solver_.IJU[c]; }
  std::int64_t length_of(std::int32_t c) const { return solver_.IU[c + 1] - solver_.IU[c]; }

  // Symmetric column form: column c holds the pivot, then the entries of L·D
  // (of L for the root-pivot form) below it.
  void column_forward(const S* area, std::int64_t offset, std::int32_t first, std::int32_t last) const {
    for (std::int32_t c = first; c <= last; ++c) {
      const S* column = area + (solver_.IU[c] - offset);
      const std::int32_t* rows = rows_of(c);
      T t;
      if constexpr (root_pivots) t = x_[c] /= widen(column[0]);
      else t = x_[c] / column_pivot<K>(column[0]);
      for (std::int64_t k = 1; k < length_of(c); ++k) x_[rows[k - 1]] -= widen(column[k]) * t;
    }
  }

  void column_backward(const S* area, std::int64_t offset, std::int32_t first, std::int32_t last) const {
    for (std::int32_t c = last; c >= first; --c) {
      const S* column = area + (solver_.IU[c] - offset);
      const std::int32_t* rows = rows_of(c);
      T s = x_[c];
      for (std::int64_t k = 1; k < length_of(c); ++k) s -= K::mirror(widen(column[k])) * x_[rows[k - 1]];
      x_[c] = s / column_pivot<K>(column[0]);
    }
  }

  // Unsymmetric column form: U by rows (diagonal first) and the strictly
  // lower part of each unit-L column.
  void column_forward_lu(const S* area, std::int64_t offset, std::int32_t first, std::int32_t last) const {
    for (std::int32_t c = first; c <= last; ++c) {
      const std::int32_t* rows = rows_of(c);
      const std::int64_t below = length_of(c) - 1;
      if (transpose_) {
        const S* row = area + (solver_.IU[c] - offset);
        const T t = x_[c] /= widen(row[0]);
        for (std::int64_t k = 0; k < below; ++k) x_[rows[k]] -= widen(row[k + 1]) * t;
      } else {
        const S* column = area + (solver_.IU[c] - c - offset);
        const T t = x_[c];
        for (std::int64_t k = 0; k < below; ++k) x_[rows[k]] -= widen(column[k]) * t;
      }
    }
  }

  void column_backward_lu(const S* area, std::int64_t offset, std::int32_t first, std::int32_t last) const {
    for (std::int32_t c = last; c >= first; --c) {
      const std::int32_t* rows = rows_of(c);
      const std::int64_t below = length_of(c) - 1;
      const S* entries = area + (solver_.IU[c] - (transpose_ ? c : 0) - offset);
      const S* off_diagonal = transpose_ ? entries : entries + 1;
      T s = x_[c];
      for (std::int64_t k = 0; k < below; ++k) s -= widen(off_diagonal[k]) * x_[rows[k]];
      x_[c] = transpose_ ? s : s / widen(entries[0]);
    }
  }

  // Interchanges of supernode s's columns, in increasing column order (apply)
  // or decreasing (undo). A 2×2 pivot interchanges its second row only.
  void apply_interchanges(std::int32_t f, std::int32_t w) const {
    const std::int32_t* pivots = solver_.PivotOrder.data();
    for (std::int32_t c = f; c < f + w; ++c) {
      const std::int32_t p = pivots[c];
      if (p >= 0) {
        if (p != c) std::swap(x_[c], x_[p]);
      } else {
        if (-p != c + 1) std::swap(x_[c + 1], x_[-p]);
        ++c;
      }
    }
  }

  void undo_interchanges(std::int32_t f, std::int32_t w) const {
    const std::int32_t* pivots = solver_.PivotOrder.data();
    for (std::int32_t c = f + w - 1; c >= f; --c) {
      const std::int32_t p = pivots[c];
      if (p >= 0) {
        if (p != c) std::swap(x_[c], x_[p]);
      } else {
        if (-p != c) std::swap(x_[c], x_[-p]);
        --c;
      }
    }
  }

  void block_forward(const S* area, std::int64_t offset, std::int32_t first, std::int32_t last,
                     const S* couplings) const {
    if constexpr (symmetric) {
      for (std::int32_t s = first; s <= last; ++s) {
        const SupernodeBlock<S> block = supernode_block(solver_, area, s, offset);
        apply_interchanges(block.first, block.width);
        supernode_forward<K>(block, Diagonal::unit, x_, work_);
        couplings += supernode_diagonal_solve<K>(block, solver_.PivotOrder.data(), couplings, x_);
      }
    }
  }

  void block_backward(const S* area, std::int64_t offset, std::int32_t first, std::int32_t last) const {
    for (std::int32_t s = last; s >= first; --s) {
      const SupernodeBlock<S> block = supernode_block(solver_, area, s, offset);
      supernode_backward<K>(block, Diagonal::unit, x_, work_);
      undo_interchanges(block.first, block.width);
    }
  }

  // Unsymmetric block form: forward with L (with the interchanges) or, for
  // the transpose, with Uᵀ; backward with U or with Lᵀ (undoing them).
  void block_forward_lu(const S* area, std::int64_t offset, std::int32_t first, std::int32_t last) const {
    for (std::int32_t s = first; s <= last; ++s) {
      const SupernodeBlock<S> block = supernode_block(solver_, area, s, offset);
      if (!transpose_) apply_interchanges(block.first, block.width);
      supernode_forward<K>(block, transpose_ ? Diagonal::non_unit : Diagonal::unit, x_, work_);
    }
  }

  void block_backward_lu(const S* area, std::int64_t offset, std::int32_t first, std::int32_t last) const {
    for (std::int32_t s = last; s >= first; --s) {
      const SupernodeBlock<S> block = supernode_block(solver_, area, s, offset);
      supernode_backward<K>(block, transpose_ ? Diagonal::unit : Diagonal::non_unit, x_, work_);
      if (transpose_) undo_interchanges(block.first, block.width);
    }
  }

  const tessar& solver_;
  bool block_;
  bool transpose_;
  T* x_;
  S* work_;
};

template <class K, class S>
class Substitution {
 public:
  using T = typename K::scalar;
  static constexpr bool symmetric = K::symmetry != Symmetry::unsymmetric;

  Substitution(tessar& solver, FactorAccess& access, T* x, bool transpose, void* work)
      : solver_(solver),
        access_(access),
        transpose_(transpose),
        ranges_(solver, access.block_form, transpose && !symmetric, x, static_cast<S*>(work)),
        forward_factor_(symmetric || transpose ? 'U' : 'L'),
        backward_factor_(symmetric || !transpose ? 'U' : 'L') {}

  void incore() const {
    const std::int32_t last = FactorUnits(solver_, access_.block_form, 'U').count() - 1;
    ranges_.run(Sweep::forward, area(forward_factor_), 0, 0, last, couplings());
    ranges_.run(Sweep::backward, area(backward_factor_), 0, 0, last, couplings());
  }

  void in_patches() {
    if (access_.shared.on.load()) board_shared_sweep(access_, !symmetric && transpose_);
    const PatchRequest last_forward = forward_patches();
    backward_patches(last_forward);
    if constexpr (symmetric)
      OrlDebug(2, L"%d Forward patches, %d Backward patches\n", forward_count_, backward_count_);
    else
      OrlDebug(2, L"%d Forward patches %d Backward patches\n", forward_count_, backward_count_);
  }

 private:
  const S* area(char factor) const { return static_cast<const S*>(factor == 'U' ? access_.u_area : access_.l_area); }
  const S* couplings() const { return reinterpret_cast<const S*>(access_.TwoByTwoOffdiag.data()); }

  void load(const PatchRequest& request) const {
    if (access_.shared.on.load()) LoadPatchShared(solver_, access_, request);
    else load_patch(solver_, access_, request);
  }

  void run_patch(Sweep sweep, const PatchRequest& patch) const {
    ranges_.run(sweep, area(patch.factor), patch.offset, patch.first, patch.last, couplings());
  }

  PatchRequest forward_patches() {
    const FactorUnits units(solver_, access_.block_form, forward_factor_);
    PatchRequest patch;
    for (std::int32_t a = 0; a < units.count(); a = patch.last + 1) {
      patch = units.request(a, units.run_up(a, access_.patch_capacity), forward_factor_);
      load(patch);
      run_patch(Sweep::forward, patch);
      ++forward_count_;
    }
    return patch;
  }

  // The symmetric column form starts with the patch the forward sweep ended
  // with, still loaded; the other forms reload every backward patch.
  void backward_patches(const PatchRequest& last_forward) {
    const FactorUnits units(solver_, access_.block_form, backward_factor_);
    std::int32_t b = units.count() - 1;
    if (symmetric && !access_.block_form) {
      run_patch(Sweep::backward, last_forward);
      ++backward_count_;
      b = last_forward.first - 1;
    }
    while (b >= 0) {
      const PatchRequest patch = units.request(units.run_down(b, access_.patch_capacity), b, backward_factor_);
      load(patch);
      run_patch(Sweep::backward, patch);
      ++backward_count_;
      b = patch.first - 1;
    }
  }

  tessar& solver_;
  FactorAccess& access_;
  bool transpose_;
  RangeSolver<K, S> ranges_;
  char forward_factor_;
  char backward_factor_;
  int forward_count_ = 0;
  int backward_count_ = 0;
};

template <class K, class S>
void solve_with_stored(tessar& solver, FactorAccess& access, typename K::scalar* x, bool transpose, void* work) {
  Substitution<K, S> substitution(solver, access, x, transpose, work);
  if (!access.offcore) {
    substitution.incore();
    return;
  }
  ++access.traffic.substitutions;
  substitution.in_patches();
}

}  // namespace

PatchSettings patch_settings_of() {
  PatchSettings settings;
  if (const auto entries = environment_value("TS_PATCH_ENTRIES"); entries && *entries > 0) {
    settings.patch_entries = *entries;
    OrlDebug(2, L"TS_PATCH_ENTRIES sets the patch capacity to %lld entries\n", static_cast<long long>(*entries));
  }
  return settings;
}

void prepare_factor_access(tessar& solver, FactorAccess& access, std::int64_t reserved_bytes,
                           const PatchSettings& settings) {
  access.block_form = uses_block_form(solver);
  if (!solver.do_factor) prepare_without_factorization(solver, access, reserved_bytes, settings);
  else if (!solver.offcore) prepare_after_incore_factorization(solver, access, reserved_bytes);
  else prepare_after_offcore_factorization(solver, access, reserved_bytes, settings);
}

void release_factor_access(tessar& solver, FactorAccess& access) {
  if (!access.offcore && access.two_by_two_count > 0) {
    with_stored_type(solver, [&]<class S>(std::type_identity<S>) {
      move_couplings(solver, static_cast<S*>(access.u_area), reinterpret_cast<S*>(access.TwoByTwoOffdiag.data()),
                     access.two_by_two_count, 0, solver.NSuper - 1, 0, false);
    });
  }
  access.two_by_two_count = 0;
  access.TwoByTwoOffdiag.release();
  if (access.offcore) {
    CloseFactorFile(solver, 'U');
    CloseFactorFile(solver, 'L');
    const PatchTraffic& t = access.traffic;
    OrlDebug(2, L"Factor read in %lld patch loads (%.1f MB) for %lld substitutions, %lld shared sweeps\n",
             static_cast<long long>(t.loads), static_cast<double>(t.bytes) / (1 << 20),
             static_cast<long long>(t.substitutions.load()), static_cast<long long>(t.sweeps));
  }
  if (access.u_mapped.data()) {
    solver.u_factor_single = solver.u_factor_double = solver.l_factor_single = solver.l_factor_double = nullptr;
    solver.u_factor_capacity = solver.l_factor_capacity = 0;
  }
  access.u_mapped.unmap();
  access.l_mapped.unmap();
  if (access.mapped_kb > 0) release_memory(solver, access.mapped_kb);
  access.mapped_kb = 0;
  access.u_area = access.l_area = nullptr;
  access.vector_block = nullptr;
  access.vector_block_bytes = 0;
}

std::size_t substitution_work_bytes(const tessar& solver) {
  if (!uses_block_form(solver)) return 0;
  return with_stored_type(solver, [&]<class S>(std::type_identity<S>) {
    std::size_t largest = 0;
    for (std::int32_t s = 0; s < solver.NSuper; ++s) {
      const SupernodeBlock<S> block = supernode_block<S>(solver, nullptr, s, 0);
      largest = std::max(largest, supernode_solve_work_size<S>(block.width, block.rows));
    }
    return largest * sizeof(S);
  });
}

template <class K>
void SolveWithFactor(tessar& solver, FactorAccess& access, typename K::scalar* x, bool transpose, void* work) {
  if (solver.double_precision) {
    solve_with_stored<K, typename K::scalar>(solver, access, x, transpose, work);
  } else {
    solve_with_stored<K, typename K::single>(solver, access, x, transpose, work);
  }
}

void SplitTwoByTwoPivots(tessar& solver, FactorAccess& access, std::int32_t first, std::int32_t last,
                         std::int64_t offset) {
  const std::int64_t capacity = static_cast<std::int64_t>(access.TwoByTwoOffdiag.size()) / solver.elem_size;
  access.two_by_two_count = with_stored_type(solver, [&]<class S>(std::type_identity<S>) {
    return move_couplings(solver, static_cast<S*>(access.u_area), reinterpret_cast<S*>(access.TwoByTwoOffdiag.data()),
                          capacity, first, last, offset, true);
  });
}

void start_shared_loading(FactorAccess& access, std::int32_t threads, std::int32_t coming) {
  SharedSweeps& shared = access.shared;
  std::scoped_lock lock(shared.mutex);
  shared.threads = threads;
  shared.coming = coming;
  shared.active = shared.riders = shared.arrived = 0;
  shared.waiting[0] = shared.waiting[1] = 0;
  shared.on = threads > 1;
}

void join_shared_sweeps(FactorAccess& access) {
  SharedSweeps& shared = access.shared;
  std::scoped_lock lock(shared.mutex);
  ++shared.active;
  shared.coming = std::max(shared.coming - 1, 0);
}

void not_coming(FactorAccess& access, std::int32_t count) {
  std::scoped_lock lock(access.shared.mutex);
  access.shared.coming = std::max(access.shared.coming - count, 0);
  start_sweep_if_all_wait(access);
}

void leave_shared_sweeps(FactorAccess& access) {
  std::scoped_lock lock(access.shared.mutex);
  --access.shared.active;
  start_sweep_if_all_wait(access);
}

// The load itself runs outside the mutex: the other riders wait for it, and
// threads reaching the barrier or leaving meanwhile cannot start a sweep, as
// the riders are neither waiting there nor gone.
void LoadPatchShared(tessar& solver, FactorAccess& access, const PatchRequest& request) {
  SharedSweeps& shared = access.shared;
  std::unique_lock lock(shared.mutex);
  if (++shared.arrived < shared.riders) {
    const std::int64_t ticket = shared.loads_completed;
    shared.changed.wait(lock, [&] { return shared.loads_completed != ticket; });
    return;
  }
  shared.arrived = 0;
  lock.unlock();
  load_patch(solver, access, request);
  lock.lock();
  ++shared.loads_completed;
  shared.changed.notify_all();
}

template void SolveWithFactor<RealSymmetric>(tessar&, FactorAccess&, double*, bool, void*);
template void SolveWithFactor<RealUnsymmetric>(tessar&, FactorAccess&, double*, bool, void*);
template void SolveWithFactor<ComplexSymmetric>(tessar&, FactorAccess&, std::complex<double>*, bool, void*);
template void SolveWithFactor<ComplexUnsymmetric>(tessar&, FactorAccess&, std::complex<double>*, bool, void*);
template void SolveWithFactor<ComplexHermitian>(tessar&, FactorAccess&, std::complex<double>*, bool, void*);
