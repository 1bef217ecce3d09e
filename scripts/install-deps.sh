#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when any is missing.
set -euo pipefail
packages=(cmake g++ make pkg-config binutils libevent-dev googletest libgtest-dev
          nlohmann-json3-dev libbenchmark-dev
          libspdlog-dev            # the async-logger peer in the benchmarks
          librdkafka-dev           # the collector's Kafka output and its mock-cluster tests
          libsqlite3-dev sqlite3   # the collector's transaction store; its fault tests check it
          clang-14 libclang-rt-14-dev  # libFuzzer targets
          clang-format             # the format check
          tshark                   # the Wireshark dissector's test
          chromium                 # the page's browser tests (driven by puppeteer-core)
          curl jq)                 # the demo looks up order-7781's page through the API
# A JDK already on the PATH serves the Java binding as well as Debian's; so does a Node.js.
command -v javac >/dev/null 2>&1 || packages+=(default-jdk-headless)
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)
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

# The browser tests' npm packages, exactly as the lockfile pins them; again only when the
# lockfile changed since the last install.
browser_tests=$(cd "$(dirname "$0")/../tests/browser" && pwd)
if [ "$browser_tests/package-lock.json" -nt "$browser_tests/node_modules/.package-lock.json" ]; then
  echo "installing the browser tests' npm packages"
  (cd "$browser_tests" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi
