#!/usr/bin/env bash
# Usage: spark_start.sh [STATE_DIR]
# Starts a local Spark Connect server for the Iceberg tests: loopback only, on a free port, with
# a Hadoop-type Iceberg catalog (KORVEX_SPARK_CATALOG, default "korvex") on a fresh warehouse in
# STATE_DIR, its table cache off so that every session reads a table's current state. That
# catalog is the session's default catalog and its default namespace is KORVEX_SPARK_NAMESPACE
# (default "db"), so unqualified table names land there. Waits until the server accepts
# connections, then writes STATE_DIR/env.sh (exports
# SPARK_CONNECT_URL=sc://127.0.0.1:PORT, sets SPARK_PID) and prints the URL. When STATE_DIR
# already holds a running server, prints its URL instead. Run spark_setup.sh first.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/spark_common.sh"

state="$(spark_state_dir "${1:-}")"
START_TIMEOUT="${KORVEX_SPARK_START_TIMEOUT:-240}"

if [ -f "$state/env.sh" ]; then
    # shellcheck disable=SC1091
    . "$state/env.sh"
    if is_spark_server "${SPARK_PID:-}"; then
        spark_log "already running (pid $SPARK_PID)"
        echo "$SPARK_CONNECT_URL"
        exit 0
    fi
    "$KORVEX_SCRIPTS_DIR/spark_stop.sh" "$state"
fi

if [ ! -x "$SPARK_HOME_DIR/bin/spark-submit" ] || [ ! -s "$ICEBERG_RUNTIME_JAR" ]; then
    spark_log "Spark is not set up in $SPARK_CACHE_DIR: run scripts/spark_setup.sh first"
    exit 1
fi

mkdir -p "$state"
state="$(cd "$state" && pwd)"
warehouse="$state/warehouse"
# A Hadoop catalog's namespace is a folder of its warehouse.
mkdir -p "$warehouse/$KORVEX_SPARK_NAMESPACE" "$state/local" "$state/tmp" "$state/conf"

# Spark's own logging goes to the server log at WARN, plus the Connect server's start-up lines.
cat >"$state/conf/log4j2.properties" <<'LOG'
rootLogger.level = warn
rootLogger.appenderRef.stdout.ref = console
appender.console.type = Console
appender.console.name = console
appender.console.target = SYSTEM_ERR
appender.console.layout.type = PatternLayout
appender.console.layout.pattern = %d{HH:mm:ss.SSS} %p %c{1}: %m%n%ex
logger.connect.name = org.apache.spark.sql.connect.service
logger.connect.level = info
LOG

port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
url="sc://127.0.0.1:$port"
log="$state/server.log"
catalog="spark.sql.catalog.$KORVEX_SPARK_CATALOG"

(
    cd "$state"
    export SPARK_HOME="$SPARK_HOME_DIR" SPARK_CONF_DIR="$state/conf"
    export SPARK_LOCAL_IP=127.0.0.1 SPARK_LOCAL_DIRS="$state/local"
    exec setsid "$SPARK_HOME_DIR/bin/spark-submit" \
        --master 'local[2]' \
        --driver-memory 1g \
        --name korvex-spark-connect \
        --class org.apache.spark.sql.connect.service.SparkConnectServer \
        --jars "$ICEBERG_RUNTIME_JAR" \
        --driver-java-options "-Djava.io.tmpdir=$state/tmp" \
        --conf spark.connect.grpc.binding.address=127.0.0.1 \
        --conf "spark.connect.grpc.binding.port=$port" \
        --conf spark.connect.grpc.port.maxRetries=0 \
        --conf spark.driver.host=127.0.0.1 \
        --conf spark.driver.bindAddress=127.0.0.1 \
        --conf spark.ui.enabled=false \
        --conf spark.sql.catalogImplementation=in-memory \
        --conf "spark.sql.warehouse.dir=$state/spark-warehouse" \
        --conf spark.sql.shuffle.partitions=2 \
        --conf spark.sql.extensions=org.apache.iceberg.spark.extensions.IcebergSparkSessionExtensions \
        --conf "$catalog=org.apache.iceberg.spark.SparkCatalog" \
        --conf "$catalog.type=hadoop" \
        --conf "$catalog.warehouse=$warehouse" \
        --conf "$catalog.default-namespace=$KORVEX_SPARK_NAMESPACE" \
        --conf "$catalog.cache-enabled=false" \
        --conf "spark.sql.defaultCatalog=$KORVEX_SPARK_CATALOG" \
        spark-internal
) >"$log" 2>&1 </dev/null &
pid=$!
echo "SPARK_PID=$pid" >"$state/env.sh"

spark_log "starting on 127.0.0.1:$port (pid $pid, log $log)"
started=$SECONDS
until python3 -c 'import socket,sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1).close()' "$port" 2>/dev/null; do
    if ! kill -0 "$pid" 2>/dev/null; then
        tail -n 40 "$log" >&2 || true
        spark_log "the server exited before it answered"
        "$KORVEX_SCRIPTS_DIR/spark_stop.sh" "$state"
        exit 1
    fi
    if [ $((SECONDS - started)) -ge "$START_TIMEOUT" ]; then
        tail -n 40 "$log" >&2 || true
        spark_log "no answer after ${START_TIMEOUT}s"
        "$KORVEX_SCRIPTS_DIR/spark_stop.sh" "$state"
        exit 1
    fi
    sleep 1
done

cat >"$state/env.sh" <<ENV
export SPARK_CONNECT_URL=$url
SPARK_PID=$pid
ENV
spark_log "answering at $url after $((SECONDS - started))s"
echo "$url"
