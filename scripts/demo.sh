#!/usr/bin/env bash
# Builds the library, the collector and the example application, runs the example against a
# collector on a free loopback port, and prints what the collector decoded as JSON Lines on
# standard output (one object per message received). Progress goes to standard error.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${VESKA_DEMO_BUILD:-build-demo}
events=5   # the example tracks five events; its sixth is rejected and never sent

bash scripts/install-deps.sh >&2
echo "== building in $build" >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESKA_BUILD_TESTS=OFF \
  -DVESKA_BUILD_JAVA=OFF -DVESKA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target veska veska-collector veska-demo >&2

work=$(mktemp -d)
collector_pid=""
cleanup() {
  if [ -n "$collector_pid" ] && kill -0 "$collector_pid" 2>/dev/null; then
    kill "$collector_pid" 2>/dev/null || true
    wait "$collector_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== starting veska-collector on 127.0.0.1 (ephemeral port)" >&2
"$build/bin/veska-collector" --listen 127.0.0.1:0 --ready-file "$work/ready" \
  --output "$work/messages.jsonl" --count "$events" --idle-exit 30 &
collector_pid=$!
for _ in $(seq 1 300); do
  # The file is complete once it holds its line "HOST:PORT\n".
  [ -f "$work/ready" ] && [ "$(wc -l <"$work/ready")" -ge 1 ] && break
  kill -0 "$collector_pid" 2>/dev/null || { echo "veska-collector exited early" >&2; exit 1; }
  sleep 0.1
done
[ -f "$work/ready" ] && [ "$(wc -l <"$work/ready")" -ge 1 ] ||
  { echo "veska-collector did not start listening" >&2; exit 1; }
address=$(head -n 1 "$work/ready")

echo "== running the example against tcp:$address" >&2
# The library's own diagnostic logging is off for the demo; its output is the collector's.
QIVA_LOGGER_DISABLE=1 "$build/bin/veska-demo" "tcp:$address" >&2

echo "== waiting for the collector to receive $events events" >&2
status=0
for _ in $(seq 1 300); do
  kill -0 "$collector_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$collector_pid" 2>/dev/null; then
  echo "veska-collector did not see $events events in time; stopping it" >&2
  status=1
else
  wait "$collector_pid" || status=$?
fi
collector_pid=""

echo "== decoded messages (JSON Lines)" >&2
cat "$work/messages.jsonl"
exit $status
