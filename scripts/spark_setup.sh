#!/usr/bin/env bash
# Installs what the Iceberg tests need into a cache outside the build tree, skipping whatever is
# there already: the pinned pyspark distribution (Spark's own jars and launch scripts), the
# Spark Connect server jar (it also carries the protocol's .proto files that the C++ client is
# generated from) and the matching Iceberg Spark runtime jar. Safe to run again; a second run
# makes no download.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/spark_common.sh"

apt_install() {
    local as_root=()
    if [ "$(id -u)" != 0 ]; then as_root=(sudo); fi
    if ! command -v apt-get >/dev/null || { [ ${#as_root[@]} -gt 0 ] && ! command -v sudo >/dev/null; }; then
        spark_log "missing packages: $* (install them, or run this script as root or with sudo)"
        return 1
    fi
    spark_log "installing $*"
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@"
}

# Tools: a Java runtime for Spark, Maven to fetch the jars, and gRPC/protobuf for the C++ client.
missing=()
command -v java >/dev/null || missing+=(openjdk-17-jre-headless)
command -v mvn >/dev/null || missing+=(maven)
command -v protoc >/dev/null || missing+=(protobuf-compiler)
command -v grpc_cpp_plugin >/dev/null || missing+=(protobuf-compiler-grpc)
[ -e /usr/include/grpcpp/grpcpp.h ] || missing+=(libgrpc++-dev)
[ -e /usr/include/google/protobuf/message.h ] || missing+=(libprotobuf-dev)
if [ ${#missing[@]} -gt 0 ]; then apt_install "${missing[@]}"; fi

mkdir -p "$SPARK_CACHE_DIR" "$SPARK_JARS_DIR"

# pyspark: installed into a folder of its own (no virtual environment is needed: only Spark's
# jars and launch scripts are used, never the Python package).
if [ -x "$SPARK_HOME_DIR/bin/spark-submit" ] && [ -f "$SPARK_DIST_DIR/.complete" ]; then
    spark_log "pyspark $PYSPARK_VERSION cached in $SPARK_DIST_DIR"
else
    spark_log "installing pyspark $PYSPARK_VERSION into $SPARK_DIST_DIR"
    tmp="$(mktemp -d "$SPARK_CACHE_DIR/.pyspark.XXXXXX")"
    PIP_BREAK_SYSTEM_PACKAGES=1 python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
        --no-deps --no-compile \
        --target "$tmp" "pyspark==$PYSPARK_VERSION"
    rm -rf "$SPARK_DIST_DIR"
    mv "$tmp" "$SPARK_DIST_DIR"
    touch "$SPARK_DIST_DIR/.complete"
fi

fetch_jar() {  # group artifact version destination
    local group="$1" artifact="$2" version="$3" dest="$4"
    if [ -s "$dest" ]; then
        spark_log "$artifact $version cached"
        return
    fi
    spark_log "fetching $group:$artifact:$version"
    local repo="$SPARK_CACHE_DIR/m2"
    local log="$SPARK_CACHE_DIR/mvn.log"
    if ! mvn -B -Dstyle.color=never -Dmaven.repo.local="$repo" dependency:get \
            -Dartifact="$group:$artifact:$version" -Dtransitive=false >"$log" 2>&1; then
        tail -n 30 "$log" >&2
        spark_log "could not fetch $group:$artifact:$version"
        return 1
    fi
    local jar="$repo/${group//.//}/$artifact/$version/$artifact-$version.jar"
    cp "$jar" "$dest.part"
    mv "$dest.part" "$dest"
}

fetch_jar "$SPARK_CONNECT_GROUP" "$SPARK_CONNECT_ARTIFACT" "$SPARK_CONNECT_VERSION" "$SPARK_CONNECT_JAR"
fetch_jar "$ICEBERG_RUNTIME_GROUP" "$ICEBERG_RUNTIME_ARTIFACT" "$ICEBERG_RUNTIME_VERSION" "$ICEBERG_RUNTIME_JAR"

spark_log "ready: SPARK_HOME=$SPARK_HOME_DIR"
