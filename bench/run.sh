#!/usr/bin/env bash
# Reproduces the README's Performance table: builds Release in build-bench/, runs veska-bench
# (QIVA_track beside its peers, in alternating rounds), then the load scenarios against a
# veska-collector it starts on a free loopback port and stops by its pid.
#
#   bash bench/run.sh [--rounds N] [--seconds S] [--skip-bench] [--skip-load]
#
# Every step is bounded by `timeout`; the whole run takes about 3 to 6 minutes on 2 cores.
# Heavy figures need a quiet machine: the load average is printed beside every step.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${VESKA_BENCH_BUILD:-$ROOT/build-bench}
ROUNDS=5
SECONDS_PER_RUN=5
RUN_BENCH=1
RUN_LOAD=1
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) ROUNDS=$2; shift 2 ;;
    --seconds) SECONDS_PER_RUN=$2; shift 2 ;;
    --skip-bench) RUN_BENCH=0; shift ;;
    --skip-load) RUN_LOAD=0; shift ;;
    *) echo "usage: bash bench/run.sh [--rounds N] [--seconds S] [--skip-bench] [--skip-load]" >&2
       exit 2 ;;
  esac
done

WORK=$(mktemp -d /tmp/veska-bench.XXXXXX)
COLLECTOR_PID=""
cleanup() {
  if [ -n "$COLLECTOR_PID" ] && kill -0 "$COLLECTOR_PID" 2>/dev/null; then
    kill -TERM "$COLLECTOR_PID" 2>/dev/null || true
    wait "$COLLECTOR_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

load() { cut -d' ' -f1-3 /proc/loadavg; }

echo "== build (Release) in $BUILD"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
timeout 900 cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DVESKA_BUILD_TESTS=OFF \
  -DVESKA_BUILD_JAVA=ON "${launcher[@]}" >"$WORK/cmake.log" || { cat "$WORK/cmake.log"; exit 1; }
targets=(veska-load veska-collector)
[ "$RUN_BENCH" = 1 ] && targets+=(veska-bench)
# The plain-socket sender that measures the collector alone, where the tree has it.
if timeout 60 cmake --build "$BUILD" --target help >"$WORK/targets.txt" &&
  grep -q "collector_feed" "$WORK/targets.txt"; then
  targets+=(collector_feed)
fi
# Server.track beside QIVA_track, where a JDK built the Java binding.
if [ "$RUN_BENCH" = 1 ] && grep -q "veska4j_bench" "$WORK/targets.txt"; then
  targets+=(veska4j_bench)
fi
timeout 1800 cmake --build "$BUILD" -j2 --target "${targets[@]}" >"$WORK/build.log" 2>&1 ||
  { tail -40 "$WORK/build.log"; exit 1; }
BIN=$BUILD/bin

echo "== machine"
echo "cpus $(nproc); $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "kernel $(uname -r); load $(load)"

if [ "$RUN_BENCH" = 1 ]; then
  echo "== veska-bench --rounds=$ROUNDS (load before: $(load))"
  timeout 1200 "$BIN/veska-bench" --rounds="$ROUNDS" --benchmark_color=false \
    >"$WORK/bench.txt" 2>&1 || { tail -40 "$WORK/bench.txt"; exit 1; }
  sed -n '/== veska-bench summary/,$p' "$WORK/bench.txt"
  echo "(load after: $(load))"
  if [ -f "$BUILD/lib/veska4j_bench.jar" ] && command -v java >/dev/null; then
    # The same typical event through the Java facade and through QIVA_track, alternating in
    # one JVM; the ratio is taken round by round.
    echo "== JavaTrackBench $ROUNDS rounds (load before: $(load))"
    timeout 900 java -Djava.library.path="$BUILD/lib" \
      -cp "$BUILD/lib/veska4j.jar:$BUILD/lib/veska4j_bench.jar" veska4j.bench.JavaTrackBench \
      "$ROUNDS" 1 || echo "JavaTrackBench failed"
  fi
fi

# Starts a quiet collector on a free loopback port, with any further options given; sets
# COLLECTOR_PID and ADDRESS.
start_collector() {
  rm -f "$WORK/ready"
  "$BIN/veska-collector" --listen 127.0.0.1:0 --quiet --summary --idle-exit 2 \
    --ready-file "$WORK/ready" "$@" 2>"$WORK/summary.json" &
  COLLECTOR_PID=$!
  for _ in $(seq 100); do
    [ -s "$WORK/ready" ] && break
    sleep 0.1
  done
  [ -s "$WORK/ready" ] || { echo "collector did not start" >&2; exit 1; }
  ADDRESS=$(cat "$WORK/ready")
}

# The collector's CPU seconds so far (user + system).
collector_cpu() {
  awk '{ printf "%.2f", ($14 + $15) / 100 }' "/proc/$COLLECTOR_PID/stat" 2>/dev/null || echo "?"
}

# Waits (bounded) for the collector to exit on its idle timer, then prints its event count.
collector_events() {
  for _ in $(seq 300); do
    kill -0 "$COLLECTOR_PID" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$COLLECTOR_PID" 2>/dev/null; then kill -TERM "$COLLECTOR_PID"; fi
  wait "$COLLECTOR_PID" 2>/dev/null || true
  COLLECTOR_PID=""
  grep -o '"event":[0-9]*' "$WORK/summary.json" | cut -d: -f2
}

field() { awk -v k="$1" '$1 == k { print $2 }' "$2"; }

# One scenario: NAME, then veska-load options. Prints one table row.
scenario() {
  local name=$1
  shift
  local before
  before=$(load)
  start_collector
  timeout $((SECONDS_PER_RUN + 120)) "$BIN/veska-load" --server "tcp:$ADDRESS" \
    --seconds "$SECONDS_PER_RUN" "$@" >"$WORK/load.txt" || true
  local cpu events
  cpu=$(collector_cpu)
  events=$(collector_events)
  local seconds
  seconds=$(field seconds_to_delivered "$WORK/load.txt")
  printf '| %s | %s | %s | %s | %s | %s | %s / %s / %s ns | %s KiB | %s / %s | %s |\n' "$name" \
    "$(field tracked "$WORK/load.txt")" "$(field dropped "$WORK/load.txt")" "${events:-?}" \
    "$(awk -v e="${events:-0}" -v s="${seconds:-0}" 'BEGIN { if (s > 0) printf "%.0f", e / s; else print "?" }')" \
    "$(field track_p50_ns "$WORK/load.txt")" "$(field track_p99_ns "$WORK/load.txt")" \
    "$(field track_p9999_ns "$WORK/load.txt")" "$(field track_max_ns "$WORK/load.txt")" \
    "$(field rss_peak_kib "$WORK/load.txt")" "$(field cpu_s "$WORK/load.txt")" "$cpu" "$before"
  DISPATCHER_NS="$DISPATCHER_NS${DISPATCHER_NS:+; }$name: $(field dispatcher_ns_per_event "$WORK/load.txt")"
}

DISPATCHER_NS=""
if [ "$RUN_LOAD" = 1 ]; then
  echo "== load: veska-load -> veska-collector --quiet over loopback, ${SECONDS_PER_RUN} s each"
  echo "| scenario | tracked | dropped | delivered | delivered/s | p50 | p99 / p99.99 / max | peak RSS | CPU s: client / collector | load |"
  echo "|---|---|---|---|---|---|---|---|---|---|"
  scenario "1 thread, 1000000/s, queue_size 65535" --threads 1 --rate 1000000 --queue-size 65535
  scenario "1 thread, 100000/s, default queue_size" --threads 1 --rate 100000
  scenario "2 threads, unpaced, queue_size 65535" --threads 2 --rate 0 --queue-size 65535
  echo "dispatcher thread CPU per event sent (ns): $DISPATCHER_NS"
  before=$(load)
  timeout $((SECONDS_PER_RUN + 120)) "$BIN/veska-load" --stall --rate 100000 \
    --seconds "$SECONDS_PER_RUN" --queue-size 65535 >"$WORK/stall.txt" || true
  printf '| collector stalled, 100000/s, queue_size 65535 | %s | %s | 0 | - | %s | %s / %s / %s ns | %s KiB | %s / - | %s |\n' \
    "$(field tracked "$WORK/stall.txt")" "$(field dropped "$WORK/stall.txt")" \
    "$(field track_p50_ns "$WORK/stall.txt")" "$(field track_p99_ns "$WORK/stall.txt")" \
    "$(field track_p9999_ns "$WORK/stall.txt")" "$(field track_max_ns "$WORK/stall.txt")" \
    "$(field rss_peak_kib "$WORK/stall.txt")" "$(field cpu_s "$WORK/stall.txt")" "$before"
  echo "collector stalled: p99.9 $(field track_p999_ns "$WORK/stall.txt") ns," \
    "calls over 10 us: $(field track_over_10us "$WORK/stall.txt")"
  # The same run with a 120-byte copy into a preallocated ring timed in place of each call:
  # what waking from the pacing sleep, interrupts and the hypervisor add on this machine.
  timeout $((SECONDS_PER_RUN + 120)) "$BIN/veska-load" --stall --baseline --rate 100000 \
    --seconds "$SECONDS_PER_RUN" --queue-size 65535 >"$WORK/baseline.txt" || true
  echo "baseline, same run with a ring copy in place of QIVA_track:" \
    "p50 $(field track_p50_ns "$WORK/baseline.txt") ns," \
    "p99 / p99.9 / p99.99 / max $(field track_p99_ns "$WORK/baseline.txt") /" \
    "$(field track_p999_ns "$WORK/baseline.txt") / $(field track_p9999_ns "$WORK/baseline.txt") /" \
    "$(field track_max_ns "$WORK/baseline.txt") ns," \
    "calls over 10 us: $(field track_over_10us "$WORK/baseline.txt")"
  if [ -x "$BIN/collector_feed" ]; then
    FEED_EVENTS=10000000
    echo "== collector alone: collector_feed -> veska-collector --quiet, $FEED_EVENTS events (load $(load))"
    start_collector --count "$FEED_EVENTS"
    timeout 300 "$BIN/collector_feed" --address "$ADDRESS" --events "$FEED_EVENTS" --wait-close \
      --close-timeout 240 || true
    echo "collector decoded events: $(collector_events)"
  fi
fi
