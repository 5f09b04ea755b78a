#!/usr/bin/env bash
# make demo: the two jobs of the project on embedded defaults.
#   1. recorded video: a simulated VMS on loopback, several intervals
#      downloaded in parallel through the Python binding of libkavo-vnx.so;
#   2. live video: a media-streamer host publishing test frames through
#      libvnx-streamer-bundle.so while another process reads them from
#      shared memory.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
for act in demo-download.sh demo-stream.sh; do
  if [ -x "$here/$act" ]; then
    "$here/$act" "$build"
    echo
  fi
done
