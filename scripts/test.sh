#!/usr/bin/env bash
# Every test: installs what is missing, builds the native, asan and windows presets, runs their
# unit and end-to-end tests (the windows build under Wine, in a prefix inside its build tree),
# then runs the fuzz targets for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=${VENDREL_JOBS:-2}
for preset in native asan windows; do
  echo "== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset: test"
  ctest --preset "$preset" -j "$jobs"
done

echo "== fuzz"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
for script in tests/fuzz/run_*.sh; do
  [ -e "$script" ] || continue
  bash "$script" build/fuzz "${VENDREL_FUZZ_SECONDS:-60}"
done
echo "== all tests passed"
