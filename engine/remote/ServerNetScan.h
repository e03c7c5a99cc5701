#pragma once
// The network scan of the running engine: a CNetScan whose host is the process-wide server (settings,
// engine address, consoles) and the remote-agent manager (flags, results, discovery log, client path).
//
// Threads: the scan it makes runs on the system-queue thread (its Start) and its own scan threads;
// Cancel from any thread.

#include <cstdint>
#include <memory>

#include "engine/remote/Discovery.h"

class CRemoteAgent;

// The probes' settings: retries from the remote-agent retries setting (at most 1 for a scan), a
// 1-second time-out, and the ports of portsText (comma-separated decimal ports 1-65535; null, empty or
// with no valid port: 161 and 3664).
NetScanOptions MakeDiscoveryOptions(uint32_t retriesSetting, const char* portsText);

// The environment variable that lists the ports a discovery tries (agents on other ports than the
// standard ones, test installs).
constexpr const char* kDiscoveryPortsVariable = "VG_DISCOVERY_PORTS";

std::unique_ptr<INetScan> MakeServerNetScan(CRemoteAgent& manager, NetScanOptions options);
