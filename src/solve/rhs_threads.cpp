#include "solve/rhs_threads.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "core/charged_array.h"
#include "core/progress.h"
#include "core/tessar.h"
#include "platform/core_library.h"
#include "platform/error.h"
#include "platform/guarded_section.h"
#include "platform/process.h"
#include "platform/threads.h"
#include "solve/rhs_vectors.h"

namespace {

// A 32-bit counter changed under its own critical section.
class GuardedCounter {
 public:
  std::int32_t get() {
    std::scoped_lock lock(section_);
    return value_;
  }
  void set(std::int32_t value) {
    std::scoped_lock lock(section_);
    value_ = value;
  }
  void add(std::int32_t delta) {
    std::scoped_lock lock(section_);
    value_ += delta;
  }

 private:
  GuardedSection section_;
  std::int32_t value_ = 0;
};

// Busy flags of the solve threads' slots.
class ThreadArray {
 public:
  explicit ThreadArray(std::int32_t slots) : busy_(slots, 0) {}

  // The first free slot, or −1 when every slot is busy.
  std::int32_t first_free() {
    std::scoped_lock lock(section_);
    const auto it = std::find(busy_.begin(), busy_.end(), 0);
    if (it != busy_.end()) return static_cast<std::int32_t>(it - busy_.begin());
    OrlDebug(2, L"No available threads are found\n");
    return -1;
  }

  void mark_busy(std::int32_t slot) {
    std::scoped_lock lock(section_);
    const auto slots = static_cast<std::int32_t>(busy_.size());
    if (slot < 0 || slot >= slots || busy_[slot]) {
      OrlDebug(2, L"Invalid thread number %d, Max=%d\n", slot, slots - 1);
      end_process(1);
    }
    busy_[slot] = 1;
  }

  void mark_free(std::int32_t slot) {
    std::scoped_lock lock(section_);
    busy_[slot] = 0;
  }

 private:
  GuardedSection section_;
  std::vector<std::uint8_t> busy_;
};

void report_solved(const tessar& solver, std::int32_t solved, std::int32_t nrhs) {
  const std::int32_t span = solver.solve_progress_end - solver.solve_progress_start;
  report_progress(solver, solver.solve_progress_start + span * solved / nrhs);
}

int solve_in_turn(tessar& solver, RhsVectors& vectors, std::int32_t n, const std::vector<std::int32_t>& rhs, std::size_t element_size,
                  const RhsSolveHooks& hooks) {
  hooks.share_patch_loads(1, 0);
  ChargedArray<std::byte> svect;
  svect.allocate(solver, element_size * n, "Cannot allocate memory for svect");
  const auto count = static_cast<std::int32_t>(rhs.size());
  int result = 0;
  for (std::int32_t i = 0; i < count && result == 0; ++i) {
    const std::int32_t k = rhs[i];
    OrlDebug(2, L"Solving %d rhs vector\n", k + 1);
    vectors.read(solver, n, svect.data(), element_size, k, count);
    result = hooks.solve_one(svect.data(), 0, k);
    if (result != 0) break;
    vectors.write(solver, n, svect.data(), element_size, k);
    report_solved(solver, i + 1, count);
  }
  return result;
}

// The state the launching thread shares with the solve threads of one call.
struct RhsRun {
  tessar& solver;
  RhsVectors& vectors;
  std::int32_t n, nrhs, threads;
  std::size_t element_size;
  const RhsSolveHooks& hooks;
  std::vector<ChargedArray<std::byte>> svect;
  // The thread last started in each slot. It is joined before its slot takes
  // the next right-hand side and at the end, so no thread still runs (even
  // inside its last semaphore release) when this state goes away.
  std::vector<std::thread> workers;
  ThreadArray slots;
  Semaphore free_threads;
  GuardedCounter error_code, completed, total;
  // The first failure a solve thread raised (in throw mode), carried back to
  // the launching thread once every thread is joined.
  std::mutex failure_lock;
  std::optional<TessarException> failure;

  void keep_failure(const TessarException& raised) {
    std::scoped_lock lock(failure_lock);
    if (!failure) failure = raised;
  }

  RhsRun(tessar& s, RhsVectors& v, std::int32_t n_, std::int32_t nrhs_, std::int32_t p, std::size_t width, const RhsSolveHooks& h)
      : solver(s), vectors(v), n(n_), nrhs(nrhs_), threads(p), element_size(width), hooks(h), svect(p), workers(p), slots(p),
        free_threads(p) {
    for (auto& v : svect) v.allocate(solver, element_size * n, "Not enough memory for **svect");
    total.set(nrhs);
  }
};

void RhsSolveThread(RhsRun& run, std::int32_t slot, std::int32_t k) {
  OrlDebug(2, L"Thread %d succesfully launched, rhs %d(out of %d)\n", slot, k, run.nrhs);
  set_thread_count(1);
  std::byte* vector = run.svect[slot].data();
  int result = 0;
  try {
    run.vectors.read(run.solver, run.n, vector, run.element_size, k, run.nrhs);
    result = run.hooks.solve_one(vector, slot, k);
    if (result == 0) run.vectors.write(run.solver, run.n, vector, run.element_size, k);
  } catch (const TessarException& raised) {
    run.keep_failure(raised);
    result = raised.code();
  } catch (const std::bad_alloc&) {
    // Reported as every failure is: the run ends here, or in throw mode the
    // failure goes back to the launching thread.
    try {
      run.solver.fatal("Not enough memory", 100);
    } catch (const TessarException& raised) {
      run.keep_failure(raised);
    }
    result = 100;
  }
  OrlDebug(2, L"Thread %d returned with error code %d\n", slot, result);
  if (result != 0) run.error_code.set(result);
  run.completed.add(1);
  run.slots.mark_free(slot);
  run.free_threads.release();
}

int solve_in_parallel(tessar& solver, RhsVectors& vectors, std::int32_t n, const std::vector<std::int32_t>& rhs, std::int32_t threads,
                      std::size_t element_size, const RhsSolveHooks& hooks) {
  const auto nrhs = static_cast<std::int32_t>(rhs.size());
  hooks.share_patch_loads(threads, nrhs);
  solver.threaded_vector_io = true;
  RhsRun run(solver, vectors, n, nrhs, threads, element_size, hooks);
  for (std::int32_t i = 0; i < nrhs; ++i) {
    const std::int32_t k = rhs[i];
    run.free_threads.acquire();
    if (run.error_code.get() != 0) {
      run.free_threads.release();
      hooks.launches_stopped(nrhs - i);
      break;
    }
    report_solved(solver, run.completed.get(), nrhs);
    const std::int32_t slot = run.slots.first_free();
    run.slots.mark_busy(slot);
    if (run.workers[slot].joinable()) run.workers[slot].join();
    run.workers[slot] = start_thread([&run, slot, k] { RhsSolveThread(run, slot, k); });
  }
  for (std::int32_t t = 0; t < threads; ++t) {
    run.free_threads.acquire();
    report_solved(solver, run.completed.get(), nrhs);
  }
  for (std::thread& worker : run.workers)
    if (worker.joinable()) worker.join();
  run.free_threads.release(threads);
  solver.threaded_vector_io = false;
  hooks.share_patch_loads(1, 0);
  if (run.failure) solver.end_run(*run.failure);
  return run.error_code.get();
}

}  // namespace

std::int32_t solve_thread_count(const tessar& solver) {
  return solver.ncpu_solve >= 1 ? solver.ncpu_solve : std::max(solver.ncpu, 1);
}

int SolveAllRhs(tessar& solver, RhsVectors& vectors, std::int32_t n, const std::vector<std::int32_t>& rhs, std::size_t element_size,
                const RhsSolveHooks& hooks) {
  const auto nrhs = static_cast<std::int32_t>(rhs.size());
  if (nrhs <= 0) return 0;
  report_progress(solver, solver.solve_progress_start);
  std::int32_t threads = std::min(solve_thread_count(solver), nrhs);
  if (hooks.max_threads > 0) threads = std::min(threads, hooks.max_threads);
  // The substitution's dense calls are matrix-vector products, too small to
  // share: the dense library runs one thread in the solution phase (its own
  // threads would only wait for work, spinning), on the calling thread as on
  // the solve threads.
  const int dense_threads = thread_count();
  set_thread_count(1);
  const int result = threads <= 1 ? solve_in_turn(solver, vectors, n, rhs, element_size, hooks)
                                  : solve_in_parallel(solver, vectors, n, rhs, threads, element_size, hooks);
  set_thread_count(dense_threads);
  vectors.close(solver);
  if (result != 0) OrlDebug(L"One of the right-hand side did not converge\n");
  return result;
}
