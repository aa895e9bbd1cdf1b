#!/usr/bin/env bash
# Measures the archiving of a closed period on this machine: fills the daily
# ranking of one leaderboard with PLEMOX_BENCH_ARCHIVE_PLAYERS players
# (default 1,000,000) in a Redis of its own, runs the server with a daily
# schedule that falls due a few seconds later, and prints how long the
# archive took (the server's log line), the players per second, how many
# Redis commands took over 2 ms meanwhile (SLOWLOG) and the archive table's
# size per player. It
# checks that every player reached the archive.
#
#   scripts/bench_archive.sh
#
# Uses the private MariaDB of scripts/services.sh (a database of its own,
# dropped at the end). Not part of the test suite. Settings (environment):
#   PLEMOX_BENCH_ARCHIVE_PLAYERS  players in the closed period (1000000)
#   PLEMOX_BENCH_BUILD_DIR        use this existing build instead of building
#                                 build/release
set -euo pipefail
players=${PLEMOX_BENCH_ARCHIVE_PLAYERS:-1000000}
bench_name=archive
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"

# --- A Redis of its own, holding the day that is about to close. ----------
start_redis --slowlog-log-slower-than 2000

say "filling leaderboard:$leaderboard:daily with $players players"
python3 - "$leaderboard" "$players" <<'PY' | redis-cli -p "$redis_port" --pipe >/dev/null
import sys
leaderboard, players = sys.argv[1], int(sys.argv[2])
key = f"leaderboard:{leaderboard}:daily"
out = sys.stdout
batch = 1000
for first in range(0, players, batch):
    args = ["ZADD", key]
    for i in range(first, min(players, first + batch)):
        # Many equal scores, so the ranks differ; times in 2026.
        time = str(1796688000000 + i)
        inverted = "".join("9876543210"[int(d)] for d in time)
        args += [str((i * 7919) % 100003 / 8), f"{inverted}:player{i}:guest"]
    out.write(f"*{len(args)}\r\n")
    for arg in args:
        out.write(f"${len(arg.encode())}\r\n{arg}\r\n")
PY
[ "$(redis-cli -p "$redis_port" zcard "leaderboard:$leaderboard:daily")" = "$players" ]
redis-cli -p "$redis_port" slowlog reset >/dev/null

starts=$(date -d '+6 seconds' '+%Y-%m-%d %H:%M:%S')
mysql_run -e "CREATE DATABASE \`$database\`"
cat >"$work/manifest.json" <<JSON
{"name": "PlemoxLeaderboardServer",
 "library": "$build/lib/libplemox-leaderboard.so",
 "arguments": {
   "leaderboard_ids": ["$leaderboard"],
   "reset_schedules": [{"leaderboard_id": "$leaderboard", "period": "day",
     "interval": 1, "starts": "$starts", "ends": "2099-01-01 00:00:00"}],
   "ranking_options": [{"leaderboard_id": "$leaderboard",
     "enable_alltime": true, "enable_dense": false}]}}
JSON

: >"$work/host.log"  # exists before the server's shell opens it
"$build/bin/plemox_host" --manifest="$work/manifest.json" --res_root="$root" \
  --logtostderr --redis_host=127.0.0.1 --redis_port="$redis_port" \
  --api_port="$(free_port)" --server_tcp_port="$(free_port)" \
  --external_ip=127.0.0.1 \
  --mysql_server_url="$PLEMOX_MYSQL_HOST:$PLEMOX_MYSQL_PORT" \
  --mysql_id="$PLEMOX_MYSQL_USER" --mysql_pw="$PLEMOX_MYSQL_PASSWORD" \
  --mysql_db_name="$database" >"$work/host.log" 2>&1 &
host_pid=$!

say "waiting for the reset at $starts and the archive"
for _ in $(seq 1200); do
  grep -q "The closed period is archived" "$work/host.log" && break
  grep -q "cannot be archived" "$work/host.log" && break
  kill -0 "$host_pid" 2>/dev/null || break
  sleep 0.1
done
line=$(grep "The closed period is archived" "$work/host.log" || true)
[ -n "$line" ] || { say "the period was not archived"; exit 1; }
kill -TERM "$host_pid"
wait "$host_pid" || true
host_pid=""

seconds=$(sed -n 's/.*seconds=\([0-9.e+-]*\).*/\1/p' <<<"$line")
archived=$(mysql_run "$database" -e "SELECT COUNT(*) FROM period_archive_standing")
[ "$archived" = "$players" ] || { say "archived $archived of $players"; exit 1; }
mysql_run "$database" -e "ANALYZE TABLE period_archive_standing" >/dev/null
bytes=$(mysql_run "$database" -e "
  SELECT data_length + index_length FROM information_schema.tables
  WHERE table_schema = '$database' AND table_name = 'period_archive_standing'")
slow_count=$(redis-cli -p "$redis_port" slowlog len)
if [ "$slow_count" -gt 0 ]; then
  say "Redis commands over 2 ms, by command:"
  redis-cli -p "$redis_port" slowlog get 128 |
    grep -Eio '^(zrevrange|zcard|hset|hget|rename|del|zadd|[a-z]+)$' |
    sort | uniq -c >&2 || true
fi
python3 - "$players" "$seconds" "$bytes" "$slow_count" <<'PY'
import sys
players, seconds, size, slow = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
print(f"archived {players} players in {seconds:.1f} s "
      f"({players / seconds:,.0f} players/s); table {size / players:.0f} bytes "
      f"per player; Redis commands over 2 ms meanwhile: {slow}")
PY
