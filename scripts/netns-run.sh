#!/bin/sh
# Runs a command inside a private network namespace whose only interface is
# loopback (address 10.213.0.2/24, default route), so that the program's
# broadcasts and multicasts never reach a real network.
# Usage: scripts/netns-run.sh COMMAND [ARGS...]
set -eu
if [ "$#" -eq 0 ]; then
  echo "usage: $0 COMMAND [ARGS...]" >&2
  exit 2
fi
if [ "$(id -u)" -eq 0 ]; then flags=-n; else flags=-rn; fi
exec unshare $flags sh -c '
  ip link set lo up
  ip link set lo multicast on
  ip addr add 10.213.0.2/24 dev lo
  ip route add default dev lo
  exec "$@"' sh "$@"
