#!/usr/bin/env bash
# Recorded video: starts the simulated VMS on a free loopback port, downloads
# several intervals of one stream in parallel through the Python command line
# of libkavo-vnx.so, prints each result and checks that every file is as long
# as the VMS reported.
#   scripts/demo-download.sh [BUILD_DIR]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
sim=$build/bin/vms-sim
lib=$build/lib/libkavo-vnx.so
for f in "$sim" "$lib"; do
  [ -e "$f" ] || { echo "demo-download: $f is missing; build first (make build)"; exit 1; }
done

out=$build/demo-download
mkdir -p "$out"
rm -f "$out"/*.mp4
log=$out/demo.log
: >"$log"

# The server reads nothing from stdin but exits when it closes, that is when
# this script ends, however it ends.
coproc SIM { exec "$sim" --port 0 --exit-on-stdin-eof 2>>"$log"; }
sim_pid=$SIM_PID
trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT
if ! read -r -t 30 port <&"${SIM[0]}"; then
  echo "demo-download: the simulated VMS did not start (see $log)"
  exit 1
fi

stream=/storage/cam1
url=http://127.0.0.1:$port$stream
base=1765447200000   # 2025-12-11T10:00:00Z in milliseconds, the VMS's unit here
args=()
for i in 0 1 2 3; do
  begin=$((base + i * 15000))
  end=$((begin + 4000 + i * 2000))
  args+=(--begin "$begin" --end "$end" -o "$out/cam1-$i.mp4")
done

echo "Recorded video: simulated VMS at 127.0.0.1:$port, 4 intervals of $stream, 2 downloads at a time"
set +e
results=$(cd "$root/python" && KAVO_VNX_LIBRARY=$lib TARN_LOG_FILE=$log \
          python3 -m kavo fetch "$url" --sessions 2 --wait 120 "${args[@]}")
status=$?
set -e

bad=0
while read -r what file min max length _ size; do
  [ -n "$what" ] || continue
  if [ "$what" != done ]; then
    echo "  FAILED $file ${min:-} ${max:-}"
    bad=1
    continue
  fi
  actual=$(stat -c %s "$file")
  mark=ok
  [ "$actual" = "$length" ] || { mark="size $actual differs"; bad=1; }
  printf '  %s  %s %s  %s bytes  %s  %s\n' "${file#"$root"/}" "$min" "$max" "$length" "$size" "$mark"
done <<<"$results"

count=$(grep -c '^done ' <<<"$results" || true)
if [ "$status" -ne 0 ] || [ "$bad" -ne 0 ] || [ "$count" -ne 4 ]; then
  echo "Recorded video: FAILED ($count of 4 downloaded; log: $log)"
  exit 1
fi
echo "Recorded video: 4 of 4 downloaded, each file as long as the VMS reported (log: ${log#"$root"/})"
