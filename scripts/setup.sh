#!/usr/bin/env bash
# Installs whatever the build, the tests and the demo need and this machine
# lacks (Debian 12). Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ binutils pkg-config util-linux
  clang libclang-rt-14-dev clang-format
  googletest libgtest-dev libbenchmark-dev
  libcurl4-openssl-dev libssl-dev nlohmann-json3-dev libboost-dev
  mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  wine wine64 libgnutls30
  python3 openssl ca-certificates
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null
