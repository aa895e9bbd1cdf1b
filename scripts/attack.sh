#!/usr/bin/env bash
# Plays hostile and careless peers against a fresh server on this machine and
# prints, per attack, the server's memory (before, peak, after) and how fast
# a fresh client was answered while the attack ran (leaderboard_attack).
#
#   scripts/attack.sh [leaderboard_attack flags, e.g. --attacks=flood]
#
# Builds the release targets it needs, starts the private Redis and MariaDB
# (scripts/services.sh), runs the server with its default limits on a
# leaderboard of 2,000 players with a fresh id, and removes that leaderboard's
# keys and tables at the end. Not part of the test suite (the end-to-end test
# AttackTest runs the same attacks at a smaller scale). Exit code: that of
# leaderboard_attack (0 when every attack was refused or bounded).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

scripts/install_deps.sh
scripts/build.sh release --target vel_host_main plemox-leaderboard \
  leaderboard_loadgen leaderboard_attack >&2
bin=$root/build/release/bin
eval "$(scripts/services.sh env)"
scripts/services.sh start >&2

work=$(mktemp -d "${TMPDIR:-/tmp}/plemox-attack.XXXXXX")
lb="attack$$_$(date +%s)"
server_pid=""
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  redis-cli -h "$PLEMOX_REDIS_HOST" -p "$PLEMOX_REDIS_PORT" --scan \
    --pattern "leaderboard:${lb}*" |
    xargs -r -n 100 redis-cli -h "$PLEMOX_REDIS_HOST" -p "$PLEMOX_REDIS_PORT" del >/dev/null || true
  mysql --socket="$PLEMOX_MYSQL_SOCKET" -u"$PLEMOX_MYSQL_USER" \
    -p"$PLEMOX_MYSQL_PASSWORD" "$PLEMOX_MYSQL_DB" -N -e \
    "SELECT table_name FROM information_schema.tables WHERE table_schema = DATABASE() AND table_name LIKE '${lb}%'" 2>/dev/null |
    while read -r table; do
      mysql --socket="$PLEMOX_MYSQL_SOCKET" -u"$PLEMOX_MYSQL_USER" \
        -p"$PLEMOX_MYSQL_PASSWORD" "$PLEMOX_MYSQL_DB" -e "DROP TABLE \`$table\`" || true
    done
  rm -rf "$work"
}
trap cleanup EXIT

tcp_port=$(free_port)
api_port=$(free_port)
cat >"$work/manifest.json" <<JSON
{
  "name": "PlemoxLeaderboardServer",
  "library": "$root/build/release/lib/libplemox-leaderboard.so",
  "arguments": {"leaderboard_ids": ["$lb"]},
  "flags": {"mysql_db_connection_count": 4}
}
JSON
"$bin/plemox_host" --manifest="$work/manifest.json" --res_root="$root" \
  --logtostderr --redis_host="$PLEMOX_REDIS_HOST" \
  --redis_port="$PLEMOX_REDIS_PORT" \
  --mysql_server_url="$PLEMOX_MYSQL_HOST:$PLEMOX_MYSQL_PORT" \
  --mysql_id="$PLEMOX_MYSQL_USER" --mysql_pw="$PLEMOX_MYSQL_PASSWORD" \
  --mysql_db_name="$PLEMOX_MYSQL_DB" --server_tcp_port="$tcp_port" \
  --api_port="$api_port" ${PLEMOX_ATTACK_HOST_FLAGS:-} >"$work/host.log" 2>&1 &
server_pid=$!
deadline=$((SECONDS + 60))
until (exec 3<>"/dev/tcp/127.0.0.1/$tcp_port") 2>/dev/null; do
  if [ $SECONDS -ge $deadline ] || ! kill -0 "$server_pid" 2>/dev/null; then
    echo "attack: the server did not start" >&2; tail -20 "$work/host.log" >&2; exit 1
  fi
  sleep 0.2
done
echo "attack: server pid $server_pid on port $tcp_port, leaderboard $lb" >&2
"$bin/leaderboard_loadgen" --port="$tcp_port" --leaderboards="$lb" \
  --players=2000 --requests=20000 --mix=submit=1 --duration=0 >/dev/null
"$bin/leaderboard_attack" --port="$tcp_port" --pid="$server_pid" \
  --leaderboard="$lb" "$@"
