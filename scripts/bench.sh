#!/usr/bin/env bash
# Measures the leaderboard server on this machine and prints one table:
# throughput and latency of fixed request mixes driven by leaderboard_loadgen
# (closed loop: each connection keeps its requests in flight), latency at a
# fixed offered rate of half the submit-only and top-only peaks (open loop:
# requests go out on schedule whatever the answers, latency counted from the
# due time), the server's context switches and CPU time per request of each
# run, the Redis commands and round trips each request costs, and what Redis
# alone does with the same work (redis-benchmark), so that the server's
# figures read as a share of the Redis underneath it. MariaDB's CPU per
# request stands beside the server's, Redis's and the load generator's, and
# the server's own latency percentiles (its request duration histograms)
# beside the client's. Fixed-rate rows start once the database writes of
# earlier runs have drained (the server's waiting-write gauges read 0); one
# of them offers submissions and top-100 queries together. Further rows
# restart the server with the top answer cache on (top-only+cache, 100 ms)
# (before them, submit-only+laps and top-only+laps run over a lowest-first
# leaderboard with a tiebreak, every submission with a second score)
# and with the bulk insert queue on (submit-only+bulk), without either
# (submit-only+plain, top-only+plain: the control of the next ones), with
# game server keys (submit-only+keys, top-only+keys) and with TLS on the
# game port (submit-only+tls, top-only+tls). The last rows
# (submit-only+cluster, top-only+cluster) run the server on the Redis Cluster
# of scripts/services.sh (three primaries, three replicas, all on this
# machine) over leaderboards spread evenly over the primaries, with each
# node's EVALSHA calls, commands and CPU during the row, and the submission
# script's EVALSHA rate (redis-benchmark) on one primary alone and on the
# three at once (scripts/bench_cluster.sh). The league rows (submit-only+league,
# cohort+league) run a daily league in cohorts of 50 beside a plain daily
# leaderboard (submit-only+single) and top-50 queries (top50+league).
#
# Benchmarks of their own, not run from here: scripts/bench_sizing.sh (rates
# at 10,000 and 1,000,000 players in one run, Redis bytes per player,
# MariaDB bytes per record), scripts/bench_league.sh (the period end of a
# league of 1,000,000 players under game requests), scripts/bench_storm.sh,
# scripts/bench_archive.sh, scripts/bench_recovery.sh and scripts/bench_ab.sh
# (two builds on one mix, interleaved).
#
#   scripts/bench.sh
#
# From a clean checkout it installs what is missing, builds the release
# targets it needs, starts the private MariaDB (scripts/services.sh) and its
# own Redis (so that the command counts and the redis-benchmark keys belong
# to this run alone), runs the server on a manifest with fresh leaderboard
# ids in a database of the run's own, and drops that database (and the
# Redis) again at the end (scripts/bench_common.sh). Not
# part of the test suite. Settings (environment):
#   PLEMOX_BENCH_SECONDS      seconds per mix (default 15)
#   PLEMOX_BENCH_CONNECTIONS  load generator connections (default 16)
#   PLEMOX_BENCH_IN_FLIGHT    requests in flight per connection (default 4)
#   PLEMOX_BENCH_PLAYERS      players per leaderboard (default 10000)
#   PLEMOX_BENCH_REDIS_REQUESTS  requests per redis-benchmark command (50000)
#   PLEMOX_BENCH_SHARED_REDIS=1  use the Redis of scripts/services.sh instead
#   PLEMOX_BENCH_BUILD_DIR    use this existing build (with the server and
#                             leaderboard_loadgen built) instead of building
#                             build/release
#   PLEMOX_BENCH_SERVER_FLAGS extra host flags for the server, e.g.
#                             "--redis_cache_use_scripts=false" to measure
#                             the Redis command chain instead of the scripts
#   PLEMOX_BENCH_SERVER_ENV   environment of the server only, e.g.
#                             LD_PRELOAD=/usr/lib/x86_64-linux-gnu/libjemalloc.so.2
#   PLEMOX_BENCH_PERF=1       after the mixes, profile the server's CPU (perf)
#   PLEMOX_BENCH_PERF_MIX     the mix of the profiled run (default submit=1)
#   PLEMOX_BENCH_PERF_OUT     keep the profile (perf.data) at this path
#                             during a further submit-only run, summarised
#                             under the table
#   PLEMOX_BENCH_SCHED=1      after the fixed-rate rows, record the scheduler
#                             (perf sched, whole machine) during a further
#                             submit+top fixed-rate run and summarise, per
#                             thread name, how long runnable threads waited
#                             for a core (under the table)
#   PLEMOX_BENCH_RATE_SHARE   the fixed-rate runs offer this percentage of the
#                             closed-loop peak of the same mix (default 50;
#                             0 skips them)
#   PLEMOX_BENCH_FIXED_RATE   the fixed-rate runs offer this many req/s
#                             instead of a share of a peak (rows named
#                             "@Nrps"): the same load for two builds whose
#                             peaks differ
#   PLEMOX_BENCH_MAX_OUTSTANDING  fixed-rate runs: the most requests
#                             outstanding per connection; a request due on a
#                             full connection is dropped and counted (64)
#   PLEMOX_BENCH_CLUSTER=0    skip the Redis Cluster rows (default 1: start
#                             the cluster of scripts/services.sh on
#                             PLEMOX_REDIS_CLUSTER_PORT when it is not
#                             running, and stop it again at the end)
#   PLEMOX_BENCH_CLUSTER_LEADERBOARDS  leaderboards per primary in the
#                             cluster rows (default 4; half with a daily,
#                             half with a weekly schedule)
set -euo pipefail

seconds=${PLEMOX_BENCH_SECONDS:-15}
connections=${PLEMOX_BENCH_CONNECTIONS:-16}
in_flight=${PLEMOX_BENCH_IN_FLIGHT:-4}
players=${PLEMOX_BENCH_PLAYERS:-10000}
redis_requests=${PLEMOX_BENCH_REDIS_REQUESTS:-50000}
shared_redis=${PLEMOX_BENCH_SHARED_REDIS:-0}
profile=${PLEMOX_BENCH_PERF:-0}
profile_mix=${PLEMOX_BENCH_PERF_MIX:-submit=1}
sched=${PLEMOX_BENCH_SCHED:-0}
rate_share=${PLEMOX_BENCH_RATE_SHARE:-50}
fixed_rate_abs=${PLEMOX_BENCH_FIXED_RATE:-0}
# The fixed-rate rows' name suffix and the table caption's words for it.
if [ "$fixed_rate_abs" -gt 0 ]; then
  rate_tag="${fixed_rate_abs}rps"
  rate_words="$fixed_rate_abs req/s"
else
  rate_tag="${rate_share}%"
  rate_words="${rate_share}% of the closed-loop peak"
fi
max_outstanding=${PLEMOX_BENCH_MAX_OUTSTANDING:-64}
cluster=${PLEMOX_BENCH_CLUSTER:-1}
cluster_per_primary=${PLEMOX_BENCH_CLUSTER_LEADERBOARDS:-4}
# Requests per kind when counting Redis commands, one at a time.
count_requests=500
count_players=500

"$(dirname "${BASH_SOURCE[0]}")/install_deps.sh"
# The build, the services, the work folder, a database of the run's own
# (dropped at the end) and a Redis of its own: scripts/bench_common.sh.
bench_name=table
bench_targets=leaderboard_loadgen
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
# The Redis Cluster rows: scripts/bench_cluster.sh.
source "$(dirname "${BASH_SOURCE[0]}")/bench_cluster.sh"
bin=$build/bin
lb_day="${run_id}_day"
lb_week="${run_id}_week"
# Players with 32-byte names and 100-byte metadata, for the top-named row.
lb_named="${run_id}_named"
# A lowest-first leaderboard with a second score that breaks ties (lap
# times, then kills), for the +laps rows.
lb_laps="${run_id}_laps"
# A daily league (cohorts of 50 in three tiers) and a plain daily
# leaderboard of the same shape, for the +league rows.
lb_league="${run_id}_league"
lb_single="${run_id}_single"
manifest_ranking_options="{\"leaderboard_id\": \"$lb_laps\", \"sort_order\": \"ascending\", \"tiebreak\": \"descending\"},
  {\"leaderboard_id\": \"$lb_league\", \"league\": {\"tiers\": [\"bronze\", \"silver\", \"gold\"], \"cohort_size\": 50, \"promote\": 5, \"relegate\": 5, \"absent\": \"stay\"}}"


# Run by bench_common.sh's clean-up before its own steps.
cluster_started=0
bench_cleanup() {
  stop_server
  if [ "$cluster_started" = 1 ]; then
    scripts/services.sh stop-cluster >&2 || true
  elif [ -s "$work/cluster_procs.txt" ]; then
    cluster_clean
  fi
  if [ "$shared_redis" = 1 ]; then
    redis-cli -p "$redis_port" --scan --pattern "leaderboard:${run_id}*" |
      xargs -r -n 100 redis-cli -p "$redis_port" del >/dev/null || true
    redis-cli -p "$redis_port" del "plemoxbench:${run_id}:z" \
      "plemoxbench:${run_id}:h" >/dev/null 2>&1 || true
  fi
}

# --- Redis. ---------------------------------------------------------------
if [ "$shared_redis" = 1 ]; then
  redis_port=$PLEMOX_REDIS_PORT
  redis_pid=$(cat "$PLEMOX_STATE_DIR/redis/redis.pid")
  redis_shared=1
else
  start_redis
fi
mysql_run -e "CREATE DATABASE \`$database\`"

# --- The server. ----------------------------------------------------------
tcp_port=$(free_port)
api_port=$(free_port)
manifest=$work/manifest.json
write_manifest "$manifest" "$lb_day=day" "$lb_week=week" "$lb_named" \
  "$lb_laps" "$lb_league=day" "$lb_single=day"
# start_server [host flags...]: starts the server on tcp_port and api_port
# with the manifest at $manifest, the run's flags and "$@", and waits for
# its port.
start_server() {
  env ${PLEMOX_BENCH_SERVER_ENV:-} \
    "$bin/plemox_host" --manifest="$manifest" --res_root="$root" \
    --logtostderr --redis_host=127.0.0.1 --redis_port="$redis_port" \
    --mysql_server_url="$PLEMOX_MYSQL_HOST:$PLEMOX_MYSQL_PORT" \
    --mysql_id="$PLEMOX_MYSQL_USER" --mysql_pw="$PLEMOX_MYSQL_PASSWORD" \
    --mysql_db_name="$database" --server_tcp_port="$tcp_port" \
    --api_port="$api_port" ${PLEMOX_BENCH_SERVER_FLAGS:-} "$@" \
    >>"$work/host.log" 2>&1 &
  host_pid=$!
  wait_for_port "$tcp_port" 60 || { say "the server did not start"; exit 1; }
}
start_server
say "server pid $host_pid on port $tcp_port, Redis on $redis_port," \
  "leaderboards $lb_day, $lb_week"
mysql_pid=$(cat "$PLEMOX_STATE_DIR/mysql/mysqld.pid" 2>/dev/null || true)
if [ -z "$mysql_pid" ] || [ ! -r "/proc/$mysql_pid/stat" ]; then
  say "MariaDB's process is not readable here; its CPU column stays empty"
  mysql_pid=""
fi

# server_latency LABEL BEFORE AFTER: the server's own p50, p99 and p99.9 in
# ms per kind of work over a run, from the difference of two scrapes of its
# duration histograms (linear within a bucket, as Prometheus's
# histogram_quantile; beyond the last bound: ">bound"), appended to
# server.tsv as: label, kind, count, p50, p99, p99.9.
server_latency() {
  awk -v label="$1" '
    /^plemox_leaderboard_request_duration_seconds_bucket\{/ {
      match($0, /kind="[^"]*"/); kind = substr($0, RSTART + 6, RLENGTH - 7)
      match($0, /le="[^"]*"/); le = substr($0, RSTART + 4, RLENGTH - 5)
      if (FILENAME == ARGV[1]) before[kind, le] = $NF
      else { after[kind, le] = $NF; kinds[kind] = 1; les[le] = 1 }
    }
    function quantile(kind, q,    total, target, i, prev_le, prev_n, n) {
      total = after[kind, "+Inf"] - before[kind, "+Inf"]
      target = q * total; prev_le = 0; prev_n = 0
      for (i = 1; i <= nb; ++i) {
        n = after[kind, key[i]] - before[kind, key[i]]
        if (n >= target) {
          if (n == prev_n) return sprintf("%.2f", bound[i] * 1000)
          frac = (target - prev_n) / (n - prev_n)
          return sprintf("%.2f", 1000 * (prev_le + (bound[i] - prev_le) * frac))
        }
        prev_le = bound[i]; prev_n = n
      }
      return sprintf(">%g", prev_le * 1000)
    }
    END {
      for (le in les) if (le != "+Inf") bound[++nb] = le + 0
      for (i = 2; i <= nb; ++i)
        for (j = i; j > 1 && bound[j - 1] > bound[j]; --j) {
          t = bound[j]; bound[j] = bound[j - 1]; bound[j - 1] = t }
      # The bucket keys as the server writes them.
      for (i = 1; i <= nb; ++i)
        for (le in les) if (le != "+Inf" && le + 0 == bound[i]) key[i] = le
      for (kind in kinds) {
        count = after[kind, "+Inf"] - before[kind, "+Inf"]
        if (count > 0)
          printf "%s\t%s\t%d\t%s\t%s\t%s\n", label, kind, count,
            quantile(kind, 0.5), quantile(kind, 0.99), quantile(kind, 0.999)
      }
    }' "$2" "$3" >>"$work/server.tsv"
}
ticks_per_second=$(getconf CLK_TCK)

# Context switches (voluntary + involuntary) of all the server's threads so
# far, and the thread count: "switches threads". The kernel keeps them per
# thread only, so a thread that ends between two readings takes its switches
# with it; loadgen warns when the thread count changed during a run.
server_switches() {
  cat /proc/"$host_pid"/task/*/status 2>/dev/null |
    awk '/^(non)?voluntary_ctxt_switches:/ {n += $2}
         /^Pid:/ {threads++}
         END {print n + 0, threads + 0}'
}

# The Redis processes whose CPU time the rows count: the run's Redis, or
# every node of the cluster in the cluster rows.
redis_pids=("$redis_pid")
# Runs the load generator; records the server's, Redis's, the load
# generator's and MariaDB's CPU time and the server's context switches per
# finished request of the run in cpu.tsv: label, server us, Redis us, server
# context switches, load generator us, MariaDB us; and the server's own
# latency percentiles per kind in server.tsv (server_latency).
loadgen() {  # loadgen LABEL [flags...]
  local label=$1
  shift
  local server_before redis_before switches_before switches_after
  local loadgen_before loadgen_after mysql_before
  scrape "$work/before.prom"
  children_cpu >"$work/children.txt"
  loadgen_before=$(cat "$work/children.txt")
  server_before=$(cpu_ticks "$host_pid")
  redis_before=$(cpu_ticks "${redis_pids[@]}")
  mysql_before=$(cpu_ticks "$mysql_pid")
  switches_before=$(server_switches)
  "$bin/leaderboard_loadgen" --port="$tcp_port" \
    --leaderboards="$lb_day,$lb_week" --label="$label" \
    --tsv_out="$work/results.tsv" "$@" >"$work/$label.txt"
  switches_after=$(server_switches)
  children_cpu >"$work/children.txt"
  loadgen_after=$(cat "$work/children.txt")
  scrape "$work/after.prom"
  server_latency "$label" "$work/before.prom" "$work/after.prom"
  if [ "${switches_before#* }" != "${switches_after#* }" ]; then
    say "$label: the server's thread count went from ${switches_before#* }" \
      "to ${switches_after#* }; its context switch count misses ended threads"
  fi
  awk -F'\t' -v label="$label" -v tps="$ticks_per_second" \
    -v server=$(($(cpu_ticks "$host_pid") - server_before)) \
    -v redis=$(($(cpu_ticks "${redis_pids[@]}") - redis_before)) \
    -v switches=$((${switches_after% *} - ${switches_before% *})) \
    -v mysql=$(($(cpu_ticks "$mysql_pid") - mysql_before)) \
    -v loadgen="$loadgen_before $loadgen_after" '
      $1 == label && ($2 == "total" || n == 0) {n = $3}
      END {
        split(loadgen, lg, " ")
        if (n > 0) printf "%s\t%.0f\t%.0f\t%.2f\t%.0f\t%.0f\n", label,
          server * 1e6 / tps / n, redis * 1e6 / tps / n, switches / n,
          (lg[2] - lg[1]) * 1e6 / n, mysql * 1e6 / tps / n
      }' \
    "$work/results.tsv" >>"$work/cpu.tsv"
}

# --- Redis commands and round trips per request. --------------------------
# Commands come from INFO commandstats; round trips from the write system
# calls of the redis-server process (one reply write per request it read,
# however many commands a pipelined request held), less what the two
# redis-cli calls of a measurement cost by themselves.
# Context switches of the server's threads show what each request costs in
# thread hand-offs and blocking waits.
redis_snapshot() {  # redis_snapshot FILE
  redis-cli -p "$redis_port" INFO commandstats | tr -d '\r' |
    sed -n 's/^cmdstat_\([^:]*\):calls=\([0-9]*\),.*/\1 \2/p' >"$1"
  if [ -r "/proc/$redis_pid/io" ]; then
    awk '/^syscw:/ {print "__writes", $2}' "/proc/$redis_pid/io" >>"$1"
  fi
  server_switches | awk '{print "__switches", $1}' >>"$1"
}
redis_delta() {  # redis_delta BEFORE AFTER -> "command delta" lines
  awk 'NR == FNR {before[$1] = $2; next}
       {d = $2 - before[$1]; if (d > 0 && $1 != "info") print $1, d}' "$1" "$2"
}
redis_snapshot "$work/s0"
redis_snapshot "$work/s1"
snapshot_writes=$(redis_delta "$work/s0" "$work/s1" |
  awk '$1 == "__writes" {print $2}')
snapshot_writes=${snapshot_writes:-0}

count_round_trips() {  # count_round_trips KIND REQUESTS [loadgen flags...]
  local kind=$1 requests=$2
  shift 2
  redis_snapshot "$work/before"
  loadgen "count_$kind" --connections=1 --in_flight=1 --progress=false \
    --players="$count_players" --player_prefix=rt "$@"
  redis_snapshot "$work/after"
  redis_delta "$work/before" "$work/after" | awk -v kind="$kind" \
    -v n="$requests" -v base="$snapshot_writes" '
      $1 == "__writes" {trips = $2 - base; next}
      $1 == "__switches" {switches = $2; next}
      {cmds += $2; detail = detail sprintf(" %s %.2f", toupper($1), $2 / n)}
      END {printf "%s\t%.2f\t%s\t%s\t%.1f\n", kind, cmds / n,
           (trips == "" ? "n/a" : sprintf("%.2f", trips / n)), detail,
           switches / n}' \
    >>"$work/round_trips.tsv"
}
say "counting Redis commands per request ($count_requests of each kind)"
: >"$work/round_trips.tsv"
# The prefill submits each of the players once per leaderboard: first scores.
count_round_trips submit_first $((count_players * 2)) --prefill \
  --duration=0 --requests=0
count_round_trips submit "$count_requests" --mix=submit=1 --duration=0 \
  --requests="$count_requests"
count_round_trips submit_ranked "$count_requests" --mix=submit_ranked=1 \
  --duration=0 --requests="$count_requests"
count_round_trips top "$count_requests" --mix=top=1 --duration=0 \
  --requests="$count_requests"
count_round_trips nearby "$count_requests" --mix=nearby=1 --duration=0 \
  --requests="$count_requests"
count_round_trips social "$count_requests" --mix=social=1 --duration=0 \
  --requests="$count_requests"

# --- Throughput and latency. ----------------------------------------------
say "prefill: one score for each of $players players on both leaderboards"
loadgen prefill --prefill --duration=0 --requests=0 --players="$players" \
  --connections="$connections" --in_flight="$in_flight" --progress=false
prefill_line=$(grep -o 'prefill: .*' "$work/prefill.txt" || true)
say "prefill: $players players with 32-byte names and 100-byte metadata"
loadgen prefill-named --prefill --duration=0 --requests=0 \
  --players="$players" --leaderboards="$lb_named" --name_bytes=32 \
  --metadata_bytes=100 --connections="$connections" --in_flight="$in_flight" \
  --progress=false

loadgen prefill-laps --prefill --duration=0 --requests=0 \
  --players="$players" --leaderboards="$lb_laps" --tiebreak_scores \
  --connections="$connections" --in_flight="$in_flight" --progress=false
# Every player joins a cohort of the league with its first score.
loadgen prefill-league --prefill --duration=0 --requests=0 \
  --players="$players" --leaderboards="$lb_league,$lb_single" \
  --connections="$connections" --in_flight="$in_flight" --progress=false

load_before=$(cut -d' ' -f1 /proc/loadavg)
common=(--connections="$connections" --in_flight="$in_flight"
  --players="$players" --duration="$seconds")
say "submit-only, ${seconds}s"
loadgen submit-only "${common[@]}" --mix=submit=1
say "query-heavy, ${seconds}s"
loadgen query-heavy "${common[@]}" --mix=top=30,nearby=30,social=30,submit=10
say "mixed, ${seconds}s"
loadgen mixed "${common[@]}" \
  --mix=submit=40,submit_ranked=20,top=15,nearby=15,social=10
say "top-only, ${seconds}s"
loadgen top-only "${common[@]}" --mix=top=1
say "top-named (top 100 with names and metadata), ${seconds}s"
loadgen top-named "${common[@]}" --mix=top=1 --leaderboards="$lb_named"
say "submit-only+laps, top-only+laps (lowest first, a tiebreak), ${seconds}s each"
laps=(--leaderboards="$lb_laps" --tiebreak_scores)
loadgen submit-only+laps "${common[@]}" "${laps[@]}" --mix=submit=1
loadgen top-only+laps "${common[@]}" "${laps[@]}" --mix=top=1
say "submit-only+league, submit-only+single, cohort+league, top50+league, ${seconds}s each"
loadgen submit-only+league "${common[@]}" --leaderboards="$lb_league" \
  --mix=submit=1
loadgen submit-only+single "${common[@]}" --leaderboards="$lb_single" \
  --mix=submit=1
loadgen cohort+league "${common[@]}" --leaderboards="$lb_league" \
  --mix=cohort=1
loadgen top50+league "${common[@]}" --leaderboards="$lb_league" --top=50 \
  --mix=top=1

# Open loop at a share of each closed-loop peak: the latency a studio sees
# below saturation, where a closed loop would hide a stall (it stops sending
# while it waits).
rate_labels=()
drain_notes=()
# peak_of LABEL: the closed-loop req/s of a row.
peak_of() {
  awk -F'\t' -v label="$1" '$1 == label {print $4; exit}' "$work/results.tsv"
}
# fixed_rate LABEL RATE MIX: an open-loop run at RATE req/s, once the
# database writes of earlier runs have drained.
fixed_rate() {
  local label=$1 rate=$2 mix=$3 waited
  if [ "$rate" -lt 1 ]; then
    say "no throughput measured for $label; no fixed-rate run"
    return 0
  fi
  waited=$(wait_for_drained_writes)
  drain_notes+=("$label: waited ${waited}s for the database writes to drain")
  say "$label: $mix at a fixed $rate req/s, ${seconds}s"
  loadgen "$label" --connections="$connections" --players="$players" \
    --duration="$seconds" --mix="$mix" --rate="$rate" \
    --max_outstanding="$max_outstanding"
  rate_labels+=("$label")
}
share_of() {  # share_of PEAK: rate_share percent of it, rounded
  if [ "$fixed_rate_abs" -gt 0 ]; then
    echo "$fixed_rate_abs"
    return
  fi
  awk -v peak="${1:-0}" -v share="$rate_share" \
    'BEGIN {printf "%.0f", peak * share / 100}'
}
if [ "$rate_share" -gt 0 ]; then
  fixed_rate "submit-only@${rate_tag}" "$(share_of "$(peak_of submit-only)")" \
    submit=1
  fixed_rate "top-only@${rate_tag}" "$(share_of "$(peak_of top-only)")" top=1
  # Half submissions, half top-100 queries, overlapping: the same share of
  # the peak such a mix would have (each request costing what it costs
  # alone: the harmonic mean of the two peaks).
  mixed_peak=$(awk -v s="$(peak_of submit-only)" -v t="$(peak_of top-only)" \
    'BEGIN {if (s > 0 && t > 0) printf "%.0f", 2 / (1 / s + 1 / t); else print 0}')
  fixed_rate "submit+top@${rate_tag}" "$(share_of "$mixed_peak")" \
    submit=1,top=1
fi
if [ "$sched" = 1 ] && [ "$rate_share" -gt 0 ]; then
  if command -v perf >/dev/null; then
    wait_for_drained_writes >/dev/null
    sched_rate=$(share_of "$mixed_peak")
    say "scheduler latency during a further submit+top run at $sched_rate req/s (perf sched; not in the table)"
    "$bin/leaderboard_loadgen" --port="$tcp_port" \
      --leaderboards="$lb_day,$lb_week" --connections="$connections" \
      --players="$players" --duration=7 --mix=submit=1,top=1 \
      --rate="$sched_rate" --max_outstanding="$max_outstanding" \
      --progress=false >"$work/sched_run.txt" &
    sched_loadgen=$!
    sleep 1
    perf sched record -a -o "$work/sched.data" -- sleep 5 >/dev/null 2>&1 ||
      say "perf sched record failed"
    wait "$sched_loadgen"
    # Per thread name (a thread group's name, or a program's): CPU time,
    # times it was switched in, and how long it waited runnable for a core
    # on average and at most.
    perf sched latency -i "$work/sched.data" 2>/dev/null | awk -F'|' '
      NF >= 5 && $4 ~ /avg:/ {
        task = $1; sub(/^ +/, "", task); sub(/ +$/, "", task)
        sub(/:[0-9]+$/, "", task); sub(/:\([0-9]+\)$/, "", task)
        a = $4; sub(/.*avg: */, "", a); m = $5; sub(/.*max: */, "", m)
        runtime[task] += $2; switches[task] += $3
        delay[task] += a * $3; if (m + 0 > maxd[task]) maxd[task] = m + 0
      }
      END {
        for (t in runtime) if (switches[t] > 0)
          printf "  %-18s %9.1f %9d %9.3f %9.2f\n", t, runtime[t],
            switches[t], delay[t] / switches[t], maxd[t]
      }' | sort -k5 -nr | head -16 >"$work/sched.txt"
  else
    say "perf is not installed; no scheduler latency"
  fi
fi
if [ "$profile" = 1 ]; then
  if command -v perf >/dev/null; then
    say "profiling the server during a further $profile_mix run (not in the table)"
    loadgen profiled --connections="$connections" --in_flight="$in_flight" \
      --players="$players" --duration=8 --mix="$profile_mix" --progress=false &
    loadgen_pid=$!
    sleep 1
    perf record -F 999 -g -p "$host_pid" -o "$work/perf.data" -- sleep 6 \
      >/dev/null 2>&1 || say "perf record failed"
    wait "$loadgen_pid"
  else
    say "perf is not installed; no profile"
  fi
fi
stop_server

# The same server with the top answer cache on, then with the bulk insert
# queue on.
say "top-only+cache (--top_answer_cache_ms=100), ${seconds}s"
start_server --top_answer_cache_ms=100
loadgen top-only+cache "${common[@]}" --mix=top=1
if [ "$rate_share" -gt 0 ]; then
  fixed_rate "top-only+cache@${rate_tag}" \
    "$(share_of "$(peak_of top-only+cache)")" top=1
fi
scrape "$work/cache.prom"
cache_line=$(awk '/^plemox_leaderboard_top_answer_cache_lookups_total/ {
                    match($0, /outcome="[a-z]*"/)
                    n[substr($0, RSTART + 9, RLENGTH - 10)] = $NF}
                  END {if (n["hit"] + n["miss"] > 0)
                         printf "%d hits, %d misses (%.2f%% hits)",
                           n["hit"], n["miss"],
                           100 * n["hit"] / (n["hit"] + n["miss"])}' \
  "$work/cache.prom")
stop_server
say "submit-only+bulk (--leaderboard_use_db_bulk_insert), ${seconds}s"
start_server --leaderboard_use_db_bulk_insert=true
loadgen submit-only+bulk "${common[@]}" --mix=submit=1
if [ "$rate_share" -gt 0 ]; then
  fixed_rate "submit+top+bulk@${rate_tag}" "$(share_of "$mixed_peak")" \
    submit=1,top=1
fi
stop_server

# The same server with game server keys (authentication is once per
# connection, so the rows should match submit-only and top-only), then with
# TLS on the game port (a certificate made for this run). Both are compared
# with the +plain rows, which run just before them on a server restarted
# without either, so that the three see the same database and machine load
# (the first rows of the table run behind the prefill's database writes).
say "submit-only+plain, top-only+plain (restarted, for +keys and +tls), ${seconds}s each"
start_server
loadgen submit-only+plain "${common[@]}" --mix=submit=1
loadgen top-only+plain "${common[@]}" --mix=top=1
stop_server
made=$("$bin/leaderboard_cli" keygen --app bench --key_id bench --rights all)
(umask 077
 printf '%s\n' "$made" | sed -n 's/^key: //p' >"$work/game_key"
 printf '%s\n' "$made" | sed -n 's/^line: //p' >"$work/game_server_keys")
say "submit-only+keys, top-only+keys (--game_server_keys_file), ${seconds}s each"
start_server --game_server_keys_file="$work/game_server_keys"
keyed=(--app_id=bench --key_file="$work/game_key")
loadgen submit-only+keys "${common[@]}" "${keyed[@]}" --mix=submit=1
loadgen top-only+keys "${common[@]}" "${keyed[@]}" --mix=top=1
stop_server
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$work/tls-key.pem" \
  -out "$work/tls-cert.pem" >/dev/null 2>&1
say "submit-only+tls, top-only+tls (--server_tls_cert), ${seconds}s each"
start_server --server_tls_cert="$work/tls-cert.pem" \
  --server_tls_key="$work/tls-key.pem"
tls=(--tls --tls_ca="$work/tls-cert.pem")
loadgen submit-only+tls "${common[@]}" "${tls[@]}" --mix=submit=1
loadgen top-only+tls "${common[@]}" "${tls[@]}" --mix=top=1
# The handshake's own cost: the server's CPU time over handshakes made one
# after another (openssl s_client, which then closes), per handshake.
handshakes=300
ticks_before=$(cpu_ticks "$host_pid")
for _ in $(seq "$handshakes"); do
  openssl s_client -connect "127.0.0.1:$tcp_port" -CAfile "$work/tls-cert.pem" \
    </dev/null >/dev/null 2>&1 || true
done
ticks_after=$(cpu_ticks "$host_pid")
handshake_line=$(awk -v t=$((ticks_after - ticks_before)) -v hz="$ticks_per_second" \
  -v n="$handshakes" 'BEGIN {printf "%.0f us of server CPU per new TLS connection (%d handshakes by openssl s_client, RSA 2048 certificate)", t * 1e6 / hz / n, n}')
stop_server

# --- Redis alone. ---------------------------------------------------------
say "redis-benchmark, $redis_requests requests per command"
z="plemoxbench:${run_id}:z"
h="plemoxbench:${run_id}:h"
rb() {  # rb NAME COMMAND...
  local name=$1
  shift
  redis_benchmark "$redis_port" "$redis_requests" "$players" "$@" |
    sed "s/^/$name\t/" >>"$work/redis.tsv"
}
: >"$work/redis.tsv"
rb ZADD ZADD "$z" __rand_int__ m:__rand_int__
rb HSET HSET "$h" m:__rand_int__ v:__rand_int__
rb HGET HGET "$h" m:__rand_int__
rb ZSCORE ZSCORE "$z" m:__rand_int__
rb ZREVRANK ZREVRANK "$z" m:__rand_int__
rb ZCOUNT ZCOUNT "$z" "($((players / 2))" +inf
rb ZREVRANGE ZREVRANGE "$z" 0 99 WITHSCORES
rb ZCARD ZCARD "$z"
# The submission script itself, as the server runs it for a leaderboard
# without schedules (bench_common.sh's evalsha_submission).
evalsha_submission "$redis_port" "$redis_requests" "$players" \
  "leaderboard:${run_id}_rb" | sed 's/^/EVALSHA\t/' >>"$work/redis.tsv"
redis-cli -p "$redis_port" del "$z" "$h" >/dev/null

# --- Redis Cluster. -------------------------------------------------------
if [ "$cluster" = 1 ]; then cluster_rows; fi

# --- The table. -----------------------------------------------------------
# The Redis-alone work each request kind's throughput is compared with ("vs
# Redis"): names of rb rows above, best match first; the first one measured
# is used. Submissions compare with the submission script run by EVALSHA
# once an rb row named EVALSHA measures it, with ZADD until then; top-100
# queries with ZREVRANGE 0 99 WITHSCORES. Nearby and social queries have no
# one-command equivalent and get no share.
baselines="submit=EVALSHA,ZADD submit_ranked=EVALSHA,ZADD top=ZREVRANGE"
echo
echo "Leaderboard server on $(nproc) cores ($(uname -m)); load generator:" \
  "$connections connections x $in_flight in flight (closed loop), or at" \
  "most $max_outstanding outstanding per connection at a fixed rate of" \
  "${rate_words} (open loop); $players players x 2" \
  "leaderboards, ${seconds}s per run; same machine for everything;" \
  "load average $load_before at the start, $(cut -d' ' -f1 /proc/loadavg) at the end."
awk -F'\t' -v baselines="$baselines" '
  FILENAME ~ /round_trips/ {cmds[$1] = $2; trips[$1] = $3; switches[$1] = $5
                            next}
  FILENAME ~ /redis.tsv/ {redis_rps[$1] = $2; redis[++nr] = $0; next}
  FILENAME ~ /cpu.tsv/ {cpu[$1] = $2; run_switches[$1] = $4; db[$1] = $6
                        next}
  FILENAME ~ /server.tsv/ {srv[$1, $2] = $4 " " $5 " " $6; next}
  {rows[++n] = $0; ++rows_of[$1]}
  function cell(v) { return v == "" ? "-" : v }
  END {
    split(baselines, entries, " ")
    for (e in entries) {
      split(entries[e], kv, "=")
      base[kv[1]] = kv[2]
    }
    # The server histogram of each request kind.
    kind_of["submit"] = kind_of["submit_ranked"] = "score_submission"
    kind_of["top"] = kind_of["nearby"] = "public_query"
    kind_of["social"] = "social_query"
    kind_of["cohort"] = "public_query"
    fmt = "%-22s %-14s %9s %9s %9s %8s %8s %8s %8s %8s %8s %8s %9s %7s " \
          "%7s %7s %7s %6s %7s %6s %6s %7s %17s\n"
    printf fmt, "workload", "request", "requests", "req/s", "offered", \
      "p50 ms", "p90 ms", "p99 ms", "p99.9 ms", "max ms", "srv p50", \
      "srv p99", "srv p99.9", "failed", "timeout", "dropped", "cpu us", \
      "db us", "ctxsw", "cmds", "trips", "ctxsw@1", "vs Redis"
    for (i = 1; i <= n; ++i) {
      split(rows[i], f, "\t")
      if (f[1] ~ /^count_/ || f[1] ~ /^prefill/ || f[1] == "profiled") continue
      fixed = f[14] != "" && f[14] > 0
      ratio = "-"
      if (!fixed && f[2] in base) {
        split(base[f[2]], names, ",")
        for (j = 1; j in names; ++j) {
          if (redis_rps[names[j]] > 0) {
            ratio = sprintf("%.1f%% %s", 100 * f[4] / redis_rps[names[j]],
                            names[j])
            break
          }
        }
      }
      # The run figures belong to the row its requests were counted on.
      whole_run = f[2] == "total" || rows_of[f[1]] == 1
      split("- - -", s, " ")
      if ((f[1], kind_of[f[2]]) in srv) split(srv[f[1], kind_of[f[2]]], s, " ")
      printf fmt, f[1], f[2], f[3], f[4], (fixed ? f[14] : "-"), f[5], \
        f[6], f[7], f[8], f[9], s[1], s[2], s[3], f[10], f[11], \
        (fixed ? f[12] : "-"), (whole_run ? cell(cpu[f[1]]) : "-"), \
        (whole_run ? cell(db[f[1]]) : "-"), \
        (whole_run ? cell(run_switches[f[1]]) : "-"), \
        cell(cmds[f[2]]), cell(trips[f[2]]), cell(switches[f[2]]), ratio
    }
    for (i = 1; i <= nr; ++i) {
      split(redis[i], f, "\t")
      printf fmt, "redis-benchmark", f[1], "'"$redis_requests"'", \
        sprintf("%.0f", f[2]), "-", f[3], "-", f[4], "-", f[5], "-", "-", \
        "-", "-", "-", "-", "-", "-", "-", "1", "1", "-", "-"
    }
  }' "$work/round_trips.tsv" "$work/redis.tsv" "$work/cpu.tsv" \
  "$work/server.tsv" "$work/results.tsv"
echo
echo "offered, dropped: fixed-rate rows (workload <mix>@<share>) send on a" \
  "schedule whatever the answers; their latencies count from each request's" \
  "due time, and a request due on a connection with $max_outstanding" \
  "outstanding is dropped (counted, not sent); req/s: requests ended per second."
echo "cpu us, ctxsw: the server's CPU time (user + system) and context" \
  "switches (voluntary + involuntary, all threads) over the run, per request" \
  "ended, on the row of the whole run; db us: MariaDB's CPU time likewise."
echo "srv p50/p99/p99.9: the server's own latency of the row's kind of work" \
  "over the run (its request duration histograms: submissions until Redis" \
  "answered, queries until the answer was ready; submit and submit_ranked" \
  "share one histogram, top and nearby another), interpolated within the" \
  "histogram's buckets (0.5, 1, 2.5, 5, 10, 25, 50, 100 ms, ...)."
for note in "${drain_notes[@]}"; do echo "  $note"; done
if [ -n "${cache_line:-}" ]; then
  echo "top answer cache over the +cache runs: $cache_line"
fi
if [ -n "${handshake_line:-}" ]; then
  echo "TLS handshake: $handshake_line"
fi
echo "cmds/trips/ctxsw@1: Redis commands, Redis round trips and server" \
  "context switches per request, measured one request at a time (INFO" \
  "commandstats; write calls of redis-server; /proc of the server's threads)."
echo "vs Redis: a closed-loop row's req/s as a share of redis-benchmark's" \
  "req/s for the same work (50 clients, no pipelining)."
awk -F'\t' '{printf "  %-14s %s cmds, %s trips, %s ctxsw:%s\n", $1, $2, $3,
              $5, $4}' "$work/round_trips.tsv"
awk -F'\t' '$2 == "top" && ($1 == "top-only" || $1 == "top-named") {
       rps[$1] = $4}
     END {if (rps["top-only"] > 0 && rps["top-named"] != "")
            printf "top-100 with 32-byte names and 100-byte metadata:" \
              " %.0f req/s, %.1f %% of the plain top-100 (%.0f req/s)\n",
              rps["top-named"], 100 * rps["top-named"] / rps["top-only"],
              rps["top-only"]}' "$work/results.tsv"
awk -F'\t' '$2 != "total" {rps[$1] = $4}
     END {if (rps["submit-only+single"] > 0 && rps["top50+league"] > 0)
            printf "league (cohorts of 50): submissions %.0f req/s, %.1f %%" \
              " of a plain daily leaderboard (%.0f); cohort queries %.0f" \
              " req/s, %.1f %% of top-50 queries of the same leaderboard" \
              " (%.0f)\n", rps["submit-only+league"],
              100 * rps["submit-only+league"] / rps["submit-only+single"],
              rps["submit-only+single"], rps["cohort+league"],
              100 * rps["cohort+league"] / rps["top50+league"],
              rps["top50+league"]}' "$work/results.tsv"
if [ -n "$prefill_line" ]; then echo "  $prefill_line"; fi
cluster_report
echo "CPU time per request (server, Redis, load generator, MariaDB: all share" \
  "the $(nproc) cores) and the server's context switches, from /proc during" \
  "each run:"
awk -F'\t' '$1 !~ /^count_/ {printf "  %-22s server %s us, Redis %s us," \
             " load generator %s us, MariaDB %s us, total %s us; server %s" \
             " context switches\n", $1, $2, $3, $5, $6, $2 + $3 + $5 + $6,
             $4}' "$work/cpu.tsv"
for label in submit-only query-heavy mixed top-only top-named \
  top-only+cache submit-only+bulk "${rate_labels[@]}" prefill-cluster \
  submit-only+cluster top-only+cluster; do
  if [ ! -f "$work/$label.txt" ]; then continue; fi
  if grep -q '^fixed rate: ' "$work/$label.txt"; then
    echo "  $label: $(grep '^fixed rate: ' "$work/$label.txt")"
  fi
  if grep -q '^  [0-9]* x ' "$work/$label.txt"; then
    echo "  failures in $label:"
    grep '^  [0-9]* x ' "$work/$label.txt" | sed 's/^/  /'
  fi
done
if [ -s "$work/sched.txt" ]; then
  echo
  echo "Scheduler latency during a submit+top fixed-rate run (perf sched," \
    "whole machine, 5 s): per thread name, CPU ms, times switched in," \
    "average and longest wait for a core (ms), longest first:"
  printf "  %-18s %9s %9s %9s %9s\n" thread "cpu ms" switches "avg wait" \
    "max wait"
  cat "$work/sched.txt"
  grep '^fixed rate: ' "$work/sched_run.txt" | sed 's/^/  that run: /' || true
fi
if [ -f "$work/perf.data" ]; then
  if [ -n "${PLEMOX_BENCH_PERF_OUT:-}" ]; then
    cp "$work/perf.data" "$PLEMOX_BENCH_PERF_OUT"
  fi
  echo
  # The last row is the whole run ("total" when the mix has several kinds).
  grep -E '^[a-z_]+ +[0-9]+ +[0-9]+ ' "$work/profiled.txt" | tail -n 1 |
    awk -v mix="$profile_mix" '{print "CPU profile of the server, " mix " at " $3 " req/s (perf, self time):"}'
  echo " by library:"
  perf report -i "$work/perf.data" --no-children --stdio --sort dso \
    2>/dev/null | awk '/^ +[0-9.]+%/ && ++n <= 8' || true
  echo " by thread:"
  perf report -i "$work/perf.data" --no-children --stdio --sort comm \
    2>/dev/null | awk '/^ +[0-9.]+%/ && ++n <= 8' || true
  echo " by function:"
  perf report -i "$work/perf.data" --no-children --stdio --sort dso,sym \
    -g none 2>/dev/null | awk '/^ +[0-9.]+%/ && ++n <= 12' || true
  echo " time inside system calls and the scheduler (with callees):"
  perf report -i "$work/perf.data" --children --stdio --sort sym -g none \
    2>/dev/null | grep -E '^ +[0-9.]+%' |
    grep -E '\] (schedule|ksys_read|ksys_write|__x64_sys_futex|__x64_sys_sendto|__x64_sys_recvfrom|__x64_sys_epoll_wait|__x64_sys_poll)[[:space:]]*$' |
    awk '{print "  ", $1, $4}' || true
fi
