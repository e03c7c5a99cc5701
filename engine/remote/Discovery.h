#pragma once
// Network discovery: scanning address ranges for UPS agents the engine could monitor.
//
// Contract with the consoles (E = 1.3.6.1.4.1.64950):
//   Start: a manager SETs discoveryAddressList E.10.1.11.1.0 (OCTET STRING, comma-separated parts:
//     "a.b.c." = hosts 1-254, "a.b.c.x-y" = hosts x..y with 1 <= x < y <= 254, "a.b.c.d" = one host
//     unless d is 0 or 255), discoveryCommunityList E.10.1.11.3.0 (comma-separated communities, used
//     as written), then discoveryStart E.10.1.11.4.0 := 1. discoveryCancel E.10.1.11.5.0 := 1 before
//     the run starts drops the request. Both read 2.
//   Progress: DiscoveryProgressTrap, an SNMPv1 trap with enterprise E, generic 6, specific 1007 (trap
//     OID E.15.0.1007.0), to every active console, with these varbinds in order:
//       E.10.1.11.6.0  INTEGER  status: 1 started, 2 scanning, 4 complete, 6 no usable address list,
//                                7 no usable community list
//       E.10.1.11.7.0  INTEGER  count (addresses of the run)
//       E.10.1.11.8.0  INTEGER  countScanned
//       E.10.1.11.9.0  INTEGER  countFound
//       E.10.1.11.10.0 INTEGER  countQueued
//       E.10.1.11.11.0 INTEGER  countAdded (always 0: the console adds the agents itself)
//     and, only in the trap that announces a found agent (10 varbinds):
//       E.10.1.11.12.0 OCTET STRING  the agent's address
//       E.10.1.11.13.0 OCTET STRING  the community that answered
//       E.10.1.11.14.0 INTEGER       the port that answered
//       E.10.1.11.15.0 INTEGER       the SNMP version code that answered: 2 SNMPv2c, 1 SNMPv1
//     followed by the engine's MAC varbind E.10.1.2.6.0 that the trap sender appends to every trap.
//     A trap follows every state or counter change, and a plain one every 500 ms while the scan runs;
//     traps of different scan threads may interleave.
//   Outcome per address: the discovery log "VGNMSDiscoveryError.log" in the log directory.
//
// One run (CNetScan::Start, on the system-queue thread): parse the community and address lists, build
// the work set (ordered as texts), skip the engine's own address, then up to 32 CNetScanThread probe
// the addresses in parallel: for every community, port and SNMP version (v2c, then v1) one probe, until
// one succeeds. Every probe goes through the client path (IRemoteSnmpClient, the SNMP thread's queue).
//
// Threads and locks: Start runs on one thread (the owner's); Cancel is safe from any thread and makes
// Start return soon after with its threads joined. The work set is under m_workLock; each scan thread
// owns its probe session, which Cancel reaches under the thread's session mutex (a leaf). The progress
// record has its own mutex, never held while a trap is sent. The host is called with none of these
// held, except that ReportDiscoveryResult and HasDiscoveryResult take the manager's result lock.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/base/VigilonThread.h"
#include "engine/core/interfaces/TrapData.h"
#include "engine/core/runtime/SystemQueue.h"

class IRemoteSnmpClient;
class RemoteSnmpServer;

// The outcome of one address, as the discovery log writes it.
enum DiscoveryResult : int {
    kDiscoverySuccess = 0,
    kDiscoveryOwnAddress = 1,
    kDiscoveryNothingFound = 2,
    kDiscoveryInvalidMac = 3,
    kDiscoveryInitFailed = 4,
    kDiscoveryCapReached = 5,
    kDiscoveryTypeNotAllowed = 6,
    kDiscoveryLegacyEngine = 7,
    kDiscoveryDuplicate = 8,
    kDiscoveryRelocated = 9,
    kDiscoveryIncomplete = 10,
    kDiscoveryNotAnAddress = 11,
    kDiscoveryCountChanged = 12,
    kDiscoveryNoDevices = 13,
    kDiscoveryFailed = 14,
};
// The log text of a code; "" outside 0-14.
const char* DiscoveryResultText(int code);

enum DiscoveryStatus : int {
    kDiscoveryStarted = 1,
    kDiscoveryScanning = 2,
    kDiscoveryComplete = 4,
    kDiscoveryNoAddresses = 6,
    kDiscoveryNoCommunities = 7,
};

// After lower-casing: false for "", "ff:ff:ff:ff:ff:ff", "00:00:00:00:00:00" and a first octet "40".
bool IsValidDiscoveredMac(const std::string& mac);

// The hosts of an address list (see the contract above), added to out. single := whether the list
// held at least one single address and no range part. Pure.
void ExpandDiscoveryAddresses(const std::string& text, std::set<std::string>& out, bool& single);

// What a run needs of the engine. Every method is called from the scan's threads, with no scan lock
// held; implementations lock themselves.
class INetScanHost {
public:
    virtual ~INetScanHost() = default;
    // The discovery lists of the engine settings; false when they cannot be read (lock failure).
    virtual bool GetDiscoveryCommunities(std::string& text) = 0;
    virtual bool GetDiscoveryAddresses(std::string& text) = 0;
    // The engine's IPv4 address, first octet lowest; 0 when none is known.
    virtual uint32_t GetEngineAddress() = 0;
    // The manager's discovery-requested flag, busy flag (saves deferred, no polling) and
    // single-address mode (results are recorded only then).
    virtual bool IsDiscoveryRequested() = 0;
    virtual void SetBusy(bool busy) = 0;
    virtual void SetSingleAddressMode(bool single) = 0;
    virtual bool HasRemoteRows() = 0;
    // Safe points of the remote, user, device and console files.
    virtual void CreateSafePoints() = 0;
    virtual void ReportDiscoveryResult(const std::string& address, int code) = 0;
    virtual bool HasDiscoveryResult(const std::string& address) = 0;
    // A free line of the discovery log (code 0) or "text    <code's text>".
    virtual void RecordDiscoveryErrors(const std::string& text, int code) = 0;
    // DiscoveryProgressTrap to every active console (the caller's varbinds; the sender adds the MAC).
    virtual void SendProgressTrap(const std::vector<TrapVarbind>& varbinds) = 0;
    virtual IRemoteSnmpClient* GetClient() = 0;
    // The address to send from ("" any).
    virtual std::string GetLocalAddress() = 0;
    virtual bool LookUpMac(const std::string& address, std::string& mac) = 0;
};

// How probes are made: the ports tried (empty: 161, 3664), and each request's attempts.
struct NetScanOptions {
    std::vector<uint32_t> ports;
    uint32_t retries = 1;
    int timeoutMs = 1000;
    size_t maxThreads = 32;
};

// The progress of the latest run, announced to the consoles with every change. Process-wide
// (getInstance); tests make their own. Every method is safe from any thread.
class NetDiscoveryProgress {
public:
    struct Values {
        int32_t status = 0;
        int32_t count = 0;
        int32_t countScanned = 0;
        int32_t countNotifies = 0;
        int32_t countFound = 0;
        int32_t countQueued = 0;
        int32_t countAdded = 0;
    };
    using Sink = std::function<void(const std::vector<TrapVarbind>&)>;

    static NetDiscoveryProgress* getInstance();

    // Where the traps go (the run's host); none: traps are only counted.
    void SetSink(Sink sink);
    void Start(int32_t count);
    void SetStatus(int32_t status);
    void Found(const std::string& address, const std::string& community, uint32_t port, uint32_t version);
    void IncrementQueued();
    void IncrementScanned();
    // A plain progress trap (address empty) or one announcing a found agent.
    void Notifiy(const std::string& address = std::string(), const std::string& community = std::string(),
                 uint32_t port = 0, uint32_t version = 0);
    Values Get();

private:
    std::mutex m_mutex;
    Values m_values;
    Sink m_sink;
};

class CNetScan;

class CNetScanThread : public VigilonThread {
public:
    explicit CNetScanThread(CNetScan& scan);
    ~CNetScanThread() override;

    bool IsFinished() const { return m_finished.load(); }
    // Ends the probe in flight at once (any thread); the thread then takes no further address.
    void Cancel();

    // One probe; true when the agent answered as an engine (announced or not).
    bool scanForRemoteDevice(const std::string& address, uint32_t port, const std::string& community,
                             uint32_t version);

protected:
    void main() override;

private:
    bool ProbeLegacyEngine(RemoteSnmpServer& session, const std::string& address, char* mac, size_t macSize,
                           uint32_t& devices);
    bool ProbeEngine(RemoteSnmpServer& session, const std::string& address, char* mac, size_t macSize,
                     uint32_t& devices);
    bool LookUpMac(const std::string& address, char* mac, size_t macSize);

    CNetScan& m_scan;
    std::atomic<bool> m_finished{false};
    std::mutex m_sessionMutex;  // guards m_session and the cancel check against Cancel
    RemoteSnmpServer* m_session = nullptr;
    bool m_cancelled = false;
};

class CNetScan : public INetScan {
public:
    CNetScan(INetScanHost& host, NetScanOptions options, NetDiscoveryProgress* progress = nullptr);
    ~CNetScan() override;

    // One run on the calling thread: 1 when it took place (or was refused because the request was
    // cancelled, or was stopped by Cancel), 0 when an input list was unusable.
    int Run();
    void Start() override { Run(); }
    void Cancel() override;
    bool IsCancelled() const { return m_cancelled.load(); }

    int ParseCommunities();
    int SetDefaultPorts();
    int ParseAddresses();
    bool PopAddress(std::string& address);
    bool HasAddresses();
    bool IsRunning();

    // For the threads.
    INetScanHost& Host() { return m_host; }
    NetDiscoveryProgress& Progress() { return *m_progress; }
    const std::vector<std::string>& Communities() const { return m_communities; }
    const std::vector<uint32_t>& Ports() const { return m_ports; }
    const NetScanOptions& Options() const { return m_options; }
    // Threads held now, and started by the latest run (tests).
    size_t ThreadCount() const { return m_threads.size(); }
    size_t ThreadsStarted() const { return m_threadsStarted.load(); }

private:
    void Finish();

    INetScanHost& m_host;
    NetScanOptions m_options;
    NetDiscoveryProgress* m_progress;
    std::mutex m_workLock;
    std::set<std::string> m_addresses;
    std::vector<std::string> m_communities;
    std::vector<uint32_t> m_ports;
    std::vector<std::unique_ptr<CNetScanThread>> m_threads;
    std::mutex m_threadsMutex;  // guards m_threads against Cancel
    std::atomic<bool> m_cancelled{false};
    std::atomic<size_t> m_threadsStarted{0};
    std::mutex m_waitMutex;
    std::condition_variable m_wake;
};
