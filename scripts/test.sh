#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite through CTest;
# then builds the solver and the end-to-end tests with ThreadSanitizer (into
# build-tsan/, or $TSR_TSAN_BUILD_DIR) and runs the threaded tests there: the
# parallel factorization and the runs with several solve threads, incore and
# over a factor read in shared sweeps.
# TSR_SKIP_TSAN=1 leaves the second part out.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
build=${TSR_BUILD_DIR:-$root/build}
cd "$build"
ctest --output-on-failure -j"$(nproc)" --timeout 600
[ "${TSR_SKIP_TSAN:-0}" = 1 ] && exit 0
tsan=${TSR_TSAN_BUILD_DIR:-$root/build-tsan}
cmake -S "$root" -B "$tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTSR_SANITIZE=thread >/dev/null
cmake --build "$tsan" -j"$(nproc)" --target tessar64 e2e_tests
# The BLAS and OpenMP runtimes are not instrumented: their own threads are
# left out, and the runs use one BLAS thread per solver thread.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp"
export OMP_NUM_THREADS=1
"$tsan/tests/e2e/e2e_tests" --gtest_filter='ParallelFactorization.*:Kinds/SolveRuns.*:OffcoreSolveThreads.*'
