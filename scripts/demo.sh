#!/usr/bin/env bash
# Builds the example host program and runs it against a private, throw-away PostgreSQL cluster.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build_dir=${KORVEX_BUILD_DIR:-$root/build}

scripts/setup.sh
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" --target korvex_example

state=$(mktemp -d /tmp/korvex-demo.XXXXXX)
trap 'scripts/pg_stop.sh "$state/pg" >/dev/null 2>&1; rm -rf "$state"' EXIT
scripts/pg_start.sh "$state/pg"
source "$state/pg/env.sh"

export KORVEX_MODULE_PATH="$build_dir/modules"
"$build_dir/bin/korvex_example" --sqlite-file "$state/example.sqlite"
