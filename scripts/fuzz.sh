#!/usr/bin/env bash
# Builds the libFuzzer targets of the file readers with clang (into
# build-fuzz/, or $TSR_FUZZ_BUILD_DIR), seeds them from generated files and
# runs each: `scripts/fuzz.sh SECONDS` for a bounded time per reader,
# `scripts/fuzz.sh runs N` for N executions each. A crash, leak or sanitizer
# report stops the reader's run and fails the script; the input that caused
# it is left in build-fuzz/crashes/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
fuzz=${TSR_FUZZ_BUILD_DIR:-$root/build-fuzz}
limit=(-max_total_time="${1:-30}")
[ "${1:-}" = runs ] && limit=(-runs="$2")
"$root/scripts/install-deps.sh" clang libomp-dev libclang-rt-dev
CC=clang CXX=clang++ cmake -S "$root" -B "$fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTSR_FUZZ=ON \
  -DTSR_BUILD_TESTS=OFF >/dev/null
cmake --build "$fuzz" -j"$(nproc)" --target fuzz_a fuzz_b fuzz_index fuzz_prefs fuzz_mm tsr_generate tessar64

# Seeds: a small system of every kind in both layouts, its right-hand side,
# the saved analysis of a plain and a pivoting run, preferences and a Matrix
# Market file; each prefixed by the byte that chooses kind, layout and path.
seeds=$fuzz/seeds
rm -rf "$seeds" "$fuzz/crashes" && mkdir -p "$seeds"/{a,b,index,prefs,mm} "$fuzz/crashes"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefixed() { { printf "\\x$(printf %02x "$1")"; [ -n "${3:-}" ] && printf "\\x$(printf %02x "$3")"; cat "$2"; } ; }
kind_switches=(-real_sym -real_unsym -complex_sym -complex_unsym -complex_herm)
for kind in 0 1 2 3 4; do
  for markers in 0 8; do
    rm -rf "$work"/* && (cd "$work" && "$fuzz/tools/tsr_generate" laplace2d 3 . --kind "$kind" \
      $([ "$markers" = 8 ] && echo --markers) >/dev/null)
    prefixed $((kind | markers)) "$work/A" > "$seeds/a/k$kind-m$markers"
    prefixed $((kind | markers)) "$work/b" 8 > "$seeds/b/k$kind-m$markers"
  done
  for pivoting in 0 16; do
    rm -rf "$work"/* && (cd "$work" && "$fuzz/tools/tsr_generate" laplace2d 3 . --kind "$kind" >/dev/null &&
      "$fuzz/src/driver/tessar64" "${kind_switches[$kind]}" -nofbs $([ "$pivoting" = 16 ] && echo -pivoting) \
        >/dev/null 2>&1) || true
    [ -f "$work/index" ] && prefixed $((kind | pivoting)) "$work/index" 8 > "$seeds/index/k$kind-p$pivoting"
  done
done
printf '\0DIRECT_SOLVER MemLimitSoft 1000\nDIRECT_SOLVER ErrorNorm 1e-12\nDIRECT_SOLVER WorkingDirectory .\nDIRECT_SOLVER FileIndex 3\nDIRECT_SOLVER QuietMode\n' > "$seeds/prefs/p"
printf '\0%%%%MatrixMarket matrix coordinate real symmetric\n3 3 4\n1 1 4.0\n2 1 -1.0\n2 2 4.0\n3 3 4.0\n' > "$seeds/mm/s"
printf '\3%%%%MatrixMarket matrix coordinate complex general\n2 2 3\n1 1 1.0 2.0\n2 1 0.5 0\n2 2 3.0 -1\n' > "$seeds/mm/c"

for reader in a b index prefs mm; do
  mkdir -p "$fuzz/corpus/$reader"
  echo "== fuzz_$reader"
  (cd "$work" && "$fuzz/tests/fuzz/fuzz_$reader" "${limit[@]}" -rss_limit_mb=2048 -max_len=4096 \
    -artifact_prefix="$fuzz/crashes/$reader-" -print_final_stats=1 "$fuzz/corpus/$reader" "$seeds/$reader" 2>&1 |
    grep -E "^stat::number_of_executed_units|ERROR|SUMMARY|Done" || true)
  ls "$fuzz/crashes/$reader-"* >/dev/null 2>&1 && { echo "fuzz_$reader found a fault"; exit 1; }
done
echo "no faults found"
