#!/bin/sh
# Builds the server and the bench if needed, then measures the server inside a
# private network namespace (it listens on real ports; only loopback may see them).
# Usage: scripts/bench.sh [vandrel-bench options]   e.g. --file-mib 64 --sessions 500
# BUILD_DIR picks another build folder (default build).
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}

if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANDREL_WERROR=ON >/dev/null
fi
cmake --build "$BUILD_DIR" --target vandrel vandrel-bench

# MOVE-to-pointer latency and loss-free move rate, on an Xvfb of its own (package xvfb).
cmake --build "$BUILD_DIR" --target vandrel-input-bench && scripts/netns-run.sh "$BUILD_DIR/bench/vandrel-input-bench" --vandrel "$BUILD_DIR/vandrel" || echo "vandrel-input-bench failed"
# Enqueue cost per event, and the program's memory and drops under an input flood.
cmake --build "$BUILD_DIR" --target vandrel-queue-bench && scripts/netns-run.sh "$BUILD_DIR/bench/vandrel-queue-bench" --vandrel "$BUILD_DIR/vandrel" || echo "vandrel-queue-bench failed"
# The application list with 20 windows and icons, and PING meanwhile (openbox on its own Xvfb).
cmake --build "$BUILD_DIR" --target vandrel-desktop-bench && scripts/netns-run.sh "$BUILD_DIR/bench/vandrel-desktop-bench" --vandrel "$BUILD_DIR/vandrel" || echo "vandrel-desktop-bench failed"
# Silent connections, 10,000 idle sessions, datagram floods, garbage and peers that never read.
cmake --build "$BUILD_DIR" --target vandrel-load-bench && scripts/netns-run.sh "$BUILD_DIR/bench/vandrel-load-bench" --vandrel "$BUILD_DIR/vandrel" || echo "vandrel-load-bench failed"
exec scripts/netns-run.sh "$BUILD_DIR/bench/vandrel-bench" --vandrel "$BUILD_DIR/vandrel" "$@"
