#!/usr/bin/env bash
# Builds the release and windows presets and makes the packages in build/packages/:
#   vendrel_<version>_amd64.deb       the Debian package (CPack, from the release build)
#   vendrel-<version>-win64.zip       the Windows archive, a home directory (from the mingw build)
# Checks the Debian package with lintian when it is installed.
set -euo pipefail
cd "$(dirname "$0")/.."

[ "${VENDREL_SKIP_SETUP:-}" = 1 ] || bash scripts/setup.sh
jobs=${VENDREL_JOBS:-2}
out=build/packages
rm -rf "$out"
mkdir -p "$out"

for preset in release windows; do
  echo "== $preset: build"
  # Packaging needs only the shipped targets, not the tests and benchmarks of the build.
  cmake --preset "$preset" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
  targets=(vendrel vendrel-logd vendrel-sign vendrel-quarantine Kelsio pelix32)
  [ "$preset" = windows ] || targets+=(vendrel_changelog)
  cmake --build --preset "$preset" -j "$jobs" --target "${targets[@]}"
  echo "== $preset: package"
  (cd "build/$preset" && cpack -B "$(pwd)/../packages")
done
rm -rf "$out/_CPack_Packages"
ls -l "$out"

if command -v lintian >/dev/null; then
  echo "== lintian"
  lintian --fail-on error "$out"/vendrel_*_amd64.deb
elif [ "${VENDREL_STRICT:-}" = 1 ]; then
  # The test command runs strict: the package is checked, or the command fails.
  echo "package: lintian is missing (scripts/setup.sh installs it)" >&2
  exit 1
fi
