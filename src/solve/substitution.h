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
// capacity; either one thread reads the patches for itself or all solve
// threads move through the same patches in lock step (shared loading), each
// on its own vector.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <semaphore>

#include "driver/charged_array.h"
#include "platform/guarded_section.h"

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

// State of the lock-step loading: how many threads take part, how many have
// arrived at the current load and which of the two semaphores they wait on.
// The phase alternates so that a thread that hurries on to the next load
// cannot take a release meant for the previous one. Everything here is
// changed only inside the section, except the flag on, which the solving
// threads read to choose between shared and their own loads.
struct SharedPatchLoading {
  std::atomic<bool> on{false};
  GuardedSection section;
  std::int32_t expected = 0;  // threads that take part in each load
  std::int32_t arrived = 0;   // threads waiting at the current load
  std::int32_t phase = 0;
  PatchRequest pending;       // the load the waiting threads asked for
  std::counting_semaphore<> released[2]{std::counting_semaphore<>(0), std::counting_semaphore<>(0)};
};

// The solution phase's view of the factor, filled by prepare_factor_access
// and released by release_factor_access.
//
// Incore, u_area (and l_area for the unsymmetric kinds) hold the whole factor
// and the patch capacity is the whole factor. Offcore, one area serves both
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
  SharedPatchLoading shared;
};

// A patch capacity chosen by the caller instead of the memory plan, in
// entries (0: none). When the factor lies in the files (an offcore
// factorization or a run without one) the solve then goes in patches of this
// capacity even where the factor would fit in memory, the area growing as
// needed; a factor that stayed in memory is used in place. It serves
// measurements of the patch logic with small factors; the capacity is kept
// between the largest column or supernode and the whole factor.
struct PatchSettings {
  std::int64_t patch_entries = 0;
};

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
// closes the factor files opened for patch reads.
void release_factor_access(tessar& solver, FactorAccess& access);

// Bytes of the per-thread work vector SolveWithFactor needs (the wide
// supernodes' BLAS path of the block form); 0 for the column form.
std::size_t substitution_work_bytes(const tessar& solver);

// Solves A·x = b in place for one vector with the factor of the permuted (and
// scaled) matrix: x holds the permuted right-hand side on entry and the
// permuted solution on return. transpose (unsymmetric kinds only) solves
// Aᵀ·x = b. work holds substitution_work_bytes(solver) bytes owned by the
// calling thread. Offcore, while shared loading is on, every taking-part
// thread must call it the same number of times.
template <class K>
void SolveWithFactor(tessar& solver, FactorAccess& access, typename K::scalar* x, bool transpose, void* work);

// Moves the coupling element of every 2×2 pivot of supernodes first … last,
// whose factor entries start at entry offset in the loaded area, into
// TwoByTwoOffdiag (numbered from 0) and writes 0 in its place. In single
// precision a coupling below 1e-15 in magnitude ends the run with "Error
// occurred in a 2x2 pivot", code 1.
void SplitTwoByTwoPivots(tessar& solver, FactorAccess& access, std::int32_t first, std::int32_t last,
                         std::int64_t offset);

// Shared loading: threads take part from start_shared_loading on; each load
// waits until all of them have asked for it, and the last to ask loads the
// patch for all. A thread that has no more vectors to solve leaves with
// stop_shared_loading, which completes a load the others already wait for.
void start_shared_loading(FactorAccess& access, std::int32_t threads);
void stop_shared_loading(tessar& solver, FactorAccess& access);
void LoadPatchShared(tessar& solver, FactorAccess& access, const PatchRequest& request);
