#!/usr/bin/env bash
# Runs a command with a throw-away database of its own on the server the POSTGRES_* variables
# name (POSTGRES_DATABASE names it for the command) and drops it afterwards, so that a run
# finds no rows of an earlier one.   Usage: with_database.sh COMMAND [ARG...]
set -euo pipefail

: "${POSTGRES_HOST:?is not set: run the tests through scripts/test.sh, which starts the servers}"
pg_bin=${KORVEX_PG_BIN:-$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)}
if [[ -n "${POSTGRES_PASSWORD:-}" ]]; then export PGPASSWORD=$POSTGRES_PASSWORD; fi
server=(-h "$POSTGRES_HOST" -p "${POSTGRES_PORT:-5432}" -U "${POSTGRES_USER:-postgres}"
        --maintenance-db="${POSTGRES_DATABASE:-postgres}")
database="korvex_run_$$_$RANDOM"

"$pg_bin/createdb" "${server[@]}" "$database"
trap '"$pg_bin/dropdb" "${server[@]}" --force --if-exists "$database" >/dev/null 2>&1 || true' EXIT
POSTGRES_DATABASE=$database "$@"
