#!/usr/bin/env bash
# Installs what this machine lacks, then builds and runs every test: the native
# build with AddressSanitizer and UndefinedBehaviorSanitizer, the native release
# build, and the Windows build under Wine.
#
#   scripts/test-all.sh            all legs
#   scripts/test-all.sh asan       one leg (asan, release or windows)
set -euo pipefail
cd "$(dirname "$0")/.."

legs=("$@")
[ ${#legs[@]} -gt 0 ] || legs=(asan release windows)

packages=(cmake ninja-build g++ python3 googletest libgtest-dev libbenchmark-dev
          libsqlite3-dev liblmdb-dev attr g++-mingw-w64-x86-64-posix wine wine64)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Tests see a fixed locale and time zone: file times and upper-casing depend on them.
export LANG=C.UTF-8 TZ=UTC

source scripts/wine-env.sh

status=0
for leg in "${legs[@]}"; do
  echo "== $leg =="
  if [ "$leg" = windows ]; then
    wine_start
  fi
  cmake --preset "$leg" >/dev/null
  cmake --build --preset "$leg"
  ctest --preset "$leg" || status=1
done
exit $status
