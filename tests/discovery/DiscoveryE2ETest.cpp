// The real engine's discovery against simulated UPS agents on 127.0.0.x: started by SETs of the
// discovery objects, progress and found agents reported to a registered console, the log lines, the
// input errors, and an engine stop in the middle of a /24.

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "tests/support/Sandbox.h"
#include "tests/support/Wait.h"
#include "SimAgentProcess.h"
#include "tests/e2e/EngineProcess.h"

using namespace e2e;
using traptest::DecodedTrap;
using traptest::TrapReceiver;

namespace {

using vgtest::WaitUntil;

using vgtest::Count;

// The progress fields of a DiscoveryProgressTrap, with the found agent when it carries one.
struct Progress {
    int64_t status = -1, count = -1, scanned = -1, found = -1, queued = -1, added = -1;
    bool hasAgent = false;
    std::string address, community;
    int64_t port = -1, version = -1;
};

bool IsProgress(const DecodedTrap& t) { return t.ok && t.specific == 1007; }

Progress Decode(const DecodedTrap& t)
{
    Progress p;
    EXPECT_EQ(t.enterprise, kE);
    EXPECT_EQ(t.generic, 6);
    const size_t n = t.varbinds.size();
    EXPECT_TRUE(n == 7 || n == 11) << n << " varbinds";
    if (n != 7 && n != 11)
        return p;
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(t.varbinds[i].oid, E("10.1.11." + std::to_string(6 + i) + ".0"));
    int64_t* fields[] = {&p.status, &p.count, &p.scanned, &p.found, &p.queued, &p.added};
    for (size_t i = 0; i < 6; ++i)
        *fields[i] = t.varbinds[i].integer;
    if (n == 11) {
        p.hasAgent = true;
        EXPECT_EQ(t.varbinds[6].oid, E("10.1.11.12.0"));
        EXPECT_EQ(t.varbinds[9].oid, E("10.1.11.15.0"));
        p.address = t.varbinds[6].text;
        p.community = t.varbinds[7].text;
        p.port = t.varbinds[8].integer;
        p.version = t.varbinds[9].integer;
    }
    EXPECT_EQ(t.varbinds[n - 1].oid, E("10.1.2.6.0")) << "the engine's MAC comes last";
    return p;
}

std::vector<Progress> ProgressTraps(TrapReceiver& receiver)
{
    std::vector<Progress> out;
    for (const DecodedTrap& t : receiver.Traps())
        if (IsProgress(t))
            out.push_back(Decode(t));
    return out;
}

bool HasStatus(TrapReceiver& receiver, int64_t status)
{
    for (const DecodedTrap& t : receiver.Traps())
        if (IsProgress(t) && t.varbinds.size() >= 7 && t.varbinds[0].integer == status)
            return true;
    return false;
}

// An engine on 127.0.0.1 (its configured address) with short client time-outs; discoveries try the one
// port given.
class DiscoveryEngine {
public:
    explicit DiscoveryEngine(int scanPort)
    {
        m_engine.SetEnv("VG_DISCOVERY_PORTS", std::to_string(scanPort));
        std::ofstream ini(m_engine.Path("vgconfig.ini"));
        ini << "[VG_Engine]\nEngineIPAddress=127.0.0.1\nRemoteTrapPort=" << vgtest::FreePort(SOCK_DGRAM)
            << "\nRemoteSnmpTimeout=1\nRemoteSnmpRetries=0\n";
    }
    EngineInstall& Engine() { return m_engine; }

    // Registers the manager at address as a console whose trap port is the receiver's.
    void RegisterConsole(const char* address, TrapReceiver& receiver)
    {
        ASSERT_EQ(m_engine.Get(E("10.1.1.0"), "wendolmar", address), "INTEGER: 1");
        ASSERT_EQ(m_engine.Set(E("11.3.2.2.0"), "i", std::to_string(receiver.Port()), "wendolmar", address), "");
    }
    void StartDiscovery(const std::string& addresses, const std::string& communities)
    {
        ASSERT_EQ(m_engine.Set(E("10.1.11.1.0"), "s", addresses), "");
        ASSERT_EQ(m_engine.Set(E("10.1.11.3.0"), "s", communities), "");
        ASSERT_EQ(m_engine.Set(E("10.1.11.4.0"), "i", "1"), "");
    }
    std::string DiscoveryLog() { return ReadText(m_engine.Path("log/VGNMSDiscoveryError.log")); }

private:
    EngineInstall m_engine;
};

} // namespace

TEST(DiscoveryE2E, AgentsOfEachGenerationAreFoundAndReported)
{
    const int port = vgtest::FreePortOnEveryAddress(SOCK_DGRAM);
    ASSERT_GT(port, 0);
    const struct {
        const char* address;
        int generation;
        bool v1only;
        int64_t version;
    } agents[] = {{"127.0.0.2", 1, false, 2}, {"127.0.0.3", 3, false, 2}, {"127.0.0.5", 4, true, 1}};
    std::vector<std::unique_ptr<vgtest::SimAgentProcess>> sims;
    for (const auto& a : agents) {
        vgtest::SimAgentOptions options;
        options.address = a.address;
        options.generation = a.generation;
        options.port = port;
        options.mac = std::string("02:00:00:00:00:0") + a.address[8];
        sims.push_back(std::make_unique<vgtest::SimAgentProcess>());
        ASSERT_TRUE(sims.back()->Start(options)) << a.address;
        if (a.v1only) {
            ASSERT_TRUE(sims.back()->Send("v1only on"));
        }
    }
    DiscoveryEngine engine(port);
    ASSERT_TRUE(engine.Engine().Start()) << engine.Engine().ConsoleOutput();
    TrapReceiver console("127.0.0.9");
    engine.RegisterConsole("127.0.0.9", console);

    // 127.0.0.1 is the engine's own address; nothing answers on .4 and .6.
    engine.StartDiscovery("127.0.0.1-6", "nobody,public");
    ASSERT_TRUE(WaitUntil([&] { return HasStatus(console, 4); }, 30000)) << engine.Engine().LogText();

    const std::vector<Progress> traps = ProgressTraps(console);
    std::set<int64_t> statuses;
    std::map<std::string, Progress> found;
    for (const Progress& p : traps) {
        statuses.insert(p.status);
        if (p.status == 1) {
            EXPECT_EQ(p.count, 5);
        }
        if (p.hasAgent) {
            EXPECT_EQ(found.count(p.address), 0u) << "announced twice: " << p.address;
            found[p.address] = p;
        }
    }
    EXPECT_EQ(statuses, (std::set<int64_t>{1, 2, 4}));
    ASSERT_EQ(found.size(), 3u);
    for (const auto& a : agents) {
        SCOPED_TRACE(a.address);
        ASSERT_EQ(found.count(a.address), 1u);
        EXPECT_EQ(found[a.address].community, "public") << "the community that answered";
        EXPECT_EQ(found[a.address].port, port);
        EXPECT_EQ(found[a.address].version, a.version);
    }
    const Progress& last = traps.back();
    EXPECT_EQ(last.status, 4);
    EXPECT_EQ(last.count, 5);
    EXPECT_EQ(last.scanned, 5);
    EXPECT_EQ(last.found, 3);
    EXPECT_EQ(last.queued, 3);
    EXPECT_EQ(last.added, 0);

    const std::string log = engine.Engine().LogText();
    EXPECT_NE(log.find("Excluding our engine's IP address '127.0.0.1' from scan"), std::string::npos);
    EXPECT_NE(log.find("Autodiscovery will scan 5 individual IP Addresses"), std::string::npos);
    for (const auto& a : agents)
        EXPECT_NE(log.find(std::string("Autodiscovery found device at ") + a.address +
                           ": community string='public', port='" + std::to_string(port) + "'"),
                  std::string::npos)
            << a.address;
    EXPECT_EQ(Count(log, "Autodiscovery found device at "), 3u);
    EXPECT_EQ(log.find("Scanning address '127.0.0.1'"), std::string::npos) << "the own address is not probed";
    EXPECT_NE(log.find("Autodiscovery of remote devices complete"), std::string::npos);
    EXPECT_NE(engine.DiscoveryLog().find("Remote Device Discovery started at "), std::string::npos);
    // The agent's answers went on.
    EXPECT_EQ(engine.Engine().Get(E("10.1.11.4.0")), "INTEGER: 2");
}

TEST(DiscoveryE2E, UnusableInputEndsTheRunWithItsStatusAndText)
{
    const struct {
        const char* communities;
        const char* addresses;
        int64_t status;
        const char* text;
        bool inDiscoveryLog;
    } cases[] = {
        {"", "127.0.0.2", 7, "No community string(s) provided for autodiscovery", false},
        {",,", "127.0.0.2", 7, "Failed to parse any community strings for autodiscovery from ',,'", false},
        {"public", "127.0.0.5-3,127.0.0.255", 6,
         "Failed to add any IP addresses for autodiscovery from '127.0.0.5-3,127.0.0.255'", false},
        {"public", "127.0.0.1", 6, "Failed to add any IP addresses for autodiscovery from '127.0.0.1'", false},
        {"public", ",", 6, "Failed to parse any IP addresses for autodiscovery from ','", true},
    };
    DiscoveryEngine engine(vgtest::FreePort(SOCK_DGRAM));
    ASSERT_TRUE(engine.Engine().Start()) << engine.Engine().ConsoleOutput();
    TrapReceiver console("127.0.0.9");
    engine.RegisterConsole("127.0.0.9", console);
    size_t runs = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.communities) + " / " + c.addresses);
        console.Clear();
        engine.StartDiscovery(c.addresses, c.communities);
        ++runs;
        // The request is over when the workers are resumed.
        ASSERT_TRUE(WaitUntil([&] { return Count(engine.Engine().LogText(), "CRemoteAgent::ResumeAllThreads invoked") >= runs; },
                              10000));
        ASSERT_TRUE(WaitUntil([&] { return HasStatus(console, c.status); }, 5000)) << engine.Engine().LogText();
        for (const Progress& p : ProgressTraps(console)) {
            EXPECT_EQ(p.status, c.status);
            EXPECT_FALSE(p.hasAgent);
        }
        EXPECT_NE(engine.Engine().LogText().find(c.text), std::string::npos);
        EXPECT_EQ(engine.DiscoveryLog().find(c.text) != std::string::npos, c.inDiscoveryLog);
    }
    EXPECT_EQ(Count(engine.Engine().LogText(), "Autodiscovery will scan"), 0u);
}

// SIGTERM while a /24 is being probed: the scan is cancelled and its threads joined before the
// managers go, and the engine ends cleanly within a few seconds.
TEST(DiscoveryE2E, StopInTheMiddleOfASlashTwentyFour)
{
    DiscoveryEngine engine(vgtest::FreePort(SOCK_DGRAM));
    ASSERT_TRUE(engine.Engine().Start()) << engine.Engine().ConsoleOutput();
    engine.StartDiscovery("127.0.7.", "public");
    ASSERT_TRUE(WaitUntil([&] { return Count(engine.Engine().LogText(), "Scanning address '127.0.7.") >= 32; }, 10000))
        << engine.Engine().LogText();
    const auto start = std::chrono::steady_clock::now();
    const int status = engine.Engine().Stop();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(4));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string log = engine.Engine().LogText();
    EXPECT_NE(log.find("Autodiscovery of remote devices stopped"), std::string::npos) << log;
    EXPECT_EQ(log.find("Autodiscovery of remote devices complete"), std::string::npos);
    EXPECT_NE(log.find("Vigilon Agent Stopped"), std::string::npos);
}

// A discovery of single addresses, then the console adds the agent it found: that agent's first
// contact ends the discovery with the completion line and the safe points, and the discovery log gets
// one line per address that was not found, in address order.
TEST(DiscoveryE2E, FirstContactOfTheAddedAgentWritesTheResults)
{
    const int port = vgtest::FreePortOnEveryAddress(SOCK_DGRAM);
    ASSERT_GT(port, 0);
    vgtest::SimAgentOptions good, badMac;
    good.address = "127.0.0.2";
    good.port = port;
    good.mac = "02:00:00:00:00:02";
    badMac.address = "127.0.0.3";
    badMac.port = port;
    badMac.mac = "40:00:00:00:00:03";
    vgtest::SimAgentProcess a, b;
    ASSERT_TRUE(a.Start(good));
    ASSERT_TRUE(b.Start(badMac));
    DiscoveryEngine engine(port);
    ASSERT_TRUE(engine.Engine().Start()) << engine.Engine().ConsoleOutput();
    TrapReceiver console("127.0.0.9");
    engine.RegisterConsole("127.0.0.9", console);

    // Nothing answers on .4.
    engine.StartDiscovery("127.0.0.4,127.0.0.2,127.0.0.3", "public");
    ASSERT_TRUE(WaitUntil([&] { return HasStatus(console, 4); }, 30000)) << engine.Engine().LogText();
    ASSERT_TRUE(WaitUntil(
        [&] { return Count(engine.Engine().LogText(), "CRemoteAgent::ResumeAllThreads invoked") >= 1; }, 10000));
    const std::string completed = "Autodiscovery is completed. Saving new safe point files.";
    EXPECT_EQ(engine.Engine().LogText().find(completed), std::string::npos) << "nothing added yet";
    EXPECT_EQ(Count(engine.DiscoveryLog(), "    "), 0u) << engine.DiscoveryLog();

    // The console's add: createAndWait, the columns, active.
    EngineInstall& e = engine.Engine();
    auto column = [](int c) { return E("10.6.2.1." + std::to_string(c) + ".1"); };
    ASSERT_EQ(e.Set(column(2), "i", "5"), "");
    ASSERT_EQ(e.Set(column(3), "s", good.address), "");
    ASSERT_EQ(e.Set(column(5), "s", "public"), "");
    ASSERT_EQ(e.Set(column(6), "i", std::to_string(port)), "");
    ASSERT_EQ(e.Set(column(10), "s", good.mac), "");
    ASSERT_EQ(e.Set(column(2), "i", "1"), "") << e.LogText();

    const std::string noneLine = "127.0.0.4    no devices were found at the ip address provided\n";
    ASSERT_TRUE(WaitUntil([&] { return engine.DiscoveryLog().find(noneLine) != std::string::npos; }, 20000))
        << e.LogText();
    const std::string log = e.LogText();
    EXPECT_EQ(Count(log, completed), 1u);
    EXPECT_NE(log.find("to create safepoint file was successful"), std::string::npos);
    EXPECT_EQ(engine.DiscoveryLog().find("127.0.0.2"), std::string::npos) << "found and added: no error line";
    const std::string results = engine.DiscoveryLog();
    const size_t mac =
        results.find("127.0.0.3    The IP address was found but has a MAC Address that is not supported by VGNMS\n");
    const size_t none = results.find(noneLine);
    EXPECT_NE(mac, std::string::npos) << results;
    EXPECT_NE(none, std::string::npos) << results;
    EXPECT_LT(mac, none) << "address order";

    // Written once: a later change of the agent list writes nothing more.
    ASSERT_EQ(e.Set(column(2), "i", "6"), "");
    ASSERT_TRUE(WaitUntil([&] { return e.Get(E("10.6.1.0")) == "INTEGER: 0"; }, 20000));
    EXPECT_EQ(engine.DiscoveryLog(), results);
    EXPECT_EQ(Count(e.LogText(), completed), 1u);
}
