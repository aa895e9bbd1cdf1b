#!/usr/bin/env bash
# Compares two builds of the leaderboard server on one request mix: both
# servers run side by side on one Redis of the run's own (each with a
# database of its own), and leaderboard_loadgen drives them in turn, A then
# B, for a number of rounds. A disturbance of the machine (a neighbour, a
# flush) then hits both builds' runs of a round alike instead of deciding a
# one-run-each comparison; the medians over the rounds are printed last.
#
#   scripts/bench_ab.sh BUILD_DIR_A BUILD_DIR_B
#
# Each build directory holds bin/plemox_host, bin/leaderboard_loadgen and
# lib/libplemox-leaderboard.so (a release build of each commit, e.g.
# `git worktree add /tmp/a <rev> && (cd /tmp/a && scripts/build.sh release)`;
# B's load generator drives both). Players are submitted once, through B,
# before the rounds. Not part of the test suite. Settings (environment):
#   PLEMOX_AB_MIX          request mix (default top=1)
#   PLEMOX_AB_RATE         offered req/s, open loop (default 4500; 0: closed
#                          loop, 4 requests in flight per connection)
#   PLEMOX_AB_ROUNDS       rounds (default 6)
#   PLEMOX_AB_SECONDS      seconds per run (default 10)
#   PLEMOX_AB_CONNECTIONS  load generator connections (default 16)
#   PLEMOX_AB_PLAYERS      players per leaderboard (default 10000)
#   PLEMOX_AB_SERVER_FLAGS extra host flags for both servers, e.g.
#                          "--redis_cache_use_scripts=false"
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR_A BUILD_DIR_B" >&2
  exit 2
fi
builds=()
for dir in "$1" "$2"; do
  dir=$(cd "$dir" && pwd)
  for file in bin/plemox_host bin/leaderboard_loadgen \
    lib/libplemox-leaderboard.so; do
    if [ ! -e "$dir/$file" ]; then
      echo "$0: $dir has no $file" >&2
      exit 2
    fi
  done
  builds+=("$dir")
done
mix=${PLEMOX_AB_MIX:-top=1}
rate=${PLEMOX_AB_RATE:-4500}
rounds=${PLEMOX_AB_ROUNDS:-6}
seconds=${PLEMOX_AB_SECONDS:-10}
connections=${PLEMOX_AB_CONNECTIONS:-16}
players=${PLEMOX_AB_PLAYERS:-10000}

"$(dirname "${BASH_SOURCE[0]}")/install_deps.sh"
bench_name=ab
export PLEMOX_BENCH_BUILD_DIR=${builds[1]}
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
loadgen_bin=${builds[1]}/bin/leaderboard_loadgen
leaderboards="${run_id}_day,${run_id}_week"
names=(A B)
pids=()
ports=()

bench_cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  mysql_run -e "DROP DATABASE IF EXISTS \`${database}_b\`" 2>/dev/null || true
}

start_redis
for i in 0 1; do
  db=$database
  if [ $i = 1 ]; then db="${database}_b"; fi
  mysql_run -e "CREATE DATABASE \`$db\`"
  manifest_library=${builds[$i]}/lib/libplemox-leaderboard.so \
    write_manifest "$work/manifest_$i.json" "${run_id}_day=day" \
    "${run_id}_week=week"
  ports+=("$(free_port)")
  "${builds[$i]}/bin/plemox_host" --manifest="$work/manifest_$i.json" \
    --res_root="$root" --logtostderr --redis_host=127.0.0.1 \
    --redis_port="$redis_port" \
    --mysql_server_url="$PLEMOX_MYSQL_HOST:$PLEMOX_MYSQL_PORT" \
    --mysql_id="$PLEMOX_MYSQL_USER" --mysql_pw="$PLEMOX_MYSQL_PASSWORD" \
    --mysql_db_name="$db" --server_tcp_port="${ports[$i]}" \
    --api_port="$(free_port)" ${PLEMOX_AB_SERVER_FLAGS:-} \
    >>"$work/host.log" 2>&1 &
  pids+=($!)
  wait_for_port "${ports[$i]}" 60 "${pids[$i]}" ||
    { say "server ${names[$i]} did not start"; exit 1; }
done
host_pid=${pids[1]}
say "A: ${builds[0]} on port ${ports[0]}; B: ${builds[1]} on port ${ports[1]}"

run() {  # run INDEX SECONDS LABEL [flags...]
  local i=$1 duration=$2 label=$3
  shift 3
  "$loadgen_bin" --port="${ports[$i]}" --leaderboards="$leaderboards" \
    --connections="$connections" --players="$players" --progress=false \
    --duration="$duration" --label="$label" "$@" >"$work/run.txt" 2>&1 ||
    { say "load generator failed:"; cat "$work/run.txt" >&2; exit 1; }
}
say "prefill: $players players on each leaderboard, through B"
run 1 0 prefill --prefill --requests=0
# The prefill's database writes drain while each server runs a short
# unrecorded warm-up.
sleep 10
for i in 0 1; do run "$i" 3 warmup --mix="$mix" --rate="$rate"; done
for round in $(seq "$rounds"); do
  for i in 0 1; do
    say "round $round: ${names[$i]}"
    run "$i" "$seconds" "${names[$i]}" --mix="$mix" --rate="$rate" \
      --tsv_out="$work/results.tsv"
  done
done

# One row per run, then each build's medians (the total row of a mix with
# several kinds, else its one kind).
echo
echo "mix $mix, $([ "$rate" = 0 ] && echo "closed loop" || echo "$rate req/s offered"), ${seconds}s per run, $rounds rounds, A then B in each round;" \
  "load average $(cut -d' ' -f1 /proc/loadavg) at the end"
awk -F'\t' -v rounds="$rounds" '
  {kinds[$1]++; rows[NR] = $0}
  END {
    printf "%-8s %10s %9s %9s %9s %9s\n", "build", "req/s", "p50 ms", "p90 ms",
           "p99 ms", "p99.9 ms"
    for (r = 1; r <= NR; ++r) {
      split(rows[r], f, "\t")
      if (kinds[f[1]] > rounds && f[2] != "total") continue
      printf "%-8s %10s %9s %9s %9s %9s\n", f[1], f[4], f[5], f[6], f[7], f[8]
      n[f[1]]++
      for (c = 4; c <= 8; ++c) v[f[1], c, n[f[1]]] = f[c]
    }
    for (b = 0; b < 2; ++b) {
      name = b == 0 ? "A" : "B"
      if (n[name] == 0) continue
      line = sprintf("%-8s", "median " name)
      for (c = 4; c <= 8; ++c) {
        m = n[name]
        for (i = 1; i <= m; ++i) s[i] = v[name, c, i] + 0
        for (i = 2; i <= m; ++i)  # insertion sort: a handful of rounds
          for (j = i; j > 1 && s[j - 1] > s[j]; --j) {
            t = s[j]; s[j] = s[j - 1]; s[j - 1] = t
          }
        med = m % 2 ? s[(m + 1) / 2] : (s[m / 2] + s[m / 2 + 1]) / 2
        line = line sprintf(c == 4 ? " %10.0f" : " %9.3f", med)
      }
      print line
    }
  }' "$work/results.tsv"
