#!/usr/bin/env bash
# Builds the libFuzzer harnesses (build kind "fuzz", clang) and runs each for
# a time budget on a copy of its seed corpus (tests/fuzz/corpus/<harness>/).
# Fails when any harness reports a crash, a hang, a leak, an oversized
# allocation or a sanitizer error; the input that did it is kept under
# build/fuzz/artifacts/<harness>/ (replay: build/fuzz/bin/<harness> FILE).
#
#   scripts/fuzz.sh [seconds-per-harness]      # default 60
#   PLEMOX_FUZZ_HARNESSES="http_fuzzer" scripts/fuzz.sh 600
#   scripts/fuzz.sh 60 -- -jobs=2              # extra libFuzzer arguments
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

seconds=60
if [ $# -gt 0 ] && [ "$1" != "--" ]; then seconds=$1; shift; fi
[ "${1:-}" = "--" ] && shift
extra=("$@")
harnesses=${PLEMOX_FUZZ_HARNESSES:-"tcp_frame_fuzzer request_fuzzer manifest_fuzzer http_fuzzer"}

echo "=== Building the fuzzers"
scripts/build.sh fuzz

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for harness in $harnesses; do
  binary=build/fuzz/bin/$harness
  work=build/fuzz/runs/$harness
  artifacts=build/fuzz/artifacts/$harness
  rm -rf "$work"
  mkdir -p "$work" "$artifacts"
  # New inputs land in the copy; the repository's corpus stays as it is.
  cp -r "tests/fuzz/corpus/$harness" "$work/corpus"
  # Inputs stay small enough for many runs per second; HTTP needs room for
  # pipelined requests and bodies past the limits.
  max_len=16384
  [ "$harness" = http_fuzzer ] && max_len=65536
  args=(-max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048
        -malloc_limit_mb=512 -max_len="$max_len" -print_final_stats=1
        -artifact_prefix="$artifacts/")
  dict=tests/fuzz/${harness%_fuzzer}.dict
  [ -f "$dict" ] && args+=(-dict="$dict")
  echo "=== Fuzzing $harness for ${seconds}s (log: $work/fuzz.log)"
  if "$binary" "${args[@]}" "${extra[@]}" "$work/corpus" > "$work/fuzz.log" 2>&1; then
    grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss_mb)' \
      "$work/fuzz.log" || true
  else
    echo "!!! $harness failed; last lines of $work/fuzz.log:"
    tail -n 40 "$work/fuzz.log"
    ls -l "$artifacts"
    failed+=("$harness")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "=== Fuzzing failed: ${failed[*]} (inputs under build/fuzz/artifacts/)"
  exit 1
fi
echo "=== Fuzzing passed: $harnesses"
