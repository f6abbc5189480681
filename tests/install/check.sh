#!/usr/bin/env bash
# Installs the built library into a scratch prefix, then builds and runs a separate
# project against it, once with find_package and once with pkg-config; then runs the
# installed orvsql with an empty environment, from that prefix and from a copy of it
# moved elsewhere.
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

# The shell finds its library and its sample relative to itself, wherever the prefix is.
cp -a "$scratch/prefix" "$scratch/moved"
for prefix in "$scratch/prefix" "$scratch/moved"; do
  out="$(cd / && env -i "$prefix/bin/orvsql" --csv "SELECT COUNT(*) AS n FROM suppliers")"
  [ "$(printf '%s' "$out" | head -n 1 | tr -d '\r')" = "n" ] || { echo "orvsql under $prefix printed: $out" >&2; exit 1; }
done
test -s "$scratch/prefix/share/man/man1/orvsql.1"
bash -c "source '$scratch/prefix/share/bash-completion/completions/orvsql' && complete -p orvsql" >/dev/null
echo "installed package found by find_package and pkg-config; installed orvsql runs from any prefix"
