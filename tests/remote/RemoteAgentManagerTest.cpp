// The remote-agent manager: the agent cap, duplicates, removal with renumbering, the worker pool's
// size, and the engine stop while a request is in flight.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>

#include "tests/support/Wait.h"
#include "RemoteTestSupport.h"
#include "SimAgentProcess.h"
#include "engine/base/Helpers.h"
#include "engine/core/settings/DeviceEngineTable.h"
#include "engine/remote/RemoteAgent.h"
#include "support/TestSupport.h"

namespace {

using vgtest::FakeHost;

using vgtest::WaitUntil;

class RemoteManagerTest : public ::testing::Test {
protected:
    RemoteManagerTest()
    {
        auto host = std::make_unique<FakeHost>(&m_loop.Client(), m_dir.Path());
        m_host = host.get();
        m_host->SetSetting(EngineWord::kRemoteSnmpTimeout, 1);
        m_host->SetSetting(EngineWord::kRemoteSnmpRetries, 0);
        m_manager = std::make_unique<CRemoteAgent>(std::move(host));
    }
    ~RemoteManagerTest() override { m_manager->Shutdown(); }

    // A row for address (port: a simulated agent's, or one nobody answers on) and its add.
    bool AddAgent(const std::string& address, int port = 9)
    {
        CRemoteAgentTable& table = m_manager->GetTable();
        RemoteAgentRow row;
        row.address = table.AddText(address);
        row.community = table.AddText("public");
        row.mac = table.AddText("02:00:00:00:00:0" + address.substr(address.size() - 1));
        row.port = static_cast<uint32_t>(port);
        if (table.AddRow(row) == kDataKeyFailed)
            return false;
        return m_manager->Add(row, 0);
    }

    // A silent simulated agent on 127.0.0.6, added and started: returns once a worker's first request
    // to it (timeoutSeconds long) is on its way.
    void StartRequestToASilentAgent(vgtest::SimAgentProcess& agent, uint32_t timeoutSeconds)
    {
        vgtest::SimAgentOptions options;
        options.address = "127.0.0.6";
        ASSERT_TRUE(agent.Start(options));
        ASSERT_TRUE(agent.Send("silent on"));
        m_host->SetSetting(EngineWord::kRemoteSnmpTimeout, timeoutSeconds);
        ASSERT_EQ(m_manager->Initialize(), 1);
        vgtest::Log().Clear();
        ASSERT_TRUE(AddAgent("127.0.0.6", agent.Port()));
        m_host->started = true;
        ASSERT_TRUE(WaitUntil([&] { return vgtest::Log().Contains("Sending GET_STR_VALUE query to 127.0.0.6"); }));
    }

    vgtest::TempDir m_dir;
    vgtest::ClientLoop m_loop;
    FakeHost* m_host = nullptr;
    std::unique_ptr<CRemoteAgent> m_manager;
};

TEST_F(RemoteManagerTest, CapIsAtMostTwoAndNeverBelowTheStoredRows)
{
    ASSERT_EQ(m_manager->Initialize(), 1);
    const struct {
        uint32_t requested;
        uint32_t cap;
    } empty[] = {{5, 2}, {1, 1}, {0, 1}, {2, 2}};
    for (const auto& c : empty) {
        m_manager->SetMaxNodes(c.requested);
        EXPECT_EQ(m_manager->GetMaxNodes(), static_cast<int>(c.cap)) << c.requested;
        EXPECT_EQ(m_host->GetSetting(EngineWord::kRemoteMaxNodes), c.cap);
    }
    ASSERT_TRUE(AddAgent("127.0.0.2"));
    ASSERT_TRUE(AddAgent("127.0.0.3"));
    m_manager->SetMaxNodes(1);
    EXPECT_EQ(m_manager->GetMaxNodes(), 2) << "raised to the rows stored";
}

TEST_F(RemoteManagerTest, ThirdAgentAndDuplicatesAreRefused)
{
    ASSERT_EQ(m_manager->Initialize(), 1);
    m_manager->SetSingleAddressMode(true); // results are recorded after a discovery of single addresses
    ASSERT_TRUE(AddAgent("127.0.0.2"));
    ASSERT_TRUE(AddAgent("127.0.0.3"));
    EXPECT_FALSE(AddAgent("127.0.0.4"));
    EXPECT_EQ(m_manager->GetDiscoveryResult(StringToIpAddress("127.0.0.4")), 5);
    EXPECT_EQ(m_manager->GetRowCount(), 2) << "the refused agent leaves no row";
    EXPECT_EQ(m_host->mibRows.load(), 2);

    // A monitored address is a duplicate; an agent queued for removal no longer counts, neither for
    // the cap nor as a duplicate of its own address.
    EXPECT_FALSE(AddAgent("127.0.0.3"));
    EXPECT_EQ(m_manager->GetDiscoveryResult(StringToIpAddress("127.0.0.3")), 8);
    m_manager->QueueForRemoval(1);
    EXPECT_TRUE(AddAgent("127.0.0.2"));
    EXPECT_EQ(m_host->critical.load() & CRemoteAgent::kCriticalContact, CRemoteAgent::kCriticalContact);
}

TEST_F(RemoteManagerTest, AgentWithoutStoredMacIsFoundByAddressAndLearnsIt)
{
    ASSERT_EQ(m_manager->Initialize(), 1);
    CRemoteAgentTable& table = m_manager->GetTable();
    RemoteAgentRow row;
    row.address = table.AddText("127.0.0.2");
    row.port = 9;
    ASSERT_NE(table.AddRow(row), kDataKeyFailed);
    ASSERT_TRUE(m_manager->Add(row, 0));
    int result = -1;
    auto found = m_manager->Find("127.0.0.2", "02:00:00:00:00:42", false, &result);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(found->GetMac(), "02:00:00:00:00:42");
    EXPECT_EQ(table.GetValue(kRemoteRowKeyBase | 10u << 12 | 1, 0).bytes, "02:00:00:00:00:42");
    // From now on another MAC at that address is another device.
    EXPECT_EQ(m_manager->Find("127.0.0.2", "02:00:00:00:00:43", false, &result), nullptr);
    EXPECT_EQ(result, 3);
    EXPECT_EQ(m_manager->Find("127.0.0.9", "02:00:00:00:00:42", false, &result), nullptr);
    EXPECT_EQ(result, 2) << "the MAC belongs to an agent at another address";
}

// The remote-engine MIB table keeps as many rows as the table, whatever way a row goes: a row that
// never became an agent, an activation the engine refuses, an agent queued for removal.
TEST_F(RemoteManagerTest, MibRowsFollowTheTableOnEveryPath)
{
    ASSERT_EQ(m_manager->Initialize(), 1);
    ASSERT_TRUE(AddAgent("127.0.0.2"));
    EXPECT_EQ(m_host->mibRows.load(), 1);
    auto column = [](uint32_t c, uint32_t row) { return kRemoteRowKeyBase | c << 12 | row; };
    auto setText = [&](uint32_t key, const std::string& text) {
        return m_manager->SetValue(key, 0, kValueOctetString, text.data(), text.size());
    };
    auto setInt = [&](uint32_t key, int32_t v) { return m_manager->SetValue(key, 0, kValueInteger, &v, sizeof v); };

    const struct {
        const char* what;
        std::string address;  // "" leaves the row without one
        bool destroy;         // destroyed before it is activated
    } cases[] = {
        {"a row without address cannot go active", "", false},
        {"an address already monitored", "127.0.0.2", false},
        {"a created row destroyed unactivated", "127.0.0.3", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(m_manager->AddTableRow(), kRemoteRowKeyBase + 2);
        EXPECT_EQ(m_host->mibRows.load(), 2);
        if (!c.address.empty()) {
            ASSERT_TRUE(setText(column(3, 2), c.address));
        }
        if (c.destroy)
            EXPECT_EQ(m_manager->QueueForRemoval(2), 1);
        else
            EXPECT_FALSE(setInt(column(2, 2), 1));
        EXPECT_EQ(m_manager->GetRowCount(), 1);
        EXPECT_EQ(m_host->mibRows.load(), 1);
    }

    // The cap: a third row is refused when it goes active, and its MIB row with it.
    ASSERT_TRUE(AddAgent("127.0.0.3"));
    EXPECT_EQ(m_host->mibRows.load(), 2);
    m_manager->AddTableRow();
    ASSERT_TRUE(setText(column(3, 3), "127.0.0.4"));
    EXPECT_FALSE(setInt(column(2, 3), 1));
    EXPECT_EQ(m_manager->GetRowCount(), 2);
    EXPECT_EQ(m_host->mibRows.load(), 2);

    // An agent queued for removal leaves the MIB at once; the table row when a worker removes it.
    m_manager->QueueForRemoval(1);
    EXPECT_EQ(m_host->mibRows.load(), 1);
    m_host->started = true;
    ASSERT_TRUE(WaitUntil([&] { return m_manager->GetRowCount() == 1; }));
    EXPECT_EQ(m_host->mibRows.load(), 1);
}

TEST_F(RemoteManagerTest, PoolGrowsForWaitingFirstContactsAndFollowsTheThreadCount)
{
    ASSERT_EQ(m_manager->Initialize(), 1);
    ASSERT_TRUE(AddAgent("127.0.0.2"));
    ASSERT_TRUE(AddAgent("127.0.0.3"));
    // The server has not started: both wait for their first contact.
    m_manager->AdjustThreads();
    EXPECT_EQ(m_manager->GetWorkerCount(), 3u);
    m_host->SetSetting(EngineWord::kRemoteThreadCount, 0);
    m_host->started = true;
    ASSERT_TRUE(WaitUntil([&] { return !m_manager->HasQueuedWork(); }));
    m_manager->AdjustThreads();
    EXPECT_EQ(m_manager->GetWorkerCount(), 2u) << "one agent per worker";
    m_host->SetSetting(EngineWord::kRemoteThreadCount, 25);
    m_manager->AdjustThreads();
    EXPECT_EQ(m_manager->GetWorkerCount(), 1u);
    EXPECT_EQ(m_host->critical.load(), 0u) << "the critical bits clear when the queues drain";
}

TEST_F(RemoteManagerTest, RemovingTheFirstAgentRenumbersTheSecond)
{
    vgtest::SimAgentProcess second;
    vgtest::SimAgentOptions options;
    options.address = "127.0.0.3";
    ASSERT_TRUE(second.Start(options));
    ASSERT_EQ(m_manager->Initialize(), 1);
    ASSERT_TRUE(AddAgent("127.0.0.2"));
    ASSERT_TRUE(AddAgent("127.0.0.3", second.Port()));
    m_host->started = true;
    ASSERT_TRUE(WaitUntil([&] { return !m_manager->HasQueuedWork(); }));
    // Held while the requests are made: a removal done in between would move the second agent to
    // row 1.
    m_host->started = false;
    EXPECT_EQ(m_manager->QueueForRemoval(1), 1);
    EXPECT_EQ(m_manager->QueueForRemoval(1), 1) << "a second request for the same agent changes nothing";
    EXPECT_EQ(m_manager->QueueForRemoval(7), 1) << "a row without agent: nothing to do";
    EXPECT_EQ(m_host->mibRows.load(), 1) << "the leaving agent's MIB row goes at once";
    m_host->started = true;
    // The removal's last step is the shutdown setting.
    ASSERT_TRUE(WaitUntil([&] { return m_host->shutdownRequiredOne.load() == 1; }));
    EXPECT_EQ(m_manager->GetEntries().size(), 1u);
    auto remaining = m_manager->GetEntries().front();
    EXPECT_EQ(remaining->GetServerAddress(), "127.0.0.3");
    EXPECT_EQ(remaining->GetKey(), kRemoteRowKeyBase + 1);
    EXPECT_EQ(remaining->GetSnmpIndex(), 1u);
    EXPECT_EQ(m_manager->GetRowCount(), 1);
    EXPECT_EQ(m_host->shutdownRequiredOne.load(), 1);
    EXPECT_EQ(m_host->mibRows.load(), 1);
}

TEST_F(RemoteManagerTest, FailedFirstContactIsTriedAgainLater)
{
    vgtest::SimAgentProcess agent;
    vgtest::SimAgentOptions options;
    options.address = "127.0.0.8";
    options.devices = 2;
    ASSERT_TRUE(agent.Start(options));
    ASSERT_TRUE(agent.Send("silent on"));
    m_manager->SetContactRetryDelays(200, 400);
    ASSERT_EQ(m_manager->Initialize(), 1);
    vgtest::Log().Clear();
    ASSERT_TRUE(AddAgent("127.0.0.8", agent.Port()));
    m_host->started = true;
    ASSERT_TRUE(WaitUntil([&] { return vgtest::Log().Contains("[CRemoteAgentEntry::Poll] Polling 127.0.0.8"); }));
    auto entry = m_manager->GetEntries().front();
    EXPECT_TRUE(entry->GetDeviceNumbers().empty());
    // The first try was critical work and ended it; the tries after it (each one a request that times
    // out) hold no critical state and tell the consoles nothing.
    ASSERT_TRUE(WaitUntil([&] { return m_host->critical.load() == 0; }));
    const int begun = m_host->criticalBegun.load(), notified = m_host->notifications.load();
    EXPECT_EQ(begun, 1);
    auto retries = [] { return vgtest::Log().Count("[CRemoteAgent::Process] first contact of 127.0.0.8 tried again"); };
    const int before = retries();
    ASSERT_TRUE(WaitUntil([&] { return retries() >= before + 2; }, 20000));
    EXPECT_EQ(m_host->criticalBegun.load(), begun);
    EXPECT_EQ(m_host->notifications.load(), notified);
    EXPECT_EQ(m_host->critical.load(), 0u);
    // The agent answers now: a later round contacts it again and reads its devices, and that change is
    // critical work again.
    ASSERT_TRUE(agent.Send("silent off"));
    EXPECT_TRUE(WaitUntil([&] { return entry->GetDeviceNumbers().size() == 2; }));
    EXPECT_TRUE(WaitUntil([&] { return m_host->criticalBegun.load() > begun && m_host->critical.load() == 0; }));
    EXPECT_GT(m_host->notifications.load(), notified);
}

// A relocation asked for over SNMP must not wait for a worker's request to the agent (that request
// needs the SNMP thread the SET arrived on): a worker moves the agent once its request has ended.
TEST_F(RemoteManagerTest, RelocationDoesNotWaitForARequestInFlight)
{
    vgtest::SimAgentProcess agent;
    ASSERT_NO_FATAL_FAILURE(StartRequestToASilentAgent(agent, 3));
    const auto start = std::chrono::steady_clock::now();
    m_manager->Relocate("127.0.0.16", "02:00:00:00:00:06");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    auto entry = m_manager->GetEntries().front();
    EXPECT_TRUE(WaitUntil([&] { return entry->GetServerAddress() == "127.0.0.16"; }));
    EXPECT_EQ(m_manager->GetTable().GetValue(kRemoteRowKeyBase | 3u << 12 | 1, 0).bytes, "127.0.0.16");
}

TEST_F(RemoteManagerTest, StopDoesNotWaitForASilentAgent)
{
    vgtest::SimAgentProcess agent;
    // A worker is waiting for the first answer (60 s).
    ASSERT_NO_FATAL_FAILURE(StartRequestToASilentAgent(agent, 60));
    const auto start = std::chrono::steady_clock::now();
    m_manager->Shutdown();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30))
        << "the stop cancels the request before it joins the worker";
    EXPECT_EQ(m_manager->GetWorkerCount(), 0u);
}

}  // namespace

// The discovery log: free lines and coded lines as they come, then the recorded results (kept only in
// single-address mode, the last code of each address) in the map's order, after which they are gone.
TEST_F(RemoteManagerTest, DiscoveryResultsGoToTheDiscoveryLogOnce)
{
    const std::string path = m_dir.Path() + "/VGNMSDiscoveryError.log";
    m_manager->ReportDiscoveryResult("127.0.0.5", 2);
    EXPECT_EQ(m_manager->GetDiscoveryResult(StringToIpAddress("127.0.0.5")), -1) << "not in single-address mode";
    m_manager->RecordDiscoveryErrors(std::string(), 0);
    EXPECT_FALSE(FileExists(path.c_str())) << "nothing to write";

    m_manager->SetSingleAddressMode(true);
    m_manager->ReportDiscoveryResult("127.0.0.10", 2);
    m_manager->ReportDiscoveryResult("127.0.0.9", 3);
    m_manager->ReportDiscoveryResult("127.0.0.10", 13);
    m_manager->ReportDiscoveryResult("not an address", 2);
    EXPECT_TRUE(m_manager->HasDiscoveryResult("127.0.0.9"));
    EXPECT_FALSE(m_manager->HasDiscoveryResult("127.0.0.5"));
    m_manager->RecordDiscoveryErrors("Remote Device Discovery started at now", 0);
    m_manager->RecordDiscoveryErrors("127.0.0.7", 1);
    m_manager->RecordDiscoveryErrors(std::string(), 0);
    m_manager->RecordDiscoveryErrors(std::string(), 0);
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "Remote Device Discovery started at now\n"
                    "127.0.0.7    The IP address is the address of the engine and cannot be discovered.\n"
                    "127.0.0.9    The IP address was found but has a MAC Address that is not supported by VGNMS\n"
                    "127.0.0.10    The IP address was discovered but has no devices to add\n");
    EXPECT_FALSE(m_manager->HasDiscoveryResult("127.0.0.9")) << "written out once";
}
