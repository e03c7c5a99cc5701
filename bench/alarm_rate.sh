#!/usr/bin/env bash
# Alarm changes per second through the remote-trap road with 1 and with 16 registered consoles, and
# whether every console got every change's notice in order; prints the host's load average first.
# Not a test.
#
#   bench/alarm_rate.sh [BUILD_DIR] [RATE_CHANGES] [OFFERED_PER_SECOND] [DELIVERY_CHANGES]
# BUILD_DIR defaults to build/plain; 5000 changes offered at 10000/s; 200 changes for the delivery.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/plain}
shift || true
cmake --build "$build" --target alarm_rate_bench >/dev/null
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/alarm_rate_bench" "$@"
status=$?
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
