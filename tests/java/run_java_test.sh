#!/usr/bin/env bash
# Usage: run_java_test.sh JAVA CLASSPATH LIBDIR COLLECTOR CASE [VARIABLE=VALUE...]
# Runs one case of veska4j.impl.JavaBindingTest under -Xcheck:jni in a scratch folder and
# fails when the virtual machine printed any warning, whatever the case's own result. The
# case's status 77 (skipped) is passed on.
set -u
java=$1 classpath=$2 libdir=$3 collector=$4 case=$5
shift 5
# The logging variables are the case's own: none inherited from the caller's environment.
unset QIVA_LOGGER QIVA_LOGGER_DISABLE QIVA_LOGGER_DEBUG QIVA_LOGFILE QIVA_LOGLIMIT
scratch=$(mktemp -d "${TMPDIR:-/tmp}/veska4j-$case.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
log=$scratch/jvm.log
# The default logger writes its trace to a file, not into the output checked for warnings.
export ZELM_TRACE_FILE=${ZELM_TRACE_FILE:-$scratch/zelm.log}
env "$@" timeout -k 10 150 "$java" -Xcheck:jni -Xmx256m -Djava.library.path="$libdir" \
  -Dveska.collector="$collector" -Dveska.tmp="$scratch" -cp "$classpath" \
  veska4j.impl.JavaBindingTest "$case" >"$log" 2>&1
status=$?
cat "$log"
if grep -q 'WARNING' "$log"; then
  echo "the virtual machine printed a warning (-Xcheck:jni): failing"
  exit 1
fi
if [ $status -eq 124 ] || [ $status -eq 137 ]; then
  echo "timed out"
fi
exit $status
