#!/usr/bin/env bash
# make bench: release build with the benchmarks, then every row side by side
# with its anchor, printed as one table (bench/run.py; docs/performance.md
# explains the rows).
#   scripts/bench.sh [BUILD_DIR]      (default build-release)
# BENCH_ROUNDS=N sets the rounds of the end-to-end rows (default 3);
# BENCH_QUICK=1 runs small exports once, as a smoke test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
command -v curl >/dev/null || { echo "bench: curl is missing (make deps installs it)"; exit 1; }

# The build's progress goes to stderr, so that stdout is the table alone.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARN_BENCH=ON >/dev/null
cmake --build "$build" --target bench-all -j"$(nproc)" 2>&1 | { grep -v -E '(Entering|Leaving) directory' || true; } >&2

# Scratch files on the real disk next to the build (never /dev/shm), removed
# however the run ends.
tmp=$(mktemp -d "$build/bench-tmp.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
args=("$build" "$tmp" --rounds "${BENCH_ROUNDS:-3}")
[ -z "${BENCH_QUICK:-}" ] || args+=(--quick)
python3 "$root/bench/run.py" "${args[@]}"
