#!/usr/bin/env bash
# Installs what the builds, the tests and the demo need (Debian packages, as root).
set -euo pipefail

packages=(cmake ninja-build g++ googletest libgtest-dev mingw-w64 wine wine64 lighttpd curl
          clang libclang-rt-14-dev python3 time valgrind)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: run as root (apt-get install needs it)" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
