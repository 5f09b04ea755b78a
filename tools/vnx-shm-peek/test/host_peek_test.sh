#!/usr/bin/env bash
# host_peek_test.sh HOST PEEK BUNDLE: the host streams a white test picture
# through the bundle while vnx-shm-peek, another process, reads it from shared
# memory and saves the newest frame. Every pixel of that frame must be white
# (gray frames: luma 235 in a PGM; YUV frames: RGB 255,255,255 in a PPM, so
# the chroma planes count too), at packed widths and at widths GStreamer pads
# (which the host repacks).
set -euo pipefail
host=$1 peek=$2 bundle=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail=0
#       format width height  magic bytes-per-pixel white
while read -r format width height magic bpp white; do
  endpoint="hostpeek-$$-$format-$width"
  picture="$work/$endpoint.ppm"
  "$peek" --quiet --frames 5 --wait 20 --seconds 30 --save "$picture" "$endpoint" >"$work/peek.out" 2>&1 &
  peek_pid=$!
  if ! "$host" --bundle "$bundle" --conf "{\"endpoint\": \"$endpoint\", \"max-size-mb\": 2}" \
       --format "$format" --width "$width" --height "$height" --pattern white --frames 30 >"$work/host.out" 2>&1; then
    echo "FAIL $format ${width}x$height: host failed"; cat "$work/host.out"; fail=1
  fi
  if ! wait "$peek_pid"; then
    echo "FAIL $format ${width}x$height: peek read nothing"; cat "$work/peek.out"; fail=1; continue
  fi
  printf -v header '%s\n%d %d\n255\n' "$magic" "$width" "$height"
  size=$(( ${#header} + width * height * bpp ))
  actual_size=$(stat -c %s "$picture")
  values=$(tail -c +$(( ${#header} + 1 )) "$picture" | od -An -tu1 -v | tr -s ' ' '\n' | grep -v '^$' | sort -u | tr '\n' ' ')
  if ! cmp -s -n ${#header} <(printf '%s' "$header") "$picture" || [ "$actual_size" != "$size" ] || [ "$values" != "$white " ]; then
    echo "FAIL $format ${width}x$height: $(head -c 2 "$picture") of $actual_size bytes (expected $magic of $size), values: $values"
    fail=1
  else
    echo "ok   $format ${width}x$height: $(grep 'frames handed' "$work/host.out")"
  fi
done <<'TABLE'
GRAY8 64 48 P5 1 235
GRAY8 66 48 P5 1 235
I420  64 48 P6 3 255
I420  68 48 P6 3 255
NV12  64 48 P6 3 255
NV12  66 48 P6 3 255
TABLE

# The host's refusals: each ends the run with status 1 and says why.
#   expected message | arguments
while IFS='|' read -r expected args; do
  if eval "\"\$host\" $args" >"$work/host.out" 2>&1; then
    echo "FAIL host $args: status 0"; fail=1
  elif ! grep -qF "$expected" "$work/host.out"; then
    echo "FAIL host $args: no <$expected> in:"; cat "$work/host.out"; fail=1
  else
    echo "ok   host refuses: $expected"
  fi
done <<'TABLE'
dlopen: /nonexistent/bundle.so|--bundle /nonexistent/bundle.so
MediaStreamerCreateUnit refused|--bundle "$bundle" --conf '{"endpoint": ""}'
I420 needs an even width and height|--bundle "$bundle" --format I420 --width 63 --height 48
bad value <YUY2> for --format|--bundle "$bundle" --format YUY2
TABLE
exit $fail
