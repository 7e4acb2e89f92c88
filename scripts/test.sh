#!/bin/bash
# Builds everything and runs every test: Linux, Linux with AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Windows build under wine. Stops at the
# first failure; the last line sums up.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}
RESULTS=$(mktemp -d)
trap 'rm -rf "$RESULTS"' EXIT

scripts/install-deps.sh --tests

step() { printf '\n==== %s\n' "$*"; }

# Counts the passed and failed tests of one gtest run from its output.
count() {
  local log=$1
  local passed failed
  passed=$( (grep -aE '^\[  PASSED  \] [0-9]+ test' "$log" || true) | awk '{s+=$4} END {print s+0}')
  failed=$( (grep -aE '^\[  FAILED  \] [0-9]+ test' "$log" || true) | awk '{s+=$4} END {print s+0}')
  echo "$passed $failed" >>"$RESULTS/counts"
}

run_suite() {
  local name=$1; shift
  local log="$RESULTS/$name.log"
  set +e
  "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  set -e
  count "$log"
  if [ "$rc" -ne 0 ]; then
    echo "FAILED: $name (exit $rc)"
    summary
    exit 1
  fi
}

summary() {
  awk '{p+=$1; f+=$2} END {printf "tests: %d passed, %d failed\n", p, f}' "$RESULTS/counts"
}
: >"$RESULTS/counts"

step "Linux build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANDREL_WERROR=ON >/dev/null
cmake --build build -j "$JOBS"
step "Linux unit tests"
run_suite linux build/tests/vandrel_unit_tests --gtest_color=no
step "Linux integration tests (private network namespace)"
run_suite integration scripts/netns-run.sh build/tests/integration/vandrel_integration_tests --gtest_color=no

step "Linux unit tests with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANDREL_WERROR=ON -DVANDREL_SANITIZE=ON \
  -DVANDREL_UNIT_TESTS_ONLY=ON >/dev/null
cmake --build build-asan -j "$JOBS" --target vandrel_unit_tests vandrel_integration_tests
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite asan build-asan/tests/vandrel_unit_tests --gtest_color=no
# The in-process server tests too: sessions live on several threads.
run_suite asan-server scripts/netns-run.sh build-asan/tests/integration/vandrel_integration_tests \
  --gtest_color=no --gtest_filter='SessionTest.*'
unset ASAN_OPTIONS UBSAN_OPTIONS

step "Windows cross-build"
cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANDREL_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build build-win -j "$JOBS"
step "Windows tests under wine"
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$ROOT/build-win/wineprefix}
run_suite wine wine build-win/tests/vandrel_unit_tests.exe --gtest_color=no

step "Summary"
summary
