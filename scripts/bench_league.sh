#!/usr/bin/env bash
# Measures the period end of a large league on this machine: a daily league
# of PLEMOX_LEAGUE_PLAYERS (1,000,000) players in cohorts of
# PLEMOX_LEAGUE_COHORT (50) over five tiers rolls over while a fixed rate of
# game requests (half submissions, half top-100, as scripts/bench_storm.sh)
# runs on another leaderboard. It prints the time from the period's due
# instant until the reset is logged, the closed day is archived, and the
# period end is finished (every cohort's moves in MariaDB: the
# league_period_done row, a league_history row per player), the cohorts
# and players written per second, and the game requests' client latency
# before (quiet) and across the period end; it checks the counts.
#
#   scripts/bench_league.sh
#
# The closing day is filled without a request per player: the ranking, its
# member index and dense set, the league hash of the period (every player
# placed in the open cohort of its tier, as the submission script places
# them) and the tier hash in Redis through `redis-cli --pipe`
# (scripts/bench_fill.py), and the score, league_tier and league_placement
# tables in MariaDB by INSERT ... SELECT, as a league that has run for some
# periods holds them (players spread over the tiers, half in the lowest).
# The server's log stays in ${TMPDIR:-/tmp}/bench_league.log.
# Uses a Redis of its own and a database of its own on the MariaDB of
# scripts/services.sh (dropped at the end), or with
# PLEMOX_LEAGUE_BUFFER_POOL a MariaDB of its own. Not part of the test
# suite. Settings (environment):
#   PLEMOX_LEAGUE_PLAYERS      players of the league (1000000)
#   PLEMOX_LEAGUE_COHORT       cohort size (50); promote and relegate 5
#   PLEMOX_LEAGUE_RATE         game requests per second meanwhile (2000)
#   PLEMOX_LEAGUE_TIMEOUT      seconds the period end may take (7200)
#   PLEMOX_LEAGUE_BUFFER_POOL  a MariaDB of the bench's own with this
#                              innodb_buffer_pool_size (empty: the shared one)
#   PLEMOX_BENCH_BUILD_DIR     use this existing build instead of building
set -euo pipefail
players=${PLEMOX_LEAGUE_PLAYERS:-1000000}
cohort_size=${PLEMOX_LEAGUE_COHORT:-50}
rate=${PLEMOX_LEAGUE_RATE:-2000}
timeout=${PLEMOX_LEAGUE_TIMEOUT:-7200}
buffer_pool=${PLEMOX_LEAGUE_BUFFER_POOL:-}
tiers=bronze,silver,gold,platinum,diamond
# The round the closing period has (the league's fifth period).
round=5

"$(dirname "${BASH_SOURCE[0]}")/install_deps.sh"
bench_name=league
bench_targets=leaderboard_loadgen
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
bin=$build/bin
league="${run_id}_league"
steady="${run_id}_steady"

# The server's log is kept (it names the steps' times), also after a
# failure.
bench_cleanup() {
  stop_server
  stop_private_mariadb
  cp "$work/host.log" "${TMPDIR:-/tmp}/bench_league.log" 2>/dev/null || true
}

if [ -n "$buffer_pool" ]; then
  start_private_mariadb "$buffer_pool"
  mysql_pid=$private_mysql_pid
else
  mysql_pid=$(cat "$PLEMOX_STATE_DIR/mysql/mysqld.pid" 2>/dev/null || true)
fi
pool_mb=$(($(mysql_run -e "SELECT @@innodb_buffer_pool_size") / 1048576))
start_redis --slowlog-log-slower-than 10000
mysql_run -e "CREATE DATABASE \`$database\`"

# write_league_manifest STARTS: the league with a daily schedule from
# STARTS, and the steady leaderboard without one.
write_league_manifest() {
  local quoted
  quoted=$(sed 's/[^,]*/"&"/g' <<<"$tiers")
  cat >"$work/manifest.json" <<JSON
{"name": "PlemoxLeaderboardServer",
 "library": "$build/lib/libplemox-leaderboard.so",
 "arguments": {
   "leaderboard_ids": ["$league", "$steady"],
   "reset_schedules": [{"leaderboard_id": "$league", "period": "day",
     "interval": 1, "starts": "$1", "ends": "2099-01-01 00:00:00"}],
   "ranking_options": [{"leaderboard_id": "$league",
     "league": {"tiers": [$quoted], "cohort_size": $cohort_size,
                "promote": 5, "relegate": 5, "absent": "stay"}}]},
 "flags": {"mysql_db_connection_count": 4}}
JSON
}
start_server() {
  tcp_port=$(free_port)
  api_port=$(free_port)
  "$bin/plemox_host" --manifest="$work/manifest.json" --res_root="$root" \
    --logtostderr --redis_host=127.0.0.1 --redis_port="$redis_port" \
    --api_port="$api_port" --server_tcp_port="$tcp_port" \
    --external_ip=127.0.0.1 \
    --mysql_server_url="$PLEMOX_MYSQL_HOST:$PLEMOX_MYSQL_PORT" \
    --mysql_id="$PLEMOX_MYSQL_USER" --mysql_pw="$PLEMOX_MYSQL_PASSWORD" \
    --mysql_db_name="$database" ${PLEMOX_BENCH_SERVER_FLAGS:-} \
    >>"$work/host.log" 2>&1 &
  host_pid=$!
  wait_for_port "$tcp_port" 120 || { say "the server did not start"; exit 1; }
}

# A first start-up creates the tables.
write_league_manifest "2098-01-05 00:00:00"
start_server
stop_server

say "filling the closing day: $players players in cohorts of $cohort_size"
fill_started=$SECONDS
python3 "$root/scripts/bench_fill.py" redis --key "leaderboard:$league" \
  --spans daily,alltime --dense --players "$players" --league "$tiers" \
  --cohort_size "$cohort_size" --round "$round" |
  redis-cli -p "$redis_port" --pipe >"$work/pipe.txt"
grep -q 'errors: 0' "$work/pipe.txt" ||
  { say "filling Redis failed: $(cat "$work/pipe.txt")"; exit 1; }
for span in daily alltime; do
  python3 "$root/scripts/bench_fill.py" sql --table "${league}_$span" \
    --players "$players" | mysql_run "$database"
done
python3 "$root/scripts/bench_fill.py" sql-league --league_id "$league" \
  --league "$tiers" --cohort_size "$cohort_size" --round "$round" \
  --players "$players" | mysql_run "$database"
fill_seconds=$((SECONDS - fill_started))
cohorts=0
for tier in ${tiers//,/ }; do
  n=$(redis-cli -p "$redis_port" hget "leaderboard:$league:daily:league" "n:$tier")
  cohorts=$((cohorts + ${n:-0}))
done
say "filled in ${fill_seconds}s: $cohorts cohorts"

# The period falls due once the server has started, the steady leaderboard
# is filled and a quiet run has passed.
due_epoch=$(($(date +%s) + 40))
write_league_manifest "$(date -d "@$due_epoch" '+%Y-%m-%d %H:%M:%S')"
start_server
"$bin/leaderboard_loadgen" --port="$tcp_port" --leaderboards="$steady" \
  --prefill --duration=0 --requests=0 --players=10000 --progress=false \
  >/dev/null
: >"$work/results.tsv"
# loadgen_rate LABEL SECONDS: the fixed-rate game requests on the steady
# leaderboard, one row appended to results.tsv.
loadgen_rate() {
  "$bin/leaderboard_loadgen" --port="$tcp_port" --leaderboards="$steady" \
    --label="$1" --duration="$2" --rate="$rate" --connections=8 \
    --mix=submit=50,top=50 --players=10000 --progress=false \
    --tsv_out="$work/results.tsv" >"$work/$1.txt" 2>&1 || true
}
quiet=$((due_epoch - $(date +%s) - 2))
[ "$quiet" -ge 5 ] || { say "no time left for the quiet run"; exit 1; }
loadgen_rate quiet "$quiet"
server_ticks=$(cpu_ticks "$host_pid")
mysql_ticks=$(cpu_ticks "$mysql_pid")
redis_ticks=$(cpu_ticks "$redis_pid")
while [ "$(date +%s)" -lt "$due_epoch" ]; do sleep 0.05; done
say "the period is due; game requests at $rate req/s in 5 s runs until done"

# Across the period end: 5-second fixed-rate runs until the period's
# league_period_done row exists (polled twice a second). The times of its
# steps come from the server's log and the tables afterwards.
count() { mysql_run "$database" -e "$1" 2>/dev/null || echo 0; }
done_at=""
round_no=0
while [ -z "$done_at" ]; do
  round_no=$((round_no + 1))
  loadgen_rate "end$round_no" 5 &
  loadgen=$!
  for _ in $(seq 10); do
    if [ "$(count "SELECT COUNT(*) FROM league_period_done")" -gt 0 ]; then
      done_at=$(date +%s)
      break
    fi
    sleep 0.5
  done
  wait "$loadgen"
  if [ -z "$done_at" ] && [ $(($(date +%s) - due_epoch)) -ge "$timeout" ]; then
    say "the period end was not finished after ${timeout}s ($(count \
      "SELECT COUNT(*) FROM league_cohort_end") of $cohorts cohorts written)"
    exit 1
  fi
done
server_cpu=$((($(cpu_ticks "$host_pid") - server_ticks) / $(getconf CLK_TCK)))
mysql_cpu=$((($(cpu_ticks "$mysql_pid") - mysql_ticks) / $(getconf CLK_TCK)))
redis_cpu=$((($(cpu_ticks "$redis_pid") - redis_ticks) / $(getconf CLK_TCK)))

# Every player once in the history, every cohort once, the moves counted.
history=$(count "SELECT COUNT(*), SUM(new_tier > old_tier),
  SUM(new_tier < old_tier) FROM league_history")
ends=$(count "SELECT COUNT(*) FROM league_cohort_end WHERE cohort_id <> ''")
read -r history_rows promoted relegated <<<"$history"
if [ "$history_rows" != "$players" ] || [ "$ends" != "$cohorts" ]; then
  say "league_history holds $history_rows rows for $players players;" \
    "league_cohort_end $ends of $cohorts cohorts"
  exit 1
fi
slow=$(redis-cli -p "$redis_port" slowlog len)
# The cohorts' finishing times, to the second: the first, each quarter, the
# last.
quarters=$(count "SELECT UNIX_TIMESTAMP(finished_at) FROM league_cohort_end
  WHERE cohort_id <> '' ORDER BY finished_at" |
  awk -v n="$cohorts" '{t[NR] = $1}
    END {printf "%s", t[1]; for (q = 1; q <= 4; ++q) printf " %s", t[int(n * q / 4)]}')
stop_server
# The steps' times from the server's log (glog: local time, microseconds).
step_time() {  # step_time PATTERN: the first log line's epoch time, or ""
  grep -m1 -E "$1" "$work/host.log" | awk '{print substr($1, 2), $2}' |
    python3 -c 'import sys, datetime
line = sys.stdin.read().split()
print(datetime.datetime.strptime(" ".join(line), "%Y%m%d %H:%M:%S.%f").timestamp() if line else "")'
}
reset_time=$(step_time "A new reset schedule log is inserted")
archived_time=$(step_time "The closed period is archived")
done_time=$(step_time "League period finished")

echo
echo "League period end on $(nproc) cores ($(uname -m)): $players players in" \
  "$cohorts cohorts of $cohort_size over five tiers (filled in" \
  "${fill_seconds}s), game requests at $rate req/s (half submissions, half" \
  "top-100) on another leaderboard; MariaDB buffer pool $pool_mb MB;" \
  "load average $(cut -d' ' -f1 /proc/loadavg) at the end."
python3 - "$work/results.tsv" "$due_epoch" "$reset_time" "$archived_time" \
  "$done_time" "$quarters" "$cohorts" "$players" "$promoted" "$relegated" \
  "$slow" "$server_cpu" "$mysql_cpu" "$redis_cpu" <<'PY'
import sys
(results, due, reset_t, archived_t, done_t, quarters, cohorts, players,
 promoted, relegated, slow, server_cpu, mysql_cpu, redis_cpu) = sys.argv[1:15]
due = float(due)
since = lambda v: float(v) - due if v else None
fmt = lambda v: f"{v:.1f} s" if v is not None else "-"
cohorts, players = int(cohorts), int(players)
q = [float(x) - due for x in quarters.split()]
done = since(done_t)
print(f"  from the due instant: rollover started {fmt(since(reset_t))}, first "
      f"cohort written {fmt(q[0] if q else None)} (to the second), day "
      f"archived {fmt(since(archived_t))}, period end finished {fmt(done)}")
if len(q) == 5:
    print("  cohorts written: " + ", ".join(
        f"{25 * i} % at {q[i]:.0f} s" for i in range(1, 5)))
start = q[0] if q else 0
span = max((done or 0) - start, 0.001)
print(f"  {cohorts:,} cohorts in {span:.1f} s from the first: "
      f"{cohorts / span:,.0f} cohorts/s, {players / span:,.0f} players/s; "
      f"{int(promoted):,} promoted, {int(relegated):,} relegated")
print(f"  CPU from the due instant to the end: server {server_cpu} s, MariaDB "
      f"{mysql_cpu} s, Redis {redis_cpu} s; Redis commands over 10 ms: {slow}")
rows = {}
for line in open(results):
    f = line.rstrip("\n").split("\t")
    if f[1] == "total":
        rows.setdefault("quiet" if f[0] == "quiet" else "end", []).append(f)
def ms(row):
    return f"{float(row[4]):.2f} / {float(row[6]):.2f} / {float(row[8]):.1f}"
if "quiet" in rows:
    print(f"  game requests, quiet: p50 / p99 / max {ms(rows['quiet'][0])} ms")
end = rows.get("end", [])
if end:
    p50 = sorted(float(r[4]) for r in end)[len(end) // 2]
    p99 = max(float(r[6]) for r in end)
    peak = max(float(r[8]) for r in end)
    dropped = sum(int(r[11]) for r in end)
    failed = sum(int(r[9]) + int(r[10]) for r in end)
    print(f"  game requests across the period end ({len(end)} runs of 5 s): "
          f"p50 {p50:.2f} (median run) / p99 {p99:.2f} / max {peak:.1f} ms "
          f"(worst run); {failed} failed, {dropped} dropped")
PY
