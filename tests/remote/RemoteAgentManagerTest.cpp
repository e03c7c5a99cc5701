// The remote-agent manager: the agent cap, duplicates, removal with renumbering, the worker pool's
// size, and the engine stop while a request is in flight.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

class FakeHost : public IRemoteAgentHost {
public:
    FakeHost(IRemoteSnmpClient* client, std::string dir) : m_client(client), m_dir(std::move(dir)) {}
    bool IsServerStarted() override { return started.load(); }
    uint32_t GetSetting(int word) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = settings.find(word);
        return it != settings.end() ? it->second : CDeviceEngineTable::DefaultWord(word);
    }
    void SetSetting(int word, uint32_t value) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        settings[word] = value;
    }
    void SaveUserExtension() override {}
    void BeginCritical(uint32_t bits) override { critical |= bits; }
    void EndCritical(uint32_t bits) override { critical &= ~bits; }
    void DisableBroadcast() override {}
    void SetShutdownRequiredOne() override { ++shutdownRequiredOne; }
    uint32_t GetEngineAddress() override { return 0x0100007F; }
    std::string GetConfiguredEngineAddress() override { return std::string(); }
    CDevices* GetDevices() override { return nullptr; }
    void SendNotification(const std::vector<uint32_t>&, uint32_t, const EngineValue&) override {}
    void LogEvent(uint32_t, int, const std::string&, const std::string&, const std::string&) override {}
    void BroadcastMessage(const std::string&) override {}
    void PostSystemRequest(uint32_t) override {}
    void AddRemoteMibRow() override { ++mibRows; }
    void RemoveRemoteMibRow() override { --mibRows; }
    RemoteStorePaths GetStorePaths() override
    {
        RemoteStorePaths p;
        p.data = m_dir + "/vgrmtext.dat";
        p.backup = m_dir + "/vgrmtext.bak";
        return p;
    }
    IRemoteSnmpClient* GetClient() override { return m_client; }
    bool LookUpMac(const std::string&, std::string&) override { return false; }
    void CreateOtherSafePoints() override {}

    std::atomic<bool> started{false};
    std::atomic<uint32_t> critical{0};
    std::atomic<int> shutdownRequiredOne{0};
    std::atomic<int> mibRows{0};
    std::map<int, uint32_t> settings;

private:
    std::mutex m_mutex;
    IRemoteSnmpClient* m_client;
    std::string m_dir;
};

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
    EXPECT_EQ(m_manager->QueueForRemoval(1), 1);
    EXPECT_EQ(m_manager->QueueForRemoval(1), 1) << "a second request for the same agent changes nothing";
    EXPECT_EQ(m_manager->QueueForRemoval(7), 1) << "a row without agent: nothing to do";
    ASSERT_TRUE(WaitUntil([&] { return m_manager->GetEntries().size() == 1 && m_manager->GetRowCount() == 1; }));
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
    // The agent answers now: a later round contacts it again and reads its devices.
    ASSERT_TRUE(agent.Send("silent off"));
    EXPECT_TRUE(WaitUntil([&] { return entry->GetDeviceNumbers().size() == 2; }));
}

TEST_F(RemoteManagerTest, StopDoesNotWaitForASilentAgent)
{
    vgtest::SimAgentProcess agent;
    vgtest::SimAgentOptions options;
    options.address = "127.0.0.6";
    ASSERT_TRUE(agent.Start(options));
    ASSERT_TRUE(agent.Send("silent on"));
    m_host->SetSetting(EngineWord::kRemoteSnmpTimeout, 60);
    ASSERT_EQ(m_manager->Initialize(), 1);
    vgtest::Log().Clear();
    ASSERT_TRUE(AddAgent("127.0.0.6", agent.Port()));
    m_host->started = true;
    // A worker is waiting for the first answer (60 s).
    ASSERT_TRUE(WaitUntil([&] { return vgtest::Log().Contains("Sending GET_STR_VALUE query to 127.0.0.6"); }));
    const auto start = std::chrono::steady_clock::now();
    m_manager->Shutdown();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30))
        << "the stop cancels the request before it joins the worker";
    EXPECT_EQ(m_manager->GetWorkerCount(), 0u);
}

}  // namespace
