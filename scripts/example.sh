#!/usr/bin/env bash
# Builds tessar64 and solves a generated complex symmetric Helmholtz system,
# the kind of matrix our users bring most, in example/; then prints the
# relative residual of the solution, computed by the solver's own check.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
build=${TSR_BUILD_DIR:-$root/build}
work=$root/example
rm -rf "$work" && mkdir -p "$work" && cd "$work"
"$build/tools/tsr_generate" helmholtz3d 24 . --kind 2
status=0
"$build/src/driver/tessar64" -complex_sym -check_solution -ncpu 2 || status=$?
echo "tessar64 finished with status $status; solution in $work/x, log in $work/tessar.log"
exit $status
