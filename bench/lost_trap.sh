#!/usr/bin/env bash
# Lost trap to armed (or cancelled) reaction with RemoteLoopbackDelay 1: the real engine, a simulated
# UPS agent whose alarm table changes without a trap at a random moment of the one-minute polling
# round; prints every sample and min, median and max. Not a test; each sample takes up to two minutes.
#
#   bench/lost_trap.sh [BUILD_DIR] [SAMPLES]
# BUILD_DIR defaults to build/plain; SAMPLES (raises and clears in turn) to 4.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/plain}
samples=${2:-4}
cmake --build "$build" --target lost_trap_bench >/dev/null
exec "$build/bench/lost_trap_bench" "$samples"
