# The set-up shared by the benchmarks that run the server against a Redis of
# their own and a database of their own on the private MariaDB of
# scripts/services.sh. Sourced (not run) by bench.sh, bench_recovery.sh,
# bench_archive.sh, bench_sizing.sh and bench_league.sh once they have set
# `bench_name` (and, when they need more than the server, `bench_targets`:
# further build targets); it selects the
# build (PLEMOX_BENCH_BUILD_DIR, or builds build/release), starts the
# services, and on exit runs the caller's `bench_cleanup` when it defines
# one, stops the server, drops the database, removes the Redis (unless the
# caller set redis_shared=1: a Redis it did not start) and the work folder,
# and prints the server's last log lines after a failure.
#
# Sets: root, build, work, run_id, database, leaderboard, redis_pid,
# host_pid (the caller sets it when it starts the server). Functions: say,
# mysql_run, free_port, wait_for_port, write_manifest, start_redis
# [redis-server options], redis_benchmark, evalsha_submission, stop_server,
# cpu_ticks, scrape and wait_for_drained_writes (the server's /metrics on
# api_port), children_cpu, start_private_mariadb, stop_private_mariadb.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

say() { echo "bench_$bench_name: $*" >&2; }

if [ -n "${PLEMOX_BENCH_BUILD_DIR:-}" ]; then
  build=$(cd "$PLEMOX_BENCH_BUILD_DIR" && pwd)
else
  scripts/build.sh release --target vel_host_main plemox-leaderboard \
    ${bench_targets:-} >&2
  build=$root/build/release
fi

eval "$(scripts/services.sh env)"
started_services=0
if ! scripts/services.sh running; then started_services=1; fi
scripts/services.sh start >&2

work=$(mktemp -d "${TMPDIR:-/tmp}/plemox-bench-$bench_name.XXXXXX")
run_id="${bench_name}bench$$_$(date +%s)"
database="${run_id}_db"
leaderboard="${run_id}_lb"
redis_port=""
redis_pid=""
redis_shared=0
host_pid=""

mysql_run() {
  mysql --socket="$PLEMOX_MYSQL_SOCKET" -u"$PLEMOX_MYSQL_USER" \
    -p"$PLEMOX_MYSQL_PASSWORD" -N -B "$@"
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

cleanup() {
  local status=$?
  if declare -F bench_cleanup >/dev/null; then bench_cleanup; fi
  if [ -n "$host_pid" ] && kill -0 "$host_pid" 2>/dev/null; then
    kill -KILL "$host_pid" 2>/dev/null || true
  fi
  if [ -n "$redis_pid" ] && [ "$redis_shared" != 1 ]; then
    redis-cli -p "$redis_port" shutdown nosave >/dev/null 2>&1 || true
  fi
  mysql_run -e "DROP DATABASE IF EXISTS \`$database\`" 2>/dev/null || true
  if [ $status -ne 0 ] && [ -f "$work/host.log" ]; then
    say "server log (last lines):"
    tail -20 "$work/host.log" >&2
  fi
  rm -rf "$work"
  if [ $started_services -eq 1 ]; then scripts/services.sh stop; fi
}
trap cleanup EXIT

# wait_for_port PORT SECONDS [PID]: waits until 127.0.0.1:PORT accepts
# connections; fails after SECONDS or as soon as the process PID (default:
# the server's, host_pid) has ended.
wait_for_port() {
  local deadline=$((SECONDS + $2)) pid=${3:-$host_pid}
  until (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; do
    if [ $SECONDS -ge $deadline ]; then return 1; fi
    if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then return 1; fi
    sleep 0.2
  done
}

# write_manifest FILE ID[=day|=week]...: the server's manifest with these
# leaderboards, those written ID=day with a daily and ID=week with a weekly
# reset schedule. The schedules start far ahead: a reset falling due during
# a run would roll the rankings over under the load. The library is
# $manifest_library when set, else the selected build's.
write_manifest() {
  local file=$1 entry id ids="" schedules=""
  shift
  for entry in "$@"; do
    id=${entry%=*}
    ids+="${ids:+, }\"$id\""
    if [ "$id" != "$entry" ]; then
      schedules+="${schedules:+,$'\n'}      {\"leaderboard_id\": \"$id\", \"period\": \"${entry#*=}\", \"interval\": 1,
       \"starts\": \"2098-01-05 00:00:00\", \"ends\": \"2099-12-31 23:59:59\"}"
    fi
  done
  # $manifest_ranking_options: the elements of "ranking_options", if any.
  local options=""
  if [ -n "${manifest_ranking_options:-}" ]; then
    options=",
    \"ranking_options\": [$manifest_ranking_options]"
  fi
  cat >"$file" <<JSON
{
  "name": "PlemoxLeaderboardServer",
  "library": "${manifest_library:-$build/lib/libplemox-leaderboard.so}",
  "arguments": {
    "leaderboard_ids": [$ids],
    "reset_schedules": [
$schedules
    ]$options
  },
  "flags": {"mysql_db_connection_count": 4}
}
JSON
}
# Starts an empty Redis of the benchmark's own on redis_port, without
# persistence, with `redis-server` options "$@" besides.
start_redis() {
  redis_port=$(free_port)
  redis-server --port "$redis_port" --bind 127.0.0.1 --daemonize yes \
    --dir "$work" --pidfile "$work/redis.pid" --logfile "$work/redis.log" \
    --save '' --appendonly no "$@"
  for _ in $(seq 100); do
    redis-cli -p "$redis_port" ping >/dev/null 2>&1 && break
    sleep 0.1
  done
  redis_pid=$(cat "$work/redis.pid")
}

# redis_benchmark PORT REQUESTS RANGE COMMAND...: redis-benchmark (50
# clients, no pipelining) runs COMMAND REQUESTS times against the Redis on
# PORT, __rand_int__ drawn below RANGE. Prints "req/s<TAB>p50 ms<TAB>p99
# ms<TAB>max ms".
redis_benchmark() {
  local port=$1 requests=$2 range=$3
  shift 3
  redis-benchmark -p "$port" -n "$requests" -r "$range" --csv "$@" |
    tail -1 | awk -F'","' '
      {sub(/"$/, "", $8); printf "%s\t%s\t%s\t%s\n", $2, $5, $7, $8}'
}

# evalsha_submission PORT REQUESTS RANGE PREFIX: the submission script (with
# the helpers the build puts in front of it) run by EVALSHA through redis_benchmark as the server runs it for a leaderboard
# without schedules (daily, weekly, monthly and all-time rankings with dense
# sets; a random player and score below RANGE: high-score submissions), on
# the keys PREFIX:daily, ... PREFIX:profile. PREFIX is "leaderboard:<id>",
# or on a Redis Cluster node "leaderboard:{<id>}" with a tag whose slot the
# node serves. Prints as redis_benchmark does, then deletes those keys.
evalsha_submission() {
  local port=$1 requests=$2 range=$3 prefix=$4 sha span
  local keys=()
  sha=$(redis-cli -p "$port" SCRIPT LOAD \
    "$(cat "$root/src/database/cache/lua/tiebreak.lua" \
           "$root/src/database/cache/lua/submit_score.lua")")
  for span in daily weekly monthly alltime; do
    keys+=("$prefix:$span" "$prefix:$span:timestamp" "$prefix:$span:dense")
  done
  # Then the profile hash and the (unused: no id) submission id key.
  keys+=("$prefix:profile" "$prefix:submission:")
  redis_benchmark "$port" "$requests" "$range" EVALSHA "$sha" \
    "${#keys[@]}" "${keys[@]}" p__rand_int__:guest \
    8387654321098:p__rand_int__:guest __rand_int__ 0 1 1 0 "" 0 "" 0 ""
  redis-cli -p "$port" del "${keys[@]}" >/dev/null
}

# Stops the server the way an operator does, so that its writes finish.
stop_server() {
  if [ -z "$host_pid" ]; then return 0; fi
  kill -TERM "$host_pid" 2>/dev/null || true
  local deadline=$((SECONDS + 30))
  while kill -0 "$host_pid" 2>/dev/null; do
    if [ $SECONDS -ge $deadline ]; then
      say "the server did not stop within 30 s; killing it"
      kill -KILL "$host_pid" 2>/dev/null || true
      break
    fi
    sleep 0.2
  done
  wait "$host_pid" 2>/dev/null || true
  host_pid=""
}

# CPU time (user + system, in clock ticks) the processes PID... have used so
# far together, all their threads, ended ones included (an empty PID counts
# 0). The command name in field 2 may hold spaces: count the fields from its
# closing parenthesis.
cpu_ticks() {  # cpu_ticks PID...
  local pid total=0
  for pid in "$@"; do
    if [ -z "$pid" ]; then continue; fi
    total=$((total + $(sed 's/^.*) //' "/proc/$pid/stat" |
      awk '{print $12 + $13}')))
  done
  echo "$total"
}

# The server's /metrics into FILE.
scrape() { curl -sf "http://127.0.0.1:$api_port/metrics" >"$1" || : >"$1"; }

# Waits until the server has no database write waiting (queued, running or
# to be retried) and none in the bulk queue: the write backlog of earlier
# runs is gone, so a fixed-rate run measures its own load only. Prints the
# seconds it waited.
wait_for_drained_writes() {
  local start=$SECONDS deadline=$((SECONDS + 300))
  while :; do
    scrape "$work/drain.prom"
    local waiting
    waiting=$(awk '/^plemox_database_(writes_waiting|bulk_queue_depth)[{ ]/ {
                     n += $NF; seen = 1}
                   END {print seen ? n : -1}' "$work/drain.prom")
    if [ "$waiting" = 0 ]; then break; fi
    if [ $SECONDS -ge $deadline ]; then
      say "database writes still waiting after 300 s ($waiting); going on"
      break
    fi
    sleep 0.5
  done
  echo $((SECONDS - start))
}

# CPU seconds (user + system) of the script's ended children so far, from
# the shell's own `times` (so it must run in this shell, not in $(...)): the
# load generator's share, plus the few small tools the script runs.
children_cpu() {
  times >"$work/times.txt"
  awk 'NR == 2 {
         total = 0
         for (i = 1; i <= 2; ++i) {
           split($i, part, "m"); sub("s", "", part[2])
           total += part[1] * 60 + part[2]
         }
         printf "%.3f\n", total
       }' "$work/times.txt"
}

# start_private_mariadb BUFFER_POOL: a MariaDB of the benchmark's own in the
# work folder, with the settings of scripts/services.sh but an
# innodb_buffer_pool_size of BUFFER_POOL (e.g. 2G), the same user and
# password; PLEMOX_MYSQL_PORT and PLEMOX_MYSQL_SOCKET then name it, and
# private_mysql_pid its process. stop_private_mariadb stops it (the
# caller's bench_cleanup calls it).
private_mysql_pid=""
start_private_mariadb() {
  local data=$work/mysql user_opt=()
  say "a MariaDB of the benchmark's own, innodb_buffer_pool_size=$1"
  mkdir -p "$data"
  if [ "$(id -u)" -eq 0 ]; then user_opt=(--user=root); fi
  mariadb-install-db --no-defaults "${user_opt[@]}" --datadir="$data" \
    --auth-root-authentication-method=socket --skip-test-db \
    >"$work/mysql-install.log" 2>&1
  PLEMOX_MYSQL_PORT=$(free_port)
  PLEMOX_MYSQL_SOCKET=$work/mysqld.sock
  setsid mariadbd --no-defaults "${user_opt[@]}" --datadir="$data" \
    --socket="$PLEMOX_MYSQL_SOCKET" --port="$PLEMOX_MYSQL_PORT" \
    --bind-address=127.0.0.1 --pid-file="$work/mysqld.pid" \
    --log-error="$work/mysql-error.log" --skip-name-resolve \
    --innodb-buffer-pool-size="$1" --innodb-flush-log-at-trx-commit=2 \
    --max-connections=500 </dev/null >/dev/null 2>&1 &
  private_mysql_pid=$!
  local up=0
  for _ in $(seq 600); do
    if mysql --socket="$PLEMOX_MYSQL_SOCKET" -uroot -e 'SELECT 1' \
      >/dev/null 2>&1; then up=1; break; fi
    sleep 0.1
  done
  [ $up = 1 ] || { say "the private MariaDB did not start"; exit 1; }
  mysql --socket="$PLEMOX_MYSQL_SOCKET" -uroot <<SQL
CREATE USER '$PLEMOX_MYSQL_USER'@'127.0.0.1' IDENTIFIED BY '$PLEMOX_MYSQL_PASSWORD';
CREATE USER '$PLEMOX_MYSQL_USER'@'localhost' IDENTIFIED BY '$PLEMOX_MYSQL_PASSWORD';
GRANT ALL ON *.* TO '$PLEMOX_MYSQL_USER'@'127.0.0.1';
GRANT ALL ON *.* TO '$PLEMOX_MYSQL_USER'@'localhost';
SQL
}
stop_private_mariadb() {
  if [ -z "$private_mysql_pid" ]; then return 0; fi
  kill -TERM "$private_mysql_pid" 2>/dev/null || true
  for _ in $(seq 600); do
    kill -0 "$private_mysql_pid" 2>/dev/null || break
    sleep 0.1
  done
  private_mysql_pid=""
}
