#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when any is missing.
set -euo pipefail
packages=(cmake g++ make pkg-config binutils libevent-dev googletest libgtest-dev
          nlohmann-json3-dev libbenchmark-dev
          libspdlog-dev            # the async-logger peer in the benchmarks
          librdkafka-dev           # the collector's Kafka output and its mock-cluster tests
          clang-14 libclang-rt-14-dev  # libFuzzer targets
          clang-format             # the format check
          tshark)                  # the Wireshark dissector's test
# A JDK already on the PATH serves the Java binding as well as Debian's.
command -v javac >/dev/null 2>&1 || packages+=(default-jdk-headless)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
