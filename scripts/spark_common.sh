# Shared by spark_setup.sh, spark_start.sh and spark_stop.sh: pinned versions and where the
# downloads and the running server's state live. Sourced, not run.

KORVEX_SCRIPTS_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=spark_versions.env
. "$KORVEX_SCRIPTS_DIR/spark_versions.env"

# Downloads are kept in a system folder for root and in the user's cache folder otherwise (the
# build reads the same default to find the Spark Connect jar).
if [ "$(id -u)" = 0 ]; then
    KORVEX_CACHE="${KORVEX_CACHE:-/var/cache/korvex}"
else
    KORVEX_CACHE="${KORVEX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/korvex}"
fi
SPARK_CACHE_DIR="$KORVEX_CACHE/spark"
SPARK_DIST_DIR="$SPARK_CACHE_DIR/pyspark-$PYSPARK_VERSION"
SPARK_HOME_DIR="$SPARK_DIST_DIR/pyspark"
SPARK_JARS_DIR="$SPARK_CACHE_DIR/jars"
SPARK_CONNECT_JAR="$SPARK_JARS_DIR/$SPARK_CONNECT_ARTIFACT-$SPARK_CONNECT_VERSION.jar"
ICEBERG_RUNTIME_JAR="$SPARK_JARS_DIR/$ICEBERG_RUNTIME_ARTIFACT-$ICEBERG_RUNTIME_VERSION.jar"

# The folder that holds a running server's warehouse, scratch folders, log and env.sh (its URL
# and pid): the first argument of spark_start.sh / spark_stop.sh, or a default.
spark_state_dir() { echo "${1:-${KORVEX_SPARK_STATE_DIR:-${TMPDIR:-/tmp}/korvex-spark}}"; }

# True when the pid is a Spark Connect server (and not a process that reused the number).
is_spark_server() {
    [ -n "${1:-}" ] && [ -r "/proc/$1/cmdline" ] &&
        tr '\0' ' ' <"/proc/$1/cmdline" | grep -q 'org.apache.spark.sql.connect.service.SparkConnectServer'
}

# Iceberg catalog that the server makes the default, and the namespace it creates in it.
KORVEX_SPARK_CATALOG="${KORVEX_SPARK_CATALOG:-korvex}"
KORVEX_SPARK_NAMESPACE="${KORVEX_SPARK_NAMESPACE:-db}"

spark_log() { echo "[spark] $*" >&2; }
