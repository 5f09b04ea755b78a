#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing when
# all of them are already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config python3 curl
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libboost1.81-dev libboost-url1.81-dev libboost-context1.81-dev
  libjsoncpp-dev libcjson-dev
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly
  gstreamer1.0-tools
  clang-14 libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
