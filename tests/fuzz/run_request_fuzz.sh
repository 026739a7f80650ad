#!/bin/sh
# Runs the whole-request fuzz target (the request handler with every stage, a stand-in engine)
# for a bounded time, starting from its own seeds.
# Usage: run_request_fuzz.sh <builddir> [seconds]   (build with the fuzz preset first)
# Exits non-zero when the fuzzer finds a crash, a leak or a broken rule of the request.
set -eu
build=${1:?usage: run_request_fuzz.sh <builddir> [seconds]}
seconds=${2:-60}
fuzzer="$build/bin/request_fuzz/request_fuzz"
[ -x "$fuzzer" ] || { echo "no $fuzzer: configure with --preset fuzz and build it" >&2; exit 2; }

work=$(mktemp -d /tmp/request-fuzz-run-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus"
REQUEST_FUZZ_SEEDS="$work/corpus" "$fuzzer"

. "$(dirname "$0")/fuzz_run.sh"
status=0
run_fuzzer request "$fuzzer" "$build" "$seconds" 8192 "$work/corpus" "$work" || status=$?
exit "$status"
