#!/usr/bin/env bash
# A network discovery of the engine over a /24 of loopback addresses (127.0.1.0/24): simulated UPS agents
# (vg_simagent) answer on three addresses, nothing answers elsewhere; two communities (the agents answer
# the first) and two ports (the agents listen on the first). Measured:
#   - the scan's wall time (from the start SET to the "complete" log line), the probes made (one probe:
#     one community, port and SNMP version at one address) and the probes per second;
#   - the bound the time-outs allow: addresses x communities x ports x versions x time-out x tries / 32
#     threads, and the ratio wall time / bound;
#   - the engine's peak resident memory (VmHWM);
#   - the latency of the engine's own GET answers (one client, one request at a time) without a scan
#     and while 32 probes are in flight.
# Not a test.
#
#   bench/discovery_scan.sh [BUILD_DIR] [RETRIES] [LATENCY_SECONDS] [LOG_LEVEL]
# BUILD_DIR defaults to build/plain (configured and built with cmake first); RETRIES (0 or 1) is the
# remote-agent retries setting the scan takes; each try waits 1 s. LOG_LEVEL (default debug) is the
# engine's; the probes are counted from its debug lines, so at another level they are the planned ones
# (every community, port and version at every silent address, one probe at each agent).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/plain}
retries=${2:-0}
latency_seconds=${3:-4}
log_level=${4:-debug}
E=1.3.6.1.4.1.64950

[ -x "$build/tree/bin/vgnsa" ] && [ -x "$build/tests/vg_simagent" ] && [ -x "$build/bench/snmp_get_rate" ] &&
  [ -f "$build/testlibs/libvgdown.so" ] || { echo "build first: cmake --build $build" >&2; exit 1; }

. bench/agent_lib.sh
sim_pids=()
stop_sims() { for p in "${sim_pids[@]}"; do kill "$p" 2>/dev/null || true; done; cleanup; }
trap stop_sims EXIT

free_port_any() {
  python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("0.0.0.0", 0)); print(s.getsockname()[1])'
}

# The agents, all on one port of their own addresses.
agent_port=$(free_port_any)
silent_port=$(free_port_any)
for host in 10 100 200; do
  mkfifo "$work/sim$host.in"
  sleep 100000 >"$work/sim$host.in" &
  sim_pids+=($!)
  "$build/tests/vg_simagent" --address "127.0.1.$host" --port "$agent_port" --gen 4 --community public \
    --mac "02:00:00:00:01:$(printf '%02x' $host)" <"$work/sim$host.in" >"$work/sim$host.out" 2>&1 &
  sim_pids+=($!)
done
for host in 10 100 200; do wait_ready "udp:127.0.1.$host:$agent_port" public; done

# The engine, from a fresh install tree with the recording shutdown library, on 127.0.0.1.
mkdir -p "$work/tree/bin" "$work/tree/data" "$work/tree/log"
cp "$build/tree/bin/vgnsa" "$work/tree/bin/"
cp "$build/testlibs/libvgdown.so" "$work/tree/bin/"
printf '[VG_Engine]\nEngineIPAddress=127.0.0.1\nRemoteTrapPort=%s\nRemoteSnmpTimeout=1\nRemoteSnmpRetries=%s\n' \
  "$(free_port)" "$retries" >"$work/tree/vgconfig.ini"
engine_port=$(free_port)
trap_port=$(free_port)
VG_AGENTX_PORT=0 VG_SHUTDOWN_RECORD="$work/shutdown-calls" VG_DISCOVERY_PORTS="$agent_port,$silent_port" \
  "$work/tree/bin/vgnsa" -n -p="$engine_port" -t="$trap_port" -l="$log_level" >"$work/engine.out" 2>&1 &
engine_pid=$!
engine_peer=udp:127.0.0.1:$engine_port
wait_ready "$engine_peer" wendolmar
log="$work/tree/log/vigilon.log"

# A console (its trap port has no listener): the progress traps are sent as they would be.
snmpget -v2c -c wendolmar --clientaddr=127.0.0.1 "$engine_peer" "$E.10.1.1.0" >/dev/null
echo "$E.10.1.11.4.0" >"$work/oids"

latency_us() { # mean GET latency in microseconds over the given seconds
  "$build/bench/snmp_get_rate" "$engine_peer" wendolmar "$1" "$work/oids" |
    sed -n 's/.*rate=\([0-9.]*\).*/\1/p' | awk '{printf "%.0f", 1e6 / $1}'
}
"$build/bench/snmp_get_rate" "$engine_peer" wendolmar 0.5 "$work/oids" >/dev/null
idle_latency=$(latency_us "$latency_seconds")

snmpset -v2c -c wendolmar -Oq "$engine_peer" "$E.10.1.11.1.0" s "127.0.1." "$E.10.1.11.3.0" s "public,private" >/dev/null
t0=$(now_ns)
snmpset -v2c -c wendolmar -Oq "$engine_peer" "$E.10.1.11.4.0" i 1 >/dev/null
# The latency while the threads probe (they all run until the last round).
if [ "$log_level" = debug ]; then
  until [ "$(grep -c "Scanning address '127.0.1." "$log" || true)" -ge 64 ]; do sleep 0.05; done
else
  sleep 2
fi
busy_latency=$(latency_us "$latency_seconds")
until grep -q "Autodiscovery of remote devices complete" "$log"; do
  sleep 0.05
  kill -0 "$engine_pid" 2>/dev/null || { echo "the engine ended" >&2; exit 1; }
done
t1=$(now_ns)
rss_kb=$(awk '/VmHWM/ {print $2}' "/proc/$engine_pid/status")

wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.2f", (b - a) / 1e9}')
found=$(grep -c "Autodiscovery found device at 127.0.1." "$log" || true)
if [ "$log_level" = debug ]; then
  probes=$(grep -c "Scanning address '127.0.1." "$log")
else
  probes=$(( (254 - found) * 8 + found ))
fi
tries=$((retries + 1))
bound=$(awk -v t="$tries" 'BEGIN {printf "%.2f", 254 * 2 * 2 * 2 * 1.0 * t / 32}')

echo "discovery of 127.0.1.0/24: 254 addresses, 2 communities, 2 ports, 2 versions, 1 s x $tries tries, 32 threads"
echo "agents found: $found (of 3)"
printf 'wall time %s s, probes %s, probes/s %s\n' "$wall" "$probes" \
  "$(awk -v p="$probes" -v w="$wall" 'BEGIN {printf "%.1f", p / w}')"
printf 'bound %s s, ratio wall/bound %s\n' "$bound" "$(awk -v a="$wall" -v b="$bound" 'BEGIN {printf "%.3f", a / b}')"
printf 'engine peak RSS %.1f MB\n' "$(awk -v k="$rss_kb" 'BEGIN {print k / 1024}')"
printf 'engine GET latency: %s us without a scan, %s us during the scan (ratio %s)\n' "$idle_latency" \
  "$busy_latency" "$(awk -v a="$busy_latency" -v b="$idle_latency" 'BEGIN {printf "%.2f", a / b}')"
