#!/usr/bin/env bash
# A private PostgreSQL cluster for one command: initdb in a temporary folder, a server listening only on a unix
# socket in that folder, one database "quippet"; the command runs with QUIPPET_TEST_DATABASE naming it, then the
# cluster is stopped and removed. Exits 77 (skipped) when PostgreSQL is not installed.
#   scripts/pg-private.sh run COMMAND [ARGS...]
set -euo pipefail

[ "${1:-}" = run ] && [ $# -ge 2 ] || { echo "usage: $0 run COMMAND [ARGS...]" >&2; exit 2; }
shift

bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1 || true)
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
  echo "PostgreSQL is not installed: skipped"
  exit 77
fi

dir=$(mktemp -d /tmp/quippet-pg.XXXXXX)
as=()
if [ "$(id -u)" -eq 0 ]; then
  # PostgreSQL refuses to run as root: the cluster belongs to the postgres account.
  chown postgres: "$dir"
  as=(runuser -u postgres --)
fi
port=5432
stop() {
  "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap stop EXIT

"${as[@]}" "$bin/initdb" -D "$dir/data" -U quippet --auth=trust -E UTF8 --no-sync >"$dir/initdb.log" 2>&1 ||
  { cat "$dir/initdb.log" >&2; exit 1; }
"${as[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
  -o "-k $dir -c listen_addresses= -p $port -c fsync=off -c full_page_writes=off" start >/dev/null ||
  { cat "$dir/server.log" >&2; exit 1; }
"$bin/createdb" -h "$dir" -p "$port" -U quippet quippet

export QUIPPET_TEST_DATABASE="postgresql://quippet@localhost:$port/quippet?host=$dir"
status=0
"$@" || status=$?
exit $status
