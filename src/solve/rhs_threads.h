#pragma once
// Right-hand sides of "b" solved into the solution file: one after another on
// the calling thread, or up to P at once on threads created per right-hand
// side, P = min(solve threads, number of right-hand sides). Each thread reads
// its right-hand side, runs the per-thread solve and writes its solution at
// the right-hand side's own position; a failing right-hand side stops
// further launches.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

class tessar;
class RhsVectors;

struct RhsSolveHooks {
  // The per-thread solve of right-hand side `rhs` in vector (right-hand side
  // in, solution out): 0, or the error code of a right-hand side that failed.
  std::function<int(void* vector, std::int32_t thread, std::int32_t rhs)> solve_one;
  // Tells the substitution how many threads will share patch loads (1: none)
  // and how many right-hand sides they will solve.
  std::function<void(std::int32_t threads, std::int32_t coming)> share_patch_loads;
  // Tells it that the launches stopped (after a failure) with `skipped`
  // right-hand sides not launched.
  std::function<void(std::int32_t skipped)> launches_stopped;
  // Upper bound on the threads used; 0 for none.
  std::int32_t max_threads = 0;
};

// Solve threads the run allows: -ncpu_fbs when given, else ncpu.
std::int32_t solve_thread_count(const tessar& solver);

// Solves the right-hand sides of vectors listed in rhs (indices, ascending),
// vectors of n elements of element_size bytes, and closes the round of vectors.
// Returns 0, or the error code a failing right-hand side stored (after
// logging "One of the right-hand side did not converge\n").
[[nodiscard]] int SolveAllRhs(tessar& solver, RhsVectors& vectors, std::int32_t n, const std::vector<std::int32_t>& rhs,
                              std::size_t element_size, const RhsSolveHooks& hooks);
