#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the benchmarks, the fuzzers and the Debian
# package (make package, scripts/ci-install-check.sh) need,
# skipping those already present. Safe to run repeatedly.
set -euo pipefail
packages=(
  cmake ninja-build g++ make pkg-config ccache
  qt6-base-dev libqt6serialport6-dev qt6-qpa-plugins
  fonts-dejavu-core xvfb xauth
  libgtest-dev libgmock-dev libbenchmark-dev
  socat srecord binutils time python3
  clang libclang-rt-14-dev
  dpkg-dev file lintian man-db desktop-file-utils
)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi
echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
