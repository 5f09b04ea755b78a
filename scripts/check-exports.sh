#!/usr/bin/env bash
# check-exports.sh LIB SYMBOL...: the library's defined dynamic symbols are
# exactly the given ones.
set -euo pipefail
lib=$1; shift
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sort)
expected=$(printf '%s\n' "$@" | sort)
if [ "$actual" != "$expected" ]; then
  echo "exports of $lib differ"; diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "exports of $(basename "$lib"): $*"
