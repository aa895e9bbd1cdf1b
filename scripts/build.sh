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
#
# PLEMOX_DEBUG_INFO=0 builds the release kind without debug information
# (about a fifth faster to compile); the test command uses it, since its
# tree is only tested, never shipped or debugged.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
kind=${1:-release}
shift || true
case "$kind" in
  release)
    # Given every time, so that the tree never keeps the other choice.
    if [ "${PLEMOX_DEBUG_INFO:-1}" = 0 ]; then opt="-O2 -DNDEBUG"; else opt="-O2 -g -DNDEBUG"; fi
    cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo
                -DCMAKE_C_FLAGS_RELWITHDEBINFO="$opt"
                -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$opt")
    ;;
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
