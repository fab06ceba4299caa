# Shared by spark_setup.sh, spark_start.sh and spark_stop.sh: pinned versions and where the
# downloads and the running server's state live. Sourced, not run.

KORVEX_SCRIPTS_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=spark_versions.env
. "$KORVEX_SCRIPTS_DIR/spark_versions.env"

KORVEX_CACHE="${KORVEX_CACHE:-/var/cache/korvex}"
SPARK_CACHE_DIR="$KORVEX_CACHE/spark"
SPARK_DIST_DIR="$SPARK_CACHE_DIR/pyspark-$PYSPARK_VERSION"
SPARK_HOME_DIR="$SPARK_DIST_DIR/pyspark"
SPARK_JARS_DIR="$SPARK_CACHE_DIR/jars"
SPARK_CONNECT_JAR="$SPARK_JARS_DIR/$SPARK_CONNECT_ARTIFACT-$SPARK_CONNECT_VERSION.jar"
ICEBERG_RUNTIME_JAR="$SPARK_JARS_DIR/$ICEBERG_RUNTIME_ARTIFACT-$ICEBERG_RUNTIME_VERSION.jar"

# The running server's URL, pid and temp folders are written here by spark_start.sh.
KORVEX_SPARK_STATE="${KORVEX_SPARK_STATE:-${TMPDIR:-/tmp}/korvex-spark.state}"

# Iceberg catalog that the server makes the default, and the namespace it creates in it.
KORVEX_SPARK_CATALOG="${KORVEX_SPARK_CATALOG:-korvex}"
KORVEX_SPARK_NAMESPACE="${KORVEX_SPARK_NAMESPACE:-db}"

spark_log() { echo "[spark] $*" >&2; }
