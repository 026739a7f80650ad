#!/bin/sh
# Runs the whole-request fuzz target (the request handler with every stage, a stand-in engine)
# for a bounded time, starting from its own seeds.
# Usage: run_request_fuzz.sh <builddir> [seconds]   (build with the fuzz preset first)
# Exits non-zero when the fuzzer finds a crash, a leak or a broken rule of the request.
set -eu
. "$(dirname "$0")/fuzz_run.sh"
fuzz_begin request bin/request_fuzz/request_fuzz "$@"

REQUEST_FUZZ_SEEDS="$corpus" "$fuzzer"
fuzz_run 8192
