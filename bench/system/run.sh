#!/usr/bin/env bash
# The system benchmark in one command: builds the native release preset (the program, its
# libraries, the log server, the signing tool and the trivial CGI) and prints the table.
# Usage: bash bench/system/run.sh [--seconds S] [--clients N] [--rounds N] [--capacity-runs N]
#        [--skip-capacity]
# VENDREL_BENCH_BUILD sets the build directory (default build/release).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${VENDREL_BENCH_BUILD:-build/release}
for tool in lighttpd valgrind python3 wrk; do
    command -v "$tool" >/dev/null || { echo "run.sh: $tool is needed (scripts/setup.sh)" >&2; exit 2; }
done
cmake --preset release -B "$build" >/dev/null
cmake --build "$build" -j "${VENDREL_JOBS:-2}" --target vendrel vendrel-logd vendrel-sign Kelsio \
    pelix32 trivial_cgi trivial_cxx_cgi
exec python3 bench/system/bench.py --build "$build" "$@"
