#!/usr/bin/env bash
# Builds the Debian package from a build tree, unpacks it into a scratch root
# and checks it: its control data, its files, that every installed program
# and library resolves its libraries inside the package, that the installed
# host starts on the installed component, example manifest, flags file and
# schema (against the private Redis and MariaDB of scripts/services.sh) and
# answers the installed CLI, and that systemd accepts the unit.
#
#   scripts/package_test.sh [BUILD_KIND]   # default: release
#
# REQUIRES: the build tree is built and the services run (scripts/test.sh
# does both); PLEMOX_* settings as `scripts/services.sh env` prints them.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
kind=${1:-release}
build=$root/build/$kind
eval "$("$root/scripts/services.sh" env)"

scratch=$(mktemp -d)
host_pid=
cleanup() {
  if [ -n "$host_pid" ] && kill -0 "$host_pid" 2>/dev/null; then
    kill -KILL "$host_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@" >"$scratch/check.out" 2>&1; then
    echo "ok: $what"
  else
    echo "FAILED: $what" >&2
    sed 's/^/  | /' "$scratch/check.out" >&2
    failures=$((failures + 1))
  fi
}

echo "=== Packaging ($kind)"
cmake --build "$build" -j"${PLEMOX_BUILD_JOBS:-$(nproc)}" \
  --target vel_host_main leaderboard_cli plemox-leaderboard >/dev/null
(cd "$build" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) || {
  cat "$scratch/cpack.log" >&2
  exit 1
}
deb=$(ls "$scratch"/out/plemox-leaderboard_*.deb)
echo "package: $(basename "$deb") ($(du -k "$deb" | cut -f1) KiB)"

# Control data: name, dependencies found by dpkg-shlibdeps, maintainer scripts.
dpkg-deb -f "$deb" Package Depends >"$scratch/control"
check "package name" grep -qx 'Package: plemox-leaderboard' "$scratch/control"
check "depends on adduser and the shared libraries" \
  grep -E '^Depends: .*adduser.*' "$scratch/control"
check "depends on hiredis and libmariadb" \
  grep -E 'libhiredis.*libmariadb|libmariadb.*libhiredis' "$scratch/control"
dpkg-deb -e "$deb" "$scratch/control.d"
for script in postinst prerm postrm; do
  check "$script is a valid shell script" sh -n "$scratch/control.d/$script"
done
check "postinst creates the service user" \
  sh -c "grep -qx 'user=plemox-leaderboard' '$scratch/control.d/postinst' &&
    grep -q 'adduser --system --group' '$scratch/control.d/postinst'"
check "files under /etc are conffiles" \
  grep -qx /etc/plemox-leaderboard/plemox_host.flags "$scratch/control.d/conffiles"
check "postinst creates the database password file readable by the service only" \
  sh -c "grep -q 'password=/etc/plemox-leaderboard/mysql_pw' '$scratch/control.d/postinst' &&
    grep -q 'chmod 0640 \"\$password\"' '$scratch/control.d/postinst'"
check "postinst writes a first game server key once, the keys file 0640" \
  sh -c "grep -q 'keys=/etc/plemox-leaderboard/game_server_keys' '$scratch/control.d/postinst' &&
    grep -q 'if \[ ! -e \"\$keys\" \] && \[ ! -e \"\$key\" \]' '$scratch/control.d/postinst' &&
    grep -q 'chmod 0640 \"\$keys\"' '$scratch/control.d/postinst' &&
    grep -q 'game_server_keys' '$scratch/control.d/postrm'"

# Files.
inst=$scratch/root
dpkg -x "$deb" "$inst"
lib=$inst/usr/lib/plemox-leaderboard
for file in usr/bin/plemox_host usr/bin/leaderboard_cli \
  usr/lib/plemox-leaderboard/libplemox-leaderboard.so \
  usr/share/plemox-leaderboard/sql/database_schema.sql \
  usr/share/doc/plemox-leaderboard/docs/configuration.md \
  usr/share/doc/plemox-leaderboard/docs/operations.md \
  etc/plemox-leaderboard/leaderboard.manifest.json \
  etc/plemox-leaderboard/plemox_host.flags \
  usr/lib/systemd/system/plemox-leaderboard.service; do
  check "installs /$file" test -s "$inst/$file"
done
check "the schema script holds the stored procedures" \
  grep -q 'CREATE OR REPLACE PROCEDURE sp_' "$inst/usr/share/plemox-leaderboard/sql/database_schema.sql"

# Every ELF file resolves its libraries, the private ones inside the package
# and never in the build tree.
resolves_inside() {  # resolves_inside FILE
  local out
  out=$(ldd "$1")
  if grep -q 'not found' <<<"$out"; then echo "$out"; return 1; fi
  if grep -q "$build" <<<"$out"; then echo "$out"; return 1; fi
  if readelf -d "$1" | grep -E 'R(UN)?PATH' | grep -q "$root"; then
    readelf -d "$1" | grep -E 'R(UN)?PATH'
    return 1
  fi
}
for file in "$inst"/usr/bin/* "$lib"/*.so*; do
  check "$(basename "$file") resolves its libraries in the package" \
    resolves_inside "$file"
done

# The unit: runs the host as its own user, restarts on failure, and passes
# systemd's own checks (with the program path moved into the scratch root, as
# systemd looks it up on this machine).
unit=$inst/usr/lib/systemd/system/plemox-leaderboard.service
check "unit runs as its own user" grep -qx 'User=plemox-leaderboard' "$unit"
check "unit restarts on failure" grep -qx 'Restart=on-failure' "$unit"
check "unit starts the installed host" \
  grep -q '^ExecStart=/usr/bin/plemox_host --manifest=/etc/plemox-leaderboard/' "$unit"
if command -v systemd-analyze >/dev/null; then
  mkdir -p "$scratch/unit"
  sed "s|=/usr/bin/|=$inst/usr/bin/|" "$unit" \
    >"$scratch/unit/plemox-leaderboard.service"
  # It only warns about a directive it cannot parse: any output fails too.
  verify_quietly() {
    local out
    out=$(systemd-analyze verify "$1" 2>&1) || { echo "$out"; return 1; }
    if [ -n "$out" ]; then echo "$out"; return 1; fi
  }
  check "systemd-analyze verify accepts the unit" \
    verify_quietly "$scratch/unit/plemox-leaderboard.service"
else
  echo "skipped: systemd-analyze is not installed"
fi

# The installed host starts with the installed component, manifest, flags and
# schema; only the paths are moved into the scratch root and the servers
# pointed at the private test services.
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
tcp_port=$(free_port)
api_port=$(free_port)
# The flags file names the password file postinst creates; the test's own
# stands in for it (as the operator's would, ending with a newline).
(umask 077 && printf '%s\n' "$PLEMOX_MYSQL_PASSWORD" >"$scratch/mysql_pw")
# The keys file postinst writes, made the same way with the installed CLI.
made=$("$inst/usr/bin/leaderboard_cli" keygen --app game --key_id first --rights all)
(umask 077 && printf '%s\n' "$made" | sed -n 's/^key: //p' >"$scratch/game_key")
(umask 077 && printf '%s\n' "$made" | sed -n 's/^line: //p' >"$scratch/game_server_keys")
sed "s|/usr/lib/plemox-leaderboard/|$lib/|" \
  "$inst/etc/plemox-leaderboard/leaderboard.manifest.json" >"$scratch/manifest.json"
"$inst/usr/bin/plemox_host" --manifest="$scratch/manifest.json" \
  --flagfile="$inst/etc/plemox-leaderboard/plemox_host.flags" \
  --res_root="$inst/usr/share/plemox-leaderboard" \
  --redis_host="$PLEMOX_REDIS_HOST" --redis_port="$PLEMOX_REDIS_PORT" \
  --mysql_server_url="$PLEMOX_MYSQL_HOST:$PLEMOX_MYSQL_PORT" \
  --mysql_id="$PLEMOX_MYSQL_USER" --mysql_pw_file="$scratch/mysql_pw" \
  --mysql_db_name="$PLEMOX_MYSQL_DB" \
  --game_server_keys_file="$scratch/game_server_keys" \
  --server_tcp_port="$tcp_port" --api_port="$api_port" \
  >"$scratch/host.log" 2>&1 &
host_pid=$!
cli=("$inst/usr/bin/leaderboard_cli" --port="$tcp_port" --timeout_ms=2000
  --app_id=game --key_file="$scratch/game_key")
account=package-test-$$-$RANDOM
answered() {
  "${cli[@]}" submit --leaderboard=stage1 --provider=test \
    --account="$account" --score=42
}
deadline=$((SECONDS + 60))
until answered >"$scratch/cli.out" 2>&1; do
  if ! kill -0 "$host_pid" 2>/dev/null || [ $SECONDS -ge $deadline ]; then
    echo "FAILED: the installed host did not answer the installed CLI" >&2
    tail -30 "$scratch/host.log" >&2
    cat "$scratch/cli.out" >&2
    exit 1
  fi
  sleep 0.5
done
echo "ok: the installed host answers a submission"
check "the installed host ranks the submitted score" \
  sh -c "'${cli[0]}' --port=$tcp_port --app_id=game --key_file='$scratch/game_key' query --leaderboard=stage1 \
    --provider=test --account='$account' --range=nearby --begin=0 --end=0 \
    | grep -q '$account'"
kill -TERM "$host_pid"
status=0
wait "$host_pid" || status=$?
host_pid=
check "the installed host stops cleanly on SIGTERM (exit $status)" test "$status" -eq 0

if [ $failures -ne 0 ]; then
  echo "package test: $failures check(s) failed; host log:" >&2
  tail -30 "$scratch/host.log" >&2
  exit 1
fi
echo "package test: all checks passed"
