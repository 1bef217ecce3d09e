#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds, and runs the whole suite: once plain,
# once under AddressSanitizer and UndefinedBehaviorSanitizer, once under ThreadSanitizer (unit
# and integration tests). Any failure or sanitizer report fails it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
jobs=${JOBS:-2}

build_dir() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

run_suite() {
  local dir=$1
  shift
  build_dir "$dir" "$@"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 300)
}

echo "== format check"
bash scripts/check-format.sh --all

echo "== plain build"
run_suite build
echo "== fault suite, three times in a row"
(cd build && ctest -L faults --repeat until-fail:3 --output-on-failure --timeout 300)
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  run_suite build-asan -DVESKA_SANITIZE=address,undefined -DVESKA_BUILD_JAVA=OFF -DVESKA_BUILD_BENCH=OFF

echo "== ThreadSanitizer build (unit and integration tests)"
# Every process of the run, the children the tests start included (the collector, helper
# programs), stops at its first report and writes it under one folder: a test whose child
# reported may still pass, so any file there fails the run.
build_dir build-tsan -DVESKA_SANITIZE=thread -DVESKA_BUILD_JAVA=OFF -DVESKA_BUILD_BENCH=OFF
tsan_reports=$root/build-tsan/tsan-reports
rm -rf "$tsan_reports"
mkdir -p "$tsan_reports"
tsan_status=0
(cd build-tsan &&
  TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 log_path=$tsan_reports/report" \
    ctest --output-on-failure -j"$jobs" --timeout 300 -L 'unit|integration') || tsan_status=$?
for report in "$tsan_reports"/*; do
  [ -e "$report" ] || continue
  echo "-- ThreadSanitizer report $report"
  cat "$report"
  tsan_status=1
done
[ "$tsan_status" -eq 0 ] || { echo "ThreadSanitizer run failed"; exit 1; }

echo "== libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer)"
# Each target replays its corpus, then fuzzes from it for a bounded time. New inputs and
# crash files go to build-fuzz/fuzz-found, never into the source tree.
fuzz_targets=(decoder_fuzz event_round_trip_fuzz address_fuzz token_files_fuzz query_parser_fuzz)
fuzz_seconds=${FUZZ_SECONDS:-30}
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVESKA_BUILD_JAVA=OFF -DVESKA_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target "${fuzz_targets[@]}"
for target in "${fuzz_targets[@]}"; do
  found=$root/build-fuzz/fuzz-found/$target
  mkdir -p "$found"
  log=$found.log
  status=0
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "build-fuzz/bin/$target" -max_total_time="$fuzz_seconds" -max_len=4096 \
    -artifact_prefix="$found/" -print_final_stats=1 "$found" "tests/fuzz/corpus/$target" \
    >"$log" 2>&1 || status=$?
  echo "-- $target: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n1)"
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    echo "$target failed (status $status); its input is in $found"
    exit 1
  fi
done
