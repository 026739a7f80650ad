#!/usr/bin/env bash
# Every test: installs what is missing, builds the native, asan and windows presets, runs their
# unit and end-to-end tests (the windows build under Wine, in a prefix inside its build tree; the
# native builds also behind lighttpd, Apache and nginx, and the native one as two servers filing
# into one GlusterFS volume), runs the fuzz targets for a bounded time,
# then builds the packages and tests the Debian package: installed, serving, removed, purged.
# Runs as root or as a user with sudo (setup, the cluster test, the package test and the tests'
# tmpfs mounts are raised). Strict: a test that cannot run for a missing tool, privilege or
# fixture fails with the reason (VENDREL_STRICT=1), so every suite runs in full or the command fails.
set -euo pipefail
cd "$(dirname "$0")/.."
export VENDREL_STRICT=1

if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "test: some tests mount file systems and the package test installs a package:" \
         "run as root, or as a user with sudo" >&2
    exit 1
  fi
  # The tests raise their steps with "sudo -n", which must not stop for a password: ask for it
  # once here, if sudo wants one.
  sudo -n true 2>/dev/null || sudo -v || {
    echo "test: sudo refused; run as root, or as a user with sudo" >&2
    exit 1
  }
fi

bash scripts/setup.sh

raised() {  # raised COMMAND...: as root, directly; else through sudo
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    echo "test: '$*' needs root: run as root or with sudo" >&2
    exit 1
  fi
}

jobs=${VENDREL_JOBS:-2}
for preset in native asan windows; do
  echo "== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset: test"
  ctest --preset "$preset" -j "$jobs"
  if [ "$preset" = native ]; then
    echo "== native: two servers, one GlusterFS quarantine"
    raised bash scripts/cluster-test.sh build/native
  fi
done

echo "== fuzz"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
for script in tests/fuzz/run_*.sh; do
  [ -e "$script" ] || continue
  bash "$script" build/fuzz "${VENDREL_FUZZ_SECONDS:-60}"
done
echo "== packages"
VENDREL_SKIP_SETUP=1 bash scripts/package.sh
echo "== Windows archive: unpacked, serving under Wine"
python3 tests/e2e/archive_check.py build/packages/vendrel-*-win64.zip build/archive-test \
        build/windows/wineprefix
echo "== package test"
raised bash scripts/package-test.sh
echo "== all tests passed"
