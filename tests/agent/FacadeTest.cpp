// The SNMP facade: the row counts it keeps, its results, the community swap, the stop request, and
// that nothing waits or looks a name up while its mutex is held.

#include "engine/agent/MervaneSnmp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "engine/base/Helpers.h"
#include "engine/core/server/Server.h"
#include "support/TestSupport.h"
#include "tests/core/ServerTestSupport.h"
#include "engine/core/server/ServerEx.h"

namespace {

// True when another thread can take the facade mutex right now (so the caller does not hold it).
bool FacadeMutexFree()
{
    bool free = false;
    std::thread([&] {
        Mutex probe("MervaneSnmpMutex");
        if (probe.TryLock(0) == 1) {
            free = true;
            probe.Unlock();
        }
    }).join();
    return free;
}

struct FacadeFixture {
    MibRowCounts rows;
    std::vector<std::string> swaps;
    std::vector<SnmpTrap> traps;
    std::atomic<int> stops{0};
    bool acceptWork = true;
    std::unique_ptr<CMervaneSnmp> facade;

    explicit FacadeFixture(SnmpFacadeHost host = {})
    {
        host.postTrap = [this](SnmpTrap t) {
            traps.push_back(std::move(t));
            return acceptWork;
        };
        host.swapCommunity = [this](const std::string& name) {
            if (acceptWork)
                swaps.push_back(name);
            return acceptWork;
        };
        host.requestStop = [this] { ++stops; };
        host.sysUpTime = [] { return 4242u; };
        host.engineMac = [] { return std::string("00.00.00.00.00.00"); };
        facade = std::make_unique<CMervaneSnmp>(std::move(host), rows);
    }
};

} // namespace

TEST(SnmpFacade, DeviceRowsAndTheirRegistrations)
{
    vgtest::Log();
    FacadeFixture f;
    EXPECT_EQ(f.facade->SnmpAddDevice(), 1);
    EXPECT_EQ(f.facade->SnmpAddDevice(), 2);
    EXPECT_EQ(f.rows.devices.Count(), 2u);

    EXPECT_EQ(f.facade->SnmpRegisterDeviceData(1, 3, 4, 5, 6, 7, 8), 0);
    DeviceItems one = f.rows.deviceItems.Get(1);
    EXPECT_EQ(one.controls, 3);
    EXPECT_EQ(one.variables, 4);
    EXPECT_EQ(one.events, 5);
    EXPECT_EQ(one.loads, 6);
    EXPECT_EQ(one.schedules, 7);
    EXPECT_EQ(one.loadGroups, 8);
    EXPECT_EQ(f.rows.upsLoads.Count(), 6u);      // device 1 also sizes the UPS group
    EXPECT_EQ(f.rows.upsLoadGroups.Count(), 8u);
    EXPECT_TRUE(vgtest::Log().Contains("SnmpRegisterDeviceData( DeviceIndex='1', CtlCount='3', VarCount='4', "
                                       "EvtCount='5', LodCount='6', SchedCount='7') invoked"));
    EXPECT_TRUE(vgtest::Log().Contains("SnmpRegisterDeviceData succeeded"));

    EXPECT_EQ(f.facade->SnmpRegisterDeviceData(2, 1, 1, 1, 2, 1, 1), 0);
    EXPECT_EQ(f.rows.upsLoads.Count(), 6u); // only device 1 sizes it

    // Any failed registration fails the whole call: no such device row, or a negative count.
    EXPECT_EQ(f.facade->SnmpRegisterDeviceData(3, 1, 1, 1, 1, 1, 1), -1);
    EXPECT_EQ(f.facade->SnmpRegisterDeviceData(0, 1, 1, 1, 1, 1, 1), -1);
    EXPECT_EQ(f.facade->SnmpRegisterDeviceData(2, 1, -1, 1, 1, 1, 1), -1);
    EXPECT_TRUE(vgtest::Log().Contains("SnmpRegisterDeviceData failed!"));

    // Removal always takes the last row and its registration.
    f.facade->SnmpRemoveDevice(1);
    EXPECT_EQ(f.rows.devices.Count(), 1u);
    EXPECT_EQ(f.rows.deviceItems.Get(2).loads, 0);
    EXPECT_EQ(f.rows.deviceItems.Get(1).loads, 6);
    f.facade->SnmpRemoveDevice();
    f.facade->SnmpRemoveDevice(); // none left: nothing happens
    EXPECT_EQ(f.rows.devices.Count(), 0u);
    EXPECT_EQ(f.rows.upsLoads.Count(), 0u);
}

TEST(SnmpFacade, AlarmRemoteAndTrapDestinationRows)
{
    FacadeFixture f;
    EXPECT_EQ(f.facade->SnmpAddAlarm(1), 1);
    EXPECT_EQ(f.facade->SnmpAddAlarm(1), 2);
    EXPECT_EQ(f.facade->SnmpAddAlarm(2), 3);
    f.facade->SnmpRemoveAlarm(1, 2);
    EXPECT_EQ(f.rows.upsAlarms.Count(), 2u);
    EXPECT_EQ(f.rows.engineAlarms.Count(), 2u);
    EXPECT_FALSE(f.rows.engineAlarms.HasRow(2));
    f.facade->SnmpRemoveAlarm(1, 3);
    EXPECT_EQ(f.facade->SnmpAddAlarm(1), 4); // an index is never reused
    EXPECT_EQ(f.rows.upsAlarms.NextRow(1, false), 4u);

    EXPECT_EQ(f.facade->SnmpRegisterRemoteAgentData(), 1);
    EXPECT_EQ(f.facade->SnmpRegisterRemoteAgentData(), 2);
    f.facade->SnmpRemoveRemoteAgentData(1);
    EXPECT_EQ(f.rows.remoteAgents.Count(), 1u);

    EXPECT_EQ(f.facade->SetSnmpIpRowCount(5), 0);
    EXPECT_EQ(f.rows.trapDestinations.Count(), 5u);
    f.facade->SnmpSetSnmpIpRowCount(0);
    EXPECT_EQ(f.rows.trapDestinations.Count(), 0u);
    EXPECT_EQ(f.facade->SetSnmpIpRowCount(-1), -1);

    EXPECT_EQ(f.facade->SnmpGetSysUpTime(), 4242u);
}

TEST(SnmpFacade, CommunitySwapAndTheServersCommunity)
{
    servertest::TestInstall install;
    servertest::CallLog calls;
    CServer* server = CreateServerInstance(install.Options(calls));
    ASSERT_NE(server, nullptr);
    server->SetCommunity("public");

    FacadeFixture f;
    EXPECT_EQ(f.facade->SnmpSetCommunity("secret", 6), 1);
    EXPECT_EQ(server->GetCommunity(), "secret");
    EXPECT_EQ(f.facade->SnmpSetCommunity("", 0), 1); // the defaults come back
    EXPECT_EQ(server->GetCommunity(), "wendolmar");
    EXPECT_EQ(f.facade->SnmpSetCommunity(nullptr, 5), 1);
    EXPECT_EQ(server->GetCommunity(), "wendolmar");

    const std::string tooLong(128, 'c');
    EXPECT_EQ(f.facade->SnmpSetCommunity(tooLong.data(), tooLong.size()), 0);
    const std::string longest(127, 'c');
    EXPECT_EQ(f.facade->SnmpSetCommunity(longest.data(), longest.size()), 1);
    EXPECT_EQ(f.swaps, (std::vector<std::string>{"secret", "", "", longest}));
    EXPECT_EQ(server->GetCommunity(), longest);

    // A swap that cannot be queued changes nothing.
    f.acceptWork = false;
    EXPECT_EQ(f.facade->SnmpSetCommunity("other", 5), 0);
    EXPECT_EQ(server->GetCommunity(), longest);
    CServer::DeleteInstance();
}

TEST(SnmpFacade, StopRequestAndLookupsHappenWithoutWaitingUnderTheMutex)
{
    std::atomic<int> lookups{0};
    std::atomic<int> lookupsUnderMutex{0};
    SnmpFacadeHost host;
    host.resolver = [&](const std::string& name, uint32_t& address) {
        ++lookups;
        if (!FacadeMutexFree())
            ++lookupsUnderMutex;
        address = name == "enginehost.example" ? 0x0500007Fu : 0;
        return address != 0;
    };
    host.hostName = [] { return std::string("enginehost.example"); };
    host.primaryAddress = [](std::string&) { return false; }; // a host with loopback only
    FacadeFixture f(std::move(host));

    f.facade->SnmpStopAgent();
    EXPECT_EQ(f.stops.load(), 1);

    TrapData record;
    record.peername = "127.0.0.1";
    record.agent = "enginehost.example";
    record.port = 3665;
    record.trapOid = {1, 3, 6, 1, 4, 1, 64950, 15, 0, 1001, 0};
    EXPECT_EQ(f.facade->SendTrap(record), 0);
    ASSERT_EQ(f.traps.size(), 1u);
    EXPECT_EQ(f.traps[0].peer, "127.0.0.5");
    EXPECT_EQ(f.traps[0].agentAddress, 0x0500007Fu); // the engine's address as the SNMPv1 agent-addr

    EXPECT_EQ(f.facade->GetEngineIPAddress(), 0x0500007Fu);
    EXPECT_EQ(f.facade->GetEngineIPAddress(), 0x0500007Fu); // remembered
    EXPECT_GE(lookups.load(), 2);
    EXPECT_EQ(lookupsUnderMutex.load(), 0);
    EXPECT_TRUE(FacadeMutexFree());
}

// The engine's own address: the configured one, else the host name's, unless that is a loopback
// address a peer cannot reach: then the host's primary address (default route, first interface).
TEST(SnmpFacade, EngineAddressComesFromTheConfigurationTheHostNameOrThePrimaryInterface)
{
    const struct {
        const char* configured;
        const char* resolved;  // nullptr: the name does not resolve
        const char* primary;   // nullptr: the host has no address but loopback
        const char* expected;
    } cases[] = {
        {"127.0.0.3", "192.0.2.7", "198.51.100.4", "127.0.0.3"},  // configured, also on loopback
        {"", "192.0.2.7", "198.51.100.4", "192.0.2.7"},
        {"", "127.0.1.1", "198.51.100.4", "198.51.100.4"},       // Debian's installer
        {"", "127.0.0.1", "198.51.100.4", "198.51.100.4"},
        {"", "127.0.1.1", nullptr, "127.0.1.1"},                 // nothing better
        {"", nullptr, "198.51.100.4", "0.0.0.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.configured) + " / " + (c.resolved ? c.resolved : "-") + " / " +
                     (c.primary ? c.primary : "-"));
        SnmpFacadeHost host;
        const std::string configured = c.configured;
        host.configuredEngineIp = [configured] { return configured; };
        const char* resolved = c.resolved;
        host.resolver = [resolved](const std::string&, uint32_t& address) {
            return resolved && (address = StringToIpAddress(resolved), true);
        };
        const char* primary = c.primary;
        host.primaryAddress = [primary](std::string& address) { return primary && (address = primary, true); };
        FacadeFixture f(std::move(host));
        EXPECT_EQ(f.facade->GetEngineIPAddress(), StringToIpAddress(c.expected));
    }
}

// Devices added by several threads at once each get their own row.
TEST(SnmpFacadeThreads, ConcurrentRowChangesKeepTheirOrder)
{
    FacadeFixture f;
    std::mutex seenMutex;
    std::set<int> seen;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                const int index = f.facade->SnmpAddDevice();
                f.facade->SnmpRegisterDeviceData(index, 1, 2, 3, 4, 5, 6);
                const int alarm = f.facade->SnmpAddAlarm(index);
                std::lock_guard<std::mutex> lock(seenMutex);
                seen.insert(index);
                seen.insert(10000 + alarm);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(seen.size(), 400u);
    EXPECT_EQ(*seen.begin(), 1);
    EXPECT_EQ(*seen.rbegin(), 10200);
    EXPECT_EQ(f.rows.devices.Count(), 200u);
    EXPECT_EQ(f.rows.deviceItems.Get(200).loadGroups, 6);
}
