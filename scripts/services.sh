#!/usr/bin/env bash
# Starts, stops or reports a private redis-server and mariadbd for running and
# testing the server. Their data, sockets and logs live under $PLEMOX_STATE_DIR
# (default: build/services); nothing of the system's own servers is touched.
#
#   scripts/services.sh start | stop | status | running | env
#   scripts/services.sh start-redis | stop-redis | start-mysql | stop-mysql
#   scripts/services.sh start-cluster | stop-cluster | cluster-running
#
# start-cluster starts a Redis Cluster of six redis-server processes on
# loopback, ports $PLEMOX_REDIS_CLUSTER_PORT (default 17001) to that + 5 and
# their bus ports 10000 higher: three primaries, each with one replica,
# cluster-node-timeout 2000 ms (a replica takes over from a failed primary
# within a few seconds). The nodes keep no data on disk; start-cluster
# restarts a node that is down with its cluster configuration (it rejoins,
# as a replica if its replica took over), and stop-cluster stops only the
# nodes this state folder started and forgets the cluster.
#
# PLEMOX_REDIS_DURABLE=1 runs Redis as production needs it: append-only file
# fsynced every second, and `noeviction`, so that a restart or memory pressure
# cannot silently drop rankings (scripts/run.sh sets it). Without it (the test
# suite) Redis keeps nothing on disk. A Redis already running in the other mode
# is switched over with CONFIG SET when durability is asked for.
#
# PLEMOX_MYSQL_TLS_DIR=<dir> starts mariadbd with TLS from <dir>/ca.pem,
# <dir>/server-cert.pem and <dir>/server-key.pem, and require_secure_transport
# (TCP clients must use TLS; the Unix socket stays open to root). The tests of
# TLS to MariaDB start such a server of their own with `start-mysql`.
#
# `running` prints nothing and exits 0 when both servers are up, 1 otherwise;
# `cluster-running` likewise for the six cluster nodes (each sees the cluster
# whole).
# `env` prints the settings as shell assignments for other scripts to eval.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
state=${PLEMOX_STATE_DIR:-$root/build/services}
redis_port=${PLEMOX_REDIS_PORT:-16379}
mysql_port=${PLEMOX_MYSQL_PORT:-13306}
mysql_db=${PLEMOX_MYSQL_DB:-leaderboard}
mysql_user=${PLEMOX_MYSQL_USER:-leaderboard}
mysql_password=${PLEMOX_MYSQL_PASSWORD:-leaderboard}
mysql_socket=$state/mysql/mysqld.sock
redis_durable=${PLEMOX_REDIS_DURABLE:-0}
cluster_port=${PLEMOX_REDIS_CLUSTER_PORT:-17001}
cluster_ports=()
for i in 0 1 2 3 4 5; do cluster_ports+=($((cluster_port + i))); done
cluster_nodes=$(printf '127.0.0.1:%s,' "${cluster_ports[@]}")
cluster_nodes=${cluster_nodes%,}
mysql_tls_dir=${PLEMOX_MYSQL_TLS_DIR:-}

print_env() {
  cat <<ENV
export PLEMOX_STATE_DIR='$state'
export PLEMOX_REDIS_HOST=127.0.0.1
export PLEMOX_REDIS_PORT=$redis_port
export PLEMOX_REDIS_CLUSTER_PORT=$cluster_port
export PLEMOX_REDIS_CLUSTER_NODES=$cluster_nodes
export PLEMOX_MYSQL_HOST=127.0.0.1
export PLEMOX_MYSQL_PORT=$mysql_port
export PLEMOX_MYSQL_SOCKET='$mysql_socket'
export PLEMOX_MYSQL_DB=$mysql_db
export PLEMOX_MYSQL_USER=$mysql_user
export PLEMOX_MYSQL_PASSWORD=$mysql_password
ENV
}

wait_for() {  # wait_for SECONDS DESCRIPTION COMMAND...
  local seconds=$1 what=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    if [ $SECONDS -ge $deadline ]; then
      echo "Timed out waiting for $what" >&2
      return 1
    fi
    sleep 0.2
  done
}

redis_up() { redis-cli -p "$redis_port" ping | grep -q PONG; }
mysql_up() { mysqladmin --socket="$mysql_socket" -uroot ping >/dev/null 2>&1; }

start_redis() {
  if redis_up 2>/dev/null; then
    if [ "$redis_durable" = 1 ]; then
      redis-cli -p "$redis_port" config set appendonly yes appendfsync everysec \
        maxmemory-policy noeviction >/dev/null
    fi
    return 0
  fi
  mkdir -p "$state/redis"
  local options
  if [ "$redis_durable" = 1 ]; then
    options=(--appendonly yes --appendfsync everysec --maxmemory-policy noeviction)
  else
    options=(--save '' --appendonly no)
  fi
  redis-server --port "$redis_port" --bind 127.0.0.1 --daemonize yes \
    --dir "$state/redis" --pidfile "$state/redis/redis.pid" \
    --logfile "$state/redis/redis.log" "${options[@]}"
  wait_for 20 "redis-server on port $redis_port" redis_up
}

start_mysql() {
  if mysql_up 2>/dev/null; then return 0; fi
  local data=$state/mysql/data
  mkdir -p "$state/mysql"
  local user_opt=()
  if [ "$(id -u)" -eq 0 ]; then user_opt=(--user=root); fi
  local fresh=0
  if [ ! -d "$data/mysql" ]; then
    fresh=1
    mariadb-install-db --no-defaults "${user_opt[@]}" --datadir="$data" \
      --auth-root-authentication-method=socket --skip-test-db \
      >"$state/mysql/install.log" 2>&1 || {
        cat "$state/mysql/install.log" >&2
        return 1
      }
  fi
  local tls_opt=()
  if [ -n "$mysql_tls_dir" ]; then
    tls_opt=(--ssl-ca="$mysql_tls_dir/ca.pem" --ssl-cert="$mysql_tls_dir/server-cert.pem"
             --ssl-key="$mysql_tls_dir/server-key.pem" --require-secure-transport=ON)
  fi
  # setsid: the server must not die with the shell that started it.
  setsid mariadbd --no-defaults "${user_opt[@]}" --datadir="$data" \
    --socket="$mysql_socket" --port="$mysql_port" --bind-address=127.0.0.1 \
    --pid-file="$state/mysql/mysqld.pid" --log-error="$state/mysql/error.log" \
    --skip-name-resolve --innodb-buffer-pool-size=64M \
    --innodb-flush-log-at-trx-commit=2 --max-connections=500 "${tls_opt[@]}" \
    </dev/null >/dev/null 2>&1 &
  wait_for 60 "mariadbd on $mysql_socket" mysql_up || {
    tail -20 "$state/mysql/error.log" >&2
    return 1
  }
  if [ $fresh -eq 1 ] || ! mysql --socket="$mysql_socket" -uroot -e "USE \`$mysql_db\`" 2>/dev/null; then
    mysql --socket="$mysql_socket" -uroot <<SQL
CREATE DATABASE IF NOT EXISTS \`$mysql_db\`;
CREATE USER IF NOT EXISTS '$mysql_user'@'127.0.0.1' IDENTIFIED BY '$mysql_password';
CREATE USER IF NOT EXISTS '$mysql_user'@'localhost' IDENTIFIED BY '$mysql_password';
GRANT ALL PRIVILEGES ON *.* TO '$mysql_user'@'127.0.0.1';
GRANT ALL PRIVILEGES ON *.* TO '$mysql_user'@'localhost';
FLUSH PRIVILEGES;
SQL
  fi
}

stop_redis() {
  redis_up 2>/dev/null || return 0
  # Only the Redis this state folder started: a stop run with another
  # worktree's (or the default) port must not take a colleague's server down.
  local dir
  dir=$(redis-cli -p "$redis_port" config get dir 2>/dev/null | sed -n 2p)
  if [ "$dir" != "$state/redis" ]; then
    echo "not stopping the Redis on port $redis_port: it serves $dir, not $state/redis" >&2
    return 0
  fi
  redis-cli -p "$redis_port" shutdown nosave >/dev/null 2>&1 || true
}

node_up() { redis-cli -p "$1" ping 2>/dev/null | grep -q PONG; }
# Every node answers and sees the cluster as whole.
cluster_ok() {
  local port
  for port in "${cluster_ports[@]}"; do
    redis-cli -p "$port" cluster info 2>/dev/null | grep -q '^cluster_state:ok' || return 1
  done
}

start_cluster() {
  if cluster_ok; then return 0; fi
  local port dir
  for port in "${cluster_ports[@]}"; do
    dir=$state/cluster/$port
    node_up "$port" && continue
    # A node that was stopped (or killed) rejoins with its nodes.conf.
    if [ ! -f "$dir/nodes.conf" ]; then rm -rf "$dir"; fi
    mkdir -p "$dir"
    redis-server --port "$port" --bind 127.0.0.1 --daemonize yes \
      --dir "$dir" --pidfile "$dir/redis.pid" --logfile "$dir/redis.log" \
      --cluster-enabled yes --cluster-config-file nodes.conf \
      --cluster-node-timeout 2000 --save '' --appendonly no
  done
  for port in "${cluster_ports[@]}"; do
    wait_for 20 "redis-server on port $port" node_up "$port"
  done
  local addresses=()
  for port in "${cluster_ports[@]}"; do addresses+=("127.0.0.1:$port"); done
  if redis-cli -p "$cluster_port" cluster info | grep -q '^cluster_slots_assigned:0'; then
    redis-cli --cluster create "${addresses[@]}" --cluster-replicas 1 \
      --cluster-yes >"$state/cluster/create.log" 2>&1 || {
        cat "$state/cluster/create.log" >&2
        return 1
      }
  fi
  wait_for 60 "the Redis Cluster on ports ${cluster_ports[0]}-${cluster_ports[5]} (cluster_state:ok)" cluster_ok
}

stop_cluster() {
  local port dir
  for port in "${cluster_ports[@]}"; do
    node_up "$port" || continue
    dir=$(redis-cli -p "$port" config get dir 2>/dev/null | sed -n 2p)
    if [ "$dir" != "$state/cluster/$port" ]; then
      echo "not stopping the Redis on port $port: it serves $dir, not $state/cluster/$port" >&2
      continue
    fi
    redis-cli -p "$port" shutdown nosave >/dev/null 2>&1 || true
  done
  for port in "${cluster_ports[@]}"; do
    wait_for 20 "redis-server on port $port to stop" sh -c "! redis-cli -p $port ping"
  done
  rm -rf "$state/cluster"
}

stop_mysql() {
  if mysql_up 2>/dev/null; then
    mysqladmin --socket="$mysql_socket" -uroot shutdown >/dev/null 2>&1 || true
  fi
}

case "${1:-}" in
  start) start_redis; start_mysql; echo "redis on 127.0.0.1:$redis_port, mariadb on 127.0.0.1:$mysql_port ($mysql_socket)" ;;
  stop) stop_redis; stop_mysql ;;
  start-redis) start_redis; echo "redis on 127.0.0.1:$redis_port" ;;
  stop-redis) stop_redis ;;
  start-mysql) start_mysql; echo "mariadb on 127.0.0.1:$mysql_port ($mysql_socket)" ;;
  stop-mysql) stop_mysql ;;
  start-cluster) start_cluster; echo "redis cluster on $cluster_nodes" ;;
  stop-cluster) stop_cluster ;;
  status)
    redis_up 2>/dev/null && echo "redis: up" || echo "redis: down"
    mysql_up 2>/dev/null && echo "mariadb: up" || echo "mariadb: down" ;;
  running) redis_up 2>/dev/null && mysql_up 2>/dev/null ;;
  cluster-running) cluster_ok ;;
  env) print_env ;;
  *) echo "usage: $0 start|stop|status|running|env|start-redis|stop-redis|start-mysql|stop-mysql|start-cluster|stop-cluster|cluster-running" >&2; exit 2 ;;
esac
