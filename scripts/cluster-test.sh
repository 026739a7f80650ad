#!/usr/bin/env bash
# The cluster test: two servers of the native build filing into one GlusterFS volume (two
# bricks, replica 2) on this machine, one brick killed in the middle (tests/e2e/test_cluster.py).
# Runs as root: it starts glusterd, mounts the volume and makes a network namespace. The test
# takes the machine-global lock /tmp/vendrel-global.lock itself and removes all it set up.
# Usage: scripts/cluster-test.sh [BUILD_DIR]   (default build/native)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/native}")

if [ "$(id -u)" -ne 0 ]; then
  echo "cluster-test: starts glusterd and mounts a volume: run as root (or through sudo)" >&2
  exit 1
fi
if [ ! -x "$build/bin/vendrel" ]; then
  echo "cluster-test: no $build/bin/vendrel: build the native preset first" >&2
  exit 1
fi
cd tests/e2e
exec timeout --kill-after=60 600 env VENDREL_BUILD_DIR="$build" PATH="$PATH:/usr/sbin:/sbin" \
  python3 -m unittest -v test_cluster
