#!/usr/bin/env bash
# Installs the built library into a scratch prefix, then builds and runs a separate
# project against it, once with find_package and once with pkg-config.
set -euo pipefail
build="$1"
source_dir="$(cd "$(dirname "$0")" && pwd)"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
cmake -S "$source_dir" -B "$scratch/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
LD_LIBRARY_PATH="$scratch/prefix/lib" "$scratch/consumer/consumer" | grep -q "no such file"

export PKG_CONFIG_PATH="$scratch/prefix/lib/pkgconfig"
c++ -o "$scratch/by-pkg-config" "$source_dir/consumer.cpp" $(pkg-config --cflags --libs orvoledb)
LD_LIBRARY_PATH="$scratch/prefix/lib" "$scratch/by-pkg-config" >/dev/null
echo "installed package found by find_package and pkg-config"
