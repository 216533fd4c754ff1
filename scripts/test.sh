#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite through CTest;
# then the checks of the sanitizers and the fuzzer:
# - the whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer
#   (build-asan/, or $TSR_ASAN_BUILD_DIR);
# - the threaded tests under ThreadSanitizer (build-tsan/, or
#   $TSR_TSAN_BUILD_DIR): the parallel factorization and the runs with several
#   solve threads, incore and over a factor read in shared sweeps, and two
#   library solvers used on two threads at once;
# - each file reader fuzzed for $TSR_FUZZ_SECONDS seconds (default 20,
#   scripts/fuzz.sh; clang).
# TSR_QUICK=1 runs the first suite only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
build=${TSR_BUILD_DIR:-$root/build}
cd "$build"
ctest --output-on-failure -j"$(nproc)" --timeout 600
[ "${TSR_QUICK:-0}" = 1 ] && exit 0

asan=${TSR_ASAN_BUILD_DIR:-$root/build-asan}
cmake -S "$root" -B "$asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTSR_SANITIZE=address,undefined >/dev/null
cmake --build "$asan" -j"$(nproc)"
(cd "$asan" && ctest --output-on-failure -j"$(nproc)" --timeout 900)

tsan=${TSR_TSAN_BUILD_DIR:-$root/build-tsan}
cmake -S "$root" -B "$tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTSR_SANITIZE=thread >/dev/null
cmake --build "$tsan" -j"$(nproc)" --target tessar64 e2e_tests api_tests
# The BLAS and OpenMP runtimes are not instrumented: their own threads are
# left out, and the runs use one BLAS thread per solver thread.
(
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp"
  export OMP_NUM_THREADS=1
  "$tsan/tests/e2e/e2e_tests" --gtest_filter='ParallelFactorization.*:Kinds/SolveRuns.*:OffcoreSolveThreads.*'
  "$tsan/tests/api/api_tests" --gtest_filter='LibrarySolver.RefactorsOffcoreAndOnThreads'
)

"$root/scripts/fuzz.sh" "${TSR_FUZZ_SECONDS:-20}"
