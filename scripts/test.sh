#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite: once plain, once under
# AddressSanitizer and UndefinedBehaviorSanitizer. Any failure or sanitizer report fails it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
jobs=${JOBS:-2}

run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 300)
}

echo "== plain build"
run_suite build
echo "== fault suite, three times in a row"
(cd build && ctest -L faults --repeat until-fail:3 --output-on-failure --timeout 300)
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  run_suite build-asan -DVESKA_SANITIZE=address,undefined -DVESKA_BUILD_JAVA=OFF -DVESKA_BUILD_BENCH=OFF
