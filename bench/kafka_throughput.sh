#!/usr/bin/env bash
# Forwarding rate of veska-collector into Kafka beside its ceiling. One collector run:
# collector_feed sends N typical events over loopback to `veska-collector --quiet --count N`,
# whose producer hosts librdkafka's mock cluster (three brokers on loopback ports,
# test.mock.num.brokers) with linger.ms and compression set; the rate runs from the first event
# sent to the collector's exit, which waits until every record is acknowledged. One peer run:
# kafka_peer produces the same records (values, keys, headers) with the same settings straight
# to its own mock cluster. The two alternate ROUNDS times (default 3), which cancels much of a
# shared machine's noise; the last lines give each side's median and their ratio.
#
#   bash bench/kafka_throughput.sh [EVENTS] [json|wire] [extra collector options...]
#
# BUILD (default build) names the build folder holding bin/veska-collector, bin/collector_feed
# and bin/kafka_peer; ROUNDS the number of alternations.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build}
rounds=${ROUNDS:-3}
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

settings=(test.mock.num.brokers=3 linger.ms=5 compression.type=lz4)
collector_properties=()
peer_properties=()
for setting in "${settings[@]}"; do
  collector_properties+=(--kafka-property "$setting")
  peer_properties+=(--property "$setting")
done

# Prints the collector's events/s for one run.
collector_run() {
  local timer=()
  if [ -x /usr/bin/time ]; then timer=(/usr/bin/time -f "collector cpu: user %U s, system %S s" -o "$work/time"); fi
  rm -f "$work/ready"
  "${timer[@]}" timeout 600 "$build/bin/veska-collector" --quiet --summary --count "$events" \
    --listen 127.0.0.1:0 --ready-file "$work/ready" --kafka-brokers 127.0.0.1:9 \
    "${collector_properties[@]}" --kafka-format "$format" "$@" 2>"$work/stderr" &
  pid=$!
  for _ in $(seq 300); do
    [ -s "$work/ready" ] && break
    sleep 0.1
  done
  [ -s "$work/ready" ] || { cat "$work/stderr" >&2; echo "collector did not start" >&2; exit 1; }
  local start end
  start=$(date +%s.%N)
  timeout 600 "$build/bin/collector_feed" --address "$(cat "$work/ready")" --events "$events" >/dev/null
  wait "$pid"
  pid=""
  end=$(date +%s.%N)
  {
    grep -E '^veska-collector: kafka:' "$work/stderr" || true
    tail -n 1 "$work/stderr"
    cat "$work/time" 2>/dev/null || true
  } >&2
  awk -v n="$events" -v s="$start" -v e="$end" 'BEGIN { printf "%.0f\n", n / (e - s) }'
}

peer_run() {
  local line
  line=$(timeout 600 "$build/bin/kafka_peer" --events "$events" --format "$format" \
    "${peer_properties[@]}")
  echo "$line" >&2
  echo "$line" | sed -E 's/.*: ([0-9]+) records\/s.*/\1/'
}

collector_rates=()
peer_rates=()
for round in $(seq "$rounds"); do
  rate=$(collector_run "$@")
  echo "round $round collector: $rate events/s ($format)"
  collector_rates+=("$rate")
  rate=$(peer_run)
  echo "round $round peer:      $rate records/s ($format)"
  peer_rates+=("$rate")
done
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
c=$(median "${collector_rates[@]}")
p=$(median "${peer_rates[@]}")
awk -v c="$c" -v p="$p" -v f="$format" -v n="$events" -v r="$rounds" 'BEGIN {
  printf "%s, %d events, median of %d alternated rounds: collector %d events/s, peer %d records/s, ratio %.2f\n",
    f, n, r, c, p, c / p }'
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
