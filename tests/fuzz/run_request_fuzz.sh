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
mkdir -p "$work/corpus" "$work/artifacts"
REQUEST_FUZZ_SEEDS="$work/corpus" "$fuzzer"

status=0
"$fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" || status=$?
if [ "$status" -ne 0 ]; then
    mkdir -p "$build/fuzz-artifacts"
    cp "$work"/artifacts/* "$build/fuzz-artifacts/" 2>/dev/null || true
    echo "request fuzzing failed (status $status); inputs kept in $build/fuzz-artifacts" >&2
fi
exit "$status"
