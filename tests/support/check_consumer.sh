#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds the README's quickstart as a project
# of its own against that copy, once with find_package and once with pkg-config, and runs both
# against the test cluster with KORVEX_MODULE_PATH unset: pg_timeline must load from the
# installed module folder. Also checks that every installed library has a versioned SONAME.
# Usage: check_consumer.sh CMAKE BUILD_DIR SOURCE_DIR CXX GENERATOR SOVERSION [CXXFLAGS]
set -euo pipefail

cmake=$1 build_dir=$2 source_dir=$3 cxx=$4 generator=$5 soversion=$6 cxxflags=${7:-}
with_database=$source_dir/tests/support/with_database.sh
unset KORVEX_MODULE_PATH LD_LIBRARY_PATH
fail() { echo "check_consumer: $*" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/korvex-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
"$cmake" --install "$build_dir" --prefix "$prefix" >/dev/null

pc_file=$(find "$prefix" -name korvex.pc)
[[ -n "$pc_file" ]] || fail "no korvex.pc under $prefix"
libdir=$(cd "$(dirname "$pc_file")/.." && pwd)
for library in "$libdir"/libkorvex_{host,sqlite,postgres,iceberg}.so "$libdir"/korvex/modules/lib{pg,lite,ice}_timeline.so \
               "$libdir"/korvex/modules/liblite_history.so; do
  [[ -e "$library" ]] || fail "$library was not installed"
  soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [[ "$soname" == "$(basename "$library").$soversion" ]] || fail "$library has SONAME '$soname'"
done

# Public headers only: no test double and nothing internal to the Spark client is installed.
includedir=$prefix/include/korvex
[[ -f "$includedir/sqlite/sqlite_state.hpp" ]] || fail "the SQLite support headers were not installed"
leaked=$(find "$includedir" -name 'recording_*' -o -name 'arrow_stream*' -o -name '*.pb.h')
[[ -z "$leaked" ]] || fail "installed headers that are not public API: $leaked"

# Each engine-support target is exported and usable on its own: a program on korvex::sqlite.
mkdir "$work/engine"
cat >"$work/engine/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(engine_support LANGUAGES CXX)
find_package(korvex 0.1 CONFIG REQUIRED)
foreach(target korvex::host korvex::sqlite korvex::postgres korvex::iceberg)
  if(NOT TARGET ${target})
    message(FATAL_ERROR "the installed package has no ${target}")
  endif()
endforeach()
add_executable(sqlite_state_client main.cpp)
target_link_libraries(sqlite_state_client PRIVATE korvex::sqlite)
CMAKE
cat >"$work/engine/main.cpp" <<'CPP'
#include "korvex/sqlite/sqlite_state.hpp"
#include <iostream>
int main() {
    korvex::SqliteStateConnection connection(":memory:");
    std::cout << "sqlite says " << connection.execute("SELECT 40 + 2")->fetchone()->front() << "\n";
}
CPP
"$cmake" -S "$work/engine" -B "$work/engine/build" -G "$generator" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxxflags" >"$work/engine.log" 2>&1 &&
  "$cmake" --build "$work/engine/build" >>"$work/engine.log" 2>&1 ||
  { cat "$work/engine.log"; fail "building against korvex::sqlite failed"; }
[[ "$("$work/engine/build/sqlite_state_client")" == "sqlite says 42" ]] || fail "the korvex::sqlite program did not run"

mkdir "$work/app"
cp "$source_dir/examples/consumer/CMakeLists.txt" "$source_dir/examples/quickstart.cpp" "$work/app/"
"$cmake" -S "$work/app" -B "$work/app/build" -G "$generator" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxxflags" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; fail "configuring against find_package(korvex) failed"; }
"$cmake" --build "$work/app/build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "building with find_package failed"; }

export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046,SC2086  # pkg-config prints several flags
"$cxx" -std=c++20 $cxxflags -o "$work/app/quickstart-pkg-config" "$work/app/quickstart.cpp" \
  $(pkg-config --cflags --libs korvex) -Wl,-rpath,"$(pkg-config --variable=libdir korvex)"

for app in "$work/app/build/quickstart" "$work/app/quickstart-pkg-config"; do
  output=$("$with_database" "$app") || { echo "$output"; fail "$app failed"; }
  echo "$output"
  grep -q "^pg_timeline from $prefix/.*/korvex/modules/libpg_timeline.so$" <<<"$output" ||
    fail "$app did not load pg_timeline from the installed module folder"
  grep -q '^p-17 is named Ann$' <<<"$output" || fail "$app did not read its write back"
done
echo "consumer: find_package and pkg-config builds ran against $prefix"
