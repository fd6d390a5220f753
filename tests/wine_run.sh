#!/usr/bin/env bash
# Runs a Windows test program under Wine, with the prefix and settings of
# scripts/wine-env.sh, and its output's line ends made Unix ones so that the
# list of tests it prints can be read.
#
# Now and then Wine cannot set up a new process at all (for instance "wine:
# failed to map the shared user data"): it says so on its error channels and
# ends with status 1 before the program has run. Such a start is tried again,
# at most four times in all, each retry noted on standard error. A program
# that ran writes to standard output before anything else (a test program
# names itself or lists its tests), so a failure with output, with Wine's
# report of an unhandled exception, or without a message of Wine's is the
# program's and is passed on as it is.
source "$(dirname "$0")/../scripts/wine-env.sh"
export WINEDEBUG=-all,err+all
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
for attempt in 1 2 3 4; do
  wine "$@" >"$out" 2>"$err"
  status=$?
  if [ $status -eq 1 ] && [ ! -s "$out" ] && [ $attempt -lt 4 ] &&
    grep -Eq '^(err:[^ ]* )?wine: ' "$err" && ! grep -q 'wine: Unhandled' "$err"; then
    echo "[wine_run] Wine could not start $1 (attempt $attempt of 4): $(grep -Em1 '^(err:[^ ]* )?wine: ' "$err")" >&2
    sleep "$attempt"
    continue
  fi
  break
done
tr -d '\r' <"$out"
cat "$err" >&2
exit $status
