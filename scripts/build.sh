#!/usr/bin/env bash
# Configures and builds the project into build/<kind>.
#   scripts/build.sh [release|sanitize|debug] [extra cmake --build args]
#
# release   gcc, optimised with debug info: the server, the tools, the tests
#           and the benchmarks; what scripts/run.sh runs and the package holds.
# sanitize  clang with AddressSanitizer and UndefinedBehaviorSanitizer, no
#           optimisation: the tests and the libFuzzer harnesses
#           (`--target plemox_fuzzers` builds only those). Everything is also
#           instrumented for libFuzzer's coverage, so one build serves both.
# debug     gcc without optimisation, for a debugger.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
kind=${1:-release}
shift || true
case "$kind" in
  release) cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  sanitize)
    cmake_args=(-DCMAKE_BUILD_TYPE=Debug -DPLEMOX_SANITIZE=ON -DPLEMOX_FUZZ=ON
                -DPLEMOX_BUILD_BENCHMARKS=OFF
                -DCMAKE_C_COMPILER="${PLEMOX_SANITIZE_CC:-clang}"
                -DCMAKE_CXX_COMPILER="${PLEMOX_SANITIZE_CXX:-clang++}")
    ;;
  debug) cmake_args=(-DCMAKE_BUILD_TYPE=Debug) ;;
  *) echo "usage: $0 [release|sanitize|debug]" >&2; exit 2 ;;
esac
jobs=${PLEMOX_BUILD_JOBS:-$(nproc)}
cmake -S "$root" -B "$root/build/$kind" "${cmake_args[@]}" >/dev/null
cmake --build "$root/build/$kind" -j"$jobs" "$@"
