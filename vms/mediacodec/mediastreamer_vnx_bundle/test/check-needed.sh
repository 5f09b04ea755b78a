#!/usr/bin/env bash
# check-needed.sh LIB SONAME...: the library lists each given library as
# NEEDED, so a deployment's own copy is loaded in its place at run time.
set -euo pipefail
lib=$1; shift
needed=$(readelf -d "$lib" | awk '/\(NEEDED\)/ {gsub(/[\[\]]/, "", $5); print $5}')
for so in "$@"; do
  if ! grep -qx "$so" <<<"$needed"; then
    echo "$(basename "$lib") does not need $so; it needs:"; echo "$needed"
    exit 1
  fi
done
echo "$(basename "$lib") needs: $*"
