#!/usr/bin/env bash
# Side-by-side benchmark: tessar64 (default single-precision factor with
# refinement, -double_precision, -pivoting, -mt, -single_updates) against MUMPS
# (sequential Debian build, METIS ordering; in double precision, and with a
# single-precision factor refined in double precision) and, on the positive
# definite systems, CHOLMOD's supernodal Cholesky, all on the same generated
# "A" and "b".
#
#   bash scripts/bench-compare.sh [--quick] [--repeat R] [--threads T] [--only REGEX] [--name NAME]
#                                 [--work DIR] [--keep]
#
# --quick      a tiny set that finishes in about two minutes (checks the harness)
# --repeat R   runs of every solver and mode per matrix, median reported (default 3)
# --threads T  BLAS threads of every solver and -ncpu of tessar64 (default: all processors)
# --only REGEX only the matrices whose name (family-size-kKIND) matches REGEX
# --name NAME  results as NAME.md, NAME.png, NAME-runs.tsv (default: latest)
# --work DIR   scratch directory, absent or empty (default: a new one under /tmp)
# --keep       keep the scratch directory
#
# Installs what is missing (the build's packages, libmumps-seq-dev,
# libsuitesparse-dev, gnuplot-nox, time), builds into build-bench/ (or
# $TSR_BUILD_DIR, with $TSR_BUILD_JOBS parallel jobs) and writes
# bench/compare/results/latest.md, latest.png and the raw figures of every
# run, latest-runs.tsv. Runs alternate between solvers
# and modes, the starting solver rotating from one repetition to the next, so
# that a drifting machine affects every side alike.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${TSR_BUILD_DIR:-$root/build-bench}")
results=$root/bench/compare/results
quick=0
repeat=3
threads=$(nproc)
work=
keep=0
run_timeout=1800
only=
name=latest

usage() {
  sed -n '7,17p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --repeat) [ $# -ge 2 ] || usage; repeat=$2; shift ;;
    --threads) [ $# -ge 2 ] || usage; threads=$2; shift ;;
    --only) [ $# -ge 2 ] || usage; only=$2; shift ;;
    --name) [ $# -ge 2 ] || usage; name=$2; shift ;;
    --work) [ $# -ge 2 ] || usage; work=$2; shift ;;
    --keep) keep=1 ;;
    *) usage ;;
  esac
  shift
done
[[ $repeat =~ ^[1-9][0-9]*$ && $threads =~ ^[1-9][0-9]*$ && $name =~ ^[A-Za-z0-9_-]+$ ]] || usage

# The matrix set: family, size, kind, MUMPS SYM (1 positive definite, 2
# symmetric, 0 unsymmetric; the Hermitian kind has no mode of its own there),
# whether CHOLMOD runs (positive definite), grid dimensions.
matrix_set() {
  if [ "$quick" -eq 1 ]; then
    cat <<'EOF'
laplace3d 16 0 1 yes 3
laplace3d 22 0 1 yes 3
elasticity3d 8 0 1 yes 3
elasticity3d 11 0 1 yes 3
helmholtz3d 14 2 2 no 3
helmholtz3d 18 2 2 no 3
convdiff3d 16 1 0 no 3
convdiff3d 20 1 0 no 3
convdiff3d 12 3 0 no 3
convdiff3d 16 3 0 no 3
hermitian 100 4 0 no 2
hermitian 150 4 0 no 2
EOF
  else
    cat <<'EOF'
laplace3d 45 0 1 yes 3
laplace3d 55 0 1 yes 3
laplace3d 65 0 1 yes 3
elasticity3d 26 0 1 yes 3
elasticity3d 32 0 1 yes 3
elasticity3d 38 0 1 yes 3
helmholtz3d 40 2 2 no 3
helmholtz3d 50 2 2 no 3
helmholtz3d 58 2 2 no 3
convdiff3d 44 1 0 no 3
convdiff3d 56 1 0 no 3
convdiff3d 36 3 0 no 3
convdiff3d 44 3 0 no 3
hermitian 1000 4 0 no 2
hermitian 1400 4 0 no 2
EOF
  fi
}

install_missing() {
  "$root/scripts/install-deps.sh"
  local packages=(libmumps-seq-dev libsuitesparse-dev gnuplot-nox time) missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
  fi
}

build_targets() {
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTSR_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j"${TSR_BUILD_JOBS:-$(nproc)}" --target tessar64 tsr_generate bench_factor \
    compare_residual compare_mumps compare_cholmod
}

kind_switch() {
  local switches=(-real_sym -real_unsym -complex_sym -complex_unsym -complex_herm)
  echo "${switches[$1]}"
}

# key=value figures of a driver's output line: value_of KEY FILE.
value_of() {
  { grep -oE "(^| )$1=[^ ]+" "$2" || true; } | tail -1 | cut -d= -f2
}

# Appends one tab-separated line to the runs table (columns: see its header).
record() {
  local IFS=$'\t'
  echo "$*" >>"$runs"
}

residual_of() {
  local line
  line=$("$build/bench/compare/compare_residual" "$1" 2>/dev/null || true)
  [[ $line =~ residual=([^ ]+) ]] && echo "${BASH_REMATCH[1]}" || echo nan
}

# Runs a command under /usr/bin/time in the current directory; sets status,
# wall (s) and peak (MB).
timed() {
  status=0
  timeout "$run_timeout" /usr/bin/time -f "%M %e" -o time.txt "$@" >out.txt 2>err.txt || status=$?
  if [ -s time.txt ]; then
    peak=$(tail -1 time.txt | awk '{printf "%.1f", $1 / 1024}')
    wall=$(tail -1 time.txt | awk '{print $2}')
  else
    peak=nan wall=nan
  fi
}

# A fresh run directory beside the matrix, holding links to its A and b.
enter_run_dir() {
  rm -rf "$dir/run" && mkdir "$dir/run" && cd "$dir/run"
  ln -s ../A A && ln -s ../b b
}

prof_time() {
  [ -f tessar.prof ] && awk -v label="$1" '$1 == label { value = $5 } END { print value }' tessar.prof
}

run_tessar() {
  local mode=$1 flags=()
  [ "$mode" = default ] || flags=("-$mode")
  enter_run_dir
  TESSAR_PROFILE=1 OMP_NUM_THREADS=$threads timed "$build/src/driver/tessar64" "$(kind_switch "$kind")" \
    -ncpu "$threads" "${flags[@]}"
  # NzU counts one triangle with the diagonal; the unsymmetric kinds keep L and U.
  local log=tessar.log nzu iterations entries
  [ -f "$log" ] || log=/dev/null
  nzu=$(awk 'match($0, /Nz[Uu] *= *[0-9]+/) { v = substr($0, RSTART, RLENGTH); sub(/.*= */, "", v) }
             END { print v }' "$log")
  iterations=$(awk '$2 == "iter" { v = $3 + 0 > v ? $3 + 0 : v } END { print v + 0 }' "$log")
  entries=$nzu
  [[ -n $nzu && ($kind == 1 || $kind == 3) ]] && entries=$((2 * nzu - n))
  record "$matrix" "$n" tessar64 "$mode" "$rep" "$status" "$(prof_time Preprocessing)" "$(prof_time Factorization)" \
    "$(prof_time Solution)" "$wall" "$peak" "${entries:-nan}" "${iterations:-0}" "$(residual_of "$kind")" - - -
}

run_peer() {
  local solver=$1 mode=supernodal
  enter_run_dir
  case $solver in
    MUMPS) OMP_NUM_THREADS=$threads timed "$build/bench/compare/compare_mumps" "$kind" "$sym"; mode=SYM=$sym ;;
    MUMPS-single)
      OMP_NUM_THREADS=$threads timed "$build/bench/compare/compare_mumps" "$kind" "$sym" single; mode="SYM=$sym" ;;
    *) OMP_NUM_THREADS=$threads timed "$build/bench/compare/compare_cholmod" ;;
  esac
  record "$matrix" "$n" "$solver" "$mode" "$rep" "$status" \
    "$(value_of analysis_s out.txt)" "$(value_of factor_s out.txt)" "$(value_of solve_s out.txt)" "$wall" "$peak" \
    "$(value_of factor_entries out.txt)" "$(value_of iterations out.txt)" "$(residual_of "$kind")" - - -
}

# The flop count of tessar64's factorization, its rate against the DGEMM rate
# (SGEMM's with -single_updates) and the share of its time outside the level-3
# routines, all measured in one bench_factor process on the same generated
# matrix; mode default or single_updates.
run_flops() {
  local mode=$1 flags=()
  [ "$mode" = default ] || flags=("-$mode")
  enter_run_dir
  OMP_NUM_THREADS=$threads timed "$build/bench/factor/bench_factor" "$family" "$size" "$kind" -ncpu "$threads" \
    "${flags[@]}"
  local line factor gflop rate dgemm outside
  line=$({ grep -E "^analysis .* Gflop at" out.txt || true; } | tail -1)
  factor=$(echo "$line" | sed -nE 's/.*factorization ([0-9.]+) s.*/\1/p')
  gflop=$(echo "$line" | sed -nE 's/.* s, ([0-9.e+]+) Gflop at.*/\1/p')
  rate=$(echo "$line" | sed -nE 's/.* Gflop at ([0-9.]+) GFLOP\/s.*/\1/p')
  dgemm=$(echo "$line" | sed -nE 's/.*\([DS]GEMM ([0-9.]+) GFLOP\/s.*/\1/p')
  outside=$({ grep -E "^level-3 BLAS" out.txt || true; } | sed -nE 's/.*outside it ([0-9.]+) %.*/\1/p')
  record "$matrix" "$n" bench_factor "$mode" "$rep" "$status" - "${factor:-nan}" - "$wall" "$peak" - - - \
    "${gflop:-nan}" "${rate:-nan}" "${dgemm:-nan}" "${outside:-nan}"
}

run_one() {
  case $1 in
    tessar64:*) run_tessar "${1#tessar64:}" ;;
    MUMPS | MUMPS-single | CHOLMOD) run_peer "$1" ;;
    flops:*) run_flops "${1#flops:}" ;;
  esac
}

bench_matrix() {
  dir=$work/$matrix
  mkdir -p "$dir"
  "$build/tools/tsr_generate" "$family" "$size" "$dir" --kind "$kind" >"$dir/generate.txt"
  n=$(grep -oE "N = [0-9]+" "$dir/generate.txt" | awk '{print $3}')
  local solvers=(tessar64:default tessar64:double_precision tessar64:pivoting tessar64:mt tessar64:single_updates
    MUMPS MUMPS-single)
  [ "$cholmod" = yes ] && solvers+=(CHOLMOD)
  solvers+=(flops:default flops:single_updates)
  local count=${#solvers[@]} i
  for rep in $(seq 1 "$repeat"); do
    for i in $(seq 0 $((count - 1))); do
      local solver=${solvers[$(((i + rep - 1) % count))]}
      echo "  $matrix (N = $n) run $rep/$repeat: $solver"
      run_one "$solver"
    done
  done
  cd "$work"
  [ "$keep" -eq 1 ] || rm -rf "$dir"
}

if [ -z "$work" ]; then
  work=$(mktemp -d /tmp/tsr-bench-compare.XXXXXX)
elif [ -n "$(ls -A "$work" 2>/dev/null)" ]; then
  echo "the scratch directory $work is not empty" >&2
  exit 2
fi
mkdir -p "$work" "$results"
work=$(cd "$work" && pwd)
install_missing
build_targets
[ -x "$build/bench/compare/compare_mumps" ] && [ -x "$build/bench/compare/compare_cholmod" ] || {
  echo "the peer drivers were not built: libmumps-seq-dev or libsuitesparse-dev not found" >&2
  exit 1
}
runs=$work/runs.tsv
record matrix n solver mode rep status analysis_s factor_s solve_s wall_s peak_mb factor_entries iterations \
  residual gflop rate_gflops dgemm_gflops outside_blas_pct
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date +%s)
while read -r family size kind sym cholmod dims; do
  matrix="$family-$size-k$kind"
  [ -z "$only" ] || [[ $matrix =~ $only ]] || continue
  echo "$matrix"
  bench_matrix
  echo "$matrix $dims" >>"$work/dims.txt"
done < <(matrix_set)
cd "$root"

[ -s "$work/dims.txt" ] || { echo "no matrix of the set matches --only $only" >&2; exit 2; }
cp "$runs" "$results/$name-runs.tsv"
python3 "$root/bench/compare/report.py" --runs "$runs" --dims "$work/dims.txt" --out "$results" \
  --set "$([ "$quick" -eq 1 ] && echo quick || echo default)" --repeat "$repeat" --threads "$threads" \
  --load "$load_before / $(cut -d' ' -f1-3 /proc/loadavg)" --seconds "$(($(date +%s) - started))" \
  --commit "$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)" --name "$name"
[ "$keep" -eq 1 ] || rm -rf "$work"
echo "results: $results/$name.md, $results/$name.png"
