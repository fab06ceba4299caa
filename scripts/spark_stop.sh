#!/usr/bin/env bash
# Usage: spark_stop.sh [STATE_DIR]
# Stops the Spark Connect server that spark_start.sh started in STATE_DIR and removes what it
# made there (warehouse, scratch folders, log, env.sh). Does nothing when none was started.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/spark_common.sh"

state="$(spark_state_dir "${1:-}")"
[ -f "$state/env.sh" ] || exit 0
# shellcheck disable=SC1091
. "$state/env.sh"

if is_spark_server "${SPARK_PID:-}"; then
    kill -TERM "$SPARK_PID" 2>/dev/null || true
    for _ in $(seq 1 30); do
        kill -0 "$SPARK_PID" 2>/dev/null || break
        sleep 1
    done
    if kill -0 "$SPARK_PID" 2>/dev/null; then
        spark_log "pid $SPARK_PID did not stop; killing it"
        kill -KILL "$SPARK_PID" 2>/dev/null || true
    fi
    spark_log "stopped pid $SPARK_PID"
fi
rm -rf "$state/warehouse" "$state/spark-warehouse" "$state/local" "$state/tmp" "$state/conf" \
    "$state/server.log" "$state/env.sh"
rmdir "$state" 2>/dev/null || true
