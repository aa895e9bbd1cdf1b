#!/usr/bin/env bash
# Configures and builds the project into build/<name>.
#   scripts/build.sh [release|sanitize|debug|fuzz] [extra cmake --build args]
# The fuzz kind needs clang and builds only the libFuzzer harnesses.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
kind=${1:-release}
shift || true
case "$kind" in
  release) cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  sanitize) cmake_args=(-DCMAKE_BUILD_TYPE=Debug -DPLEMOX_SANITIZE=ON -DPLEMOX_BUILD_BENCHMARKS=OFF) ;;
  debug) cmake_args=(-DCMAKE_BUILD_TYPE=Debug) ;;
  fuzz)
    cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLEMOX_FUZZ=ON
                -DPLEMOX_BUILD_TESTS=OFF -DPLEMOX_BUILD_BENCHMARKS=OFF
                -DCMAKE_C_COMPILER="${PLEMOX_FUZZ_CC:-clang}"
                -DCMAKE_CXX_COMPILER="${PLEMOX_FUZZ_CXX:-clang++}")
    [ $# -gt 0 ] || set -- --target plemox_fuzzers
    ;;
  *) echo "usage: $0 [release|sanitize|debug|fuzz]" >&2; exit 2 ;;
esac
jobs=${PLEMOX_BUILD_JOBS:-$(nproc)}
cmake -S "$root" -B "$root/build/$kind" "${cmake_args[@]}" >/dev/null
cmake --build "$root/build/$kind" -j"$jobs" "$@"
