#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, starts the private
# Redis and MariaDB, runs every test (unit, integration, e2e, fault), then builds and
# runs everything again under AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   scripts/test.sh                  # everything
#   scripts/test.sh --no-sanitizers  # the plain build only
#   scripts/test.sh --no-fuzz        # without the short fuzzing stage
#   scripts/test.sh -- -L unit       # extra arguments go to ctest
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

sanitizers=1
fuzz=1
ctest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --no-sanitizers) sanitizers=0 ;;
    --no-fuzz) fuzz=0 ;;
    --) shift; ctest_args=("$@"); break ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
  shift
done

scripts/install_deps.sh

eval "$(scripts/services.sh env)"
started_services=0
# Only servers started here are stopped at the end.
if ! scripts/services.sh running; then
  started_services=1
fi
scripts/services.sh start
if [ $started_services -eq 1 ]; then
  trap 'scripts/services.sh stop' EXIT
fi

run_suite() {  # run_suite BUILD_KIND
  local kind=$1
  echo "=== Building ($kind)"
  scripts/build.sh "$kind"
  echo "=== Testing ($kind)"
  # A test that fails is run once more; a fault that shows every time still
  # fails the suite, and the first failure's output stays in the log.
  ctest --test-dir "build/$kind" --output-on-failure -j"$(nproc)" \
    --timeout 300 --repeat until-pass:2 "${ctest_args[@]}"
}

run_suite release
# The Debian package, built from the plain build and checked in a scratch root.
scripts/package_test.sh release
# A short fuzzing stage (scripts/fuzz.sh): about a minute per harness.
if [ $fuzz -eq 1 ]; then
  scripts/fuzz.sh "${PLEMOX_FUZZ_SECONDS:-60}"
fi
if [ $sanitizers -eq 1 ]; then
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  run_suite sanitize
fi
