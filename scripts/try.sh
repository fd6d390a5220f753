#!/usr/bin/env bash
# Builds the release version of the tool and runs a compare on drive C:.
#
# On Linux drive C: is a host directory: $VELUMTAR_DRIVE_C when set, else the
# Wine prefix's drive_c ($WINEPREFIX/drive_c, then ~/.wine/drive_c) when it
# exists, else your home directory. The tool keeps its files (VELUMTAR.DBI,
# VELUMTAR.LOG, VELUMTAR.TXT) in the root of that directory.
#
#   scripts/try.sh          compare (the first run builds the database)
#   scripts/try.sh N        any other command letter: N, L, ?
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for tool in cmake ninja g++; do command -v "$tool" >/dev/null || need+=("$tool"); done
if [ ${#need[@]} -gt 0 ]; then
  pkgs=()
  for tool in "${need[@]}"; do
    case "$tool" in ninja) pkgs+=(ninja-build) ;; *) pkgs+=("$tool") ;; esac
  done
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${pkgs[@]}" >/dev/null
fi

cmake --preset release >/dev/null
cmake --build --preset release --target velumtar velumtar_help
exec build/release/velumtar "${1:-C}"
