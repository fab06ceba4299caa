#!/usr/bin/env bash
# Builds the example host program and its two plug-ins and runs it against a private,
# throw-away PostgreSQL cluster.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build_dir=${KORVEX_DEMO_BUILD_DIR:-$root/build-demo}

echo "demo: installs what is missing of g++, cmake, ninja-build, pkg-config, libpq-dev, postgresql,"
echo "      libsqlite3-dev, libicu-dev, nlohmann-json3-dev and libspdlog-dev (about 170 MB to download on a fresh machine),"
echo "      then builds the example and its two plug-ins and runs it (about 3 minutes on 2 cores)."
scripts/setup.sh demo
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVEX_BUILD_TESTS=OFF -DKORVEX_BUILD_BENCH=OFF -DKORVEX_BUILD_SPARK_CONNECT=OFF >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" --target korvex_example

state=$(mktemp -d /tmp/korvex-demo.XXXXXX)
trap 'scripts/pg_stop.sh "$state/pg" >/dev/null 2>&1; rm -rf "$state"' EXIT
scripts/pg_start.sh "$state/pg"
source "$state/pg/env.sh"

# The example finds its plug-ins beside the build's host library.
unset KORVEX_MODULE_PATH
"$build_dir/bin/korvex_example" --sqlite-file "$state/example.sqlite"
