#!/usr/bin/env bash
# Builds the fuzz targets (the `fuzz` CMake preset: clang, address and undefined-behaviour
# sanitizers) and runs each for a bounded time on a scratch copy of its seed corpus in
# fuzz/corpus/<target>/. Exits non-zero when a target crashes; the crashing input is left
# in build/fuzz/crashes/<target>/.
#
#   FUZZ_SECONDS  seconds per target (default 60)
#   FUZZ_TARGETS  targets to run (default all)
#   FUZZ_JOBS     build parallelism (default nproc)
set -u
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-"fuzz_init_string fuzz_sql_rewrite fuzz_format fuzz_date_text fuzz_xlsx fuzz_csv fuzz_xls"}
jobs=${FUZZ_JOBS:-$(nproc)}
build=build/fuzz

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is needed (apt-get install clang)" >&2
  exit 2
fi
cmake --preset fuzz >/dev/null || exit 2
cmake --build "$build" --target fuzzers -j "$jobs" || exit 2

failed=0
summary=()
for target in $targets; do
  binary=$build/fuzz/$target
  scratch=$build/corpus/$target
  crashes=$build/crashes/$target
  log=$build/logs/$target.log
  rm -rf "$scratch"
  mkdir -p "$scratch" "$crashes" "$(dirname "$log")"
  cp fuzz/corpus/"$target"/* "$scratch"/ 2>/dev/null
  echo "== $target: ${seconds}s"
  # Leaks are reported by the sanitizer at exit; UBSan reports stop the run.
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
    "$binary" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$crashes/" "$scratch" >"$log" 2>&1
  status=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
  rate=$(grep -o 'exec/s: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$')
  if [ "$status" -ne 0 ]; then
    failed=1
    summary+=("$target: FAILED (exit $status) - log $log, input in $crashes/")
    grep -m1 -E 'ERROR: (AddressSanitizer|libFuzzer|LeakSanitizer)|runtime error' "$log" >&2
  else
    summary+=("$target: ok, ${runs:-?} runs, ${rate:-?} exec/s")
  fi
done

echo
echo "Fuzzing summary (${seconds}s per target):"
printf '  %s\n' "${summary[@]}"
exit $failed
