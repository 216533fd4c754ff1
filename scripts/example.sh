#!/usr/bin/env bash
# Installs what is missing, builds, and runs tessar64 on a generated example in example/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
build=${TSR_BUILD_DIR:-$root/build}
work=$root/example
rm -rf "$work" && mkdir -p "$work" && cd "$work"
"$build/tools/tsr_generate" laplace3d 12 .
"$build/src/driver/tessar64" -real_sym
echo "tessar64 finished with status $?; log in $work/tessar.log"
