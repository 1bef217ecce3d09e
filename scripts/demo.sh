#!/usr/bin/env bash
# Builds the library, the collector and the example applications, runs the example order
# service (which calls the example inventory service) against a collector on a free loopback
# port, and prints what the collector decoded from the order service as JSON Lines on standard
# output (one object per message received). Progress goes to standard error. Where the
# collector has its store, both services' transactions are stored under the build folder and
# the address of order-7781's page is printed; with --serve the collector keeps serving it
# until Ctrl-C.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
serve=0
for arg in "$@"; do
  case "$arg" in
    --serve) serve=1 ;;
    -h | --help) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo: unknown argument $arg (only --serve)" >&2; exit 2 ;;
  esac
done
build=${VESKA_DEMO_BUILD:-build-demo}
events=5            # the order service tracks five events; its sixth is rejected and never sent
inventory_events=4  # the inventory service's, sent while the order's call is out

bash scripts/install-deps.sh >&2
echo "== building in $build" >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESKA_BUILD_TESTS=OFF \
  -DVESKA_BUILD_JAVA=OFF -DVESKA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target veska veska-collector veska-demo veska-inventory >&2
build=$(cd "$build" && pwd)

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
trap 'exit 130' INT TERM

# The store and the page come with a collector that serves them (it then writes its HTTP
# address as the ready file's second line); without one the demo runs as before.
serves_pages() {
  local probe=$work/probe
  "$build/bin/veska-collector" --listen 127.0.0.1:0 --store "$probe.sqlite" --http 127.0.0.1:0 \
    --ready-file "$probe.ready" --output /dev/null --idle-exit 5 >/dev/null 2>&1 &
  local pid=$! found=1
  for _ in $(seq 1 50); do
    [ -f "$probe.ready" ] && grep -q '^http ' "$probe.ready" && { found=0; break; }
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  return $found
}
store=""
collector_args=(--count $((events + inventory_events)))
if serves_pages; then
  store=$build/demo-store.sqlite
  rm -f "$store" "$store-wal" "$store-shm"  # each run shows its own order-7781 only
  collector_args=(--store "$store" --http 127.0.0.1:0)
fi

echo "== starting veska-collector on 127.0.0.1 (ephemeral port)" >&2
"$build/bin/veska-collector" --listen 127.0.0.1:0 --ready-file "$work/ready" \
  --output "$work/messages.jsonl" --idle-exit 30 "${collector_args[@]}" &
collector_pid=$!
ready_lines=1
[ -z "$store" ] || ready_lines=2  # the second line, "http HOST:PORT", once the page is served
for _ in $(seq 1 300); do
  # The file is complete once it holds its lines "HOST:PORT\n" (and "http HOST:PORT\n").
  [ -f "$work/ready" ] && [ "$(wc -l <"$work/ready")" -ge "$ready_lines" ] && break
  kill -0 "$collector_pid" 2>/dev/null || { echo "veska-collector exited early" >&2; exit 1; }
  sleep 0.1
done
[ -f "$work/ready" ] && [ "$(wc -l <"$work/ready")" -ge "$ready_lines" ] ||
  { echo "veska-collector did not start listening" >&2; exit 1; }
address=$(head -n 1 "$work/ready")

echo "== running the example against tcp:$address" >&2
# The library's own diagnostic logging is off for the demo; its output is the collector's.
QIVA_LOGGER_DISABLE=1 "$build/bin/veska-demo" "tcp:$address" "$build/bin/veska-inventory" >&2

echo "== waiting for the collector to receive $events events" >&2
status=0
received() { grep -c '"kind":"event"' "$work/messages.jsonl" 2>/dev/null || true; }
for _ in $(seq 1 300); do
  kill -0 "$collector_pid" 2>/dev/null || break
  [ -n "$store" ] && [ "$(received)" -ge $((events + inventory_events)) ] && break
  sleep 0.1
done
if [ -z "$store" ]; then
  if kill -0 "$collector_pid" 2>/dev/null; then
    echo "veska-collector did not see $events events in time; stopping it" >&2
    status=1
  else
    wait "$collector_pid" || status=$?
  fi
  collector_pid=""
elif [ "$(received)" -lt $((events + inventory_events)) ]; then
  echo "veska-collector did not see $events events in time; stopping it" >&2
  status=1
fi

# Only the order service's messages, as the demo has always printed them: the inventory
# service is the collector's other connection.
peer=$(grep -m 1 '"transaction_id":"order-7781"' "$work/messages.jsonl" |
  sed -E 's/.*"peer":"([^"]+)".*/\1/' || true)
echo "== decoded messages (JSON Lines)" >&2
if [ -n "$peer" ]; then
  grep -F "\"peer\":\"$peer\"" "$work/messages.jsonl"
else
  cat "$work/messages.jsonl"
fi

if [ -n "$store" ] && [ "$status" -eq 0 ]; then
  http=$(sed -n 's/^http //p' "$work/ready")
  key=""
  for _ in $(seq 1 100); do
    key=$(curl -fsS "http://$http/api/transactions?id=order-7781" 2>/dev/null |
      jq -r '.transactions[0].key // empty' 2>/dev/null || true)
    [ -n "$key" ] && break
    sleep 0.1
  done
  echo "== the inventory service's $inventory_events events (stock-991) are stored too, under the order's call" >&2
  if [ -n "$key" ]; then
    echo "== order-7781's page: http://$http/t/$key" >&2
  else
    echo "== order-7781's page: http://$http/?id=order-7781" >&2
  fi
  if [ "$serve" -eq 1 ]; then
    echo "== serving the page from $store until Ctrl-C" >&2
    wait "$collector_pid" || true
    collector_pid=""
  else
    echo "   (bash scripts/demo.sh --serve keeps it open)" >&2
  fi
fi
exit $status
