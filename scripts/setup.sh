#!/usr/bin/env bash
# Installs the Debian packages one of the project's commands needs, when missing, through sudo
# when not run as root, with apt's own progress on the terminal.
#   scripts/setup.sh demo   the example program: compiler, CMake, Ninja, pkg-config, PostgreSQL
#                           (server and libpq), SQLite, ICU, nlohmann-json and spdlog
#   scripts/setup.sh test   all of that and what the tests and benchmarks need (the default)
set -euo pipefail

demo_packages=(g++ cmake ninja-build pkg-config libpq-dev postgresql libsqlite3-dev libicu-dev nlohmann-json3-dev libspdlog-dev)
test_packages=("${demo_packages[@]}"
  git ca-certificates curl unzip python3 python3-venv python3-pip sqlite3 libgtest-dev libbenchmark-dev
  libgrpc++-dev libprotobuf-dev protobuf-compiler protobuf-compiler-grpc openjdk-17-jre-headless
  clang libclang-rt-dev)  # the fuzz targets of scripts/checks.sh: clang, its fuzzer and sanitizer runtimes

case "${1:-test}" in
  demo) packages=("${demo_packages[@]}") ;;
  test) packages=("${test_packages[@]}") ;;
  *) echo "usage: scripts/setup.sh [demo|test]" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  # A Java runtime from elsewhere on the machine serves as well as Debian's.
  if [[ $package == openjdk-* ]] && command -v java >/dev/null 2>&1; then continue; fi
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
((${#missing[@]} > 0)) || exit 0

as_root=()
if [[ $(id -u) -ne 0 ]]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "setup: installing ${missing[*]} needs root: run this as root, or install sudo" >&2
    exit 1
  fi
  as_root=(sudo)
fi
echo "setup: installing ${missing[*]}${as_root[*]:+ (through sudo)}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
