#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need.
# Does nothing when they are all present; otherwise needs root (apt-get).
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libboost-dev libboost-system-dev libboost-thread-dev libboost-filesystem-dev
  libboost-regex-dev libboost-date-time-dev
  libgflags-dev libgoogle-glog-dev
  libprotobuf-dev protobuf-compiler
  libhiredis-dev libmariadb-dev nlohmann-json3-dev libjemalloc-dev
  libcurl4-openssl-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  redis-server redis-tools mariadb-server mariadb-client
  curl python3 ccache openssl
  clang libclang-rt-14-dev lld prometheus-cpp-dev redis-sentinel
  python3-prometheus-client python3-protobuf
  chromium chromium-driver python3-selenium
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# Package installs must not start the system's own servers: ours are private.
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
  $sudo chmod +x /usr/sbin/policy-rc.d
  trap '$sudo rm -f /usr/sbin/policy-rc.d' EXIT
fi
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
