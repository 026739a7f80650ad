# Sourced by the run_*_fuzz.sh scripts, which differ only in their target, seeds and input size.
#
# fuzz_begin <label> <fuzzer, relative to the build> <builddir> [seconds]
#   Checks the arguments and the fuzzer; sets $build, $seconds, $fuzzer, and $work with an empty
#   $corpus in it, removed on exit.
# fuzz_run <max_len>
#   Runs the fuzzer for $seconds on $corpus and exits with its status; the inputs of a failure
#   are kept in <builddir>/fuzz-artifacts.
fuzz_begin() {
    label=$1
    [ $# -ge 3 ] || { echo "usage: run_${label}_fuzz.sh <builddir> [seconds]" >&2; exit 2; }
    build=$3
    seconds=${4:-60}
    fuzzer="$build/$2"
    [ -x "$fuzzer" ] || { echo "no $fuzzer: configure with --preset fuzz and build it" >&2; exit 2; }
    work=$(mktemp -d "/tmp/$label-fuzz-run-XXXXXX")
    trap 'rm -rf "$work"' EXIT
    corpus="$work/corpus"
    mkdir -p "$corpus" "$work/artifacts"
}

fuzz_run() {
    max_len=$1
    status=0
    "$fuzzer" -max_total_time="$seconds" -max_len="$max_len" -timeout=20 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$corpus" || status=$?
    if [ "$status" -ne 0 ]; then
        mkdir -p "$build/fuzz-artifacts"
        cp "$work"/artifacts/* "$build/fuzz-artifacts/" 2>/dev/null || true
        echo "$label fuzzing failed (status $status); inputs kept in $build/fuzz-artifacts" >&2
    fi
    exit "$status"
}
