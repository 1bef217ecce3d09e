#!/usr/bin/env bash
# Usage: install_test.sh BUILD_DIR LIBDIR JAR(0|1)
# Installs BUILD_DIR into a temporary prefix (then moves the whole tree, so nothing may
# depend on where it was installed), checks the installed files, builds the consumer through
# pkg-config and through find_package, and runs both against the installed veska-collector,
# which must start without LD_LIBRARY_PATH. Passes when every consumer's events arrive.
set -euo pipefail
build=$1
libdir=$2
jar=$3
here=$(cd "$(dirname "$0")" && pwd)
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
fail() { echo "FAIL: $*" >&2; exit 1; }
unset LD_LIBRARY_PATH

cmake --install "$build" --prefix "$work/staged" >/dev/null
cmake --install "$build" --prefix "$work/staged" --component zelm >/dev/null
mv "$work/staged" "$work/prefix"
p=$work/prefix

for f in include/veska/types.h include/veska/private_api.h include/veska/lib/transport/transport.h \
         "$libdir/libveska.so.1.0.0" "$libdir/libzelm.so" bin/veska-collector \
         "$libdir/pkgconfig/veska.pc" "$libdir/cmake/veska/veskaConfig.cmake" \
         "$libdir/cmake/veska/veskaConfigVersion.cmake"; do
  [ -f "$p/$f" ] || fail "not installed: $f"
done
unit=$p/lib/systemd/system/veska-collector.service
[ -f "$unit" ] || fail "not installed: lib/systemd/system/veska-collector.service"
for line in '^DynamicUser=yes' '^ProtectSystem=strict' '^StateDirectory=veska' \
            '^ExecReload=/bin/kill -HUP \$MAINPID' '^ExecStart=/.*/veska-collector '; do
  grep -q -- "$line" "$unit" || fail "the unit has no line matching $line"
done
[ "$(readlink "$p/$libdir/libveska.so")" = libveska.so.1 ] || fail "libveska.so does not link to libveska.so.1"
[ "$(readlink "$p/$libdir/libveska.so.1")" = libveska.so.1.0.0 ] || fail "libveska.so.1 does not link to libveska.so.1.0.0"
readelf -d "$p/$libdir/libveska.so.1.0.0" | grep -q 'SONAME.*\[libveska\.so\.1\]' || fail "SONAME is not libveska.so.1"
[ ! -e "$p/include/veska/lib/transport/tcp-internal.h" ] || fail "an internal header was installed"
if [ "$jar" = 1 ]; then
  [ -f "$p/share/java/veska4j.jar" ] || fail "veska4j.jar not installed"
fi
if grep -rl -e "$build" -e "$work/staged" "$p/$libdir/pkgconfig" "$p/$libdir/cmake"; then
  fail "package files name the build tree or the install-time prefix"
fi

# pkg-config
export PKG_CONFIG_PATH=$p/$libdir/pkgconfig
[ "$(pkg-config --modversion veska)" = 1.0.0 ] || fail "pkg-config --modversion"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -pedantic -o "$work/pkg-config-consumer" "$here/consumer/consumer.c" \
  $(pkg-config --cflags --libs veska) -Wl,-rpath,"$(pkg-config --variable=libdir veska)"

# find_package
cmake -S "$here/consumer" -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$p" \
  -DCMAKE_BUILD_TYPE=Release >"$work/consumer-configure.log" 2>&1 ||
  { cat "$work/consumer-configure.log"; fail "consumer project does not configure"; }
cmake --build "$work/consumer-build" -j2 >"$work/consumer-build.log" 2>&1 ||
  { cat "$work/consumer-build.log"; fail "consumer project does not build"; }

"$p/bin/veska-collector" --listen 127.0.0.1:0 --ready-file "$work/ready" \
  --output "$work/events.jsonl" --count 6 --idle-exit 120 &
collector_pid=$!
for _ in $(seq 1 600); do
  [ -s "$work/ready" ] && break
  kill -0 "$collector_pid" 2>/dev/null || fail "installed veska-collector exited early"
  sleep 0.1
done
[ -s "$work/ready" ] || fail "installed veska-collector did not start listening"
server="tcp:$(head -n 1 "$work/ready")"

export QIVA_LOGGER_DISABLE=1
"$work/pkg-config-consumer" "$server" via-pkg-config || fail "pkg-config consumer failed"
"$work/consumer-build/consumer" "$server" via-find-package || fail "find_package consumer failed"
"$work/consumer-build/private_consumer" "$server" via-private-api || fail "private_api consumer failed"

# --count 6 makes the collector exit once all six events are in.
for _ in $(seq 1 600); do
  kill -0 "$collector_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$collector_pid" 2>/dev/null && fail "the collector did not receive six events"
status=0
wait "$collector_pid" || status=$?
collector_pid=""
[ $status -eq 0 ] || fail "veska-collector exited with $status"
for id in via-pkg-config via-find-package via-private-api; do
  for type in STARTED_INBOUND FINISHED; do
    n=$(grep -c "\"type_name\":\"$type\".*\"transaction_id\":\"$id\"" "$work/events.jsonl" || true)
    [ "$n" = 1 ] || { cat "$work/events.jsonl"; fail "$type of $id arrived $n times"; }
  done
done
echo "installed tree works from a moved prefix: pkg-config, find_package and private_api consumers delivered their events"
