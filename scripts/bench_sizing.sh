#!/usr/bin/env bash
# Measures how the server's costs grow with the players of a leaderboard,
# for sizing: top-100, around-a-player (nearby) and submission rates and
# latencies on a leaderboard of PLEMOX_SIZING_SMALL (10,000) and of
# PLEMOX_SIZING_LARGE (1,000,000) players in one run (closed loop, the two
# sizes interleaved in every round, medians over the rounds), with the CPU
# each process spends per request, Redis's time per script call, the
# rankings written per submission, MariaDB's buffer pool misses and the
# disk's reads and writes; then Redis bytes per player (per time span, with
# and without dense rankings, names and metadata) and MariaDB bytes per
# stored record (information_schema, data and index).
#
#   scripts/bench_sizing.sh
#
# Both leaderboards have a daily schedule (daily and all-time rankings,
# dense sets on). They are filled without a request per player: the Redis
# structures through `redis-cli --pipe` (scripts/bench_fill.py, in the form
# the submission script leaves them; the script checks that a submission to
# a filled player finds it) and the score tables by one INSERT ... SELECT
# each, so that 1,000,000 players take about a minute. A third leaderboard
# (PLEMOX_SIZING_NAMED players, 32-byte names and 100-byte metadata) is
# filled through the server's own submissions: its bytes are the server's
# own layout, with rows written in arrival order.
#
# Uses a Redis of its own and, by default, a database of its own on the
# MariaDB of scripts/services.sh (64 MB buffer pool); with
# PLEMOX_SIZING_BUFFER_POOL a MariaDB of its own with that buffer pool
# (a production-like pool: e.g. 2G). Not part of the test suite.
# Settings (environment):
#   PLEMOX_SIZING_SMALL        players of the small leaderboard (10000)
#   PLEMOX_SIZING_LARGE        players of the large leaderboard (1000000)
#   PLEMOX_SIZING_NAMED        players of the named leaderboard (20000)
#   PLEMOX_SIZING_SECONDS      seconds per run (10)
#   PLEMOX_SIZING_ROUNDS       rounds, each runs every mix on both sizes (3)
#   PLEMOX_SIZING_MIXES        the mixes ("submit=1 top=1 nearby=1")
#   PLEMOX_SIZING_SUBMIT_TYPE  submission type of the load: high (each
#                              player's best counts: a submission is a new
#                              record only when it beats it) or add (every
#                              submission writes) (high)
#   PLEMOX_SIZING_SERVER_FLAGS host flags of the server
#                              ("--leaderboard_use_db_bulk_insert=true")
#   PLEMOX_SIZING_BUFFER_POOL  run a MariaDB of the bench's own with this
#                              innodb_buffer_pool_size (empty: the shared one)
#   PLEMOX_BENCH_CONNECTIONS, PLEMOX_BENCH_IN_FLIGHT  load generator (16, 4)
#   PLEMOX_BENCH_BUILD_DIR     use this existing build instead of building
set -euo pipefail
small=${PLEMOX_SIZING_SMALL:-10000}
large=${PLEMOX_SIZING_LARGE:-1000000}
named_players=${PLEMOX_SIZING_NAMED:-20000}
seconds=${PLEMOX_SIZING_SECONDS:-10}
rounds=${PLEMOX_SIZING_ROUNDS:-3}
mixes=${PLEMOX_SIZING_MIXES:-submit=1 top=1 nearby=1}
submit_type=${PLEMOX_SIZING_SUBMIT_TYPE:-high}
server_flags=${PLEMOX_SIZING_SERVER_FLAGS:---leaderboard_use_db_bulk_insert=true}
buffer_pool=${PLEMOX_SIZING_BUFFER_POOL:-}
connections=${PLEMOX_BENCH_CONNECTIONS:-16}
in_flight=${PLEMOX_BENCH_IN_FLIGHT:-4}

"$(dirname "${BASH_SOURCE[0]}")/install_deps.sh"
bench_name=sizing
bench_targets="leaderboard_loadgen leaderboard_cli"
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"
bin=$build/bin
fill=$root/scripts/bench_fill.py
lb_small="${run_id}_small"
lb_large="${run_id}_large"
lb_named="${run_id}_named"

bench_cleanup() {
  stop_server
  stop_private_mariadb
}

# --- MariaDB: the shared one, or one of the bench's own. -----------------
if [ -n "$buffer_pool" ]; then
  start_private_mariadb "$buffer_pool"
  mysql_pid=$private_mysql_pid
else
  mysql_pid=$(cat "$PLEMOX_STATE_DIR/mysql/mysqld.pid" 2>/dev/null || true)
fi
pool_bytes=$(mysql_run -e "SELECT @@innodb_buffer_pool_size")
# The disk MariaDB's files are on, for its reads and writes per second.
mysql_datadir=$(mysql_run -e "SELECT @@datadir")
disk=$(df --output=source "$mysql_datadir" | tail -1 | sed 's|^/dev/||')

# --- Redis and the server. -------------------------------------------------
start_redis
mysql_run -e "CREATE DATABASE \`$database\`"
manifest=$work/manifest.json
write_manifest "$manifest" "$lb_small=day" "$lb_large=day" "$lb_named=day"
start_server() {
  "$bin/plemox_host" --manifest="$manifest" --res_root="$root" \
    --logtostderr --redis_host=127.0.0.1 --redis_port="$redis_port" \
    --mysql_server_url="$PLEMOX_MYSQL_HOST:$PLEMOX_MYSQL_PORT" \
    --mysql_id="$PLEMOX_MYSQL_USER" --mysql_pw="$PLEMOX_MYSQL_PASSWORD" \
    --mysql_db_name="$database" --server_tcp_port="$tcp_port" \
    --api_port="$api_port" $server_flags >>"$work/host.log" 2>&1 &
  host_pid=$!
  wait_for_port "$tcp_port" 120 || { say "the server did not start"; exit 1; }
}
tcp_port=$(free_port)
api_port=$(free_port)
start_server

# --- The fill. -------------------------------------------------------------
# fill_board ID PLAYERS: the daily and all-time rankings with their member
# indexes and dense sets in Redis, and the two score tables in MariaDB.
fill_board() {
  local id=$1 players=$2 started=$SECONDS
  python3 "$fill" redis --key "leaderboard:$id" --spans daily,alltime \
    --dense --players "$players" |
    redis-cli -p "$redis_port" --pipe >"$work/pipe.txt"
  grep -q 'errors: 0' "$work/pipe.txt" ||
    { say "filling Redis failed: $(cat "$work/pipe.txt")"; exit 1; }
  local span
  for span in daily alltime; do
    python3 "$fill" sql --table "${id}_$span" --players "$players" |
      mysql_run "$database"
  done
  say "filled $id with $players players in $((SECONDS - started)) s"
}
say "filling $lb_small ($small players) and $lb_large ($large players)"
fill_started=$SECONDS
fill_board "$lb_small" "$small"
fill_board "$lb_large" "$large"
fill_seconds=$((SECONDS - fill_started))
# A submission to a filled player must find it (a new record over its
# score, no new member): the fill has the server's form.
zcard_before=$(redis-cli -p "$redis_port" zcard "leaderboard:$lb_large:daily")
"$bin/leaderboard_cli" --port="$tcp_port" submit --leaderboard "$lb_large" \
  --provider loadgen --account p7 --score 2000000 >"$work/check.txt"
zcard_after=$(redis-cli -p "$redis_port" zcard "leaderboard:$lb_large:daily")
if ! grep -q 'kNewRecord' "$work/check.txt" ||
   [ "$zcard_before" != "$zcard_after" ]; then
  say "a submission to a filled player did not find it" \
    "($zcard_before -> $zcard_after members): $(cat "$work/check.txt")"
  exit 1
fi
say "prefill of $lb_named: $named_players players with names and metadata" \
  "through the server"
"$bin/leaderboard_loadgen" --port="$tcp_port" --leaderboards="$lb_named" \
  --prefill --duration=0 --requests=0 --players="$named_players" \
  --name_bytes=32 --metadata_bytes=100 --connections="$connections" \
  --in_flight="$in_flight" --progress=false >"$work/named.txt"
wait_for_drained_writes >/dev/null

# --- Rates. ----------------------------------------------------------------
# Snapshot of the counters a run is measured by, one "name value" a line.
snapshot() {  # snapshot FILE
  {
    echo "server $(cpu_ticks "$host_pid")"
    echo "redis $(cpu_ticks "$redis_pid")"
    echo "mysql $(cpu_ticks "$mysql_pid")"
    redis-cli -p "$redis_port" INFO commandstats | tr -d '\r' |
      sed -n 's/^cmdstat_\(evalsha\|hset\):calls=\([0-9]*\),usec=\([0-9]*\),.*/\1_calls \2\n\1_usec \3/p'
    mysql_run -e "SHOW GLOBAL STATUS WHERE Variable_name IN
      ('Innodb_buffer_pool_reads', 'Innodb_buffer_pool_read_requests')" |
      awk '{print $1, $2}'
    awk -v d="$disk" '$3 == d {print "disk_reads", $4; print "disk_writes", $8}' \
      /proc/diskstats
  } >"$1"
}
ticks_per_second=$(getconf CLK_TCK)
: >"$work/results.tsv"
: >"$work/costs.tsv"
# measure SIZE MIX ROUND: one closed-loop run of MIX on the leaderboard of
# SIZE ("small" or "large"); the load generator's row goes to results.tsv,
# the costs per request to costs.tsv.
measure() {
  local size=$1 mix=$2 round=$3 id players label
  if [ "$size" = small ]; then id=$lb_small players=$small
  else id=$lb_large players=$large; fi
  label="$size ${mix%%=*} $round"
  if [[ $mix == *submit* ]]; then wait_for_drained_writes >/dev/null; fi
  snapshot "$work/before.txt"
  # Inline, not in $(...): children_cpu reads this shell's times.
  children_cpu >"$work/lg_before.txt"
  "$bin/leaderboard_loadgen" --port="$tcp_port" --leaderboards="$id" \
    --players="$players" --connections="$connections" \
    --in_flight="$in_flight" --duration="$seconds" --mix="$mix" \
    --type="$submit_type" --progress=false --label="$label" \
    --tsv_out="$work/results.tsv" >"$work/run.txt"
  snapshot "$work/after.txt"
  children_cpu >"$work/lg_after.txt"
  awk -v label="$label" -v tps="$ticks_per_second" -v seconds="$seconds" \
      -v lg="$(cat "$work/lg_before.txt") $(cat "$work/lg_after.txt")" '
    FILENAME == ARGV[1] {b[$1] = $2; next}
    FILENAME == ARGV[2] {a[$1] = $2; next}
    {split($0, f, "\t")}
    f[1] == label && (f[2] == "total" || n == 0) {n = f[3]}
    END {
      if (n == 0) exit
      d["server"] = a["server"] - b["server"]
      split(lg, t, " ")
      calls = a["evalsha_calls"] - b["evalsha_calls"]
      printf "%s\t%.0f\t%.0f\t%.0f\t%.0f\t%.1f\t%.2f\t%.3f\t%.0f\t%.0f\n",
        label, d["server"] * 1e6 / tps / n,
        (a["redis"] - b["redis"]) * 1e6 / tps / n,
        (a["mysql"] - b["mysql"]) * 1e6 / tps / n,
        (t[2] - t[1]) * 1e6 / n,
        (calls > 0 ? (a["evalsha_usec"] - b["evalsha_usec"]) / calls : 0),
        (a["hset_calls"] - b["hset_calls"]) / n,
        (a["Innodb_buffer_pool_reads"] - b["Innodb_buffer_pool_reads"]) / n,
        (a["disk_reads"] - b["disk_reads"]) / seconds,
        (a["disk_writes"] - b["disk_writes"]) / seconds
    }' "$work/before.txt" "$work/after.txt" "$work/results.tsv" \
    >>"$work/costs.tsv"
}
load_before=$(cut -d' ' -f1 /proc/loadavg)
for round in $(seq "$rounds"); do
  for mix in $mixes; do
    # Alternate which size goes first, so neither always follows a write
    # backlog or a quiet spell.
    if [ $((round % 2)) = 1 ]; then order="small large"
    else order="large small"; fi
    for size in $order; do
      say "round $round: $mix on the $size leaderboard, ${seconds}s"
      measure "$size" "$mix" "$round"
    done
  done
done
load_after=$(cut -d' ' -f1 /proc/loadavg)

# --- Bytes. ----------------------------------------------------------------
stop_server
# Redis: MEMORY USAGE of every structure (all of its elements: SAMPLES 0)
# per player.
mem() { redis-cli -p "$redis_port" memory usage "$1" samples 0; }
card() { redis-cli -p "$redis_port" "$1" "$2"; }
{
  for id in "$lb_small" "$lb_large"; do
    key=leaderboard:$id:daily
    echo "$id $(card zcard "$key") $(mem "$key") $(mem "$key:timestamp")" \
      "$(mem "$key:dense") $(card zcard "$key:dense")"
  done
  key=leaderboard:$lb_named:daily
  echo "$lb_named $(card zcard "$key") $(mem "$key") $(mem "$key:timestamp")" \
    "$(mem "$key:dense") $(card zcard "$key:dense")" \
    "$(mem "leaderboard:$lb_named:profile")"
} >"$work/redis_bytes.txt"
redis_used=$(redis-cli -p "$redis_port" info memory | tr -d '\r' |
  sed -n 's/^used_memory:\([0-9]*\)/\1/p')
# MariaDB: the score tables' and the profile table's pages per row, after
# the load (statistics refreshed first).
tables="'${lb_small}_daily', '${lb_small}_alltime', '${lb_large}_daily',
  '${lb_large}_alltime', '${lb_named}_daily', '${lb_named}_alltime',
  'player_profile'"
mysql_run "$database" -e "ANALYZE TABLE \`${lb_small}_daily\`,
  \`${lb_large}_daily\`, \`${lb_large}_alltime\`, \`${lb_named}_daily\`,
  player_profile" >/dev/null
mysql_run -e "SELECT table_name, table_rows, data_length, index_length
  FROM information_schema.tables WHERE table_schema = '$database'
  AND table_name IN ($tables)" >"$work/mysql_bytes.txt"
profile_rows=$(mysql_run "$database" -e "SELECT COUNT(*) FROM player_profile")

# --- The report. -----------------------------------------------------------
echo
echo "Sizing on $(nproc) cores ($(uname -m)): leaderboards of $small and" \
  "$large players (daily and all-time rankings, dense sets), filled in" \
  "${fill_seconds}s; load generator $connections connections x $in_flight" \
  "in flight (closed loop), ${seconds}s per run, $rounds rounds, the sizes" \
  "interleaved; submissions of type $submit_type; server flags:" \
  "${server_flags:-none}; MariaDB buffer pool $((pool_bytes / 1048576)) MB" \
  "($([ -n "$buffer_pool" ] && echo "the bench's own" || echo "shared")" \
  "MariaDB); load average $load_before at the start, $load_after at the end."
python3 - "$work/results.tsv" "$work/costs.tsv" "$small" "$large" <<'PY'
import statistics, sys
results, costs, small, large = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
runs = {}
for line in open(results):
    f = line.rstrip("\n").split("\t")
    size, mix, _ = f[0].split(" ")
    if f[1] != "total" and f[1] != mix:
        continue
    runs.setdefault((mix, size), []).append(
        {"rps": float(f[3]), "p50": float(f[4]), "p99": float(f[6]),
         "p999": float(f[7]), "failed": int(f[9]) + int(f[10])})
cost = {}
for line in open(costs):
    f = line.rstrip("\n").split("\t")
    size, mix, _ = f[0].split(" ")
    cost.setdefault((mix, size), []).append([float(x) for x in f[1:]])
med = lambda values: statistics.median(values) if values else 0
print(f"{'mix':<8} {'players':>9} {'req/s':>8} {'p50 ms':>7} {'p99 ms':>7} "
      f"{'p99.9':>7} {'fail':>5} {'srv us':>6} {'redis':>6} {'mysql':>6} "
      f"{'lg us':>6} {'EVALSHA':>8} {'writes':>6} {'bp miss':>7} "
      f"{'disk r/s':>8} {'w/s':>6}")
for mix in ("submit", "top", "nearby", "social", "submit_ranked"):
    for size, players in (("small", small), ("large", large)):
        r = runs.get((mix, size))
        if not r:
            continue
        c = cost.get((mix, size), [])
        col = lambda i: med([x[i] for x in c])
        print(f"{mix:<8} {int(players):>9,} {med([x['rps'] for x in r]):>8,.0f} "
              f"{med([x['p50'] for x in r]):>7.2f} {med([x['p99'] for x in r]):>7.2f} "
              f"{med([x['p999'] for x in r]):>7.2f} {sum(x['failed'] for x in r):>5} "
              f"{col(0):>6.0f} {col(1):>6.0f} {col(2):>6.0f} {col(3):>6.0f} "
              f"{col(4):>8.1f} {col(5):>6.2f} {col(6):>7.3f} {col(7):>8.0f} "
              f"{col(8):>6.0f}")
print()
for mix, goal in (("top", 80), ("nearby", 80), ("submit", 80)):
    s, l = runs.get((mix, "small")), runs.get((mix, "large"))
    if s and l:
        rs, rl = med([x["rps"] for x in s]), med([x["rps"] for x in l])
        per_round = ", ".join(f"{b['rps'] / a['rps'] * 100:.1f}" for a, b in zip(s, l))
        print(f"{mix} at {int(large):,} players: {rl:,.0f} req/s = "
              f"{rl / rs * 100:.1f} % of {rs:,.0f} at {int(small):,} "
              f"(goal >= {goal} %; per round: {per_round} %)")
print("Columns: medians over the rounds; srv us, redis, mysql, lg us: CPU"
      " time per request of the server, Redis, MariaDB and the load generator;"
      " EVALSHA: Redis's own microseconds per script call (INFO"
      " commandstats); writes: rankings written per request (HSET of a member"
      " index: each is one score row for MariaDB); bp miss: InnoDB buffer pool"
      " reads from disk per request (whole MariaDB server); disk r/s, w/s:"
      " reads and writes completed per second on MariaDB's disk (whole"
      " machine).")
PY
echo
python3 - "$work/redis_bytes.txt" "$work/mysql_bytes.txt" "$redis_used" \
  "$profile_rows" "$lb_small" "$lb_large" "$lb_named" <<'PY'
import sys
redis_file, mysql_file, used, profile_rows = sys.argv[1:5]
small, large, named = sys.argv[5:8]
boards = {}
for line in open(redis_file):
    f = line.split()
    boards[f[0]] = [int(x) for x in f[1:]]
print("Redis bytes per player (MEMORY USAGE of each structure / its players):")
print(f"  {'leaderboard':<26} {'players':>9} {'ranking':>8} {'index':>6} "
      f"{'dense':>6} {'distinct scores':>15} {'profile':>8}")
for name, board in ((small, "filled"), (large, "filled"),
                    (named, "through the server")):
    b = boards[name]
    n = b[0]
    profile = f"{b[5] / n:8.1f}" if len(b) > 5 else f"{'-':>8}"
    print(f"  {name.rsplit('_', 1)[1] + ' (' + board + ')':<26} {n:>9,} "
          f"{b[1] / n:8.1f} {b[2] / n:6.1f} {b[3] / n:6.1f} {b[4]:>15,} "
          f"{profile}")
l = boards[large]
n = l[0]
span = (l[1] + l[2]) / n
dense = l[3] / n
nb = boards[named]
profile = nb[5] / nb[0]
print(f"  per player and time span kept, at {n:,} players: {span:.0f} bytes"
      f" (ranking and member index), {span + dense:.0f} with the dense set"
      f" ({dense:.0f}; it holds one member per distinct score)")
print(f"  a name of 32 bytes and metadata of 100 bytes: {profile:.0f} bytes"
      f" per player and leaderboard, whatever the time spans")
print(f"  a daily leaderboard keeps the day, the previous day (after its"
      f" first reset) and all-time: {3 * (span + dense):.0f} bytes per player"
      f" with dense sets, {3 * span:.0f} without;"
      f" + daily, weekly, monthly: {7 * (span + dense):.0f} / {7 * span:.0f}")
print(f"  Redis used_memory after the run: {int(used) / 1048576:.0f} MB")
print()
print("MariaDB bytes per stored record (information_schema after ANALYZE;"
      " data = the clustered primary key, index = secondary indexes):")
for line in open(mysql_file):
    name, rows, data, index = line.split("\t")
    rows, data, index = int(rows), int(data), int(index)
    if name == "player_profile":
        rows = int(profile_rows)
        how = "through the server"
    elif name.startswith(named):
        how = "through the server, arrival order"
    else:
        how = "bulk-filled in key order, then the runs' writes"
    if rows == 0:
        continue
    print(f"  {name.split('_', 2)[-1] if name != 'player_profile' else name:<20}"
          f" {rows:>9,} rows  {data / rows:6.0f} data + {index / rows:5.0f}"
          f" index bytes per row  ({how})")
PY
