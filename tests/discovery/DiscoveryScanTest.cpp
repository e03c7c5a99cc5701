// The network scan in process: its address lists, the MAC test, the outcome of each kind of agent
// (simulated UPS agents on 127.0.4.x, one SNMP thread of the test doing the I/O), the found-agent traps,
// a /24 that leaves no socket behind, a cancel in the middle of a scan, and the system queue cancelling
// the scan in hand when it is destroyed.

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "tests/support/Wait.h"
#include "SimAgentProcess.h"
#include "engine/base/Helpers.h"
#include "engine/core/runtime/SystemQueue.h"
#include "engine/remote/Discovery.h"
#include "engine/remote/ServerNetScan.h"
#include "remote/RemoteTestSupport.h"
#include "support/TestSupport.h"

namespace {

using vgtest::WaitUntil;

size_t OpenDescriptors()
{
    size_t n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++n;
        closedir(dir);
    }
    return n;
}

struct FoundTrap {
    std::string address, community;
    int32_t port = 0, version = 0;
};

// The engine as a scan sees it: settings texts, flags, the result map (kept in single-address mode
// only), the discovery log and the progress traps, recorded.
class RecordingHost : public INetScanHost {
public:
    explicit RecordingHost(IRemoteSnmpClient& client) : m_client(client) {}

    std::string communities = "public";
    std::string addresses;
    uint32_t engineAddress = 0;
    std::atomic<bool> requested{true};
    std::atomic<bool> busy{false};
    std::atomic<int> busyChanges{0};
    std::atomic<bool> single{false};

    bool GetDiscoveryCommunities(std::string& text) override
    {
        text = communities;
        return true;
    }
    bool GetDiscoveryAddresses(std::string& text) override
    {
        text = addresses;
        return true;
    }
    uint32_t GetEngineAddress() override { return engineAddress; }
    bool IsDiscoveryRequested() override { return requested.load(); }
    void SetBusy(bool on) override
    {
        busy.store(on);
        ++busyChanges;
    }
    void SetSingleAddressMode(bool on) override { single.store(on); }
    bool HasRemoteRows() override { return false; }
    void CreateSafePoints() override {}
    void ReportDiscoveryResult(const std::string& address, int code) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (single.load())
            m_results[address] = code;
    }
    bool HasDiscoveryResult(const std::string& address) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_results.count(address) != 0;
    }
    void RecordDiscoveryErrors(const std::string& text, int code) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_log.push_back(text + (code ? std::string("    ") + DiscoveryResultText(code) : ""));
    }
    void SendProgressTrap(const std::vector<TrapVarbind>& varbinds) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_traps;
        if (varbinds.size() == 10) {
            FoundTrap t{varbinds[6].octets, varbinds[7].octets, varbinds[8].integer, varbinds[9].integer};
            m_found.push_back(t);
        } else {
            EXPECT_EQ(varbinds.size(), 6u);
        }
    }
    IRemoteSnmpClient* GetClient() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_threads.insert(std::this_thread::get_id()); // once per probe, on the probing thread
        return &m_client;
    }
    std::string GetLocalAddress() override { return std::string(); }
    bool LookUpMac(const std::string&, std::string&) override { return false; }

    std::map<std::string, int> Results()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_results;
    }
    std::vector<FoundTrap> Found()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_found;
    }
    size_t ScanThreads()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_threads.size();
    }
    size_t Traps()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_traps;
    }

private:
    IRemoteSnmpClient& m_client;
    std::mutex m_mutex;
    std::map<std::string, int> m_results;
    std::vector<FoundTrap> m_found;
    std::set<std::thread::id> m_threads;
    std::vector<std::string> m_log;
    size_t m_traps = 0;
};

NetScanOptions Options(int port, int timeoutMs, uint32_t retries)
{
    NetScanOptions options;
    options.ports = {static_cast<uint32_t>(port)};
    options.timeoutMs = timeoutMs;
    options.retries = retries;
    return options;
}

} // namespace

TEST(DiscoveryAddresses, PartsExpandInTextOrderAndSetSingleAddressMode)
{
    const struct {
        std::string text;
        size_t count;
        std::vector<std::string> firstFew;
        bool single;
    } cases[] = {
        {"192.168.1.", 254, {"192.168.1.1", "192.168.1.10", "192.168.1.100", "192.168.1.101"}, false},
        {"192.168.1.5-3", 0, {}, false},
        {"192.168.1.0-10", 0, {}, false},
        {"192.168.1.250-255", 0, {}, false},
        {"192.168.1.2-4", 3, {"192.168.1.2", "192.168.1.3", "192.168.1.4"}, false},
        {"192.168.1.2-x", 0, {}, false},
        {"192.168.1.255", 0, {}, true},
        {"192.168.1.0", 0, {}, true},
        {"192.168.1.7", 1, {"192.168.1.7"}, true},
        {"192.168.1.7,192.168.2.", 255, {"192.168.1.7", "192.168.2.1"}, false},
        {"10.0.0.2,10.0.0.10,10.0.0.2", 2, {"10.0.0.10", "10.0.0.2"}, true},
        {"192.168.1,host", 0, {}, false},
        {" 10.0.0.3", 1, {" 10.0.0.3"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::set<std::string> out;
        bool single = !c.single;
        ExpandDiscoveryAddresses(c.text, out, single);
        EXPECT_EQ(out.size(), c.count);
        EXPECT_EQ(single, c.single);
        std::vector<std::string> first(out.begin(), out.end());
        first.resize(std::min(first.size(), c.firstFew.size()));
        EXPECT_EQ(first, c.firstFew);
    }
}

TEST(DiscoveryAddresses, MacTestRefusesBroadcastZeroAndFirstOctet40)
{
    const struct {
        const char* mac;
        bool valid;
    } cases[] = {
        {"", false},
        {"FF:FF:FF:FF:FF:FF", false},
        {"00:00:00:00:00:00", false},
        {"40:12:34:56:78:9a", false},
        {"40", false},
        {"02:00:00:00:00:40", true},
        {"4:0:1:2:3:4", true},
        {"00:1a:2b:3c:4d:5e", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsValidDiscoveredMac(c.mac), c.valid) << c.mac;
}

TEST(DiscoveryOptions, PortsFromTheEnvironmentTextAndRetriesAtMostOne)
{
    const struct {
        uint32_t retries;
        const char* ports;
        uint32_t wantRetries;
        std::vector<uint32_t> wantPorts;
    } cases[] = {
        {3, nullptr, 1, {161, 3664}},
        {0, "", 0, {161, 3664}},
        {1, "1161,13664", 1, {1161, 13664}},
        {0, "0,70000,-5,12x,4000", 0, {4000}},
    };
    for (const auto& c : cases) {
        NetScanOptions o = MakeDiscoveryOptions(c.retries, c.ports);
        EXPECT_EQ(o.retries, c.wantRetries);
        EXPECT_EQ(o.ports, c.wantPorts) << (c.ports ? c.ports : "(none)");
        EXPECT_EQ(o.timeoutMs, 1000);
    }
}

// Every kind of agent on its own address, listed as single addresses (so every outcome is recorded):
// engines of each generation are announced with the version that answered, the others get their
// result and no trap.
TEST(DiscoveryScan, EachKindOfAgentGetsItsOutcome)
{
    const int port = vgtest::FreePortOnEveryAddress(SOCK_DGRAM);
    ASSERT_GT(port, 0);
    const struct {
        const char* address;
        int generation;
        int devices;
        const char* mac;
        std::vector<std::string> scenario;
        int result;      // -1: announced
        int version;     // of the announcement
    } agents[] = {
        {"127.0.4.2", 1, 1, "02:00:00:00:04:02", {}, -1, 2},
        {"127.0.4.3", 3, 2, "02:00:00:00:04:03", {}, -1, 2},
        {"127.0.4.4", 4, 1, "02:00:00:00:04:04", {"v1only on"}, -1, 1},
        {"127.0.4.5", 3, 1, "40:00:00:00:04:05", {}, 3, 0},
        {"127.0.4.6", 3, 0, "02:00:00:00:04:06", {}, 13, 0},
        {"127.0.4.7", 3, 1, "02:00:00:00:04:07", {"set 1.3.6.1.4.1.64950.10.1.3.1.0 i 3"}, 7, 0},
        {"127.0.4.8", 3, 1, "02:00:00:00:04:08", {"set 1.3.6.1.4.1.64950.10.1.2.3.0 s 12.04.0039"}, 2, 0},
        {"127.0.4.9", 4, 1, "02:00:00:00:04:09", {"set 1.3.6.1.4.1.64950.10.1.2.3.0 s 13.00.0000"}, 2, 0},
        {"127.0.4.10", 4, 1, "02:00:00:00:04:0a", {"set 1.3.6.1.4.1.64950.10.1.2.3.0 s 9.00.0000"}, 2, 0},
        {"127.0.4.12", 4, 1, "02:00:00:00:04:0c", {"set 1.3.6.1.4.1.64950.10.1.2.3.0 s 15.01.0003"}, -1, 2},
    };
    std::vector<std::unique_ptr<vgtest::SimAgentProcess>> sims;
    std::string list = "127.0.4.1,127.0.4.11"; // the engine's own address and a silent one
    for (const auto& a : agents) {
        vgtest::SimAgentOptions options;
        options.address = a.address;
        options.generation = a.generation;
        options.devices = a.devices;
        options.mac = a.mac;
        options.port = port;
        sims.push_back(std::make_unique<vgtest::SimAgentProcess>());
        ASSERT_TRUE(sims.back()->Start(options)) << a.address;
        for (const std::string& line : a.scenario)
            ASSERT_TRUE(sims.back()->Send(line)) << line;
        list += std::string(",") + a.address;
    }

    vgtest::ClientLoop loop;
    RecordingHost host(loop.Client());
    host.addresses = list;
    host.engineAddress = StringToIpAddress("127.0.4.1");
    NetDiscoveryProgress progress;
    CNetScan scan(host, Options(port, 500, 1), &progress);
    EXPECT_EQ(scan.Run(), 1);

    EXPECT_TRUE(host.single.load());
    const NetDiscoveryProgress::Values v = progress.Get();
    EXPECT_EQ(v.status, kDiscoveryComplete);
    EXPECT_EQ(v.count, 11) << "the engine's own address is not scanned";
    EXPECT_EQ(v.countScanned, 11);
    EXPECT_EQ(v.countFound, 3 + 1);
    EXPECT_EQ(v.countQueued, 4);
    EXPECT_EQ(v.countAdded, 0);
    EXPECT_EQ(scan.ThreadsStarted(), 11u) << "one thread per address below 32";
    EXPECT_LE(host.ScanThreads(), 11u);
    EXPECT_FALSE(host.busy.load());

    std::map<std::string, int> expected = {{"127.0.4.1", kDiscoveryOwnAddress}, {"127.0.4.11", kDiscoveryNothingFound}};
    std::map<std::string, int> versions;
    for (const auto& a : agents) {
        if (a.result >= 0)
            expected[a.address] = a.result;
        else
            versions[a.address] = a.version;
    }
    EXPECT_EQ(host.Results(), expected);
    std::map<std::string, int> announced;
    for (const FoundTrap& t : host.Found()) {
        EXPECT_EQ(t.community, "public");
        EXPECT_EQ(t.port, port);
        EXPECT_EQ(announced.count(t.address), 0u) << "announced twice: " << t.address;
        announced[t.address] = t.version;
    }
    EXPECT_EQ(announced, versions);
}

// A whole /24 of silence but one agent: every address scanned by 32 threads, and every socket the
// probes used is closed again.
TEST(DiscoveryScan, SlashTwentyFourLeavesNoDescriptorOpen)
{
    const int port = vgtest::FreePortOnEveryAddress(SOCK_DGRAM);
    vgtest::SimAgentOptions options;
    options.address = "127.0.5.77";
    options.generation = 4;
    options.port = port;
    vgtest::SimAgentProcess agent;
    ASSERT_TRUE(agent.Start(options));
    vgtest::ClientLoop loop;
    RecordingHost host(loop.Client());
    host.addresses = "127.0.5.";
    host.communities = "public,private";
    // The loop's own descriptors exist now; a request's session is opened per request.
    ASSERT_EQ(loop.Thread().Request([&] {
                  SnmpClientRequest r;
                  r.peer = "127.0.5.77";
                  r.port = static_cast<uint16_t>(port);
                  r.community = "public";
                  r.version = 1;
                  r.timeoutMs = 1000;
                  r.varbinds.push_back({{1, 3, 6, 1, 2, 1, 1, 5, 0}, SnmpValue()});
                  return r;
              }()).status,
              SnmpClientStatus::Ok);
    ASSERT_TRUE(WaitUntil([&] { return OpenDescriptors() > 0; }, 1000));
    const size_t before = OpenDescriptors();

    NetDiscoveryProgress progress;
    CNetScan scan(host, Options(port, 100, 0), &progress);
    EXPECT_EQ(scan.Run(), 1);
    const NetDiscoveryProgress::Values v = progress.Get();
    EXPECT_EQ(v.count, 254);
    EXPECT_EQ(v.countScanned, 254);
    EXPECT_EQ(v.countFound, 1);
    EXPECT_EQ(scan.ThreadsStarted(), 32u);
    EXPECT_EQ(host.ScanThreads(), 32u) << "every thread probes";
    EXPECT_FALSE(host.single.load());
    EXPECT_TRUE(host.Results().empty()) << "ranges record no results";
    EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors() <= before; }, 5000))
        << OpenDescriptors() << " descriptors open, " << before << " before the scan";
}

// Cancel in the middle: the run ends at once with its threads joined, the manager no longer busy.
TEST(DiscoveryScan, CancelEndsTheRunAtOnce)
{
    vgtest::ClientLoop loop;
    RecordingHost host(loop.Client());
    host.addresses = "127.0.6.";
    NetDiscoveryProgress progress;
    // Long time-outs: only a cancel of the requests in flight ends the run soon.
    CNetScan scan(host, Options(vgtest::FreePort(SOCK_DGRAM), 5000, 1), &progress);
    std::atomic<bool> ended{false};
    std::thread runner([&] {
        EXPECT_EQ(scan.Run(), 1);
        ended.store(true);
    });
    ASSERT_TRUE(WaitUntil([&] { return progress.Get().status == kDiscoveryScanning; }, 5000));
    ASSERT_TRUE(WaitUntil([&] { return host.busy.load(); }, 1000));
    const auto cancelled = std::chrono::steady_clock::now();
    scan.Cancel();
    EXPECT_TRUE(WaitUntil([&] { return ended.load(); }, 3000));
    runner.join();
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(3));
    EXPECT_FALSE(host.busy.load());
    EXPECT_EQ(scan.ThreadCount(), 0u);
    EXPECT_EQ(scan.IsRunning(), false);
    EXPECT_LT(progress.Get().countScanned, 254);
    EXPECT_NE(progress.Get().status, kDiscoveryComplete);
}

// The input lists: each unusable one ends the run with its status before any thread starts.
TEST(DiscoveryScan, UnusableListsEndTheRunWithTheirStatus)
{
    const struct {
        const char* communities;
        const char* addresses;
        int status;
    } cases[] = {
        {"", "127.0.4.2", kDiscoveryNoCommunities},
        {",,", "127.0.4.2", kDiscoveryNoCommunities},
        {"public", "", kDiscoveryNoAddresses},
        {"public", ",", kDiscoveryNoAddresses},
        {"public", "127.0.4.9-2,127.0.4.255", kDiscoveryNoAddresses},
        {"public", "127.0.4.1", kDiscoveryNoAddresses}, // the engine's own address only
    };
    vgtest::ClientLoop loop;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.communities) + " / " + c.addresses);
        RecordingHost host(loop.Client());
        host.communities = c.communities;
        host.addresses = c.addresses;
        host.engineAddress = StringToIpAddress("127.0.4.1");
        NetDiscoveryProgress progress;
        CNetScan scan(host, Options(161, 100, 0), &progress);
        EXPECT_EQ(scan.Run(), 0);
        EXPECT_EQ(progress.Get().status, c.status);
        EXPECT_EQ(host.busyChanges.load(), 0) << "never busy";
        EXPECT_EQ(host.Traps(), 1u) << "the status is announced";
    }
    // A request cancelled before it runs changes nothing.
    RecordingHost host(loop.Client());
    host.addresses = "127.0.4.2";
    host.requested.store(false);
    NetDiscoveryProgress progress;
    CNetScan scan(host, Options(161, 100, 0), &progress);
    EXPECT_EQ(scan.Run(), 1);
    EXPECT_EQ(host.Traps(), 0u);
    EXPECT_EQ(progress.Get().status, 0);
}

namespace {

// A scan that blocks until it is cancelled, and a queue host that records the discovery's steps.
class BlockingScan : public INetScan {
public:
    explicit BlockingScan(std::atomic<int>& state) : m_state(state) {}
    void Start() override
    {
        m_state.store(1);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_cancelled; });
        m_state.store(2);
    }
    void Cancel() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = true;
        m_cv.notify_all();
    }

private:
    std::atomic<int>& m_state;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_cancelled = false;
};

class QueueHost : public ISystemQueueHost {
public:
    std::atomic<int> scanState{0};
    std::atomic<bool> requested{true};
    std::atomic<int> resumed{0};
    void OnStarted() override {}
    void WriteConfigFile() override {}
    void SaveDataFiles(uint32_t) override {}
    std::unique_ptr<INetScan> CreateNetScan() override { return std::make_unique<BlockingScan>(scanState); }
    void RecordDiscoveryErrors(const std::string&) override {}
    void SuspendRemoteThreads() override {}
    void ResumeRemoteThreads() override { ++resumed; }
    void ClearDiscoveryRequested() override { requested.store(false); }
    void AdjustRemoteThreads() override {}
};

} // namespace

TEST(DiscoveryQueue, DestroyCancelsTheDiscoveryInHandAndWaitsForIt)
{
    QueueHost host;
    CSystemQueue queue(&host);
    queue.StartThread();
    ASSERT_EQ(queue.Post(3), 1);
    ASSERT_TRUE(WaitUntil([&] { return host.scanState.load() == 1; }, 5000));
    const auto start = std::chrono::steady_clock::now();
    queue.Destroy();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(host.scanState.load(), 2) << "the scan ended before Destroy returned";
    EXPECT_FALSE(host.requested.load());
    EXPECT_EQ(host.resumed.load(), 1);
}

TEST(DiscoveryQueue, ADiscoveryDroppedAtDestroyIsNoLongerRequested)
{
    QueueHost host;
    CSystemQueue queue(&host); // never started: the request waits
    ASSERT_EQ(queue.Post(3), 1);
    queue.Destroy();
    EXPECT_EQ(host.scanState.load(), 0);
    EXPECT_FALSE(host.requested.load());
}
