# Sourced by the run_*_fuzz.sh scripts: runs one fuzz target for a bounded time on a corpus and
# keeps the inputs of a failure in <builddir>/fuzz-artifacts.
# run_fuzzer <label> <fuzzer> <builddir> <seconds> <max_len> <corpus> <workdir>
run_fuzzer() {
    label=$1 fuzzer=$2 build=$3 seconds=$4 max_len=$5 corpus=$6 work=$7
    mkdir -p "$work/artifacts"
    status=0
    "$fuzzer" -max_total_time="$seconds" -max_len="$max_len" -timeout=20 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$corpus" || status=$?
    if [ "$status" -ne 0 ]; then
        mkdir -p "$build/fuzz-artifacts"
        cp "$work"/artifacts/* "$build/fuzz-artifacts/" 2>/dev/null || true
        echo "$label fuzzing failed (status $status); inputs kept in $build/fuzz-artifacts" >&2
    fi
    return "$status"
}
