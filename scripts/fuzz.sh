#!/usr/bin/env bash
# Builds the libFuzzer harnesses (they are part of the sanitizer build,
# build/sanitize) and runs each for a time budget on a copy of its seed
# corpus (tests/fuzz/corpus/<harness>/), as many at a time as there are cores.
# Fails when any harness reports a crash, a hang, a leak, an oversized
# allocation or a sanitizer error; the input that did it is kept under
# build/sanitize/fuzz/artifacts/<harness>/ (replay: build/sanitize/bin/<harness> FILE).
#
#   scripts/fuzz.sh [seconds-per-harness]      # default 60
#   PLEMOX_FUZZ_HARNESSES="http_fuzzer" scripts/fuzz.sh 600
#   PLEMOX_FUZZ_JOBS=1 scripts/fuzz.sh          # one harness at a time
#   scripts/fuzz.sh 60 -- -jobs=2              # extra libFuzzer arguments
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

seconds=60
if [ $# -gt 0 ] && [ "$1" != "--" ]; then seconds=$1; shift; fi
[ "${1:-}" = "--" ] && shift
extra=("$@")
harnesses=${PLEMOX_FUZZ_HARNESSES:-"tcp_frame_fuzzer request_fuzzer manifest_fuzzer http_fuzzer"}
parallel=${PLEMOX_FUZZ_JOBS:-$(nproc)}

echo "=== Building the fuzzers"
scripts/build.sh sanitize --target plemox_fuzzers

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
out=build/sanitize/fuzz

# fuzz_one HARNESS: runs one harness; its log is $out/runs/HARNESS/fuzz.log.
fuzz_one() {
  local harness=$1
  local binary=build/sanitize/bin/$harness
  local work=$out/runs/$harness
  local artifacts=$out/artifacts/$harness
  rm -rf "$work"
  mkdir -p "$work" "$artifacts"
  # New inputs land in the copy; the repository's corpus stays as it is.
  cp -r "tests/fuzz/corpus/$harness" "$work/corpus"
  # Inputs stay small enough for many runs per second; HTTP needs room for
  # pipelined requests and bodies past the limits.
  local max_len=16384
  [ "$harness" = http_fuzzer ] && max_len=65536
  local args=(-max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048
              -malloc_limit_mb=512 -max_len="$max_len" -print_final_stats=1
              -artifact_prefix="$artifacts/")
  local dict=tests/fuzz/${harness%_fuzzer}.dict
  [ -f "$dict" ] && args+=(-dict="$dict")
  "$binary" "${args[@]}" "${extra[@]}" "$work/corpus" > "$work/fuzz.log" 2>&1
}

failed=()
pids=()
names=()
# reap_one: waits for the oldest running harness and reports it.
reap_one() {
  local pid=${pids[0]} harness=${names[0]}
  pids=("${pids[@]:1}")
  names=("${names[@]:1}")
  local log=$out/runs/$harness/fuzz.log
  if wait "$pid"; then
    echo "=== $harness passed"
    grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss_mb)' \
      "$log" || true
  else
    echo "!!! $harness failed; last lines of $log:"
    tail -n 40 "$log"
    ls -l "$out/artifacts/$harness"
    failed+=("$harness")
  fi
}
for harness in $harnesses; do
  [ ${#pids[@]} -ge "$parallel" ] && reap_one
  echo "=== Fuzzing $harness for ${seconds}s (log: $out/runs/$harness/fuzz.log)"
  fuzz_one "$harness" &
  pids+=($!)
  names+=("$harness")
done
while [ ${#pids[@]} -gt 0 ]; do reap_one; done

if [ ${#failed[@]} -gt 0 ]; then
  echo "=== Fuzzing failed: ${failed[*]} (inputs under $out/artifacts/)"
  exit 1
fi
echo "=== Fuzzing passed: $harnesses"
