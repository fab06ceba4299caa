#!/usr/bin/env bash
# Starts a private, throw-away PostgreSQL cluster and writes the POSTGRES_* variables that
# reach it to STATE_DIR/env.sh.   Usage: scripts/pg_start.sh STATE_DIR
# The cluster lives in a folder of its own under /tmp (the server's user must reach it), which
# STATE_DIR/pg_home names; it listens on a Unix socket there only (no TCP), trust authentication.
set -euo pipefail

state_dir=${1:?usage: pg_start.sh STATE_DIR}
mkdir -p "$state_dir"
state_dir=$(cd "$state_dir" && pwd)
# The server's user may not be allowed into the caller's folder: start from a neutral one.
cd /

pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [[ -z "$pg_bin" ]]; then
  echo "pg_start: no PostgreSQL server found; run scripts/setup.sh" >&2
  exit 1
fi

pg_home=$(mktemp -d /tmp/korvex-pg.XXXXXX)
echo "$pg_home" >"$state_dir/pg_home"
chmod 755 "$pg_home"
# initdb and the server refuse to run as root: run them as an unprivileged user.
run_as=()
if [[ $(id -u) -eq 0 ]]; then
  id postgres >/dev/null 2>&1 || useradd --system --no-create-home postgres
  chown postgres "$pg_home"
  run_as=(runuser -u postgres --)
fi

# No TCP: the port only names the socket file in the cluster's own folder, so any number will do.
port=$((20000 + RANDOM % 40000))
"${run_as[@]}" "$pg_bin/initdb" -D "$pg_home/data" -U postgres --auth=trust -E UTF8 --locale=C.UTF-8 >"$pg_home/initdb.log" 2>&1 ||
  { cat "$pg_home/initdb.log" >&2; exit 1; }
"${run_as[@]}" "$pg_bin/pg_ctl" -D "$pg_home/data" -l "$pg_home/server.log" -w -t 60 \
  -o "-c listen_addresses='' -k $pg_home -p $port -c fsync=off -c synchronous_commit=off -c full_page_writes=off -c max_connections=50" \
  start >/dev/null || { cat "$pg_home/server.log" >&2; exit 1; }

cat >"$state_dir/env.sh" <<ENV
export POSTGRES_HOST=$pg_home
export POSTGRES_PORT=$port
export POSTGRES_USER=postgres
export POSTGRES_DATABASE=postgres
export KORVEX_PG_BIN=$pg_bin
ENV
