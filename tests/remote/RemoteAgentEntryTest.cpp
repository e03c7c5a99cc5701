// The remote-agent entry's rules: versions and generations, row references, MAC comparison, the
// online state over failed polls, and first contact against the simulated agent.

#include <gtest/gtest.h>

#include <cstring>

#include "RemoteTestSupport.h"
#include "SimAgentProcess.h"
#include "engine/base/Helpers.h"
#include "engine/remote/RemoteAgentEntry.h"
#include "engine/remote/RemoteAgentStore.h"
#include "support/TestSupport.h"

namespace {

TEST(RemoteEntryRules, VersionTextSelectsTheGeneration)
{
    const struct {
        const char* text;
        int generation;
    } cases[] = {{"12.04.0039", 2}, {"12.04.0040", 1}, {"12.04.0047", 1}, {"12.04.0048", 3},
                 {"12.04.0059", 3}, {"12.05.0001", 1}, {"15.00.0001", 4}, {"", 2}};
    for (const auto& c : cases)
        EXPECT_EQ(CRemoteAgentEntry::GenerationOf(CRemoteAgentEntry::ParseVersion(c.text)), c.generation) << c.text;
    EXPECT_EQ(CRemoteAgentEntry::ParseVersion("12.04.0059"), 0x0C043B00u);
}

TEST(RemoteEntryRules, RowReferenceGivesTheDeviceNumber)
{
    const std::string table = "1.3.6.1.4.1.64950.1.1.1.2";
    EXPECT_EQ(CRemoteAgentEntry::ParseRowRef(table, table + ".1.2.5"), 5u);
    EXPECT_EQ(CRemoteAgentEntry::ParseRowRef(table, table + ".1.1.12"), 12u);
    EXPECT_EQ(CRemoteAgentEntry::ParseRowRef(table, table), 0u) << "a row text no longer than the table text";
    EXPECT_EQ(CRemoteAgentEntry::ParseRowRef(table, table + ".1"), 0u);
    EXPECT_EQ(CRemoteAgentEntry::ParseRowRef("", table), 0u);
}

// The trap receiver an agent is told: the configured engine address, else the address the kernel uses
// to reach the agent, else the engine's own.
TEST(RemoteEntryRules, ReceiverAddressIsTheConfiguredOneElseTheOneThatReachesTheAgent)
{
    const uint32_t own = StringToIpAddress("192.0.2.99");
    const struct {
        const char* configured;
        const char* agent;
        const char* expected;
    } cases[] = {
        {"10.1.2.3", "127.0.0.2", "10.1.2.3"},
        {"", "127.0.0.2", "127.0.0.1"},          // the kernel's source for it
        {"", "card.example", "192.0.2.99"},      // no dotted address to ask the kernel about
        {"", "255.255.255.255", "192.0.2.99"},   // no route to it
        {"1.2.3", "127.0.0.2", "127.0.0.1"},     // a configured text that is no address
    };
    for (const auto& c : cases)
        EXPECT_EQ(CRemoteAgentEntry::ReceiverAddress(c.configured, own, c.agent, 161), StringToIpAddress(c.expected))
            << c.configured << " " << c.agent;
}

// An owner without devices, console or event log: the entry's own state is what is looked at.
class BareOwner : public IRemoteEntryOwner {
public:
    explicit BareOwner(IRemoteSnmpClient* client) : m_client(client), m_store(RemoteStorePaths()) {}
    IDeviceManager* GetDeviceList() override { return nullptr; }
    CRemoteAgentTable& GetTable() override { return m_store.Table(); }
    IRemoteSnmpClient* GetClient() override { return m_client; }
    RemoteSessionSettings GetSessionSettings() override
    {
        RemoteSessionSettings s;
        s.retries = 0;
        s.timeoutSeconds = 1;
        s.localAddress = configured;
        return s;
    }
    uint32_t GetTrapPort() override { return 40162; }
    uint32_t GetOwnAddress() override { return 0x0100007F; }
    void ReportDiscoveryResult(const std::string&, int result) override { results.push_back(result); }
    int SaveDataFile() override { return 1; }
    void LogEvent(uint32_t, int, const std::string& text, const std::string&, const std::string&) override
    {
        events.push_back(text);
    }
    void SendValueChanged(const std::vector<uint32_t>&, const EngineValue&) override {}
    void RegisterMibRow() override {}
    void DisableBroadcast() override {}

    // A row for an agent at address:port with that MAC.
    RemoteAgentRow Row(const std::string& address, int port, const std::string& mac)
    {
        m_store.Table().ReadFileBlock("/nonexistent", kRemoteTableBlockKey);
        RemoteAgentRow row;
        row.address = m_store.Table().AddText(address);
        row.community = m_store.Table().AddText("public");
        row.mac = m_store.Table().AddText(mac);
        row.port = static_cast<uint32_t>(port);
        m_store.Table().AddRow(row);
        return row;
    }

    std::vector<int> results;
    std::vector<std::string> events;
    // The configured engine address (also the sessions' local address when they open).
    std::string configured;

private:
    IRemoteSnmpClient* m_client;
    CRemoteAgentStore m_store;
};

TEST(RemoteEntryRules, MacsCompareByTheirSixOctets)
{
    vgtest::ClientLoop loop;
    BareOwner owner(&loop.Client());
    CRemoteAgentEntry entry(&owner);
    entry.Initialize(owner.Row("127.0.0.2", 161, "02:ab:00:00:00:0c"), 1);
    EXPECT_TRUE(entry.IsSameMac("02-AB-00-00-00-0C"));
    EXPECT_TRUE(entry.IsSameMac("02:ab:00:00:00:0c"));
    EXPECT_FALSE(entry.IsSameMac("02:ab:00:00:00:0d"));
    EXPECT_FALSE(entry.IsSameMac(""));
    CRemoteAgentEntry noMac(&owner);
    noMac.Initialize(owner.Row("127.0.0.3", 161, ""), 2);
    EXPECT_FALSE(noMac.IsSameMac("02:ab:00:00:00:0c")) << "no stored MAC matches nothing";
}

TEST(RemoteEntryRules, OnlineAgentGoesOfflineAtItsThirdFailedPollInARow)
{
    vgtest::ClientLoop loop;
    BareOwner owner(&loop.Client());
    CRemoteAgentEntry entry(&owner);
    EXPECT_EQ(entry.GetOnlineState(), -1);
    entry.SetOnline(true, false);
    EXPECT_EQ(entry.GetOnlineState(), 1) << "a first good poll: online at once";
    entry.SetOnline(false, false);
    entry.SetOnline(false, false);
    EXPECT_EQ(entry.GetOnlineState(), 1);
    entry.SetOnline(true, false);  // a good poll in between starts the count again
    entry.SetOnline(false, false);
    entry.SetOnline(false, false);
    EXPECT_EQ(entry.GetOnlineState(), 1);
    entry.SetOnline(false, false);
    EXPECT_EQ(entry.GetOnlineState(), 0);

    CRemoteAgentEntry unknown(&owner);
    unknown.SetOnline(false, false);
    EXPECT_EQ(unknown.GetOnlineState(), 0) << "an agent of unknown state goes offline at its first failure";
    CRemoteAgentEntry forced(&owner);
    forced.SetOnline(true, false);
    forced.SetOnline(false, true);
    EXPECT_EQ(forced.GetOnlineState(), 0) << "a status trap forces the change";
}

class RemoteEntryContactTest : public ::testing::Test {
protected:
    void Contact(int generation, const std::vector<std::string>& scenario)
    {
        vgtest::SimAgentOptions options;
        options.generation = generation;
        options.devices = 3;
        ASSERT_TRUE(m_agent.Start(options));
        for (const std::string& line : scenario)
            ASSERT_TRUE(m_agent.Send(line)) << line;
        m_entry.Initialize(m_owner.Row(m_agent.Address(), m_agent.Port(), options.mac), 1);
        m_contacted = m_entry.DiscoverDevices();
    }

    vgtest::ClientLoop m_loop;
    vgtest::SimAgentProcess m_agent;
    BareOwner m_owner{&m_loop.Client()};
    CRemoteAgentEntry m_entry{&m_owner};
    bool m_contacted = false;
};

TEST_F(RemoteEntryContactTest, ReadsEveryDeviceOfEachGeneration)
{
    for (int generation : {1, 3, 4}) {
        SCOPED_TRACE(generation);
        vgtest::SimAgentProcess agent;
        vgtest::SimAgentOptions options;
        options.generation = generation;
        options.devices = 3;
        ASSERT_TRUE(agent.Start(options));
        CRemoteAgentEntry entry(&m_owner);
        entry.Initialize(m_owner.Row(agent.Address(), agent.Port(), options.mac), 1);
        ASSERT_TRUE(entry.DiscoverDevices());
        EXPECT_EQ(entry.GetGeneration(), generation);
        EXPECT_EQ(entry.GetDeviceNumbers(), (std::vector<uint32_t>{1, 2, 3}));
        std::vector<RemoteDeviceInfo> devices = entry.GetDeviceInfo();
        ASSERT_EQ(devices.size(), 3u);
        EXPECT_EQ(devices[1].model, "Sim UPS 2");
        EXPECT_EQ(devices[2].name, "Device 3@127.0.0.2") << "an empty name is made from the number and address";
    }
}

// Hostile agents: the first contact stays bounded and mirrors nothing it cannot trust.
TEST_F(RemoteEntryContactTest, NegativeDeviceCountIsRefused)
{
    Contact(3, {"count -1"});
    EXPECT_FALSE(m_contacted);
    EXPECT_TRUE(m_entry.GetDeviceNumbers().empty());
    EXPECT_EQ(m_owner.results, std::vector<int>{4});
}

TEST_F(RemoteEntryContactTest, HugeDeviceCountIsRefused)
{
    Contact(4, {"count 100000"});
    EXPECT_FALSE(m_contacted);
    EXPECT_TRUE(m_entry.GetDeviceNumbers().empty());
}

TEST_F(RemoteEntryContactTest, WalkThatRepeatsItsOidEnds)
{
    Contact(4, {"repeat on"});
    // The first answer moves on from the table's root; every later one repeats the OID it was asked.
    EXPECT_TRUE(m_contacted);
    EXPECT_EQ(m_entry.GetDeviceNumbers(), std::vector<uint32_t>{1});
}

TEST_F(RemoteEntryContactTest, OverLongTextsAreCut)
{
    Contact(3, {"fill 1.3.6.1.4.1.64950.10.2.2.1.9.1 5000", "fill 1.3.6.1.4.1.64950.10.2.2.1.10.2 300"});
    ASSERT_TRUE(m_contacted);
    std::vector<RemoteDeviceInfo> devices = m_entry.GetDeviceInfo();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].model.size(), 127u);
    EXPECT_EQ(devices[1].name.size(), 127u);
}

TEST_F(RemoteEntryContactTest, ProbeOfAManyDeviceAgentStopsAfterARunOfMisses)
{
    // From build 60 missing numbers are skipped; a count the agent cannot back must not make the probe
    // run through 65535 numbers.
    vgtest::Log().Clear();
    Contact(3, {"set 1.3.6.1.4.1.64950.10.1.2.3.0 s 12.04.0060", "count 200"});
    EXPECT_TRUE(m_contacted);
    EXPECT_EQ(m_entry.GetDeviceNumbers().size(), 3u);
    size_t requests = 0;
    for (const CapturedLine& line : vgtest::Log().Lines())
        requests += line.message.rfind("Sending GET_STR_VALUE", 0) == 0;
    EXPECT_LT(requests, 100u) << "three devices of eight texts, then a short run of misses";
}

size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix)
{
    size_t n = 0;
    for (const std::string& line : lines)
        n += line.rfind(prefix, 0) == 0;
    return n;
}

// A generation 2 agent keeps its trap receivers in a table: this engine adds itself as a row once,
// has every event send to it, finds the row again later, and destroys it when the agent is removed.
TEST_F(RemoteEntryContactTest, Generation2RegistersAsARowOfItsTrapDestinationTable)
{
    Contact(2, {});
    ASSERT_TRUE(m_contacted);
    ASSERT_EQ(m_entry.GetGeneration(), 2);
    ASSERT_EQ(m_entry.CheckConfiguration(), 1);
    EXPECT_FALSE(m_entry.HasConfigurationAlarm());
    // The agent prints its SETs before it answers them: a scenario line's "ok" comes after all of them.
    ASSERT_TRUE(m_agent.Send("delay 0"));
    const std::string row = "set 1.3.6.1.4.1.64950.14.2.2.1.";
    for (const std::string& line : {row + "2.1 5", row + "3.1 127.0.0.1", row + "4.1 Vigilon Shutdown Management",
                                    row + "5.1 zastrove", row + "6.1 40162", row + "2.1 1",
                                    std::string("set 1.3.6.1.4.1.64950.10.1.3.1.0 2")})
        EXPECT_EQ(CountPrefix(m_agent.Lines(), line), 1u) << line;
    // Three devices of two events each: every event sends traps, to row 1.
    EXPECT_EQ(CountPrefix(m_agent.Lines(), "set 1.3.6.1.4.1.64950.10.2.3.2.1.7."), 6u);
    EXPECT_EQ(CountPrefix(m_agent.Lines(), "set 1.3.6.1.4.1.64950.10.2.3.2.1.7.3.2 32"), 1u);
    EXPECT_EQ(CountPrefix(m_agent.Lines(), "set 1.3.6.1.4.1.64950.10.2.3.2.1.22.3.2 1"), 1u);

    // Found again: nothing is written (the port is the one registered).
    const size_t sets = CountPrefix(m_agent.Lines(), "set ");
    EXPECT_EQ(m_entry.CheckConfiguration(), 1);
    ASSERT_TRUE(m_agent.Send("delay 0"));
    EXPECT_EQ(CountPrefix(m_agent.Lines(), "set "), sets);

    EXPECT_EQ(m_entry.UnregisterTrapDestination(), 1);
    EXPECT_FALSE(m_agent.WaitFor(row + "2.1 6", 5000).empty());
}

// A row an earlier engine wrote with a loopback address (its host name's) sends the agent's traps to the
// agent itself: it is given the address that reaches this engine, and no second row is made. The
// unregistration then finds it by that address.
TEST_F(RemoteEntryContactTest, Generation2RowOnLoopbackGetsTheReceiverAddress)
{
    Contact(2, {});
    ASSERT_TRUE(m_contacted);
    m_owner.configured = "127.0.1.1";
    ASSERT_EQ(m_entry.CheckConfiguration(), 1);
    const std::string row = "set 1.3.6.1.4.1.64950.14.2.2.1.";
    ASSERT_FALSE(m_agent.WaitFor(row + "3.1 127.0.1.1", 5000).empty());

    m_owner.configured = "198.51.100.9";
    ASSERT_EQ(m_entry.CheckConfiguration(), 1);
    EXPECT_FALSE(m_agent.WaitFor(row + "3.1 198.51.100.9", 5000).empty());
    ASSERT_TRUE(m_agent.Send("delay 0"));
    EXPECT_EQ(CountPrefix(m_agent.Lines(), row + "2.2"), 0u) << "no second row";

    m_owner.configured = "198.51.100.10";
    EXPECT_EQ(m_entry.UnregisterTrapDestination(), 1);
    EXPECT_FALSE(m_agent.WaitFor(row + "2.1 6", 5000).empty());
}

// The unregistration names the address of the registration, also when the one that reaches the agent
// has changed since.
TEST_F(RemoteEntryContactTest, UnregistrationNamesTheRegisteredAddress)
{
    Contact(3, {});
    ASSERT_TRUE(m_contacted);
    m_owner.configured = "198.51.100.9";
    ASSERT_EQ(m_entry.CheckConfiguration(), 1);
    ASSERT_FALSE(m_agent.WaitFor("set 1.3.6.1.4.1.64950.10.1.13.9.0 198.51.100.9:", 5000).empty());
    m_owner.configured = "198.51.100.10";
    EXPECT_EQ(m_entry.UnregisterTrapDestination(), 1);
    EXPECT_FALSE(m_agent.WaitFor("set 1.3.6.1.4.1.64950.10.1.13.9.0 198.51.100.9:0", 5000).empty());
}

TEST_F(RemoteEntryContactTest, Generation2AgentRefusingTheRowRaisesTheConfigurationAlarm)
{
    Contact(2, {"refuse on"});
    ASSERT_TRUE(m_contacted);
    EXPECT_EQ(m_entry.CheckConfiguration(), 0);
    EXPECT_TRUE(m_entry.HasConfigurationAlarm());
    ASSERT_TRUE(m_agent.Send("delay 0"));
    EXPECT_EQ(CountPrefix(m_agent.Lines(), "set 1.3.6.1.4.1.64950.10.2.3.2.1."), 0u) << "no event is pointed at a row";
    ASSERT_TRUE(m_agent.Send("refuse off"));
    EXPECT_EQ(m_entry.CheckConfiguration(), 1);
    EXPECT_FALSE(m_entry.HasConfigurationAlarm());
}

// A status trap that names another version leaves the generation unknown: the next registration reads
// the version again, registers by it and stores it in the row.
TEST_F(RemoteEntryContactTest, UnknownGenerationIsReadAgainBeforeTheRegistration)
{
    Contact(3, {});
    ASSERT_TRUE(m_contacted);
    RemoteTrapRecord trap;
    trap.specific = 1009;
    RemoteTrapVarbind version;
    const std::vector<uint32_t> versionOid = vgtest::EOid({10, 1, 2, 3, 0});
    version.SetOid(versionOid.data(), versionOid.size());
    std::strcpy(version.value, "12.04.0060");
    trap.varbinds.push_back(version);
    m_entry.ProcessEngineTrap(trap, false);
    ASSERT_EQ(m_entry.GetGeneration(), 0);

    EXPECT_EQ(m_entry.CheckConfiguration(), 1);
    EXPECT_EQ(m_entry.GetGeneration(), 3);
    EXPECT_FALSE(m_agent.WaitFor("set 1.3.6.1.4.1.64950.10.1.13.9.0 127.0.0.1:", 5000).empty());
    EXPECT_EQ(m_owner.GetTable().GetValue(kRemoteRowKeyBase | 9u << 12 | 1, 0).bytes, "12.04.0059");
}

}  // namespace
