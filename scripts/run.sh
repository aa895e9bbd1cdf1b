#!/usr/bin/env bash
# Builds the server, starts the private Redis and MariaDB and runs the server
# in the foreground on a manifest (default: config/example.manifest.json).
# Stop it with Ctrl-C. Extra arguments are passed to the host as flags.
#
#   scripts/run.sh [--manifest=FILE] [--server_tcp_port=N] [...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

manifest="$root/config/example.manifest.json"
args=()
for arg in "$@"; do
  case "$arg" in
    --manifest=*) manifest=${arg#--manifest=} ;;
    *) args+=("$arg") ;;
  esac
done

scripts/install_deps.sh
scripts/build.sh release --target vel_host_main plemox-leaderboard leaderboard_cli
eval "$(scripts/services.sh env)"
# Rankings must survive a Redis restart and memory pressure: append-only file
# and noeviction (see scripts/services.sh).
PLEMOX_REDIS_DURABLE=1 scripts/services.sh start

exec "$root/build/release/bin/plemox_host" --manifest="$manifest" \
  --res_root="$root" --alsologtostderr \
  --redis_host="$PLEMOX_REDIS_HOST" --redis_port="$PLEMOX_REDIS_PORT" \
  --mysql_server_url="$PLEMOX_MYSQL_HOST:$PLEMOX_MYSQL_PORT" \
  --mysql_id="$PLEMOX_MYSQL_USER" --mysql_pw="$PLEMOX_MYSQL_PASSWORD" \
  --mysql_db_name="$PLEMOX_MYSQL_DB" "${args[@]}"
