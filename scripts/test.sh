#!/usr/bin/env bash
# Builds everything and runs every test against a private PostgreSQL cluster and a local Spark
# Connect server with an Iceberg catalog, both started here and stopped on exit.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build_dir=${KORVEX_BUILD_DIR:-$root/build}

echo "test: installs what is missing of the build and test packages (about 260 MB to download on a fresh"
echo "      machine) and of the pinned Spark pieces (about 500 MB into the download cache), then builds"
echo "      everything and runs every test (6 to 15 minutes on 2 cores once installed, about 20 on a fresh machine),"
echo "      and before them the sanitized tests and the fuzz targets of scripts/checks.sh (about 10 to 15 minutes more)."
scripts/setup.sh test
if [[ -x scripts/spark_setup.sh ]]; then scripts/spark_setup.sh; fi

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"

state=$(mktemp -d /tmp/korvex-test.XXXXXX)
cleanup() {
  if [[ -x scripts/spark_stop.sh ]]; then scripts/spark_stop.sh "$state/spark" >/dev/null 2>&1 || true; fi
  scripts/pg_stop.sh "$state/pg" >/dev/null 2>&1 || true
  rm -rf "$state"
}
trap cleanup EXIT

scripts/pg_start.sh "$state/pg"
source "$state/pg/env.sh"
if [[ -x scripts/spark_start.sh ]]; then
  scripts/spark_start.sh "$state/spark"
  source "$state/spark/env.sh"
fi

# The sanitized tests and the fuzz targets run first, so that the last line printed is the
# summary of the main test run; a failure of theirs still fails the command.
checks_status=0
scripts/checks.sh || checks_status=$?

# The tests load the build's own plug-ins, found beside its host library.
unset KORVEX_MODULE_PATH
tests_status=0
ctest --test-dir "$build_dir" --output-on-failure --timeout 900 2>&1 | tee "$state/ctest.log" || tests_status=${PIPESTATUS[0]}
# CTest lists the tests it skipped after its summary (those that need what this machine lacks):
# the summary line is printed once more, last.
grep -E '^[0-9]+% tests passed' "$state/ctest.log" | tail -n 1 || true
if ((tests_status != 0)); then exit "$tests_status"; fi
exit "$checks_status"
