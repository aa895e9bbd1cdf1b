#!/usr/bin/env bash
# Measures a midnight rollover storm on this machine: LEADERBOARDS
# leaderboards with a daily schedule each, all due at one instant, with
# PLAYERS players each in the closing day, while a fixed rate of game
# requests (half submissions, half top-100) runs on another leaderboard that
# does not roll over. For each storm it prints the first start-up with that
# many leaderboards (their tables created) and the start-up with the tables
# in place, the time from the due instant until every reset is done (Redis
# rolled over and tables rotated), every period archived and every
# period-end document delivered, and the game requests' client latency
# before (quiet) and across the storm; then the phases from the server's
# log (when the last reset was logged, rolled over, rotated, archived,
# delivered). It checks that every reset was logged once, every period
# archived once with all its players and every document delivered.
#
#   scripts/bench_storm.sh                 # the storms of PLEMOX_BENCH_STORMS
#
# The 100 x 100,000 storm fills Redis with 20 million players (it prints
# the memory that takes) and archives 10 million standings: it takes the
# longest (see docs/performance.md for the times measured).
#
# Uses a Redis of its own and a database of its own on the private MariaDB of
# scripts/services.sh (dropped at the end). Not part of the test suite.
# Settings (environment):
#   PLEMOX_BENCH_STORMS       LEADERBOARDSxPLAYERS...
#                             ("1000x1000 10000x100 100x100000")
#   PLEMOX_BENCH_STORM_RATE   game requests per second across it (2000)
#   PLEMOX_BENCH_STORM_LEAD   seconds from the start-up with the tables in
#                             place to the due instant (40)
#   PLEMOX_BENCH_SERVER_FLAGS further flags of the server
#   PLEMOX_BENCH_BUILD_DIR    use this existing build instead of building
set -euo pipefail
storms=${PLEMOX_BENCH_STORMS:-1000x1000 10000x100 100x100000}
lead=${PLEMOX_BENCH_STORM_LEAD:-40}
rate=${PLEMOX_BENCH_STORM_RATE:-2000}
bench_name=storm
bench_targets=leaderboard_loadgen
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
bin=$build/bin
steady="${run_id}_steady"
receiver_pid=""

stop_server() {
  if [ -z "$host_pid" ]; then return 0; fi
  kill -TERM "$host_pid" 2>/dev/null || true
  for _ in $(seq 300); do kill -0 "$host_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$host_pid" 2>/dev/null || true
  wait "$host_pid" 2>/dev/null || true
  host_pid=""
}
bench_cleanup() {
  stop_server
  if [ -n "$receiver_pid" ]; then kill "$receiver_pid" 2>/dev/null || true; fi
}

# A receiver of period-end documents that answers 200 at once and appends
# each document's idempotency key to $work/delivered.txt.
receiver_port=$(free_port)
python3 - "$receiver_port" "$work/delivered.txt" <<'PY' &
import http.server, json, sys, threading
port, path = int(sys.argv[1]), sys.argv[2]
lock = threading.Lock()
out = open(path, "a", buffering=1)
class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        key = json.loads(body)["idempotency_key"]
        with lock:
            out.write(key + "\n")
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()
    def log_message(self, *args):
        pass
http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler).serve_forever()
PY
receiver_pid=$!
start_redis --slowlog-log-slower-than 10000

# write_storm_manifest COUNT STARTS: the manifest with COUNT leaderboards
# ${run_id}_s<i> on a daily schedule starting at STARTS, and the steady one.
write_storm_manifest() {
  python3 - "$1" "$2" "$run_id" "$steady" "$build/lib/libplemox-leaderboard.so" \
    >"$work/manifest.json" <<'PY'
import json, sys
count, starts, run_id, steady, library = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5]
ids = [f"{run_id}_s{i}" for i in range(count)]
print(json.dumps({
    "name": "PlemoxLeaderboardServer", "library": library,
    "arguments": {
        "leaderboard_ids": ids + [steady],
        "reset_schedules": [{"leaderboard_id": i, "period": "day", "interval": 1,
                             "starts": starts, "ends": "2099-01-01 00:00:00"}
                            for i in ids]},
    "flags": {"mysql_db_connection_count": 4}}))
PY
}

start_server() {
  tcp_port=$(free_port)
  : >"$work/host.log"
  "$bin/plemox_host" --manifest="$work/manifest.json" --res_root="$root" \
    --logtostderr --redis_host=127.0.0.1 --redis_port="$redis_port" \
    --api_port="$(free_port)" --server_tcp_port="$tcp_port" \
    --external_ip=127.0.0.1 \
    --mysql_server_url="$PLEMOX_MYSQL_HOST:$PLEMOX_MYSQL_PORT" \
    --mysql_id="$PLEMOX_MYSQL_USER" --mysql_pw="$PLEMOX_MYSQL_PASSWORD" \
    --mysql_db_name="$database" \
    --period_end_webhook_url="http://127.0.0.1:$receiver_port/" \
    ${PLEMOX_BENCH_SERVER_FLAGS:-} >"$work/host.log" 2>&1 &
  host_pid=$!
  wait_for_port "$tcp_port" 1200 || { say "the server did not start"; exit 1; }
}

# fill COUNT PLAYERS: the closing day of every storm leaderboard as
# submissions leave it (ranking, member index, dense set), and a previous
# day of the same size that the rollover replaces.
fill() {
  python3 - "$run_id" "$1" "$2" <<'PY' | redis-cli -p "$redis_port" --pipe >/dev/null
import sys
run_id, count, players = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
out = sys.stdout
def command(args):
    out.write(f"*{len(args)}\r\n")
    for arg in args:
        out.write(f"${len(arg.encode())}\r\n{arg}\r\n")
for lb in range(count):
    for span in ("daily", "yesterday"):
        key = f"leaderboard:{run_id}_s{lb}:{span}"
        for first in range(0, players, 1000):
            ranking, index, dense = [key], [key + ":timestamp"], [key + ":dense"]
            for i in range(first, min(players, first + 1000)):
                time = str(1796688000000 + i)
                inverted = "".join("9876543210"[int(d)] for d in time)
                score = str((i * 7919) % 100003 / 8)
                ranking += [score, f"{inverted}:p{i}:guest"]
                index += [f"p{i}:guest", f"{inverted}:p{i}:guest"]
                dense += [score, score]
            command(["ZADD"] + ranking)
            command(["HSET"] + index)
            command(["ZADD"] + dense)
PY
}

# loadgen_rate LABEL SECONDS: the fixed-rate game requests on the steady
# leaderboard, one row appended to $work/results.tsv.
loadgen_rate() {
  "$bin/leaderboard_loadgen" --port="$tcp_port" --leaderboards="$steady" \
    --label="$1" --duration="$2" --rate="$rate" --connections=8 \
    --mix=submit=50,top=50 --players=10000 --progress=false \
    --tsv_out="$work/results.tsv" >"$work/$1.txt" 2>&1 || true
}

count_rows() {  # count_rows SQL
  mysql_run "$database" -e "$1" 2>/dev/null || echo 0
}

printf 'storm\tstart-up s\trestart s\treset s\tarchived s\tdelivered s\tquiet p50/p99/max ms\tstorm p50/p99/max ms\tRedis >10ms\n' >"$work/summary.tsv"
printf 'storm\tphase\tcount\tfirst s\tlast s\n' >"$work/phases.tsv"
for storm in $storms; do
  count=${storm%x*}
  players=${storm#*x}
  mysql_run -e "DROP DATABASE IF EXISTS \`$database\`; CREATE DATABASE \`$database\`"
  redis-cli -p "$redis_port" flushall >/dev/null
  : >"$work/delivered.txt"
  : >"$work/results.tsv"

  say "$storm: first start-up with $count leaderboards"
  write_storm_manifest "$count" "2098-01-05 00:00:00"
  started=$(date +%s.%N)
  start_server
  startup=$(echo "$(date +%s.%N) - $started" | bc)
  stop_server

  say "$storm: filling the closing days ($((count * players)) players)"
  fill "$count" "$players"
  say "$storm: Redis holds $(redis-cli -p "$redis_port" info memory | sed -n 's/^used_memory_human:\(.*\)\r$/\1/p')"
  redis-cli -p "$redis_port" slowlog reset >/dev/null
  # Start-up with the tables in place, the steady leaderboard's prefill and
  # the quiet run fit in $lead seconds.
  due_epoch=$(($(date +%s) + lead))
  write_storm_manifest "$count" "$(date -d "@$due_epoch" '+%Y-%m-%d %H:%M:%S')"
  started=$(date +%s.%N)
  start_server
  restart=$(echo "$(date +%s.%N) - $started" | bc)
  say "$storm: started with the tables in place in $restart s"
  "$bin/leaderboard_loadgen" --port="$tcp_port" --leaderboards="$steady" \
    --prefill --duration=0 --requests=0 --players=10000 >/dev/null 2>&1
  quiet=$((due_epoch - $(date +%s) - 2))
  [ "$quiet" -ge 5 ] || { say "no time left for the quiet run (raise PLEMOX_BENCH_STORM_LEAD)"; exit 1; }
  loadgen_rate quiet "$quiet"
  while [ "$(date +%s)" -lt "$due_epoch" ]; do sleep 0.05; done

  # Across the storm: 5-second runs until every period is archived and
  # every document delivered.
  done_at=""
  for round in $(seq 180); do
    loadgen_rate "storm$round" 5 &
    loadgen=$!
    archived=$(count_rows "SELECT COUNT(*) FROM period_archive WHERE state = 'archived'")
    delivered=$(sort -u "$work/delivered.txt" | wc -l)
    if [ "$archived" -ge "$count" ] && [ "$delivered" -ge "$count" ] && [ -z "$done_at" ]; then
      done_at=$(date +%s.%N)
    fi
    wait "$loadgen"
    if [ -n "$done_at" ]; then break; fi
    # The storm's end within the round, to the half second.
    for _ in $(seq 9); do
      archived=$(count_rows "SELECT COUNT(*) FROM period_archive WHERE state = 'archived'")
      delivered=$(sort -u "$work/delivered.txt" | wc -l)
      if [ "$archived" -ge "$count" ] && [ "$delivered" -ge "$count" ]; then
        done_at=$(date +%s.%N)
        break
      fi
      sleep 0.5
    done
    if [ -n "$done_at" ]; then break; fi
  done
  [ -n "$done_at" ] || { say "$storm: not finished after 15 minutes"; exit 1; }
  storm_seconds=$(echo "$done_at - $due_epoch" | bc)

  # Every reset once, every period once with all its players, every
  # document delivered.
  resets=$(count_rows "SELECT COUNT(*) FROM reset_schedule_log")
  periods=$(count_rows "SELECT COUNT(*), SUM(player_count = $players) FROM period_archive WHERE state = 'archived'")
  standings=$(count_rows "SELECT COUNT(*) FROM period_archive_standing")
  lost=$(count_rows "SELECT COUNT(*) FROM period_archive WHERE state <> 'archived'")
  delivered=$(sort -u "$work/delivered.txt" | wc -l)
  if [ "$resets" != "$count" ] || [ "$periods" != "$count	$count" ] ||
     [ "$standings" != "$((count * players))" ] || [ "$lost" != 0 ] ||
     [ "$delivered" != "$count" ]; then
    say "$storm: resets $resets, periods (all, complete) $periods, standings $standings, not archived $lost, documents $delivered"
    exit 1
  fi
  slow=$(redis-cli -p "$redis_port" slowlog len)
  stop_server
  cp "$work/host.log" "${TMPDIR:-/tmp}/bench_storm_$storm.log"
  # The phases from the server's log: glog's "I[YYYY]MMDD HH:MM:SS.uuuuuu" lines
  # of each step's success, in seconds after the due instant.
  python3 - "$storm" "$due_epoch" "$work/host.log" >>"$work/phases.tsv" <<'PY'
import re, sys, time
storm, due, path = sys.argv[1], float(sys.argv[2]), sys.argv[3]
year = time.localtime(due).tm_year
phases = [("logged", "Succeed to insert reset schedule log"),
          ("rolled over", "The leaderboard reset was successful(Redis)"),
          ("rotated", "The leaderboard reset was successful(DB)"),
          ("archived", "The closed period is archived"),
          ("delivered", "Period-end notification delivered"),
          ("failed", "Failed to reset leaderboard")]
found = {name: [] for name, _ in phases}
line_time = re.compile(r"^[IWEF](?:\d{4})?(\d\d)(\d\d) (\d\d):(\d\d):(\d\d)\.(\d+)")
for line in open(path, errors="replace"):
    m = line_time.match(line)
    if not m:
        continue
    for name, text in phases:
        if text in line:
            mon, day, h, mi, sec, frac = m.groups()
            at = time.mktime((year, int(mon), int(day), int(h), int(mi), int(sec), 0, 0, -1))
            found[name].append(at + float("0." + frac) - due)
for name, _ in phases:
    times = found[name]
    if times:
        print(f"{storm}\t{name}\t{len(times)}\t{min(times):.1f}\t{max(times):.1f}")
    else:
        print(f"{storm}\t{name}\t0\t-\t-")
PY
  python3 - "$storm" "$startup" "$storm_seconds" "$slow" "$work/results.tsv" \
    "$restart" "$work/phases.tsv" >>"$work/summary.tsv" <<'PY'
import sys
storm, startup, seconds, slow, path, restart, phases = sys.argv[1:8]
last = {}
for line in open(phases):
    row = line.rstrip("\n").split("\t")
    if row[0] == storm and row[4] != "-":
        last[row[1]] = float(row[4])
reset = max(last.get("rolled over", 0), last.get("rotated", 0))
archived = last.get("archived", 0)
delivered = last.get("delivered", 0)
quiet, rounds = None, []
for line in open(path):
    row = line.rstrip("\n").split("\t")
    if row[1] != "total":
        continue
    if row[0] == "quiet":
        quiet = row
    else:
        rounds.append(row)
def ms(row):
    return f"{float(row[4]):.2f}/{float(row[6]):.2f}/{float(row[8]):.1f}"
# Across the storm: the median round's p50, the worst round's p99 and max.
p50 = sorted(float(r[4]) for r in rounds)[len(rounds) // 2]
p99 = max(float(r[6]) for r in rounds)
peak = max(float(r[8]) for r in rounds)
print(f"{storm}\t{float(startup):.1f}\t{float(restart):.1f}\t{reset:.1f}\t"
      f"{archived:.1f}\t{delivered:.1f}\t{ms(quiet)}\t"
      f"{p50:.2f}/{p99:.2f}/{peak:.1f}\t{slow}")
PY
  say "$(tail -1 "$work/summary.tsv")"
done
say "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
column -t -s $'\t' "$work/phases.tsv"
echo
column -t -s $'\t' "$work/summary.tsv"
