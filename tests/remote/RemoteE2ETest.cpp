// The real engine against simulated UPS agents: first contact, devices, the trap-receiver
// registration, offline and back, and the engine's own answers while an agent is silent.

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <thread>

#include "tests/support/Sandbox.h"
#include "SimAgentProcess.h"
#include "tests/e2e/EngineProcess.h"
#include "tests/mibtables/SmallDataFolder.h"
#include "tests/mibtables/WalkSupport.h"

using namespace e2e;

namespace {

using vgtest::WaitUntil;

using vgtest::Count;

// An engine whose INI file names the simulated agents, with short client time-outs and a free remote
// trap port.
class RemoteEngine {
public:
    explicit RemoteEngine(const std::vector<const vgtest::SimAgentProcess*>& agents, int timeoutSeconds = 1)
    {
        m_remoteTrapPort = vgtest::FreePort(SOCK_DGRAM);
        std::ofstream ini(m_engine.Path("vgconfig.ini"));
        ini << "[VG_Engine]\nRemoteTrapPort=" << m_remoteTrapPort << "\nRemoteSnmpTimeout=" << timeoutSeconds
            << "\nRemoteSnmpRetries=0\n";
        int n = 0;
        for (const vgtest::SimAgentProcess* agent : agents) {
            ini << (n++ == 0 ? "[VG_Remote]\n" : "[VG_Remote_2]\n") << "Server=" << agent->Address()
                << "\nSNMPMacAddress=" << agent->Options().mac << "\nSNMPVersion=2\nSNMPCommunity="
                << agent->Options().community << "\nSNMPPort=" << agent->Port() << "\nSNMPTrapPort=162\n";
        }
    }
    EngineInstall& Engine() { return m_engine; }
    int RemoteTrapPort() const { return m_remoteTrapPort; }
    // The registration text a generation 3 agent receives: own address ":" port | 0x10000.
    std::string Registration() const { return "127.0.0.1:" + std::to_string(m_remoteTrapPort | 0x10000); }

private:
    EngineInstall m_engine;
    int m_remoteTrapPort = 0;
};

TEST(RemoteE2E, EachGenerationIsContactedMirroredAndRegistered)
{
    const struct {
        int generation;
        std::string registration;  // the SET that carries the trap port
        bool withFlag;             // the port is sent with 0x10000 added
    } cases[] = {
        {1, "set 1.3.6.1.4.1.64950.10.1.13.2.0 ", true},
        {2, "set 1.3.6.1.4.1.64950.14.2.2.1.6.1 ", false},
        {3, "set 1.3.6.1.4.1.64950.10.1.13.9.0 127.0.0.1:", true},
        {4, "set 1.3.6.1.4.1.64950.1.2.2.1.1.0 127.0.0.1:", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("generation " + std::to_string(c.generation));
        vgtest::SimAgentOptions options;
        options.address = "127.0.0.2";
        options.generation = c.generation;
        options.devices = 2;
        vgtest::SimAgentProcess agent;
        ASSERT_TRUE(agent.Start(options));
        RemoteEngine remote({&agent});
        ASSERT_TRUE(remote.Engine().Start()) << remote.Engine().ConsoleOutput();

        const std::string line = agent.WaitFor(c.registration, 20000);
        ASSERT_FALSE(line.empty()) << remote.Engine().LogText();
        const uint32_t value = static_cast<uint32_t>(remote.RemoteTrapPort()) | (c.withFlag ? 0x10000 : 0);
        const std::string port = std::to_string(value);
        EXPECT_TRUE(line.find(" " + port) != std::string::npos || line.find(":" + port) != std::string::npos) << line;
        if (c.generation == 4) {
            EXPECT_NE(line.find("," + options.community), std::string::npos) << line;
        }
        // Both devices are in the engine's device list, with the agent's event names.
        EXPECT_TRUE(WaitUntil([&] { return remote.Engine().LogText().find("Critical state cleared") != std::string::npos; },
                              10000))
            << remote.Engine().LogText();
        // Contacted once: each device is mirrored once.
        EXPECT_EQ(Count(remote.Engine().LogText(), "Initializing Device Entry Remote"), 2u) << remote.Engine().LogText();
        EXPECT_NE(remote.Engine().LogText().find("Sim UPS 2"), std::string::npos);
        EXPECT_NE(remote.Engine().LogText().find("Value=Low Battery"), std::string::npos) << "the event list is read";
        remote.Engine().Stop();
        EXPECT_NE(remote.Engine().LogText().find("Stopped remote agent trap queue"), std::string::npos);
    }
}

TEST(RemoteE2E, RefusedRegistrationRaisesTheConfigurationAlarm)
{
    vgtest::SimAgentOptions options;
    options.address = "127.0.0.3";
    vgtest::SimAgentProcess agent;
    ASSERT_TRUE(agent.Start(options));
    ASSERT_TRUE(agent.Send("refuse on"));
    RemoteEngine remote({&agent});
    ASSERT_TRUE(remote.Engine().Start()) << remote.Engine().ConsoleOutput();
    EXPECT_TRUE(WaitUntil([&] { return remote.Engine().LogText().find("AddAlarm 65001 [Configuration]") != std::string::npos; },
                          20000))
        << remote.Engine().LogText();
}

size_t Registrations(vgtest::SimAgentProcess& agent)
{
    size_t n = 0;
    for (const std::string& line : agent.Lines())
        n += line.rfind("set ", 0) == 0;
    return n;
}

// The engine as a service (its power events come only from the service manager's signals), with the
// agent in its INI file.
class RemoteService {
public:
    explicit RemoteService(const vgtest::SimAgentProcess& agent) : m_manager(m_tree.Root() + "/notify")
    {
        const int remoteTrapPort = vgtest::FreePort(SOCK_DGRAM);
        std::ofstream(m_tree.Path("vgconfig.ini"))
            << "[VG_Engine]\nRemoteTrapPort=" << remoteTrapPort << "\nRemoteSnmpTimeout=1\nRemoteSnmpRetries=0\n"
            << "[VG_Remote]\nServer=" << agent.Address() << "\nSNMPMacAddress=" << agent.Options().mac
            << "\nSNMPCommunity=" << agent.Options().community << "\nSNMPPort=" << agent.Port() << "\n";
        m_port = vgtest::FreePort(SOCK_DGRAM);
        const std::string parameters = m_tree.Path("test.parameters");
        std::ofstream(parameters) << "Param1=-p=" << m_port << "\nParam2=-t=" << vgtest::FreePort(SOCK_DGRAM)
                                  << "\nParam3=-l=debug\n";
        m_engine.emplace(m_tree.Program(), std::vector<std::string>{},
                         std::map<std::string, std::string>{{"NOTIFY_SOCKET", m_manager.Path()},
                                                            {"VG_PARAMETERS_FILE", parameters},
                                                            {"VG_AGENTX_PORT", "0"},
                                                            {"VG_SHUTDOWN_RECORD", m_tree.Path("shutdown-calls")}},
                         m_tree.Path("service.out"));
    }
    bool Ready() { return m_manager.WaitFor("READY=1", 15000) && WaitForAgent(m_port, 15000); }
    std::string Log() const { return ReadText(m_tree.Path("log/vigilon.log")); }
    // The host suspends and resumes: the engine then takes the next failed poll as the third and
    // wakes its workers at once.
    bool SuspendAndResume()
    {
        const size_t resumes = Count(Log(), "EXITING SYSTEM SUSPENSION");
        m_engine->Signal(SIGRTMIN + 1);
        if (!WaitUntil([&] { return Count(Log(), "ENTERING SYSTEM SUSPENSION") > resumes; }, 10000))
            return false;
        m_engine->Signal(SIGRTMIN + 2);
        return WaitUntil([&] { return Count(Log(), "EXITING SYSTEM SUSPENSION") > resumes; }, 10000);
    }

private:
    TempTree m_tree;
    NotifySocket m_manager;
    int m_port = 0;
    std::optional<Process> m_engine;
};

// Suspends and resumes the host (each resume makes the workers poll at once) until done holds: one
// poll that a busy machine answers late, or that crosses the agent's change, does not decide the test.
bool ResumeUntil(RemoteService& engine, const std::function<bool()>& done, int totalMs = 60000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(totalMs);
    while (std::chrono::steady_clock::now() < end) {
        if (!engine.SuspendAndResume())
            return false;
        if (WaitUntil(done, 5000))
            return true;
    }
    return done();
}

TEST(RemoteE2E, SilentAgentGoesOfflineAndComesBack)
{
    vgtest::SimAgentOptions options;
    options.address = "127.0.0.4";
    vgtest::SimAgentProcess agent;
    ASSERT_TRUE(agent.Start(options));
    RemoteService engine(agent);
    ASSERT_TRUE(engine.Ready()) << engine.Log();
    ASSERT_TRUE(WaitUntil([&] { return Registrations(agent) >= 1; }, 20000)) << engine.Log();

    ASSERT_TRUE(agent.Send("silent on"));
    // The offline alarm, then the event that logs it.
    ASSERT_TRUE(ResumeUntil(engine, [&] {
        const std::string log = engine.Log();
        return log.find("AddAlarm 65000 [Offline]") != std::string::npos && log.find("Device 0 Offline") != std::string::npos;
    })) << engine.Log();

    // Back: the offline alarm goes and the agent is registered again.
    const size_t registered = Registrations(agent);
    ASSERT_TRUE(agent.Send("silent off"));
    EXPECT_TRUE(ResumeUntil(engine, [&] {
        return engine.Log().find("RemoveAlarm 65000") != std::string::npos && Registrations(agent) > registered;
    })) << engine.Log();
}

TEST(RemoteE2E, SilentAgentDoesNotSlowTheEnginesAnswers)
{
    vgtest::SimAgentOptions options;
    options.address = "127.0.0.5";
    vgtest::SimAgentProcess agent;
    ASSERT_TRUE(agent.Start(options));
    ASSERT_TRUE(agent.Send("silent on"));
    RemoteEngine remote({&agent}, 10);
    ASSERT_TRUE(remote.Engine().Start()) << remote.Engine().ConsoleOutput();
    // The worker is now waiting (10 s) for the silent agent's first answer.
    ASSERT_TRUE(WaitUntil([&] { return remote.Engine().LogText().find("Sending GET_STR_VALUE query to 127.0.0.5") !=
                                       std::string::npos; },
                          20000));
    std::vector<long long> times;
    for (int i = 0; i < 20; ++i) {
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(remote.Engine().Get(E("10.1.2.3.0"), "gimbal"), "STRING: \"12.04.0059\"");
        times.push_back(std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
                            .count());
    }
    std::sort(times.begin(), times.end());
    const long long ms = times.back() / 1000;
    std::printf("20 GETs while a remote agent is silent: median %.1f ms, slowest %.1f ms (snmpget process "
                "included)\n",
                static_cast<double>(times[9] + times[10]) / 2000.0, static_cast<double>(times.back()) / 1000.0);
    // One second is the tool's own time-out: a GET that waited for the silent agent would take 10 s.
    EXPECT_LT(ms, 1000);
}

TEST(RemoteE2E, HostileAgentsLeaveTheEngineUp)
{
    const struct {
        const char* name;
        int generation;
        std::vector<std::string> scenario;
    } cases[] = {
        {"negative device count", 3, {"count -1"}},
        {"huge device count", 4, {"count 100000"}},
        {"walk repeating its OID", 4, {"repeat on"}},
        {"over-long texts", 3, {"fill 1.3.6.1.4.1.64950.10.2.2.1.9.1 60000", "fill 1.3.6.1.4.1.64950.10.1.2.3.0 5000"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vgtest::SimAgentOptions options;
        options.address = "127.0.0.7";
        options.generation = c.generation;
        vgtest::SimAgentProcess agent;
        ASSERT_TRUE(agent.Start(options));
        for (const std::string& line : c.scenario)
            ASSERT_TRUE(agent.Send(line));
        RemoteEngine remote({&agent});
        ASSERT_TRUE(remote.Engine().Start()) << remote.Engine().ConsoleOutput();
        // The first contact ends (its queue drains) and the engine answers as before.
        EXPECT_TRUE(WaitUntil([&] { return remote.Engine().LogText().find("Critical state cleared") != std::string::npos; },
                              20000))
            << remote.Engine().LogText();
        EXPECT_EQ(remote.Engine().Get(E("10.1.2.3.0"), "gimbal"), "STRING: \"12.04.0059\"");
        EXPECT_LE(Count(remote.Engine().LogText(), "Initializing Device Entry Remote"), 1u);
        EXPECT_TRUE(remote.Engine().Running());
    }
}

// An agent from the INI file and one added over SNMP the way the console does it (createAndWait, the
// columns, active): both are contacted and registered, their devices fill the device table, the remote
// table's rows follow the engine's, the cap of two holds, the export names both, a removal takes the
// agent's devices and rows with it, and the exported file alone brings both agents back.
TEST(RemoteE2E, AgentAddedOverSnmpJoinsTheImportedOneAndTheTablesFollow)
{
    vgtest::SimAgentOptions first, second;
    first.address = "127.0.0.10";
    second.address = "127.0.0.11";
    second.generation = 4;
    second.devices = 2;
    second.mac = "02:00:00:00:00:11";
    second.community = "cardrw";
    vgtest::SimAgentProcess a, b;
    ASSERT_TRUE(a.Start(first));
    ASSERT_TRUE(b.Start(second));
    RemoteEngine remote({&a});
    EngineInstall& engine = remote.Engine();
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    ASSERT_TRUE(WaitUntil([&] { return Registrations(a) == 1; }, 20000)) << engine.LogText();

    // The imported agent has its MIB row.
    EXPECT_EQ(engine.Get(E("10.6.1.0")), "INTEGER: 1");
    EXPECT_EQ(engine.Get(E("10.6.2.1.3.1")), "STRING: \"127.0.0.10\"");

    auto column = [](int c, int row) { return E("10.6.2.1." + std::to_string(c) + "." + std::to_string(row)); };
    ASSERT_EQ(engine.Set(column(2, 2), "i", "5"), "");
    EXPECT_EQ(engine.Get(E("10.6.1.0")), "INTEGER: 2");
    EXPECT_EQ(engine.Get(column(2, 2)), "INTEGER: 2") << "not active yet";
    ASSERT_EQ(engine.Set(column(3, 2), "s", second.address), "");
    // Texts longer than the row keeps are refused as such.
    EXPECT_NE(engine.Set(column(5, 2), "s", std::string(64, 'c')).find("wrongLength"), std::string::npos);
    EXPECT_NE(engine.Set(column(10, 2), "s", second.mac + ":00").find("wrongLength"), std::string::npos);
    ASSERT_EQ(engine.Set(column(5, 2), "s", second.community), "");
    ASSERT_EQ(engine.Set(column(6, 2), "i", std::to_string(b.Port())), "");
    ASSERT_EQ(engine.Set(column(10, 2), "s", second.mac), "");
    ASSERT_EQ(engine.Set(column(4, 2), "i", "2"), "");
    ASSERT_EQ(engine.Set(column(2, 2), "i", "1"), "") << engine.LogText();
    const std::string registration = b.WaitFor("set 1.3.6.1.4.1.64950.1.2.2.1.1.0 127.0.0.1:", 20000);
    ASSERT_FALSE(registration.empty()) << engine.LogText();
    EXPECT_NE(registration.find(",cardrw"), std::string::npos) << registration;

    // Three devices in the device table, two of them the new agent's.
    ASSERT_TRUE(WaitUntil([&] { return engine.Get(E("10.2.1.0")) == "INTEGER: 3"; }, 20000)) << engine.LogText();
    std::string names;
    for (int d = 1; d <= 3; ++d)
        names += engine.Get(E("10.2.2.1.10." + std::to_string(d))) + "\n";
    EXPECT_EQ(Count(names, "@127.0.0.11"), 2u) << names;
    EXPECT_EQ(Count(names, "@127.0.0.10"), 1u) << names;
    EXPECT_EQ(engine.Get(column(2, 2)), "INTEGER: 1");

    // A third agent: the row is refused and nothing changes.
    EXPECT_NE(engine.Set(column(2, 3), "i", "5"), "");
    EXPECT_EQ(engine.Get(E("10.6.1.0")), "INTEGER: 2");
    EXPECT_EQ(engine.Get(column(3, 3)).rfind("No Such Instance", 0), 0u) << engine.Get(column(3, 3));

    // The export names both agents.
    ASSERT_TRUE(WaitUntil([&] { return engine.LogText().find("Critical state cleared") != std::string::npos; }, 20000));
    ASSERT_EQ(engine.Set(E("10.1.2.14.0"), "i", "1"), "");
    ASSERT_TRUE(WaitUntil([&] { return ReadText(engine.Path("vgconfig.ini")).find("[VG_Remote_2]") != std::string::npos; },
                          10000));
    const std::string exported = ReadText(engine.Path("vgconfig.ini"));
    EXPECT_NE(exported.find("Server=127.0.0.11\nSNMPMacAddress=02:00:00:00:00:11\nSNMPVersion=2\nSNMPCommunity=cardrw\n"
                            "SNMPPort=" + std::to_string(b.Port())),
              std::string::npos)
        << exported;

    // Removing the first agent: it is unregistered, its device leaves, the second moves up to row 1
    // and a shutdown no longer waits for every remote.
    ASSERT_EQ(engine.Set(column(2, 1), "i", "6"), "");
    EXPECT_FALSE(a.WaitFor("set 1.3.6.1.4.1.64950.10.1.13.9.0 127.0.0.1:0", 20000).empty()) << engine.LogText();
    ASSERT_TRUE(WaitUntil([&] { return engine.Get(E("10.2.1.0")) == "INTEGER: 2"; }, 20000)) << engine.LogText();
    EXPECT_TRUE(WaitUntil([&] { return engine.Get(E("10.6.1.0")) == "INTEGER: 1"; }, 10000));
    EXPECT_TRUE(WaitUntil([&] { return engine.Get(column(3, 2)).rfind("No Such Instance", 0) == 0; }, 10000))
        << engine.Get(column(3, 2));
    EXPECT_EQ(engine.Get(column(3, 1)), "STRING: \"127.0.0.11\"");
    EXPECT_EQ(engine.Get(E("10.1.2.5.0")), "INTEGER: 2");
    // The freed place takes a new row again.
    ASSERT_EQ(engine.Set(column(2, 2), "i", "5"), "");
    ASSERT_EQ(engine.Set(column(2, 2), "i", "6"), "") << "a row that never became an agent goes at once";
    EXPECT_EQ(engine.Get(E("10.6.1.0")), "INTEGER: 1");
    engine.Stop();
    const size_t before = Registrations(a), beforeSecond = Registrations(b);

    // The exported file alone brings both agents back.
    fs::remove(engine.Path("data/vgrmtext.dat"));
    fs::remove(engine.Path("data/vgrmtext.bak"));
    std::ofstream(engine.Path("vgconfig.ini"), std::ios::trunc) << exported;
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    EXPECT_TRUE(WaitUntil([&] { return Registrations(a) > before && Registrations(b) > beforeSecond &&
                                       engine.Get(E("10.2.1.0")) == "INTEGER: 3"; },
                          20000))
        << engine.LogText();
    EXPECT_EQ(engine.Get(E("10.6.1.0")), "INTEGER: 2");
}

TEST(RemoteE2E, StoredAgentSurvivesARestartWithoutItsIniSection)
{
    vgtest::SimAgentOptions options;
    options.address = "127.0.0.9";
    vgtest::SimAgentProcess agent;
    ASSERT_TRUE(agent.Start(options));
    RemoteEngine remote({&agent});
    EngineInstall& engine = remote.Engine();
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    ASSERT_TRUE(WaitUntil([&] { return Registrations(agent) == 1; }, 20000)) << engine.LogText();
    ASSERT_TRUE(WaitUntil([&] { return engine.LogText().find("Critical state cleared") != std::string::npos; }, 20000));
    engine.Stop();
    ASSERT_TRUE(fs::exists(engine.Path("data/vgrmtext.dat")));
    EXPECT_EQ(fs::status(engine.Path("data/vgrmtext.dat")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    // The INI file no longer names the agent: the stored table does.
    std::ofstream(engine.Path("vgconfig.ini")) << "[VG_Engine]\nRemoteSnmpTimeout=1\nRemoteSnmpRetries=0\n";
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    EXPECT_TRUE(WaitUntil([&] { return Registrations(agent) == 2; }, 20000)) << engine.LogText();
    EXPECT_NE(engine.LogText().find("data retrieved from .dat file"), std::string::npos);
}

// An agent from the INI file is kept like one added over SNMP: monitored, it reads active, and the
// SETs of its name and device selection are in the stored file, after a clean stop and after a kill -9.
// The INI file still names the agent at the restart: the stored row is read, not imported again.
TEST(RemoteE2E, ImportedAgentReadsActiveAndKeepsItsSetsAcrossARestart)
{
    const struct {
        const char* name;
        bool kill;
    } cases[] = {{"stopped", false}, {"killed", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vgtest::SimAgentOptions options;
        options.address = "127.0.0.14";
        options.mac = "02:00:00:00:00:14";
        vgtest::SimAgentProcess agent;
        ASSERT_TRUE(agent.Start(options));
        RemoteEngine remote({&agent}, 3);
        EngineInstall& engine = remote.Engine();
        ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
        ASSERT_TRUE(WaitUntil([&] { return Registrations(agent) >= 1; }, 20000)) << engine.LogText();
        ASSERT_TRUE(WaitUntil([&] { return engine.LogText().find("Critical state cleared") != std::string::npos; }, 20000));
        auto column = [](int n) { return E("10.6.2.1." + std::to_string(n) + ".1"); };
        EXPECT_EQ(engine.Get(column(2)), "INTEGER: 1");
        ASSERT_EQ(engine.Set(column(11), "s", "Rack 4 UPS"), "");
        ASSERT_EQ(engine.Set(column(12), "i", "3"), "");
        if (c.kill)
            ASSERT_TRUE(engine.Kill());
        else
            engine.Stop();

        ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
        // The import runs once the server has started, after the engine first answers.
        EXPECT_TRUE(WaitUntil([&] { return engine.LogText().find("data retrieved from .dat file") != std::string::npos; },
                              20000))
            << engine.LogText();
        EXPECT_EQ(engine.Get(E("10.6.1.0")), "INTEGER: 1") << "imported once";
        EXPECT_EQ(engine.Get(column(11)), "STRING: \"Rack 4 UPS\"");
        EXPECT_EQ(engine.Get(column(12)), "INTEGER: 3");
        EXPECT_EQ(engine.Get(column(2)), "INTEGER: 1");
    }
}

}  // namespace

namespace {

// kill -9 while an added agent's first contact is still waiting for a silent agent: the settings
// acknowledged meanwhile (an engine setting, a trap destination, a console's registration) are all
// there after the restart, which finds the critical state and restores only the agents' files.
TEST(RemoteE2E, KillDuringALongFirstContactKeepsTheSettingsMadeMeanwhile)
{
    // One agent monitored already, whose device's reactions the user edits while a second agent's
    // first contact waits for an agent that does not answer.
    vgtest::SimAgentOptions watchedOptions;
    watchedOptions.address = "127.0.0.13";
    watchedOptions.mac = "02:00:00:00:00:13";
    vgtest::SimAgentProcess watched;
    ASSERT_TRUE(watched.Start(watchedOptions));
    vgtest::SimAgentOptions options;
    options.address = "127.0.0.12";
    options.mac = "02:00:00:00:00:12";
    vgtest::SimAgentProcess agent;
    ASSERT_TRUE(agent.Start(options));
    ASSERT_TRUE(agent.Send("silent on"));
    RemoteEngine remote({&watched}, 6);
    EngineInstall& engine = remote.Engine();
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    // Event 1 of the watched agent's device: its shutdown delay.
    const std::string delay = E("10.2.3.2.1.19.1.1");
    ASSERT_TRUE(WaitUntil([&] { return engine.Get(E("10.2.3.2.1.4.1.1")).rfind("STRING:", 0) == 0; }, 20000))
        << engine.LogText();
    ASSERT_TRUE(WaitUntil([&] { return engine.Get(E("10.1.2.17.0")) == "INTEGER: 0"; }, 20000));

    auto column = [](int c) { return E("10.6.2.1." + std::to_string(c) + ".2"); };
    ASSERT_EQ(engine.Set(column(2), "i", "5"), "");
    ASSERT_EQ(engine.Set(column(3), "s", options.address), "");
    ASSERT_EQ(engine.Set(column(5), "s", options.community), "");
    ASSERT_EQ(engine.Set(column(6), "i", std::to_string(agent.Port())), "");
    ASSERT_EQ(engine.Set(column(10), "s", options.mac), "");
    ASSERT_EQ(engine.Set(column(2), "i", "1"), "");
    // The first contact is under way, and the engine says it is busy.
    ASSERT_TRUE(WaitUntil([&] { return engine.LogText().find("query to 127.0.0.12") != std::string::npos; }, 10000));
    EXPECT_EQ(engine.Get(E("10.1.2.17.0")), "INTEGER: 16");

    ASSERT_EQ(engine.Set(E("10.4.2.1.0"), "i", "777"), "");
    auto destination = [](int c) { return E("14.2.2.1." + std::to_string(c) + ".1"); };
    ASSERT_EQ(engine.AddTrapDestination(1, "127.0.0.30", "pager", 4162), "");
    ASSERT_EQ(engine.Get(E("10.1.1.0"), "wendolmar", "127.0.0.9"), "INTEGER: 1");
    ASSERT_EQ(engine.Set(E("11.3.2.2.0"), "i", "4321", "wendolmar", "127.0.0.9"), "");
    ASSERT_EQ(engine.Set(delay, "i", "321"), "");
    ASSERT_EQ(engine.Get(E("10.1.2.17.0")), "INTEGER: 16") << "still in the first contact";
    ASSERT_TRUE(engine.Kill());

    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    EXPECT_NE(engine.LogText().find("critical state 0x10000000 left by the last run"), std::string::npos);
    EXPECT_EQ(engine.Get(E("10.4.2.1.0")), "INTEGER: 777");
    EXPECT_EQ(engine.Get(destination(4)), "STRING: \"pager\"") << engine.Get(E("14.2.1.0"));
    EXPECT_EQ(engine.Get(E("11.3.2.2.0"), "wendolmar", "127.0.0.9"), "INTEGER: 4321");
    EXPECT_TRUE(WaitUntil([&] { return engine.Get(delay) == "INTEGER: 321"; }, 20000)) << engine.Get(delay);

    // The agent stays added (its row was saved by the SETs that made it) and the engine is not busy
    // once the silent agent's first contact has failed.
    EXPECT_EQ(engine.Get(E("10.6.1.0")), "INTEGER: 2");
    EXPECT_TRUE(WaitUntil([&] { return engine.Get(E("10.1.2.17.0")) == "INTEGER: 0"; }, 20000));
}

} // namespace

// A monitored agent's destroy in a request that fails at another write, before or after it, changes
// nothing: the agent keeps its row and its mirrored device, in memory and after a restart. Nor does a
// new row's activation in such a request start monitoring its agent.
TEST(RemoteE2E, DestroyOrActivationInAFailingRequestChangesNothing)
{
    vgtest::SimAgentOptions options;
    options.address = "127.0.0.12";
    vgtest::SimAgentProcess agent;
    ASSERT_TRUE(agent.Start(options));
    RemoteEngine remote({&agent});
    EngineInstall& engine = remote.Engine();
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    ASSERT_TRUE(WaitUntil([&] { return Registrations(agent) == 1 && engine.Get(E("10.2.1.0")) == "INTEGER: 1"; },
                          20000))
        << engine.LogText();

    const std::vector<std::string> destroy = {E("10.6.2.1.2.1"), "i", "6"};
    const std::vector<std::string> refused = {E("10.6.2.1.2.5"), "i", "5"}; // not the next row
    for (bool destroyFirst : {true, false}) {
        SCOPED_TRACE(destroyFirst ? "destroy first" : "destroy last");
        EXPECT_EQ(mibtest::SetAll(engine, destroyFirst ? std::vector<mibtest::Varbind>{destroy, refused}
                                                       : std::vector<mibtest::Varbind>{refused, destroy}),
                  "commitFailed");
        EXPECT_EQ(engine.Get(E("10.6.1.0")), "INTEGER: 1");
        EXPECT_EQ(engine.Get(E("10.6.2.1.3.1")), "STRING: \"127.0.0.12\"");
        EXPECT_EQ(engine.Get(E("10.2.1.0")), "INTEGER: 1");
    }
    // A new row's activation in a request that fails elsewhere starts no monitoring.
    auto column = [](int c, int r) { return E("10.6.2.1." + std::to_string(c) + "." + std::to_string(r)); };
    ASSERT_EQ(mibtest::SetAll(engine, {{column(2, 2), "i", "5"}}), "");
    ASSERT_EQ(mibtest::SetAll(engine, {{column(3, 2), "s", "127.0.0.17"},
                                       {column(6, 2), "i", std::to_string(vgtest::FreePort(SOCK_DGRAM))}}),
              "");
    const mibtest::Varbind activate = {column(2, 2), "i", "1"};
    for (bool activateFirst : {true, false}) {
        SCOPED_TRACE(activateFirst ? "activation first" : "activation last");
        EXPECT_NE(mibtest::SetAll(engine, activateFirst ? std::vector<mibtest::Varbind>{activate, refused}
                                                        : std::vector<mibtest::Varbind>{refused, activate}),
                  "");
        EXPECT_EQ(engine.Get(column(2, 2)), "INTEGER: 2");
    }
    EXPECT_EQ(engine.LogText().find("Attempting to add new Remote Agent at SNMP Index 2"), std::string::npos)
        << "an activation whose request failed started monitoring";
    ASSERT_TRUE(engine.Kill());
    const size_t before = Registrations(agent);
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    EXPECT_TRUE(WaitUntil([&] { return Registrations(agent) > before && engine.Get(E("10.2.1.0")) == "INTEGER: 1"; },
                          20000))
        << engine.LogText();
    EXPECT_EQ(engine.Get(E("10.6.1.0")), "INTEGER: 1");
    EXPECT_EQ(engine.Get(E("10.6.2.1.3.1")), "STRING: \"127.0.0.12\"");
}

// Row-status SETs of the remote-agent table whose save fails (a full disk) are answered commitFailed
// and change nothing: an active agent stays active, a new row gets no agent, and a monitored agent's
// destroy leaves it monitored with its device; after a restart the agent is still there, active.
TEST(RemoteE2E, RowStatusSetsWhoseSaveFailsAreRefusedAndChangeNothing)
{
    vgtest::SimAgentOptions options;
    options.address = "127.0.0.15";
    vgtest::SimAgentProcess agent;
    ASSERT_TRUE(agent.Start(options));
    RemoteEngine remote({&agent});
    EngineInstall& engine = remote.Engine();
    mibtest::SmallDataFolder data(engine.Path("data"));
    if (!data.Mounted())
        GTEST_SKIP() << "a tmpfs cannot be mounted here";
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    ASSERT_TRUE(WaitUntil([&] {
        return engine.LogText().find("Critical state cleared") != std::string::npos &&
               engine.Get(E("10.2.1.0")) == "INTEGER: 1";
    }, 20000)) << engine.LogText();
    auto column = [](int c, int r) { return E("10.6.2.1." + std::to_string(c) + "." + std::to_string(r)); };
    // Row 2 is made and written but not active yet (nobody answers at its address).
    ASSERT_EQ(mibtest::SetAll(engine, {{column(2, 2), "i", "5"}}), "");
    ASSERT_EQ(mibtest::SetAll(engine, {{column(3, 2), "s", "127.0.0.16"},
                                       {column(6, 2), "i", std::to_string(vgtest::FreePort(SOCK_DGRAM))}}),
              "");

    const struct {
        const char* what;
        std::vector<mibtest::Varbind> varbinds;
    } cases[] = {
        {"an active agent set notInService", {{column(2, 1), "i", "2"}}},
        {"a new row set active", {{column(2, 2), "i", "1"}}},
        {"a monitored agent's destroy", {{column(2, 1), "i", "6"}}},
    };
    ASSERT_TRUE(data.Fill());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(mibtest::SetAll(engine, c.varbinds), "commitFailed");
        EXPECT_EQ(engine.Get(column(2, 1)), "INTEGER: 1");
        EXPECT_EQ(engine.Get(column(3, 1)), "STRING: \"127.0.0.15\"");
        EXPECT_EQ(engine.Get(column(2, 2)), "INTEGER: 2");
        EXPECT_EQ(engine.Get(E("10.2.1.0")), "INTEGER: 1") << "the agent's device stays";
    }
    EXPECT_EQ(engine.LogText().find("Attempting to add new Remote Agent at SNMP Index 2"), std::string::npos)
        << "the row that could not be saved active got an agent";

    ASSERT_TRUE(engine.Kill());
    data.Empty();
    const size_t before = Registrations(agent);
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    EXPECT_TRUE(WaitUntil([&] { return Registrations(agent) > before && engine.Get(E("10.2.1.0")) == "INTEGER: 1"; },
                          20000))
        << engine.LogText();
    EXPECT_EQ(engine.Get(column(2, 1)), "INTEGER: 1");
    EXPECT_EQ(engine.Get(column(3, 1)), "STRING: \"127.0.0.15\"");
    EXPECT_NE(engine.Get(column(2, 2)), "INTEGER: 1");
}
