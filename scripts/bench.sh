#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them against a private, throw-away PostgreSQL
# cluster: put throughput, batched writes, latest-version point read, statement building. Ends
# with a summary of every ratio beside its baseline from the same run.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build_dir=${KORVEX_BENCH_BUILD_DIR:-$root/build-bench}

scripts/setup.sh test
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVEX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" --target put_bench point_read_bench select_build_bench

# The benchmark programs and the server share one processor. Left to move, a client waiting for
# the server is woken sometimes on the server's processor and sometimes on another, and a round
# trip then takes anything from about 15 to 100 microseconds, flipping between blocks of one run:
# the ratios would follow the scheduler. On one processor they compare the work each side does.
pinned() {
  if command -v taskset >/dev/null && [ "$(nproc)" -gt 1 ]; then taskset -c 0 "$@"; else "$@"; fi
}

state=$(mktemp -d /tmp/korvex-bench.XXXXXX)
shm_dir=
trap 'scripts/pg_stop.sh "$state/pg" >/dev/null 2>&1; rm -rf "$state" $shm_dir' EXIT
pinned scripts/pg_start.sh "$state/pg"
source "$state/pg/env.sh"
unset KORVEX_MODULE_PATH

# Each program prints its human lines and one JSON line per benchmark; the JSON lines are kept
# for the summary at the end.
output="$state/output.txt"
pinned "$build_dir/bin/put_bench" "${PUT_ROWS:-5000}" "${PUT_ROUNDS:-5}" | tee -a "$output"
echo
pinned "$build_dir/bin/point_read_bench" "${READ_OBJECTS:-20000}" "${READ_VERSIONS:-5}" "${READ_COUNT:-1000}" | tee -a "$output"
echo
"$build_dir/bin/select_build_bench" --benchmark_min_time=0.5

# The SQLite store: put and the latest-version point read, each against hand-written sqlite3
# calls on the same file in the same run. No server: the files live in a memory file system when
# there is one, since the disk's sync at every COMMIT varies tenfold with other work on the machine
# and would swamp the processor cost compared here (LITE_BENCH_DIR picks another folder).
lite_dir=${LITE_BENCH_DIR:-}
if [ -z "$lite_dir" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  shm_dir=$(mktemp -d /dev/shm/korvex-bench.XXXXXX)
  lite_dir=$shm_dir
fi
lite_dir=${lite_dir:-$state}
cmake --build "$build_dir" --parallel "$(nproc)" --target lite_put_bench lite_point_read_bench lite_timeline
echo
TMPDIR=$lite_dir pinned "$build_dir/bin/lite_put_bench" "${LITE_PUT_ROWS:-20000}" "${LITE_PUT_ROUNDS:-5}" | tee -a "$output"
echo
TMPDIR=$lite_dir pinned "$build_dir/bin/lite_point_read_bench" "${LITE_READ_OBJECTS:-20000}" "${LITE_READ_VERSIONS:-5}" "${LITE_READ_COUNT:-2000}" | tee -a "$output"
echo
echo "summary (each figure beside its baseline from this run):"
python3 - "$output" <<'PY'
import json, sys
rows = {}
for line in open(sys.argv[1]):
    if not line.startswith("{"):
        continue
    figure = json.loads(line)
    rows[figure["benchmark"]] = figure
def show(name, label, unit, target):
    f = rows.get(name)
    if not f:
        return
    store = next(v for k, v in f.items() if k.startswith("store_"))
    base = next(v for k, v in f.items() if k.startswith("baseline_"))
    print(f"  {label:<34} {store:>12,.3f} {unit:<7} baseline {base:>12,.3f} {unit:<7} ratio {f['ratio']:.3f}  (target {target})")
for name in sorted(k for k in rows if k.startswith("point_read_") and k != "point_read_growth"):
    show(name, "latest point read, " + name[len("point_read_"):] + " rows", "ms", "<= 1.5")
show("put", "put / raw libpq", "rows/s", ">= 0.95")
show("put_many_100", "put_many of 100 / one put per item", "rows/s", ">= 5")
if "point_read_growth" in rows:
    print(f"  {'point read growth, large / small':<34} ratio {rows['point_read_growth']['ratio']:.3f}")
PY
