#!/usr/bin/env bash
# The native program carries the one C++ runtime of its process: it loads no shared libstdc++
# nor libgcc_s, the CGI support library binds to the program's copy, and every library loaded at
# run time keeps its own hidden copy. A shared runtime slipping back in costs every request its
# start-up.
# Usage: check_cxx_runtime.sh BIN_DIR
set -euo pipefail
bin=$1
fail() { echo "check_cxx_runtime: $*" >&2; exit 1; }

loaded=$(LD_TRACE_LOADED_OBJECTS=1 "$bin/vendrel")
grep -q 'libKelsio\.so' <<<"$loaded" || fail "vendrel does not load libKelsio.so: $loaded"
! grep -q 'libstdc++' <<<"$loaded" || fail "vendrel loads the shared C++ runtime: $loaded"
! grep -q 'libgcc_s' <<<"$loaded" || fail "vendrel loads the shared unwinder: $loaded"

# The program names its support library by its place ("$ORIGIN/libKelsio.so") and has no run
# path: the loader searches no directory of its own for any library, which would cost every
# start the failed opens of the run path's hardware subdirectories.
! grep -q 'libKelsio\.so => ' <<<"$loaded" ||
    fail "vendrel looks libKelsio.so up by its bare name: $loaded"
searched=$(LD_DEBUG=libs "$bin/vendrel" </dev/null 2>&1 >/dev/null | grep 'search path=' || true)
[[ -z "$searched" ]] || fail "the loader searches a run path for vendrel: $searched"

for lib in libKelsio.so libpelix32.so; do
    ! ldd "$bin/$lib" | grep -q 'libstdc++' || fail "$lib needs the shared C++ runtime"
    ! ldd "$bin/$lib" | grep -q 'libgcc_s' || fail "$lib needs the shared unwinder"
done

# Every symbol of the program and of the support library must bind at start-up, not at a late
# first call in the middle of a request.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
out=$(env -i LD_BIND_NOW=1 KELSIO_HOME="$home" VENDREL_PIPE_DIR="$home" GATEWAY_INTERFACE=CGI/1.1 \
    REQUEST_METHOD=GET QUERY_STRING="TempFileName=%2Fnowhere%2Fx&NewFileSize=1&ComputerName=PC1&Verify=0" \
    "$bin/vendrel" </dev/null) || fail "vendrel failed to start bound"
grep -q 'Vendrel_FAILED' <<<"$out" || fail "vendrel gave no answer: $out"
echo "check_cxx_runtime: one static C++ runtime in vendrel"
