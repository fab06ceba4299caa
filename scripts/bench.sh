#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them against a private, throw-away PostgreSQL
# cluster: put throughput, latest-version point read, statement building.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build_dir=${KORVEX_BENCH_BUILD_DIR:-$root/build-bench}

scripts/setup.sh test
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVEX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" --target put_bench point_read_bench select_build_bench

state=$(mktemp -d /tmp/korvex-bench.XXXXXX)
trap 'scripts/pg_stop.sh "$state/pg" >/dev/null 2>&1; rm -rf "$state"' EXIT
scripts/pg_start.sh "$state/pg"
source "$state/pg/env.sh"
unset KORVEX_MODULE_PATH

"$build_dir/bin/put_bench" "${PUT_ROWS:-5000}" "${PUT_ROUNDS:-5}"
echo
"$build_dir/bin/point_read_bench" "${READ_OBJECTS:-20000}" "${READ_VERSIONS:-5}" "${READ_COUNT:-1000}"
echo
"$build_dir/bin/select_build_bench" --benchmark_min_time=0.5

# The SQLite store: put and the latest-version point read, each against hand-written sqlite3
# calls on the same file in the same run. No server: the files live in the temp folder.
cmake --build "$build_dir" --parallel "$(nproc)" --target lite_put_bench lite_point_read_bench lite_timeline
echo
"$build_dir/bin/lite_put_bench" "${LITE_PUT_ROWS:-20000}" "${LITE_PUT_ROUNDS:-5}"
echo
"$build_dir/bin/lite_point_read_bench" "${LITE_READ_OBJECTS:-20000}" "${LITE_READ_VERSIONS:-5}" "${LITE_READ_COUNT:-2000}"
