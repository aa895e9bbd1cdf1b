#!/usr/bin/env bash
# Measures recovery mode on this machine: fills one score table with
# PLEMOX_BENCH_RECOVERY_ROWS rows (default 1,000,000), runs
# `plemox_host --force_leaderboard_recovery` against an empty Redis of its
# own, and prints the rows per second and the server's peak memory (VmHWM,
# the peak resident set). It checks that every row reached the ranking.
#
#   scripts/bench_recovery.sh
#
# Uses the private MariaDB of scripts/services.sh (a database of its own,
# dropped at the end) and starts and stops its own redis-server. Not part of
# the test suite. Settings (environment):
#   PLEMOX_BENCH_RECOVERY_ROWS  rows in the table (default 1000000)
#   PLEMOX_BENCH_BUILD_DIR      use this existing build instead of building
#                               build/release
set -euo pipefail
rows=${PLEMOX_BENCH_RECOVERY_ROWS:-1000000}
bench_name=recovery
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"

# --- An empty Redis of its own. -------------------------------------------
start_redis

# --- The table: the columns of the server's score tables. -----------------
say "filling $database.${leaderboard}_alltime with $rows rows"
mysql_run -e "CREATE DATABASE \`$database\`"
mysql_run "$database" -e "
  CREATE TABLE ${leaderboard}_alltime (
    service_provider CHAR(32) NOT NULL,
    local_account CHAR(50) NOT NULL,
    score DOUBLE NOT NULL DEFAULT 0,
    time_stamp BIGINT NOT NULL DEFAULT 0,
    PRIMARY KEY (service_provider, local_account));
  INSERT INTO ${leaderboard}_alltime
    SELECT 'guest', CONCAT('player', seq), -((seq * 7919) % 100003) / 8,
           -(1612345678 + seq DIV 100)
    FROM seq_1_to_${rows};"

cat >"$work/manifest.json" <<JSON
{"name": "PlemoxLeaderboardServer",
 "library": "$build/lib/libplemox-leaderboard.so",
 "arguments": {}}
JSON

# --- The recovery run. ----------------------------------------------------
start=$(date +%s.%N)
"$build/bin/plemox_host" --manifest="$work/manifest.json" --res_root="$root" \
  --logtostderr --redis_host=127.0.0.1 --redis_port="$redis_port" \
  --api_port="$(free_port)" \
  --mysql_server_url="$PLEMOX_MYSQL_HOST:$PLEMOX_MYSQL_PORT" \
  --mysql_id="$PLEMOX_MYSQL_USER" --mysql_pw="$PLEMOX_MYSQL_PASSWORD" \
  --mysql_db_name="$database" --force_leaderboard_recovery \
  >"$work/host.log" 2>&1 &
host_pid=$!
# VmHWM only grows, so its last reading before the exit is the peak.
peak_kb=0
while kill -0 "$host_pid" 2>/dev/null; do
  hwm=$(awk '/^VmHWM:/ {print $2}' "/proc/$host_pid/status" 2>/dev/null || true)
  if [ -n "$hwm" ] && [ "$hwm" -gt "$peak_kb" ]; then peak_kb=$hwm; fi
  sleep 0.05
done
wait "$host_pid" || { say "the recovery run failed"; exit 1; }
host_pid=""
end=$(date +%s.%N)
grep -q "Result: The data has been restored." "$work/host.log" ||
  { say "the recovery did not report success"; exit 1; }

recovered=$(redis-cli -p "$redis_port" zcard "leaderboard:${leaderboard}:alltime")
dense=$(redis-cli -p "$redis_port" zcard "leaderboard:${leaderboard}:alltime:dense")
if [ "$recovered" != "$rows" ]; then
  say "expected $rows ranking members, found $recovered"
  exit 1
fi
awk -v rows="$rows" -v start="$start" -v end="$end" -v peak="$peak_kb" \
    -v dense="$dense" 'BEGIN {
  seconds = end - start
  printf "recovery of %d rows: %.1f s, %.0f rows/s, peak memory %.1f MB (%d dense scores)\n",
         rows, seconds, rows / seconds, peak / 1024, dense
}'
