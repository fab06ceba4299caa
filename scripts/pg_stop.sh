#!/usr/bin/env bash
# Stops the cluster of scripts/pg_start.sh and removes its folder.   Usage: scripts/pg_stop.sh STATE_DIR
set -uo pipefail

state_dir=${1:?usage: pg_stop.sh STATE_DIR}
pg_home=$(cat "$state_dir/pg_home" 2>/dev/null || true)
[[ -n "$pg_home" && -d "$pg_home/data" ]] || { rm -rf "$state_dir"; exit 0; }
pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
run_as=()
if [[ $(id -u) -eq 0 ]]; then run_as=(runuser -u postgres --); fi
(cd / && "${run_as[@]}" "$pg_bin/pg_ctl" -D "$pg_home/data" -m immediate -w stop >/dev/null 2>&1)
rm -rf "$pg_home" "$state_dir"
