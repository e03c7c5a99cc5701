// The real engine against simulated UPS agents: first contact, devices, the trap-receiver
// registration, offline and back, and the engine's own answers while an agent is silent.

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <thread>

#include "SimAgentProcess.h"
#include "tests/e2e/EngineProcess.h"

using namespace e2e;

namespace {

using vgtest::WaitUntil;

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

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
        std::string registration;  // the object, and whether the value is a number
    } cases[] = {
        {1, "set 1.3.6.1.4.1.64950.10.1.13.2.0 "},
        {3, "set 1.3.6.1.4.1.64950.10.1.13.9.0 127.0.0.1:"},
        {4, "set 1.3.6.1.4.1.64950.1.2.2.1.1.0 127.0.0.1:"},
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
        const uint32_t value = static_cast<uint32_t>(remote.RemoteTrapPort()) | 0x10000;
        EXPECT_NE(line.find(std::to_string(value)), std::string::npos) << line;
        if (c.generation == 4) {
            EXPECT_NE(line.find("," + options.community), std::string::npos) << line;
        }
        // Both devices are in the engine's device list, with the agent's event names.
        EXPECT_TRUE(WaitUntil([&] { return Count(remote.Engine().LogText(), "Initializing Device Entry Remote") >= 2; },
                              10000))
            << remote.Engine().LogText();
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

TEST(RemoteE2E, SilentAgentGoesOfflineAndComesBack)
{
    vgtest::SimAgentOptions options;
    options.address = "127.0.0.4";
    vgtest::SimAgentProcess agent;
    ASSERT_TRUE(agent.Start(options));
    RemoteService engine(agent);
    ASSERT_TRUE(engine.Ready()) << engine.Log();
    ASSERT_TRUE(WaitUntil([&] { return Registrations(agent) == 1; }, 20000)) << engine.Log();

    ASSERT_TRUE(agent.Send("silent on"));
    ASSERT_TRUE(engine.SuspendAndResume()) << engine.Log();
    ASSERT_TRUE(WaitUntil([&] { return engine.Log().find("AddAlarm 65000 [Offline]") != std::string::npos; }, 20000))
        << engine.Log();
    EXPECT_NE(engine.Log().find("Device 0 Offline"), std::string::npos);

    // Back: the offline alarm goes and the agent is registered again.
    ASSERT_TRUE(agent.Send("silent off"));
    ASSERT_TRUE(engine.SuspendAndResume()) << engine.Log();
    EXPECT_TRUE(WaitUntil([&] { return engine.Log().find("RemoveAlarm 65000") != std::string::npos &&
                                       Registrations(agent) == 2; },
                          20000))
        << engine.Log();
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
    auto worst = std::chrono::steady_clock::duration::zero();
    for (int i = 0; i < 20; ++i) {
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(remote.Engine().Get(E("10.1.2.3.0"), "gimbal"), "STRING: \"12.04.0059\"");
        worst = std::max(worst, std::chrono::steady_clock::now() - start);
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(worst).count();
    std::printf("slowest of 20 GETs while a remote agent is silent: %lld ms (snmpget process included)\n",
                static_cast<long long>(ms));
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

}  // namespace
