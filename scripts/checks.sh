#!/usr/bin/env bash
# The checks that run beside the ordinary tests (scripts/test.sh calls this before its own
# ctest, with the private PostgreSQL cluster already started and its POSTGRES_* variables set):
#   1. the host, PostgreSQL and SQLite tests built once more with AddressSanitizer,
#      LeakSanitizer and UndefinedBehaviorSanitizer (any report fails the test), and run;
#   2. the libFuzzer targets of tests/fuzz, built with clang, each run for a bounded time from a
#      copy of its committed seed corpus; a crash or a broken assertion fails the run.
# Usage: scripts/checks.sh [sanitize|fuzz]...   (both when none is named)
# KORVEX_FUZZ_SECONDS sets each target's time (default 50); two targets run at a time.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
steps=("$@")
if ((${#steps[@]} == 0)); then steps=(sanitize fuzz); fi
sanitize_dir=${KORVEX_SANITIZE_BUILD_DIR:-$root/build-sanitize}
fuzz_dir=${KORVEX_FUZZ_BUILD_DIR:-$root/build-fuzz}
fuzz_seconds=${KORVEX_FUZZ_SECONDS:-50}
jobs=$(($(nproc) < 2 ? $(nproc) : 2))
# Neither build needs the Spark client (nor its download), nor the benchmarks.
common=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEX_BUILD_BENCH=OFF -DKORVEX_BUILD_SPARK_CONNECT=OFF)

step_started=0
begin_step() {
  step_started=$SECONDS
  echo "checks: $1"
}
end_step() { echo "checks: $1 took $((SECONDS - step_started)) s"; }

run_sanitized_tests() {
  : "${POSTGRES_HOST:?run through scripts/test.sh, which starts the PostgreSQL cluster}"
  begin_step "sanitized build (AddressSanitizer, LeakSanitizer, UndefinedBehaviorSanitizer)"
  # -O1 keeps the build short and the reports exact; -g1 is enough for file and line.
  cmake -S . -B "$sanitize_dir" "${common[@]}" -DKORVEX_SANITIZE=ON \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" >/dev/null || return 1
  # Everything the three test folders build, with what they link and load.
  cmake --build "$sanitize_dir" --parallel "$jobs" --target tests/host/all tests/pg/all tests/lite/all || return 1
  end_step "sanitized build"

  begin_step "sanitized host, PostgreSQL and SQLite tests"
  # The executables are instrumented, so the plug-ins they load with dlopen share their
  # sanitizer runtime (no LD_PRELOAD); they are the sanitized build's own, found beside its host
  # library. LeakSanitizer runs at each program's exit.
  local status=0 area_status
  for area in host pg lite; do
    area_status=0
    env -u KORVEX_MODULE_PATH \
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1:strict_init_order=1 \
      UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      ctest --test-dir "$sanitize_dir/tests/$area" --output-on-failure --timeout 900 >"$sanitize_dir/ctest-$area.log" 2>&1 ||
      area_status=$?
    # The summary line, and every failure with its output.
    sed -n '/tests passed/p; /The following tests FAILED/,$p' "$sanitize_dir/ctest-$area.log" | sed "s/^/  $area: /"
    if ((area_status != 0)); then
      status=$area_status
      grep -a -E -B2 -A40 "ERROR: (Address|Leak)Sanitizer|runtime error:|\*\*\*Failed|Failure" \
        "$sanitize_dir/ctest-$area.log" | head -n 200 || true
    fi
  done
  end_step "sanitized tests"
  return $status
}

# Runs one fuzz target from a copy of its seed corpus; prints the finding and fails on a crash.
fuzz_one() {
  local target=$1 work=$2
  mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
  cp tests/fuzz/corpus/"${target%_fuzz}"/* "$work/$target/corpus/"
  if "$fuzz_dir/bin/$target" "$work/$target/corpus" -max_total_time="$fuzz_seconds" -timeout=10 \
    -rss_limit_mb=2048 -dict=tests/fuzz/sql.dict -print_final_stats=1 \
    -artifact_prefix="$work/$target/artifacts/" >"$work/$target.log" 2>&1; then
    echo "  $target: $(grep -a -o -m1 'stat::number_of_executed_units: *[0-9]*' "$work/$target.log" | grep -o '[0-9]*$') runs, no finding"
    return 0
  fi
  echo "  $target: FAILED"
  # What was found; a sanitizer's report with its stack, where it made one.
  grep -a -E "FINDING|terminate called|what\(\)|deadly signal|Test unit written" "$work/$target.log" | head -n 10 |
    sed "s/^/    /"
  grep -a -E -A25 "ERROR: (Address|Leak)Sanitizer|runtime error:" "$work/$target.log" | head -n 40 | sed "s/^/    /"
  local artifact
  for artifact in "$work/$target/artifacts"/*; do
    [[ -e "$artifact" ]] || continue
    echo "    input ($(basename "$artifact")), as C escapes:"
    od -An -c -v "$artifact" | head -n 20 | sed 's/^/      /'
  done
  return 1
}

run_fuzzers() {
  begin_step "fuzz build (clang, libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer)"
  CC=clang CXX=clang++ cmake -S . -B "$fuzz_dir" "${common[@]}" -DKORVEX_FUZZ=ON -DKORVEX_BUILD_TESTS=OFF \
    >/dev/null || return 1
  cmake --build "$fuzz_dir" --parallel "$jobs" --target fuzz_targets || return 1
  end_step "fuzz build"

  begin_step "fuzzing, $fuzz_seconds s a target"
  local work targets=(address_fuzz value_parse_fuzz insert_fuzz delete_fuzz select_fuzz spark_quote_fuzz spark_statement_fuzz) status=0 running=()
  work=$(mktemp -d /tmp/korvex-fuzz.XXXXXX)
  for target in "${targets[@]}"; do
    fuzz_one "$target" "$work" >"$work/$target.report" &
    running+=($!)
    if ((${#running[@]} >= jobs)); then
      wait "${running[0]}" || status=1
      running=("${running[@]:1}")
    fi
  done
  for pid in "${running[@]}"; do wait "$pid" || status=1; done
  for target in "${targets[@]}"; do cat "$work/$target.report"; done
  rm -rf "$work"
  end_step "fuzzing"
  return $status
}

failed=()
for step in "${steps[@]}"; do
  case "$step" in
    sanitize) run_sanitized_tests || failed+=("$step") ;;
    fuzz) run_fuzzers || failed+=("$step") ;;
    *) echo "checks: unknown step $step (sanitize, fuzz)" >&2; exit 2 ;;
  esac
done
if ((${#failed[@]} > 0)); then
  echo "checks: FAILED: ${failed[*]}" >&2
  exit 1
fi
