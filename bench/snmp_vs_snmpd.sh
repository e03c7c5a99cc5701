#!/usr/bin/env bash
# The engine against net-snmp's snmpd on this machine, in the same run: both serve the same number of
# scalars under the enterprise subtree 1.3.6.1.4.1.64950 (snmpd: static "override" scalars with the
# engine's OIDs and values, from a generated configuration on a free loopback port). Measured for both:
#   - GET requests per second from one client (one varbind per request, cycling through every scalar);
#   - the time of a full snmpwalk of the enterprise subtree (median of several walks).
# Prints both figures and the ratio engine / snmpd. Not a test.
#
#   bench/snmp_vs_snmpd.sh [BUILD_DIR] [SECONDS_PER_RATE] [WALKS]
# BUILD_DIR defaults to build/plain (configured and built with cmake first).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/plain}
seconds=${2:-5}
walks=${3:-7}
E=1.3.6.1.4.1.64950

[ -x "$build/tree/bin/vgnsa" ] && [ -x "$build/bench/snmp_get_rate" ] && [ -f "$build/testlibs/libvgdown.so" ] || {
  echo "build first: cmake --build $build" >&2; exit 1; }

. bench/agent_lib.sh

# The engine, from a fresh install tree with the recording shutdown library.
mkdir -p "$work/tree/bin" "$work/tree/data" "$work/tree/log"
cp "$build/tree/bin/vgnsa" "$work/tree/bin/"
cp "$build/testlibs/libvgdown.so" "$work/tree/bin/"
engine_port=$(free_port)
trap_port=$(free_port)
VG_AGENTX_PORT=0 VG_SHUTDOWN_RECORD="$work/shutdown-calls" \
  "$work/tree/bin/vgnsa" -n -p="$engine_port" -t="$trap_port" -l=error >"$work/engine.out" 2>&1 &
engine_pid=$!
engine_peer=udp:127.0.0.1:$engine_port
wait_ready "$engine_peer" wendolmar

# The engine's scalars, and snmpd serving the same OIDs as static scalars with the same values.
snmpwalk -v2c -c wendolmar -On -OQ "$engine_peer" "$E" >"$work/engine.walk"
cut -d' ' -f1 "$work/engine.walk" >"$work/oids"
count=$(wc -l <"$work/oids")
start_snmpd_like "$work/engine.walk"
snmpd_count=$(snmpwalk -v2c -c bench -On "$snmpd_peer" "$E" | wc -l)

rate() { # peer community
  "$build/bench/snmp_get_rate" "$1" "$2" "$seconds" "$work/oids" | sed -n 's/.*rate=\([0-9.]*\).*failed=\([0-9]*\).*/\1 \2/p'
}
walk_ms() { # peer community: median wall time of the walks in ms
  local times=()
  for _ in $(seq 1 "$walks"); do
    local t0; t0=$(now_ns)
    snmpwalk -v2c -c "$2" -On "$1" "$E" >/dev/null
    times+=($(( ($(now_ns) - t0) / 1000 )))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.1f", a[int((NR+1)/2)]/1000}'
}

# Warm-up, then the measurements, alternating so that both see the same machine.
"$build/bench/snmp_get_rate" "$engine_peer" wendolmar 0.5 "$work/oids" >/dev/null
"$build/bench/snmp_get_rate" "$snmpd_peer" bench 0.5 "$work/oids" >/dev/null
read -r engine_rate engine_failed < <(rate "$engine_peer" wendolmar)
read -r snmpd_rate snmpd_failed < <(rate "$snmpd_peer" bench)
engine_walk=$(walk_ms "$engine_peer" wendolmar)
snmpd_walk=$(walk_ms "$snmpd_peer" bench)

echo "scalars under $E: engine $count, snmpd $snmpd_count"
printf 'GET requests/s (one client, %ss): engine %s (failed %s), snmpd %s (failed %s), ratio engine/snmpd %s\n' \
  "$seconds" "$engine_rate" "$engine_failed" "$snmpd_rate" "$snmpd_failed" \
  "$(awk -v a="$engine_rate" -v b="$snmpd_rate" 'BEGIN {printf "%.2f", a / b}')"
printf 'full snmpwalk of %s (median of %s, ms): engine %s, snmpd %s, ratio engine/snmpd %s\n' \
  "$E" "$walks" "$engine_walk" "$snmpd_walk" \
  "$(awk -v a="$engine_walk" -v b="$snmpd_walk" 'BEGIN {printf "%.2f", a / b}')"
