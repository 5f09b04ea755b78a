#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 14 under AddressSanitizer and
# UndefinedBehaviorSanitizer, in a build directory of their own, and runs each
# for FUZZ_SECONDS on a scratch copy of its committed seed corpus. Prints, per
# target, the executions and the result; exits non-zero when any target finds
# a crash, a broken property, a leak or a timeout.
#
#   FUZZ_SECONDS   seconds per target (default 60)
#   FUZZ_TARGETS   targets to run, space-separated (default: all)
#   FUZZ_BUILD_DIR build directory (default build-fuzz)
#   FUZZ_OUT_DIR   where corpora, logs and crash inputs go (default $FUZZ_BUILD_DIR/runs)
#   FUZZ_JOBS      build jobs (default: nproc)
#   FUZZ_PARSER_SOURCE  build fuzz_multipart against this copy of the
#                  multipart parser's source (for showing that a fault put
#                  back into the parser is found; see fuzz/README.md)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${FUZZ_SECONDS:-60}"
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
out="${FUZZ_OUT_DIR:-$build/runs}"
jobs="${FUZZ_JOBS:-$(nproc)}"
all_targets="fuzz_multipart fuzz_summary fuzz_jnode fuzz_vnx_conf fuzz_path fuzz_frame_type"
targets="${FUZZ_TARGETS:-$all_targets}"

# Largest input per target: bodies and texts long enough for every rule, short
# enough to keep the executions many.
max_len() {
  case "$1" in
    fuzz_multipart) echo 16384 ;;
    fuzz_summary | fuzz_jnode | fuzz_vnx_conf) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

for tool in clang-14 clang++-14; do
  command -v "$tool" >/dev/null || { echo "fuzz: $tool not found (apt-get install clang-14 libclang-rt-14-dev)" >&2; exit 2; }
done

# Libraries get the coverage hooks and the sanitizers; only the targets link
# libFuzzer's driver (fuzz/CMakeLists.txt). Every sanitizer finding aborts.
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DTARN_FUZZ=ON -DTARN_FUZZ_PARSER_SOURCE="${FUZZ_PARSER_SOURCE:-}" >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j"$jobs" --target $targets

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:allocator_may_return_null=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

mkdir -p "$out"
status=0
printf '%-18s %12s %8s  %s\n' target executions seconds result
for target in $targets; do
  corpus="$out/$target/corpus"
  crashes="$out/$target/crashes"
  log="$out/$target/fuzz.log"
  rm -rf "$corpus" "$crashes"
  mkdir -p "$corpus" "$crashes"
  seeds="$root/fuzz/corpus/$target"
  [ -d "$seeds" ] && cp "$seeds"/* "$corpus"/ 2>/dev/null || true
  dict=()
  [ -f "$root/fuzz/$target.dict" ] && dict=(-dict="$root/fuzz/$target.dict")

  start=$(date +%s)
  set +e
  "$build/fuzz/$target" "$corpus" "${dict[@]}" -max_total_time="$seconds" -max_len="$(max_len "$target")" \
    -timeout=25 -rss_limit_mb=3072 -print_final_stats=1 -artifact_prefix="$crashes/" >"$log" 2>&1
  rc=$?
  set -e
  elapsed=$(( $(date +%s) - start ))

  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  [ -n "$runs" ] || runs=$(grep -o '^#[0-9]*' "$log" | tail -1 | tr -d '#')
  artifact=$(ls "$crashes" 2>/dev/null | head -1)
  if [ "$rc" -eq 0 ] && [ -z "$artifact" ]; then
    result="ok"
  else
    status=1
    reason=$(grep -m1 -E '^broken property: ' "$log" ||
             grep -m1 -E '^==[0-9]+==ERROR|runtime error|^SUMMARY|timeout' "$log" || true)
    result="FAILED (exit $rc) ${artifact:+$crashes/$artifact} ${reason}"
  fi
  printf '%-18s %12s %8s  %s\n' "$target" "${runs:-?}" "$elapsed" "$result"
done
[ "$status" -eq 0 ] || echo "fuzz: findings above; each log is in $out/<target>/fuzz.log" >&2
exit "$status"
