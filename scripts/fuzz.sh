#!/bin/bash
# Builds the libFuzzer targets of fuzz/ in build-fuzz (clang, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each one for SECONDS (default 30) on a
# copy of its seed corpus, two at a time. Prints one line per target; exits
# non-zero when any input crashed, leaked or hung, naming the target and the
# input, which is kept in build-fuzz/fuzz-failures/TARGET/.
# Usage: scripts/fuzz.sh [SECONDS]
#   FUZZ_PARALLEL=N  targets run at once (default 2)
#   FUZZ_TARGETS="fuzz_mdns ..."  only these
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SECONDS_EACH=${1:-30}
case "$SECONDS_EACH" in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac
PARALLEL=${FUZZ_PARALLEL:-2}
BUILD=$ROOT/build-fuzz

# Longest input per target: enough for the packets each one parses, short
# enough that every input is handled in well under a second.
declare -A MAX_LEN=(
  [fuzz_tcp_session]=8192
  [fuzz_udp_input]=4096
  [fuzz_discovery]=1024
  [fuzz_mdns]=1024
  [fuzz_settings]=4096
  [fuzz_taskband]=4096
  [fuzz_app_list]=16384
  [fuzz_release_feed]=16384
  [fuzz_ble_session]=4096
)
# These open sockets (Vandrel's own ports for the last three): they run in a
# private network namespace with loopback only.
declare -A NETWORK=([fuzz_tcp_session]=1 [fuzz_udp_input]=1 [fuzz_discovery]=1 [fuzz_mdns]=1)
ALL_TARGETS="fuzz_tcp_session fuzz_udp_input fuzz_discovery fuzz_mdns fuzz_settings fuzz_taskband fuzz_app_list fuzz_release_feed fuzz_ble_session"
TARGETS=${FUZZ_TARGETS:-$ALL_TARGETS}

scripts/install-deps.sh
missing=""
for p in clang libclang-rt-dev iproute2 util-linux; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "Installing:$missing"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

started=$(date +%s)
if ! { cmake -S . -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
         -DVANDREL_FUZZ=ON -DVANDREL_BUILD_TESTS=OFF &&
       cmake --build "$BUILD" -j 2 --target $TARGETS; } >"$WORK/build.log" 2>&1; then
  tail -n 40 "$WORK/build.log"
  echo "FAILED: building the fuzz targets"
  exit 1
fi
echo "build: $(($(date +%s) - started)) s"

# Runs one target; prints its line and leaves its verdict in WORK/TARGET/status.
run_target() {
  local target=$1
  local dir=$WORK/$target
  mkdir -p "$dir/corpus" "$dir/tmp" "$dir/found"
  cp -r "fuzz/corpus/$target/." "$dir/corpus/"
  local args=(-max_total_time="$SECONDS_EACH" -max_len="${MAX_LEN[$target]}" -timeout=10 -rss_limit_mb=2048
              -print_final_stats=1 -artifact_prefix="$dir/found/")
  [ -f "fuzz/dict/$target.dict" ] && args+=(-dict="$ROOT/fuzz/dict/$target.dict")
  local wrap=()
  [ -n "${NETWORK[$target]:-}" ] && wrap=("$ROOT/scripts/netns-run.sh")
  local rc=0
  (cd "$dir" && TMPDIR="$dir/tmp" timeout -k 10 $((SECONDS_EACH + 120)) \
     "${wrap[@]}" "$BUILD/fuzz/$target" "${args[@]}" "$dir/corpus") >"$dir/log" 2>&1 || rc=$?

  local done_line execs rate
  done_line=$(grep -a 'DONE ' "$dir/log" | tail -n 1 || true)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/log" | tail -n 1)
  local cov ft corp
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")
  corp=$(sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p' <<<"$done_line")
  local found
  found=$(find "$dir/found" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | head -n 1)
  if [ "$rc" -eq 0 ] && [ -z "$found" ]; then
    printf '%-18s %9s execs %6s/s  cov %5s  ft %6s  corpus %s\n' "$target" "${execs:-?}" "${rate:-?}" \
      "${cov:-?}" "${ft:-?}" "${corp:-?}"
    echo ok >"$dir/status"
    return
  fi
  local keep=$BUILD/fuzz-failures/$target
  mkdir -p "$keep"
  local what="exit $rc"
  [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ] && what="did not end"
  if [ -n "$found" ]; then
    cp "$found" "$keep/"
    what="$(basename "$found" | cut -d- -f1): $keep/$(basename "$found")"
  fi
  cp "$dir/log" "$keep/log"
  {
    echo "FAILED: $target ($what)"
    grep -a -E '^==FUZZ==|ERROR: |SUMMARY: ' "$dir/log" | head -n 6 | sed 's/^/  /'
    # The first frames in the project's own code.
    grep -a -E "^ +#[0-9]+ 0x[0-9a-f]+ in .* $ROOT/(src|tools)/" "$dir/log" | head -n 6 |
      sed -E 's/^ +#[0-9]+ 0x[0-9a-f]+ in /  at /' | cut -c1-240
    echo "  log: $keep/log"
  } >"$dir/failure"
  cat "$dir/failure"
  echo failed >"$dir/status"
}

for target in $TARGETS; do
  while [ "$(jobs -rp | wc -l)" -ge "$PARALLEL" ]; do wait -n || true; done
  run_target "$target" &
done
wait

failed=""
for target in $TARGETS; do
  [ "$(cat "$WORK/$target/status" 2>/dev/null)" = ok ] || failed="$failed $target"
done
echo "total: $(($(date +%s) - started)) s"
if [ -n "$failed" ]; then
  echo "FAILED:$failed"
  exit 1
fi
echo "fuzz: all $(wc -w <<<"$TARGETS") targets clean"
