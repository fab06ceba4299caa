#!/usr/bin/env bash
# Stops the server of a scripts/pg_start.sh cluster as a crash would (immediate shutdown), or
# starts it again on the same data and options.   Usage: pg_server.sh STATE_DIR stop|start
set -euo pipefail

state_dir=${1:?usage: pg_server.sh STATE_DIR stop|start}
action=${2:?usage: pg_server.sh STATE_DIR stop|start}
source "$state_dir/env.sh"
data=$(cat "$state_dir/pg_home")/data
run_as=()
if [[ $(id -u) -eq 0 ]]; then run_as=(runuser -u postgres --); fi

case "$action" in
  stop) "${run_as[@]}" "$KORVEX_PG_BIN/pg_ctl" -D "$data" -m immediate -w stop >/dev/null ;;
  # restart takes the options of the last start from the cluster's postmaster.opts.
  start) "${run_as[@]}" "$KORVEX_PG_BIN/pg_ctl" -D "$data" -l "$data/../server.log" -w -t 60 restart >/dev/null 2>&1 ;;
  *) echo "pg_server.sh: unknown action $action" >&2; exit 2 ;;
esac
