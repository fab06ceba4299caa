#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the example need, when missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git ca-certificates curl unzip python3 python3-venv
  libpq-dev postgresql libsqlite3-dev sqlite3
  nlohmann-json3-dev libspdlog-dev libgtest-dev libbenchmark-dev
  libgrpc++-dev libprotobuf-dev protobuf-compiler protobuf-compiler-grpc
  openjdk-17-jre-headless
  clang libclang-rt-dev
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
# A JDK from elsewhere on the machine serves as well as Debian's runtime.
if command -v java >/dev/null 2>&1; then
  missing=("${missing[@]/openjdk-17-jre-headless/}")
fi
missing=($(printf '%s\n' "${missing[@]}" | sed '/^$/d'))

if ((${#missing[@]} > 0)); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
