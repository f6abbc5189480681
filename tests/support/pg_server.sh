#!/usr/bin/env bash
# A throwaway PostgreSQL server for the tests: `start STATE` makes a cluster in a new
# temporary folder, listening only on a Unix socket in that folder (no TCP port), and
# writes the folder's path to the file STATE; `stop STATE` stops that server and removes
# the folder and STATE. PostgreSQL refuses to run as root, so as root the server runs as
# the unprivileged user `nobody`, which then owns the folder.
#
# The superuser "postgres" connects without a password; every other role needs its
# password (scram-sha-256), so that tests can check how a refused password reads.
set -euo pipefail

action=${1:?usage: pg_server.sh start|stop STATE-FILE}
state=${2:?usage: pg_server.sh start|stop STATE-FILE}

bindir=$(pg_config --bindir 2>/dev/null || true)
if [ ! -x "$bindir/initdb" ]; then
  bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
fi
[ -x "$bindir/initdb" ] || { echo "pg_server.sh: PostgreSQL's server programs are not installed (Debian package postgresql)" >&2; exit 1; }

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u nobody -- "$@"; else "$@"; fi
}

case "$action" in
start)
  if [ -f "$state" ]; then "$0" stop "$state" || true; fi
  dir=$(mktemp -d /tmp/orv-pg.XXXXXX)
  echo "$dir" > "$state"
  [ "$(id -u)" -eq 0 ] && chown nobody "$dir"
  as_owner "$bindir/initdb" -D "$dir/data" -U postgres --auth-local=trust --no-sync -E UTF8 --locale=C.UTF-8 \
    > "$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
  cat > "$dir/hba" <<EOF
local all postgres trust
local all all scram-sha-256
EOF
  [ "$(id -u)" -eq 0 ] && chown nobody "$dir/hba"
  as_owner cp "$dir/hba" "$dir/data/pg_hba.conf"
  as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
    -o "-c listen_addresses='' -c unix_socket_directories='$dir' -c fsync=off -c full_page_writes=off -c max_connections=60" \
    start > /dev/null || { cat "$dir/server.log" >&2; exit 1; }
  ;;
stop)
  [ -f "$state" ] || exit 0
  dir=$(cat "$state")
  if [ -d "$dir/data" ]; then
    as_owner "$bindir/pg_ctl" -D "$dir/data" -m immediate -w stop > /dev/null 2>&1 || true
  fi
  case "$dir" in /tmp/orv-pg.*) rm -rf "$dir" ;; esac
  rm -f "$state"
  ;;
*)
  echo "usage: pg_server.sh start|stop STATE-FILE" >&2
  exit 2
  ;;
esac
