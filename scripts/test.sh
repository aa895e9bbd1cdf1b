#!/usr/bin/env bash
# The whole test suite: installs what is missing, starts the private Redis,
# Redis Cluster and MariaDB, then
#   1. builds the plain (gcc, optimised) tree and runs every test in it
#      (unit, integration, e2e, fault), and builds and checks the Debian
#      package from it;
#   2. builds the sanitizer tree (clang, AddressSanitizer and
#      UndefinedBehaviorSanitizer, with the fuzz harnesses), runs every test
#      in it again, and runs each fuzz harness for half a minute.
# Each stage prints how long it took.
#
#   scripts/test.sh                  # everything
#   scripts/test.sh --no-sanitizers  # stage 1 only (no sanitizer tree, no fuzzing)
#   scripts/test.sh --no-fuzz        # both stages without the fuzzing
#   scripts/test.sh -- -L unit       # extra arguments go to ctest (both stages)
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

stage_start=$SECONDS
timings=()
# stage_done NAME: records how long the stage that just ended took.
stage_done() {
  local elapsed=$((SECONDS - stage_start))
  timings+=("$(printf '%-22s %3dm%02ds' "$1" $((elapsed / 60)) $((elapsed % 60)))")
  echo "=== $1 took $((elapsed / 60))m$((elapsed % 60))s"
  stage_start=$SECONDS
}
report() {
  echo "=== Stage times"
  printf '  %s\n' "${timings[@]}"
  echo "  total                  $((SECONDS / 60))m$((SECONDS % 60))s"
}
trap report EXIT

scripts/install_deps.sh
eval "$(scripts/services.sh env)"
started_services=0
# Only servers started here are stopped at the end.
if ! scripts/services.sh running; then
  started_services=1
fi
scripts/services.sh start
# The Redis Cluster of the cluster tests, likewise stopped only when started
# here.
started_cluster=0
if ! redis-cli -p "$PLEMOX_REDIS_CLUSTER_PORT" cluster info 2>/dev/null |
    grep -q '^cluster_state:ok'; then
  started_cluster=1
fi
scripts/services.sh start-cluster
stop_servers() {
  if [ $started_services -eq 1 ]; then scripts/services.sh stop; fi
  if [ $started_cluster -eq 1 ]; then scripts/services.sh stop-cluster; fi
}
trap 'report; stop_servers' EXIT
stage_done "dependencies, servers"

run_tests() {  # run_tests BUILD_KIND JOBS
  # A test that fails is run once more; a fault that shows every time still
  # fails the suite, and the first failure's output stays in the log.
  ctest --test-dir "build/$1" --output-on-failure -j"$2" \
    --timeout 300 --repeat until-pass:2 "${ctest_args[@]}"
}

echo "=== Building (release)"
# No debug information: this tree is tested and packaged for the package
# test, never shipped or debugged, and it compiles about a fifth faster.
PLEMOX_DEBUG_INFO=0 scripts/build.sh release
stage_done "release build"
echo "=== Testing (release)"
# The plain tests mostly wait on sockets and timers (about a quarter of the
# cores busy at one test per core), so twice as many run at once.
run_tests release $(($(nproc) * 2))
stage_done "release tests"
# The Debian package, built from the plain build and checked in a scratch root.
scripts/package_test.sh release
stage_done "package"

if [ $sanitizers -eq 1 ]; then
  echo "=== Building (sanitize)"
  scripts/build.sh sanitize
  stage_done "sanitize build"
  echo "=== Testing (sanitize)"
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
  # Thread-local storage is not scanned for pointers: tests/lsan.supp says why.
  export LSAN_OPTIONS=${LSAN_OPTIONS:-use_tls=0:suppressions=$root/tests/lsan.supp:print_suppressions=0}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  # Sanitized processes keep the cores busier, but not all of them.
  run_tests sanitize $(($(nproc) + 1))
  stage_done "sanitize tests"
  if [ $fuzz -eq 1 ]; then
    # The fuzzers set their own sanitizer options.
    unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS
    scripts/fuzz.sh "${PLEMOX_FUZZ_SECONDS:-30}"
    stage_done "fuzzing"
  fi
fi
