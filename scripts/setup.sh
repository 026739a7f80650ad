#!/usr/bin/env bash
# Installs what the builds, the tests, the packages and the demo need (Debian packages). Run as
# root, or as a user with sudo: only the installation itself is raised.
set -euo pipefail

packages=(cmake ninja-build g++ googletest libgtest-dev mingw-w64 wine wine64 lighttpd curl
          clang libclang-rt-14-dev python3 time valgrind
          apache2 nginx fcgiwrap lintian dpkg-dev file adduser util-linux logrotate)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  raise=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "setup: installing packages needs root: run as root, or install sudo" >&2
      exit 1
    fi
    raise=(sudo)
  fi
  "${raise[@]}" apt-get update -qq
  "${raise[@]}" env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The Debian packages of the web servers start them at once; the tests run their own instances
# on other ports, so the system's copies are left as the machine's owner has them.
