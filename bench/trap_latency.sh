#!/usr/bin/env bash
# Trap-to-console latency on loopback: the real engine, a simulated UPS agent sending "On Battery"
# alarm traps (raised and removed in turn) and a registered console; prints min, median, p99 and max of
# the time from the agent's trap to the console's notice of the alarm's state. Not a test.
#
#   bench/trap_latency.sh [BUILD_DIR] [CYCLES]
# BUILD_DIR defaults to build/plain; CYCLES (raise and clear) to 1000.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/plain}
cycles=${2:-1000}
cmake --build "$build" --target trap_latency_bench >/dev/null
exec "$build/bench/trap_latency_bench" "$cycles"
