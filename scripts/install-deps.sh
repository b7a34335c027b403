#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need,
# only when one of them is missing. Safe to run again.
set -euo pipefail
packages=(
  build-essential cmake g++ pkg-config
  libboost-dev libboost-regex-dev libboost-thread-dev libboost-stacktrace-dev
  libsqlite3-dev sqlite3 libacl1-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-dev binutils
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
