#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite: once plain, once under
# AddressSanitizer and UndefinedBehaviorSanitizer, once under ThreadSanitizer (unit and
# integration tests). Any failure or sanitizer report fails it.
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

echo "== plain build"
run_suite build
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
