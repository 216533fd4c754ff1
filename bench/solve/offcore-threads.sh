#!/usr/bin/env bash
# Right-hand sides solved over a factor kept on disk: the 3D Laplacian of g³
# with nrhs right-hand sides is factored once (-nofbs); then -back_exec solves
# them with the factor read whole (the default memory limit) and in patches
# under a soft limit that leaves room for about half the factor, on 1 and 2
# solve threads. The runs alternate, reps times each; printed per mode: the
# median solution-phase time (tessar.prof) and the factor bytes read per
# right-hand side (the log's "Factor read in" line).
#
# usage: bench/solve/offcore-threads.sh [g] [nrhs] [reps]   (default 40 16 5)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${TSR_BUILD_DIR:-$root/build}
tessar=$build/src/driver/tessar64
g=${1:-40} nrhs=${2:-16} reps=${3:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$build/tools/tsr_generate" laplace3d "$g" . --nrhs "$nrhs" >/dev/null
"$tessar" -nofbs 2>/dev/null
factor_kb=$(($(stat -c %s U) / 1024))

# The memory a solve holds beside the factor, from a run that reads it whole:
# the soft limit less what the log says is left, less the factor.
TS_DEBUG_LEVEL=2 "$tessar" -back_exec -ncpu_fbs 1 2>/dev/null
limit=$(sed -n 's/^Soft_Memory_Limit is set to \([0-9]*\).*/\1/p' tessar.log | tail -1)
left=$(sed -n 's/.*KB per thread, \(-\?[0-9]*\) KB left.*/\1/p' tessar.log | tail -1)
beside=$((limit - left - factor_kb))
# Half the factor and room for two solve threads (their vectors) beside it.
thread_kb=$(sed -n "s/.*(\([0-9]*\) KB per thread.*/\1/p" tessar.log | tail -1)
soft=$((beside + factor_kb / 2 + 2 * thread_kb + 1024))
echo "laplace3d $g³, $nrhs right-hand sides, factor $((factor_kb / 1024)) MB, offcore soft limit $((soft / 1024)) MB"

# One run of a mode: prints the solution time and the MB read per right-hand side.
run_mode() {
  local prefs=$1 threads=$2
  printf '%s' "$prefs" > prefs.ini
  rm -f tessar.log tessar.prof x
  TESSAR_PROFILE=1 TS_DEBUG_LEVEL=2 "$tessar" -back_exec -ncpu_fbs "$threads" 2>/dev/null
  local seconds mb
  seconds=$(awk '$1 == "Solution" {print $5}' tessar.prof)
  mb=$(sed -n 's/^Factor read in [0-9]* patch loads (\([0-9.]*\) MB).*/\1/p' tessar.log)
  grep -q "Post improvement goes offcore" tessar.log || mb=$(echo "$factor_kb" | awk '{print $1 / 1024}')
  echo "$seconds $(echo "$mb $nrhs" | awk '{printf "%.1f", $1 / $2}')"
}

modes=("incore 1" "offcore 1" "offcore 2")
declare -A times reads
for ((r = 0; r < reps; ++r)); do
  for mode in "${modes[@]}"; do
    read -r where threads <<<"$mode"
    prefs=""
    [ "$where" = offcore ] && prefs="DIRECT_SOLVER MemLimitSoft $soft"
    read -r seconds mb <<<"$(run_mode "$prefs" "$threads")"
    times[$mode]+="$seconds "
    reads[$mode]=$mb
  done
done
median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
printf '%-10s %8s %12s %s\n' mode threads "solve s" "MB read per right-hand side"
for mode in "${modes[@]}"; do
  read -r where threads <<<"$mode"
  printf '%-10s %8s %12s %s\n' "$where" "$threads" "$(echo "${times[$mode]}" | median)" "${reads[$mode]}"
done
