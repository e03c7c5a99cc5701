# Shared by the benchmark scripts (sourced): a work folder removed at exit with the engine and snmpd it
# started, free loopback ports, a clock in nanoseconds, and a wait for an agent's first answer.
work=$(mktemp -d /tmp/vg_bench_XXXXXX)
engine_pid=""
snmpd_pid=""
cleanup() {
  [ -n "$engine_pid" ] && kill "$engine_pid" 2>/dev/null && wait "$engine_pid" 2>/dev/null || true
  [ -n "$snmpd_pid" ] && kill "$snmpd_pid" 2>/dev/null && wait "$snmpd_pid" 2>/dev/null || true
  [ -n "${VG_BENCH_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
now_ns() { date +%s%N; }
wait_ready() { # peer community
  for _ in $(seq 1 100); do
    snmpget -v2c -c "$2" -t 0.3 -r 0 "$1" 1.3.6.1.2.1.1.3.0 >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "agent at $1 did not answer" >&2; return 1
}
# snmpd on a free loopback port serving the lines of a -On -OQ walk (file $1) as static scalars with the
# community "bench"; sets snmpd_peer.
start_snmpd_like() {
  local port; port=$(free_port)
  {
    echo "agentaddress udp:127.0.0.1:$port"
    echo "rocommunity bench 127.0.0.1"
    echo "agentxsocket /dev/null"
    echo "master no"
    while IFS= read -r line; do
      name=${line%% = *}
      value=${line#* = }
      case "$value" in
        \"*) echo "override $name octet_str $value" ;;
        [0-9]*.[0-9]*.[0-9]*.[0-9]*) echo "override $name octet_str \"$value\"" ;;
        *) echo "override $name integer $value" ;;
      esac
    done <"$1"
  } >"$work/snmpd.conf"
  mkdir -p "$work/snmpd-state"
  SNMP_PERSISTENT_DIR="$work/snmpd-state" MIBS="" /usr/sbin/snmpd -f -Ln -C -c "$work/snmpd.conf" \
    -p "$work/snmpd.pid" >"$work/snmpd.out" 2>&1 &
  snmpd_pid=$!
  snmpd_peer=udp:127.0.0.1:$port
  wait_ready "$snmpd_peer" bench
}
