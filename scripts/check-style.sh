#!/usr/bin/env bash
# Checks the tree against .clang-format (layout) and .clang-tidy (identifier naming).
# Usage: scripts/check-style.sh [build-folder]   (default build/release, configured already:
# clang-tidy reads its compile_commands.json). Exits non-zero when either check finds
# something; each finding names the file.
set -uo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/release}"
jobs="$(nproc)"
status=0

# Includes with "../" would step around the layers' include folders (cmake/Layers.cmake).
if git grep -n -E '^#include "\.\./' -- '*.cpp' '*.h' ':!tests/' ':!bench/' ':!fuzz/'; then
  echo "check-style: an include climbs out of its folder (see cmake/Layers.cmake)" >&2
  status=1
fi

# Layout: every C++ file the tree keeps.
mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.c' ':!tests/fixtures/')
unformatted="$(printf '%s\0' "${sources[@]}" |
  xargs -0 -n 16 -P "$jobs" clang-format --style=file --dry-run 2>&1 |
  sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: \(warning\|error\): code should be clang-formatted.*/\1/p' | sort -u)"
if [ -n "$unformatted" ]; then
  count="$(printf '%s\n' "$unformatted" | wc -l)"
  printf '%s\n' "$unformatted" | sed 's/^/not formatted: /'
  echo "check-style: $count of ${#sources[@]} files differ from .clang-format (clang-format -i FILE fixes one)" >&2
  status=1
fi

# Naming: the sources of every layer above the platform's Windows stand-ins, and the tools.
# clang-tidy is clang: the compile commands lose the GCC-only flags it does not know.
[ -f "$build/compile_commands.json" ] || { echo "check-style: configure $build first" >&2; exit 2; }
commands="$(mktemp -d)"
trap 'rm -rf "$commands"' EXIT
sed -e 's/ -fno-gnu-unique//g' "$build/compile_commands.json" >"$commands/compile_commands.json"
mapfile -t checked < <(git ls-files 'provider/*.cpp' 'connection/*.cpp' 'command/*.cpp' 'statement/*.cpp' \
  'schema/*.cpp' 'engine/*.cpp' 'tools/*.cpp')
if ! printf '%s\0' "${checked[@]}" |
    xargs -0 -n 4 -P "$jobs" clang-tidy --quiet -p "$commands" >"$commands/tidy.log" 2>&1; then
  grep -E '(warning|error):' "$commands/tidy.log" | sort -u
  echo "check-style: clang-tidy found names against the style ($(grep -cE '(warning|error):' "$commands/tidy.log") findings)" >&2
  status=1
fi
exit "$status"
