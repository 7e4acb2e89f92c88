#!/bin/bash
# Builds everything and runs every test: Linux, Linux with AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Windows build under wine. Stops at the
# first failure; the last line sums up.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}
RESULTS=$(mktemp -d)
XVFB_PID=""
trap 'rm -rf "$RESULTS"; [ -z "$XVFB_PID" ] || kill "$XVFB_PID" 2>/dev/null || true' EXIT

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
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANDREL_WERROR=ON -DVANDREL_BUILD_TESTS=ON >/dev/null
cmake --build build -j "$JOBS"
# The input tests inject into an X server of their own: the first free display from :91.
step "Xvfb"
for n in $(seq 91 140); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
  # -noreset: the server would otherwise reset, refusing connections, each time its last client leaves.
  Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp -noreset >"$RESULTS/xvfb.log" 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 100); do
    xdpyinfo -display ":$n" >/dev/null 2>&1 && break
    kill -0 "$XVFB_PID" 2>/dev/null || break
    sleep 0.1
  done
  if xdpyinfo -display ":$n" >/dev/null 2>&1; then
    export DISPLAY=":$n"
    break
  fi
  kill "$XVFB_PID" 2>/dev/null || true
  XVFB_PID=""
done
[ -n "$XVFB_PID" ] || { cat "$RESULTS/xvfb.log"; echo "FAILED: no Xvfb display could be started"; exit 1; }
echo "DISPLAY=$DISPLAY"
# The Wayland input tests run a headless sway, which refuses root: as root they run it as this user.
if [ "$(id -u)" -eq 0 ] && ! getent passwd vandrelwl >/dev/null; then
  useradd --system --no-create-home --shell /usr/sbin/nologin vandrelwl
fi
step "Linux unit tests"
run_suite linux build/tests/vandrel_unit_tests --gtest_color=no
run_suite gui build/tests/gui/vandrel_gui_tests --gtest_color=no
step "Linux integration tests (private network namespace)"
run_suite integration scripts/netns-run.sh build/tests/integration/vandrel_integration_tests --gtest_color=no

step "Linux unit tests with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANDREL_WERROR=ON -DVANDREL_BUILD_TESTS=ON -DVANDREL_SANITIZE=ON \
  -DVANDREL_UNIT_TESTS_ONLY=ON >/dev/null
cmake --build build-asan -j "$JOBS" --target vandrel_unit_tests vandrel_integration_tests
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite asan build-asan/tests/vandrel_unit_tests --gtest_color=no
# The in-process server tests too: sessions live on several threads.
run_suite asan-server scripts/netns-run.sh build-asan/tests/integration/vandrel_integration_tests \
  --gtest_color=no --gtest_filter='SessionTest.*'
unset ASAN_OPTIONS UBSAN_OPTIONS

step "Linux tests with ThreadSanitizer"
# The suites whose objects run on several threads: the input queue, the
# Bluetooth session and its write worker, the logger, the companion link, the
# desktop workers, and the in-process servers with their sessions and exit.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANDREL_BUILD_TESTS=ON -DVANDREL_TSAN=ON \
  -DVANDREL_UNIT_TESTS_ONLY=ON >/dev/null
cmake --build build-tsan -j "$JOBS" --target vandrel_unit_tests vandrel_integration_tests
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/tests/tsan.supp"
run_suite tsan build-tsan/tests/vandrel_unit_tests --gtest_color=no \
  --gtest_filter='InputQueue*:DispatchInputEvent.*:MergeInto.*:BleSessionTest.*:BleWriteQueue.*:Logger.*:LogLimiterTest.*:LogRotation*:CoreLinkTest.*:DesktopWorkersTest.*:LaserOverlayTest.*'
# The program itself is not built here: only the suites that run the server in process.
run_suite tsan-server scripts/netns-run.sh build-tsan/tests/integration/vandrel_integration_tests --gtest_color=no \
  --gtest_filter='SessionTest.*:DesktopCommandsTest.*:UdpInputTest.*:DiscoveryTest.*:MdnsResponderTest.*:BleEndToEndTest.*-BleEndToEndTest.TheProgramAdvertisesUnlessToldNot'
unset TSAN_OPTIONS

step "Fuzzing: every parser a peer or a file reaches, 30 s each"
scripts/fuzz.sh 30 || { echo "FAILED: fuzzing"; summary; exit 1; }

step "wxWidgets for Windows (built once, then cached)"
WX_MINGW=$(scripts/build-wx-mingw.sh | tail -n 1)
step "Windows cross-build"
cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANDREL_WERROR=ON -DVANDREL_BUILD_TESTS=ON \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" -DVANDREL_WINDOWS_GUI=ON -DVANDREL_WX_MINGW_DIR="$WX_MINGW" >/dev/null
cmake --build build-win -j "$JOBS"
step "Windows tests under wine"
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$ROOT/build-win/wineprefix}
run_suite wine wine build-win/tests/vandrel_unit_tests.exe --gtest_color=no
step "Windows tray program under wine (private network namespace)"
run_suite wine-tray env VANDREL_WINDOWS_BUILD="$ROOT/build-win" \
  scripts/netns-run.sh build/tests/wine/vandrel_wine_tray_tests --gtest_color=no

step "Summary"
summary
