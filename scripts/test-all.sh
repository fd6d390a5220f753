#!/usr/bin/env bash
# Installs what this machine lacks, then builds and runs every test: the native
# build with AddressSanitizer and UndefinedBehaviorSanitizer, the native release
# build, the Windows build under Wine, and a bounded libFuzzer run (clang).
# The builds compile the help file; the release and Windows legs end with
# their packages (build/<leg>/packages/).
#
#   scripts/test-all.sh            all legs
#   scripts/test-all.sh asan       one leg (asan, tsan, release, windows or fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."

legs=("$@")
[ ${#legs[@]} -gt 0 ] || legs=(asan tsan release windows fuzz)

packages=(cmake ninja-build g++ python3 googletest libgtest-dev libsqlite3-dev liblmdb-dev libssl-dev
          attr g++-mingw-w64-x86-64-posix wine wine64 clang libclang-rt-14-dev fp-utils xvfb xdotool
          dpkg-dev file lintian wixl)
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

# The extension-list fuzz target, built with clang for coverage and run for a
# bounded time from the checked-in corpus.
fuzz_leg() {
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DVELUMTAR_TESTS=OFF \
    -DVELUMTAR_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug \
    "-DCMAKE_CXX_FLAGS=-O1 -g -fsanitize=fuzzer-no-link,address,undefined" \
    "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" >/dev/null
  cmake --build build/fuzz --target extension_list_fuzz
  local corpus
  corpus=$(mktemp -d)
  cp tests/fuzz/corpus/* "$corpus"/
  if build/fuzz/tests/fuzz/extension_list_fuzz -max_total_time="${FUZZ_SECONDS:-60}" \
      -max_len=4096 -print_final_stats=1 "$corpus" 2>build/fuzz/fuzz.log; then
    grep -E "stat::number_of_executed_units" build/fuzz/fuzz.log || true
    echo "fuzz: 1 passed, 0 failed"
  else
    tail -40 build/fuzz/fuzz.log
    echo "fuzz: 0 passed, 1 failed"
    return 1
  fi
  rm -rf "$corpus"
}

# ThreadSanitizer over what runs on more than one thread: the walk's unit
# tests, the reading ahead, and the end-to-end compare runs with reading ahead.
tsan_leg() {
  cmake --preset tsan >/dev/null
  cmake --build --preset tsan
  local failed=0
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build/tsan/tests/velumtar_tests \
    --gtest_filter='ReadAhead*:DirectoryWalk*:PathMapping*:PosixListing*:PosixWalkLookups*:PosixFacts*:ContentsPool*' || failed=1
  # The tool's reports go to files: a run whose exit code a test ignores
  # still fails the leg.
  local reports
  reports=$(mktemp -d)
  TSAN_OPTIONS="halt_on_error=1 exitcode=66 log_path=$reports/report" python3 tests/e2e/run.py \
    --native --exe build/tsan/velumtar --bin-dir build/tsan -k CompareRuns || failed=1
  # Fingerprints are read on worker threads.
  TSAN_OPTIONS="halt_on_error=1 exitcode=66 log_path=$reports/report" python3 tests/e2e/run.py \
    --native --exe build/tsan/velumtar --bin-dir build/tsan -k Fingerprint || failed=1
  if compgen -G "$reports/report*" >/dev/null; then
    head -60 "$reports"/report*
    failed=1
  fi
  rm -rf "$reports"
  if [ $failed -eq 0 ]; then echo "tsan: 3 passed, 0 failed"; else echo "tsan: failed"; fi
  return $failed
}

# The folders of src/ form a one-way stack: an include that points up fails
# before anything is built.
python3 scripts/check-layers.py

status=0
for leg in "${legs[@]}"; do
  echo "== $leg =="
  if [ "$leg" = fuzz ]; then
    fuzz_leg || status=1
    continue
  fi
  if [ "$leg" = tsan ]; then
    tsan_leg || status=1
    continue
  fi
  if [ "$leg" = windows ]; then
    wine_start
  fi
  cmake --preset "$leg" >/dev/null
  cmake --build --preset "$leg"
  # Each test case and end-to-end module is a test of its own, two at a time;
  # tests that share something (the Wine prefix) hold a lock on it.
  ctest --preset "$leg" -j2 | tee "build/$leg/ctest.log" || status=1
  summary=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "build/$leg/ctest.log" || true)
  if [ -n "$summary" ]; then
    failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$summary")
    echo "$leg: $((total - failed)) passed, $failed failed"
  else
    echo "$leg: failed"
    status=1
  fi
  # The packages: a .deb from the release build, a ZIP from the Windows build.
  if [ "$leg" = release ] || [ "$leg" = windows ]; then
    (cd "build/$leg" && cpack >/dev/null) || status=1
    ls "build/$leg/packages/"
  fi
done
exit $status
