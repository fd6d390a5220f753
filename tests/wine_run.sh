#!/usr/bin/env bash
# Runs a Windows test program under Wine, with the prefix and settings of
# scripts/wine-env.sh, and its output's line ends made Unix ones so that the
# list of tests it prints can be read.
set -o pipefail
source "$(dirname "$0")/../scripts/wine-env.sh"
wine "$@" | tr -d '\r'
