#!/usr/bin/env bash
# make demo, live act: mediastreamer-host loads libvnx-streamer-bundle.so and
# publishes a few seconds of GStreamer test video to a shared-memory endpoint,
# while vnx-shm-peek, another process, reads the frames live and saves the
# newest one as a picture.
#   demo-stream.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
seconds=${2:-4}
host=$build/bin/mediastreamer-host
peek=$build/bin/vnx-shm-peek
bundle=$build/lib/libvnx-streamer-bundle.so
for f in "$host" "$peek" "$bundle"; do
  if [ ! -e "$f" ]; then
    echo "demo-stream: $f is missing (build the tree first)" >&2
    exit 1
  fi
done

out=$build/demo
mkdir -p "$out"
endpoint="demo-$$"
picture=$out/stream-newest.ppm
rm -f "$picture"

echo "== Live video: mediastreamer-host -> libvnx-streamer-bundle.so -> shared memory -> vnx-shm-peek"
echo "   endpoint <$endpoint>, I420 320x240 at 30 fps for $seconds s"
echo

# Prefixes the reader's lines; of its line per frame, shows the first few
# and then every 30th.
_show_peek() {
  local n=0 line
  while IFS= read -r line; do
    case $line in
      "frame seq="*)
        n=$((n + 1))
        if [ $n -le 3 ] || [ $((n % 30)) -eq 0 ]; then echo "[peek] $line"; elif [ $n -eq 4 ]; then echo "[peek] ..."; fi ;;
      *) echo "[peek] $line" ;;
    esac
  done
}

# The reader starts first and waits for the endpoint to appear.
( "$peek" --seconds $((seconds + 5)) --wait 10 --save "$picture" "$endpoint" 2>&1
  echo $? >"$out/peek.status" ) | tee "$out/peek.log" | _show_peek &
peek_pid=$!

status=0
"$host" --bundle "$bundle" --conf "{\"endpoint\": \"$endpoint\", \"max-size-mb\": 16}" \
  --format I420 --width 320 --height 240 --seconds "$seconds" 2>&1 | tee "$out/host.log" | sed -u 's/^/[host] /' ||
  status=$?
wait "$peek_pid" || true
peek_status=$(cat "$out/peek.status" 2>/dev/null || echo 1)

published=$(sed -n 's/^final stats: .*"frame-count": \([0-9]*\).*/\1/p' "$out/host.log")
read_count=$(sed -n 's/^frames read: \([0-9]*\).*/\1/p' "$out/peek.log")
echo
echo "frames published by the host's unit:  ${published:-?}"
echo "frames read by vnx-shm-peek:           ${read_count:-?} (another process; it takes the newest frame)"
if [ -s "$picture" ]; then
  echo "newest frame saved as:                 $picture"
fi
echo "logs:                                  $out/host.log, $out/peek.log"
if [ "$status" -ne 0 ] || [ "$peek_status" -ne 0 ]; then
  echo "live act FAILED (host status $status, reader status $peek_status)"
  exit 1
fi
