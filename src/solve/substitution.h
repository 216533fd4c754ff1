#pragma once
// Forward and backward substitution with the stored factor, for one
// right-hand-side vector at a time, and the set-up of the factor area the
// solution phase reads the factor from.
//
// Two factor forms exist. The column form (plain factorization) is walked
// column by column through the column pointers IU and the row subscripts
// JU/IJU. The block form (pivoting factorization, also the multi-threaded one)
// is walked supernode by supernode: a packed lower-triangular diagonal block
// followed by the off-diagonal block, with the interchanges of PivotOrder and
// the 1×1 and 2×2 pivots of D.
//
// Incore the whole factor lies in memory and is only read, so any number of
// threads may solve different vectors at once. Offcore the factor is read in
// patches, runs of consecutive columns or supernodes that fit in the patch
// capacity; either one thread reads the patches for itself or the solve
// threads ride through the patches together in shared sweeps, each on its own
// vector, so that a patch is read once for all of them.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "core/charged_array.h"
#include "platform/files.h"

class tessar;

// The patch a shared load brings in: units (columns or supernodes) first …
// last of one factor, count entries from the entry offset.
struct PatchRequest {
  std::int32_t first = 0;
  std::int32_t last = -1;
  std::int64_t offset = 0;
  std::int64_t count = 0;
  char factor = 'U';
};

// Shared sweeps over an offcore factor. A solve thread takes part while it
// works on a right-hand side (join_shared_sweeps … leave_shared_sweeps); each
// substitution it makes waits at the sweep barrier until the expected
// threads wait there: those taking part, and as many of the right-hand sides
// still coming as there are threads free for them (a thread that leaves is
// replaced by the next right-hand side, which is worth waiting for: it joins
// as soon as it has read its vector). The waiting threads of one
// direction (A, or Aᵀ for the unsymmetric kinds, whose sweeps read the
// factors in the other order) then ride one sweep through the patches
// together: each patch is loaded once, by the last rider to ask for it, and
// replaced only when every rider has asked for the next one. Directions
// alternate when threads wait for both. A thread that leaves (its vector
// confirmed, or given up) no longer counts, so the others never wait for it;
// when no right-hand side is coming any more (all have joined, or the
// launches stopped) only the threads taking part are waited for.
//
// Everything but the flag on is changed under the mutex. on is set before
// the solve threads start and read by them to choose between shared sweeps
// and their own loads.
struct SharedSweeps {
  std::atomic<bool> on{false};
  std::mutex mutex;
  std::condition_variable changed;
  std::int32_t threads = 0;             // solve threads
  std::int32_t active = 0;              // threads taking part
  std::int32_t coming = 0;              // right-hand sides still to join
  std::int32_t waiting[2] = {0, 0};     // at the sweep barrier, by direction (1: Aᵀ)
  std::int64_t started[2] = {0, 0};     // sweeps started, by direction
  std::int32_t last_direction = 1;      // of the sweep started last
  std::int32_t riders = 0;              // threads of the sweep in progress
  std::int32_t arrived = 0;             // riders that asked for the next patch
  std::int64_t loads_completed = 0;     // patches loaded by shared sweeps
};

// What the substitution read from the factor files during the solve phase.
struct PatchTraffic {
  std::int64_t loads = 0;  // patch loads
  std::int64_t bytes = 0;  // factor bytes read by them
  std::atomic<std::int64_t> substitutions{0};
  std::int64_t sweeps = 0;  // shared sweeps (each serving one or more substitutions)
};

// The solution phase's view of the factor, filled by prepare_factor_access
// and released by release_factor_access.
//
// Incore, u_area (and l_area for the unsymmetric kinds) hold the whole factor
// and the patch capacity is the whole factor; a run without factorization
// maps the factor files (u_mapped, l_mapped, charged as mapped_kb) where their
// layout allows it. Offcore, one area serves both
// factors (u_area == l_area): the forward sweep reads one file and the
// backward sweep the other, never both at once; the capacity, in entries, is
// at least the largest column (column form) or supernode (block form), so
// every patch makes progress.
//
// TwoByTwoOffdiag holds the coupling elements of the 2×2 pivots (block form,
// symmetric kinds), one entry of the factor's stored type each, Num2x2Pivots
// entries in all: incore those of the whole factor, moved out of it once by
// the set-up (and put back by the release); offcore those of the patch
// currently loaded.
struct FactorAccess {
  FactorAccess() = default;
  FactorAccess(const FactorAccess&) = delete;
  FactorAccess& operator=(const FactorAccess&) = delete;

  bool offcore = false;
  bool block_form = false;
  std::int64_t patch_capacity = 0;
  void* u_area = nullptr;
  void* l_area = nullptr;
  std::byte* vector_block = nullptr;  // the reserved bytes at the end of the area
  std::int64_t vector_block_bytes = 0;
  ChargedArray<std::byte> TwoByTwoOffdiag;
  std::int32_t two_by_two_count = 0;  // couplings held in TwoByTwoOffdiag now
  MappedFile u_mapped, l_mapped;
  std::uint64_t mapped_kb = 0;
  SharedSweeps shared;
  PatchTraffic traffic;
};

// How the factor area is sized beside the memory plan.
//
// patch_entries: a patch capacity chosen by the caller, in entries (0: none;
// the environment's "TS_PATCH_ENTRIES" through patch_settings_of). When the
// factor lies in the files (an offcore factorization or a run without one)
// the solve then goes in patches of this capacity even where the factor
// would fit in memory; a factor that stayed in memory is used in place. It
// serves tests and measurements of the patch logic with small factors; the
// capacity is kept between the largest column or supernode and the whole
// factor.
//
// kept_free_bytes: memory an offcore area leaves free under the soft limit
// (the solve threads' vectors); the area never shrinks below its minimum for
// it.
struct PatchSettings {
  std::int64_t patch_entries = 0;
  std::int64_t kept_free_bytes = 0;
};

// The settings the environment asks for ("TS_PATCH_ENTRIES", logged when set).
PatchSettings patch_settings_of();

// The memory set-up of the solution phase, after the analysis is in place
// and the matrix reordered (and scaled). After a factorization in this run
// the factor area is the WorkArray; an offcore factor that fits in it is read
// in whole and the solve goes incore, otherwise the U file is opened for
// patch reads. In a run without factorization (do_factor off) the WorkArray
// is allocated here, for the whole factor when the soft memory limit allows
// it and for patches otherwise ("Can not allocate memory for FBS" or "Can't
// allocate memory for FBS", code 100). reserved_bytes at the end of the
// WorkArray are kept out of the factor area for the vectors of solve thread 0
// (access.vector_block). An area too small for the largest column or
// supernode is enlarged. In the block form the 2×2 couplings are moved out
// of an incore factor into TwoByTwoOffdiag.
void prepare_factor_access(tessar& solver, FactorAccess& access, std::int64_t reserved_bytes,
                           const PatchSettings& settings = {});

// Puts the 2×2 couplings back into an incore factor, frees TwoByTwoOffdiag and
// closes the factor files opened for patch reads, logging what the patch
// reads cost: "Factor read in %lld patch loads (%.1f MB) for %lld
// substitutions, %lld shared sweeps\n" (level 2).
void release_factor_access(tessar& solver, FactorAccess& access);

// Bytes of the per-thread work vector SolveWithFactor needs (the wide
// supernodes' BLAS path of the block form); 0 for the column form.
std::size_t substitution_work_bytes(const tessar& solver);

// Solves A·x = b in place for one vector with the factor of the permuted (and
// scaled) matrix: x holds the permuted right-hand side on entry and the
// permuted solution on return. transpose (unsymmetric kinds only) solves
// Aᵀ·x = b. work holds substitution_work_bytes(solver) bytes owned by the
// calling thread. Offcore, while shared sweeps are on, the calling thread
// must have joined them.
template <class K>
void SolveWithFactor(tessar& solver, FactorAccess& access, typename K::scalar* x, bool transpose, void* work);

// Moves the coupling element of every 2×2 pivot of supernodes first … last,
// whose factor entries start at entry offset in the loaded area, into
// TwoByTwoOffdiag (numbered from 0) and writes 0 in its place. In single
// precision a coupling below 1e-15 in magnitude ends the run with "Error
// occurred in a 2x2 pivot", code 1.
void SplitTwoByTwoPivots(tessar& solver, FactorAccess& access, std::int32_t first, std::int32_t last,
                         std::int64_t offset);

// Shared sweeps (see SharedSweeps): on for threads > 1, off otherwise, with
// `coming` right-hand sides to be solved; set while no solve thread runs. A
// solve thread joins before its first substitution of a right-hand side and
// leaves after its last; not_coming says that `count` of the right-hand sides
// announced will not come after all.
void start_shared_loading(FactorAccess& access, std::int32_t threads, std::int32_t coming);
void join_shared_sweeps(FactorAccess& access);
void leave_shared_sweeps(FactorAccess& access);
void not_coming(FactorAccess& access, std::int32_t count);

// Loads a patch of the sweep in progress for all its riders: waits until
// every rider has asked for it, and the last to ask loads it.
void LoadPatchShared(tessar& solver, FactorAccess& access, const PatchRequest& request);
