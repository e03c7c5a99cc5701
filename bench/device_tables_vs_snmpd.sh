#!/usr/bin/env bash
# The device tables of the engine against net-snmp's snmpd, in the same run: the engine (the test program
# with stand-in remote agents, so no network agent is needed) serves two agents x 3 devices x 30 event
# rows under "mvnDevTable" (1.3.6.1.4.1.64950.10.2); snmpd serves the same OIDs with the same values as
# static "override" scalars from a generated configuration on a free loopback port. Measured for both:
# the time of a full snmpbulkwalk of the subtree (median of several walks). Prints both times and the
# ratio engine / snmpd. Not a test.
#
#   bench/device_tables_vs_snmpd.sh [BUILD_DIR] [WALKS]
# BUILD_DIR defaults to build/plain (configured and built with cmake first).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/plain}
walks=${2:-7}
E=1.3.6.1.4.1.64950
subtree=$E.10.2

engine_program=$build/tests/vg_stored_devices_engine
[ -x "$engine_program" ] && [ -f "$build/testlibs/libvgdown.so" ] || {
  echo "build first: cmake --build $build" >&2; exit 1; }

. bench/agent_lib.sh

# The engine, from a fresh install tree with the recording shutdown library and the stand-in agents.
mkdir -p "$work/tree/bin" "$work/tree/data" "$work/tree/log"
cp "$engine_program" "$work/tree/bin/vgnsa"
cp "$build/testlibs/libvgdown.so" "$work/tree/bin/"
printf 'agent 127.0.0.21 3 30\nagent 127.0.0.22 3 30\n' >"$work/tree/bin/stored-agents"
engine_port=$(free_port)
trap_port=$(free_port)
VG_AGENTX_PORT=0 VG_SHUTDOWN_RECORD="$work/shutdown-calls" \
  "$work/tree/bin/vgnsa" -n -p="$engine_port" -t="$trap_port" -l=error >"$work/engine.out" 2>&1 &
engine_pid=$!
engine_peer=udp:127.0.0.1:$engine_port
wait_ready "$engine_peer" wendolmar
for _ in $(seq 1 100); do
  [ "$(snmpget -v2c -c wendolmar -Oqv "$engine_peer" $E.10.2.1.0 2>/dev/null)" = 6 ] && break
  sleep 0.1
done

# The engine's objects, and snmpd serving the same OIDs as static scalars with the same values.
snmpbulkwalk -v2c -c wendolmar -On -OQ "$engine_peer" "$subtree" >"$work/engine.walk"
count=$(wc -l <"$work/engine.walk")
start_snmpd_like "$work/engine.walk"
snmpd_count=$(snmpbulkwalk -v2c -c bench -On "$snmpd_peer" "$subtree" | wc -l)

walk_ms() { # peer community: median wall time of the bulk walks in ms
  local times=()
  for _ in $(seq 1 "$walks"); do
    local t0; t0=$(now_ns)
    snmpbulkwalk -v2c -c "$2" -On "$1" "$subtree" >/dev/null
    times+=($(( ($(now_ns) - t0) / 1000 )))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.1f", a[int((NR+1)/2)]/1000}'
}

# Warm-up, then the measurements, alternating so that both see the same machine.
snmpbulkwalk -v2c -c wendolmar -On "$engine_peer" "$subtree" >/dev/null
snmpbulkwalk -v2c -c bench -On "$snmpd_peer" "$subtree" >/dev/null
engine_walk=$(walk_ms "$engine_peer" wendolmar)
snmpd_walk=$(walk_ms "$snmpd_peer" bench)

echo "objects under $subtree: engine $count, snmpd $snmpd_count"
printf 'full snmpbulkwalk of %s (median of %s, ms): engine %s, snmpd %s, ratio engine/snmpd %s\n' \
  "$subtree" "$walks" "$engine_walk" "$snmpd_walk" \
  "$(awk -v a="$engine_walk" -v b="$snmpd_walk" 'BEGIN {printf "%.2f", a / b}')"
