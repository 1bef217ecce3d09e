#!/usr/bin/env bash
# Forwarding rate of veska-collector into Kafka: collector_feed sends N typical events over
# loopback to `veska-collector --quiet --count N`, whose producer hosts librdkafka's mock cluster
# (three brokers on loopback ports, test.mock.num.brokers) with linger.ms and compression set.
# The rate runs from the first event sent to the collector's exit, which waits until every
# record is acknowledged; the summary's "kafka" counts and the collector's CPU seconds follow.
#
#   bash bench/kafka_throughput.sh [EVENTS] [json|wire] [extra collector options...]
#
# BUILD (default build) names the build folder holding bin/veska-collector and bin/collector_feed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build}
events=${1:-1000000}
format=${2:-json}
shift $(($# < 2 ? $# : 2))
work=$(mktemp -d /tmp/veska-kafka-rate.XXXXXX)
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -TERM "$pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

timer=()
if [ -x /usr/bin/time ]; then timer=(/usr/bin/time -f "collector cpu: user %U s, system %S s" -o "$work/time"); fi
"${timer[@]}" timeout 600 "$build/bin/veska-collector" --quiet --summary --count "$events" \
  --listen 127.0.0.1:0 --ready-file "$work/ready" \
  --kafka-brokers 127.0.0.1:9 --kafka-property test.mock.num.brokers=3 \
  --kafka-property linger.ms=5 --kafka-property compression.type=lz4 \
  --kafka-format "$format" "$@" 2>"$work/stderr" &
pid=$!
for _ in $(seq 300); do
  [ -s "$work/ready" ] && break
  sleep 0.1
done
[ -s "$work/ready" ] || { cat "$work/stderr"; echo "collector did not start" >&2; exit 1; }

start=$(date +%s.%N)
timeout 600 "$build/bin/collector_feed" --address "$(cat "$work/ready")" --events "$events"
wait "$pid"
pid=""
end=$(date +%s.%N)
awk -v n="$events" -v s="$start" -v e="$end" \
  'BEGIN { printf "forwarded %d events (%s) in %.2f s: %.0f events/s\n", n, "'"$format"'", e - s, n / (e - s) }'
grep -E '^veska-collector: kafka:' "$work/stderr" || true
tail -n 1 "$work/stderr"
cat "$work/time" 2>/dev/null || true
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
