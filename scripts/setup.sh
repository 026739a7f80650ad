#!/usr/bin/env bash
# Installs what the builds, the tests, the packages and the demo need (Debian packages). Run as
# root, or as a user with sudo: only the installation itself is raised.
set -euo pipefail

# mount and util-linux: the tests' tmpfs mounts and setpriv; systemd and init-system-helpers:
# the package test's unit checks (systemd-analyze, deb-systemd-helper); man-db and spawn-fcgi:
# the package test's manual pages (man -w) and the guide's fcgiwrap without systemd.
packages=(cmake ninja-build g++ googletest libgtest-dev mingw-w64 wine wine64 lighttpd lighttpd-mod-openssl openssl curl
          clang libclang-rt-14-dev python3 time valgrind strace libssl-dev wrk
          apache2 nginx fcgiwrap spawn-fcgi lintian dpkg-dev file adduser util-linux mount logrotate
          systemd init-system-helpers man-db glusterfs-server glusterfs-client iproute2)
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
  # The tests run their own web-server instances on free ports. Starting the system's Apache and
  # nginx during the installation would make the second fail on port 80 (and fail the install),
  # so services are not started while these packages install (the machine's own policy, if it
  # has one, stays in charge).
  policy=/usr/sbin/policy-rc.d
  if [ ! -e "$policy" ]; then
    "${raise[@]}" sh -c "printf '#!/bin/sh\n# vendrel setup: no service starts during its install\nexit 101\n' > $policy && chmod 755 $policy"
    trap '"${raise[@]}" rm -f "$policy"' EXIT
  fi
  "${raise[@]}" apt-get update -qq
  "${raise[@]}" env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
