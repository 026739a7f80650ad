#!/usr/bin/env bash
# The vendrel-quarantine benchmark in one command: builds the command and the log server in the
# native release preset and prints the tables (bench.py says what they measure).
# Usage: bash bench/qtool/run.sh [--files N] [--rounds N] [--no-strace]
# VENDREL_BENCH_BUILD sets the build directory (default build/release).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${VENDREL_BENCH_BUILD:-build/release}
command -v python3 >/dev/null || { echo "run.sh: python3 is needed" >&2; exit 2; }
cmake --preset release -B "$build" >/dev/null
cmake --build "$build" -j "${VENDREL_JOBS:-2}" --target vendrel-quarantine vendrel-logd Kelsio
exec python3 bench/qtool/bench.py --build "$build" "$@"
