#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them against a private, throw-away PostgreSQL cluster
# and SQLite files: each store against the fastest hand-written driver code for the same work,
# in the same run. The single-connection benchmarks run REPEATS times (3) on one processor; then
# the load benchmark, not pinned. Ends with every ratio (the median over the repetitions) beside
# its goal.
#
# Sizes (defaults in brackets): PUT_ROWS rows per round [5000] and PUT_ROUNDS [5] for PostgreSQL
# writes, READ_OBJECTS [20000] x READ_VERSIONS [5] rows for the smaller read store (the larger
# holds ten times as many) and READ_COUNT reads [1000]; LITE_PUT_ROWS [20000], LITE_PUT_ROUNDS
# [5], LITE_READ_OBJECTS [20000], LITE_READ_VERSIONS [5], LITE_READ_COUNT [2000] for SQLite;
# LOAD_PG_WRITERS [16], LOAD_LITE_WRITERS [8] and LOAD_TRANSACTIONS per writer and phase [10].
# When SPARK_CONNECT_URL names a Spark Connect server (scripts/spark_start.sh), the Iceberg store
# is measured too, once, not pinned and at the lowest priority: SPARK_BATCH [10000] versions per
# put_many, SPARK_ROUNDS [3], SPARK_READS [20] point reads per side. Without it, that is skipped.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build_dir=${KORVEX_BENCH_BUILD_DIR:-$root/build-bench}
repeats=${REPEATS:-3}
programs=(put_bench point_read_bench lite_put_bench lite_point_read_bench load_bench select_build_bench lite_timeline)

scripts/setup.sh test
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVEX_BUILD_TESTS=OFF >/dev/null
spark_url=${SPARK_CONNECT_URL:-}
if [ -n "$spark_url" ]; then programs+=(spark_store_bench ice_history ice_timeline); fi
cmake --build "$build_dir" --parallel "$(nproc)" --target "${programs[@]}"

# The single-connection benchmarks and the server share one processor. Left to move, a client
# waiting for the server is woken sometimes on the server's processor and sometimes on another,
# and a round trip then takes anything from about 15 to 100 microseconds, flipping between blocks
# of one run: the ratios would follow the scheduler. On one processor they compare the work each
# side does.
pinned() {
  if command -v taskset >/dev/null && [ "$(nproc)" -gt 1 ]; then taskset -c 0 "$@"; else "$@"; fi
}

state=$(mktemp -d /tmp/korvex-bench.XXXXXX)
shm_dir=
trap 'scripts/pg_stop.sh "$state/pg" >/dev/null 2>&1; rm -rf "$state" $shm_dir' EXIT
pinned scripts/pg_start.sh "$state/pg"
source "$state/pg/env.sh"
unset KORVEX_MODULE_PATH

# The SQLite files live in a memory file system when there is one: the disk's sync at every
# COMMIT varies tenfold with other work on the machine and would swamp the processor cost compared
# here (LITE_BENCH_DIR picks another folder).
lite_dir=${LITE_BENCH_DIR:-}
if [ -z "$lite_dir" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  shm_dir=$(mktemp -d /dev/shm/korvex-bench.XXXXXX)
  lite_dir=$shm_dir
fi
lite_dir=${lite_dir:-$state}
bin=$build_dir/bin

# Each program prints its human lines and one JSON line per benchmark; the JSON lines are kept
# for the summary at the end.
output="$state/output.txt"
for repetition in $(seq 1 "$repeats"); do
  echo "== repetition $repetition of $repeats"
  pinned "$bin/put_bench" "${PUT_ROWS:-5000}" "${PUT_ROUNDS:-5}" | tee -a "$output"
  pinned "$bin/point_read_bench" "${READ_OBJECTS:-20000}" "${READ_VERSIONS:-5}" "${READ_COUNT:-1000}" | tee -a "$output"
  TMPDIR=$lite_dir pinned "$bin/lite_put_bench" "${LITE_PUT_ROWS:-20000}" "${LITE_PUT_ROUNDS:-5}" | tee -a "$output"
  TMPDIR=$lite_dir pinned "$bin/lite_point_read_bench" "${LITE_READ_OBJECTS:-20000}" "${LITE_READ_VERSIONS:-5}" \
    "${LITE_READ_COUNT:-2000}" | tee -a "$output"
done
echo
"$bin/select_build_bench" --benchmark_min_time=0.5

# The load benchmark's writers are meant to contend for every processor: the server started on
# one, so its processes (and the sessions it starts from now on) are let onto all of them first.
if command -v taskset >/dev/null; then
  postmaster=$(head -n 1 "$(cat "$state/pg/pg_home")/data/postmaster.pid")
  taskset -a -p -c "0-$(($(nproc) - 1))" "$postmaster" >/dev/null
fi
for repetition in $(seq 1 "$repeats"); do
  echo
  "$bin/load_bench" pg "${LOAD_PG_WRITERS:-16}" "${LOAD_TRANSACTIONS:-10}" | tee -a "$output"
  TMPDIR=$lite_dir "$bin/load_bench" lite "${LOAD_LITE_WRITERS:-8}" "${LOAD_TRANSACTIONS:-10}" | tee -a "$output"
done

if [ -n "$spark_url" ]; then
  echo
  nice -n 19 "$bin/spark_store_bench" "${SPARK_BATCH:-10000}" "${SPARK_ROUNDS:-3}" "${SPARK_READS:-20}" | tee -a "$output"
else
  echo
  echo "SPARK_CONNECT_URL is not set: the Iceberg store's benchmarks are skipped"
fi

echo
echo "summary: each store against the fastest hand-written code for the same work, median of $repeats"
python3 - "$output" <<'PY'
import json, statistics, sys

runs = {}
for line in open(sys.argv[1]):
    if line.startswith("{"):
        figure = json.loads(line)
        runs.setdefault(figure.pop("benchmark"), []).append(figure)

def med(name, key):
    return statistics.median(run[key] for run in runs[name])

def show(name, label, limit, goal, higher_is_better, unit):
    if name not in runs:
        return
    ratio = med(name, "ratio")
    met = ratio >= goal if higher_is_better else ratio <= goal
    store, base = (med(name, "store_" + unit), med(name, "limit_" + unit))
    sign = ">=" if higher_is_better else "<="
    form = ",.0f" if unit == "rows_per_s" else ".4f"
    every = ", ".join(f"{run['ratio']:.2f}" for run in runs[name])
    typical = ""
    if "ratio_median_transaction" in runs[name][0]:
        typical = f" (median transactions {med(name, 'ratio_median_transaction'):.3f})"
    print(f"  {label:<42} ratio {ratio:6.3f}{typical}  goal {sign} {goal:<5} {'met' if met else 'NOT MET':<8}"
          f" store {store:{form}} / limit {base:{form}} {unit.replace('_per_', '/')}  [{every}]  limit: {limit}")

show("pg_put", "PostgreSQL put, 100 per transaction", "the INSERT prepared once, PQexecPrepared", 0.9, True, "rows_per_s")
show("pg_put_many_100", "PostgreSQL put_many of 100", "COPY of the 100 rows", 0.85, True, "rows_per_s")
if "pg_put_many_100" in runs:
    print(f"  {'':<42} against one 100-row INSERT prepared once: ratio {med('pg_put_many_100', 'ratio_insert_100'):.3f}")
def reads(prefix, store):
    limit = "hand-written join, NOT EXISTS a successor, prepared once"
    for name in [k for k in runs if k.startswith(prefix + "_point_read_") and not k.endswith("_growth")]:
        size = name[len(prefix + "_point_read_"):]
        show(name, f"{store} latest-version read, {size} rows", limit, 1.3, False, "ms")
reads("pg", "PostgreSQL")
show("lite_put", "SQLite put, 100 per transaction", "the INSERT prepared once, re-bound per row", 0.8, True, "rows_per_s")
show("lite_put_many_100", "SQLite put_many of 100", "the INSERT prepared once, re-bound per row", 0.8, True, "rows_per_s")
reads("lite", "SQLite")
for prefix in ("pg", "lite"):
    name = prefix + "_point_read_growth"
    if name in runs:
        print(f"  {prefix + ' read, large / small store':<42} ratio {med(name, 'ratio'):6.3f}  (the store's size should not show)")

# The Iceberg store: ratios against plain Spark SQL on main, and the goals in absolute terms.
def spark(name, label, goal_text, met):
    if name not in runs:
        return
    print(f"  {label:<42} ratio {med(name, 'ratio'):6.3f}  {goal_text:<28} {'met' if met else 'NOT MET':<8}"
          f" store {med(name, 'store_ms'):,.0f} ms / plain Spark SQL {med(name, 'limit_ms'):,.0f} ms")
if "spark_transaction_2x1000" in runs:
    spark("spark_transaction_2x1000", "Iceberg transaction, 2 tables x 1,000 rows", "goal: within 3 s",
          med("spark_transaction_2x1000", "store_ms") <= 3000)
if "spark_put_many" in runs:
    rate = med("spark_put_many", "store_versions_per_s")
    print(f"  {'Iceberg put_many with commit':<42} ratio {med('spark_put_many', 'ratio'):6.3f}"
          f"  {'goal: >= 10,000 versions/s':<28} {'met' if rate >= 10000 else 'NOT MET':<8}"
          f" store {rate:,.0f} / plain Spark SQL {med('spark_put_many', 'limit_versions_per_s'):,.0f} versions/s"
          f" (each version with its metadata row)")
if "spark_point_read" in runs:
    spark("spark_point_read", "Iceberg latest-version point read", "goal: within 1 s",
          med("spark_point_read", "store_ms") <= 1000)
for tables in (1, 2, 4, 8):
    name = f"spark_commit_tables_{tables}"
    if name in runs:
        print(f"  {f'Iceberg transaction, {tables} class table(s)':<42} ratio {med(name, 'ratio'):6.3f}"
              f"  store {med(name, 'store_ms'):,.0f} ms (commit {med(name, 'store_commit_ms'):,.0f} ms)"
              f" / plain Spark SQL {med(name, 'limit_ms'):,.0f} ms")

for name, label in (("load_pg", "PostgreSQL load"), ("load_lite", "SQLite load")):
    if name not in runs:
        continue
    ratio = med(name, "ratio")
    failed = sum(run["store_failed_transactions"] for run in runs[name])
    lost = sum(run["store_lost_versions"] + run["store_stray_versions"] for run in runs[name])
    raw_failed = sum(run["raw_failed_transactions"] for run in runs[name])
    met = ratio >= 0.8 and failed == 0 and lost == 0
    writers = int(runs[name][0]["writers"])
    print(f"  {label + f', {writers} writers':<42} ratio {ratio:6.3f}  goal >= 0.8, no transaction lost"
          f" {'met' if met else 'NOT MET':<8} store {med(name, 'store_versions_per_s'):,.0f} / raw"
          f" {med(name, 'raw_versions_per_s'):,.0f} versions/s;"
          f" failed transactions store {failed:.0f}, raw {raw_failed:.0f}; versions lost or stray {lost:.0f}")
    for op in ("put", "put_many", "commit"):
        print(f"  {'':<42} {op:<8} p50 store {med(name, f'store_{op}_p50_ms'):.3f} ms / raw"
              f" {med(name, f'raw_{op}_p50_ms'):.3f} ms, p99 store {med(name, f'store_{op}_p99_ms'):.3f} ms / raw"
              f" {med(name, f'raw_{op}_p99_ms'):.3f} ms")
PY
