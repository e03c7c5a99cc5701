// End-to-end runs of vgnsa from a temporary install tree on free loopback ports: its command line,
// console mode (answers, coldStart, SIGTERM) and service mode through a notification socket that plays
// the service manager.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/socket.h>
#include <thread>

#include "EngineProcess.h"

namespace {

using namespace e2e;
using State = std::pair<int, int>;

constexpr int kStartMs = 20000;
// The request loop wakes on a stop at once; its receive time-out (2 s) bounds it otherwise.
constexpr int kStopBoundMs = 5000;

struct EngineProgram : ::testing::Test {
    TempTree tree;
    int agentPort = vgtest::FreePortOnEveryAddress(SOCK_DGRAM);
    traptest::TrapReceiver traps;

    std::string OutputPath(const char* name) const { return tree.Root() + "/" + name; }
};

TEST_F(EngineProgram, CommandLineOutcomes)
{
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::string text;
    } cases[] = {
        {{"-n", "-p=0"}, 1, "vgnsa : Invalid Argument '-p=0'\n\n\nUsage: "},
        {{"-n", "--trapport=70000"}, 1, "Invalid Argument '--trapport=70000'"},
        {{"-n", "--co"}, 1, "Invalid Argument '--co'"},
        {{"-n", "-p", "3664"}, 1, "Invalid Argument '-p'"},
        {{"-n", "--vers"}, 0, "\nVigilon Version:  12.04.0059; WWW: "},
        // Without the console option too: the version is printed, no service is tried.
        {{"--version"}, 0, "\nVigilon Version:  12.04.0059; WWW: "},
        {{"-h"}, 1, "   -p=PORT | --port=PORT                  Set SNMP listener port\n"},
        // Not started by a service manager: the service cannot start.
        {{"-p=4664"}, 0, "Couldn't start service - Vigilon Agent\n"},
    };
    for (const auto& c : cases) {
        Process engine(tree.Program(), c.args, {{"NOTIFY_SOCKET", ""}, {"VG_AGENTX_PORT", "0"}}, OutputPath("cmdline.out"));
        auto code = engine.Wait(kStopBoundMs);
        ASSERT_TRUE(code.has_value()) << c.args.back();
        EXPECT_EQ(*code, c.exitCode) << c.args.back();
        EXPECT_NE(engine.Output().find(c.text), std::string::npos) << engine.Output();
        if (c.text.find("Version") != std::string::npos) {
            EXPECT_EQ(engine.Output().find("Couldn't start service"), std::string::npos) << engine.Output();
        }
    }
}

TEST_F(EngineProgram, ConsoleRunAnswersSendsColdStartAndStopsOnSigterm)
{
    Process engine(tree.Program(),
                   {"-n", "-p=" + std::to_string(agentPort), "-t=" + std::to_string(traps.Port())},
                   {{"NOTIFY_SOCKET", ""}, {"VG_AGENTX_PORT", "0"}}, OutputPath("console.out"));
    ASSERT_TRUE(WaitForAgent(agentPort, kStartMs)) << engine.Output();

    int code = -1;
    std::string answer = SnmpGet(agentPort, "gimbal", "1.3.6.1.2.1.1.1.0 1.3.6.1.2.1.1.3.0", 2, &code);
    EXPECT_EQ(code, 0) << answer;
    EXPECT_NE(answer.find(".1.3.6.1.2.1.1.1.0 = STRING: \"Vigilon v12.04.0059\""), std::string::npos) << answer;
    EXPECT_NE(answer.find(".1.3.6.1.2.1.1.3.0 = Timeticks: "), std::string::npos) << answer;

    // The coldStart goes to the trap port of the command line.
    auto trap = traps.Next(5000);
    ASSERT_TRUE(trap.has_value()) << engine.Output();
    ASSERT_TRUE(trap->ok);
    EXPECT_EQ(trap->version, 0);
    EXPECT_EQ(trap->community, "gimbal");
    EXPECT_EQ(trap->enterprise, "1.3.6.1.4.1.64950");
    EXPECT_EQ(trap->generic, 0);
    EXPECT_EQ(trap->specific, 0);

    auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(engine.Signal(SIGTERM));
    auto exitCode = engine.Wait(kStopBoundMs);
    ASSERT_TRUE(exitCode.has_value()) << "no stop within " << kStopBoundMs << " ms";
    EXPECT_EQ(*exitCode, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(kStopBoundMs));
    EXPECT_NE(engine.Output().find("\nUser abort\n"), std::string::npos) << engine.Output();
    // The console log (level info by default) tells the whole run.
    std::string out = engine.Output();
    size_t entering = out.find("[INFO] Entering main application loop");
    size_t leaving = out.find("[INFO] Exiting main application loop and begining application shutdown");
    size_t complete = out.find("[INFO] Application shutdown complete");
    EXPECT_NE(entering, std::string::npos) << out;
    EXPECT_NE(leaving, std::string::npos) << out;
    EXPECT_NE(complete, std::string::npos) << out;
    EXPECT_LT(entering, leaving);
    EXPECT_LT(leaving, complete);
}

TEST_F(EngineProgram, ServiceStateSequenceThroughTheNotifySocket)
{
    NotifySocket manager(tree.Root() + "/notify");
    std::string parameters = tree.Root() + "/test.parameters";
    {
        std::ofstream out(parameters);
        out << "# the service's command line\nParam1=-p=" << agentPort << "\nParam2=-t=" << traps.Port()
            << "\nParam3=-l=debug\n";
    }
    Process engine(tree.Program(), {}, {{"NOTIFY_SOCKET", manager.Path()}, {"VG_PARAMETERS_FILE", parameters}, {"VG_AGENTX_PORT", "0"}},
                   OutputPath("service.out"));
    ASSERT_TRUE(manager.WaitFor("READY=1", kStartMs)) << engine.Output();
    ASSERT_TRUE(WaitForAgent(agentPort, kStartMs)); // the port of the parameters file

    // Power events without a server are ignored; the engine goes on answering.
    engine.Signal(SIGRTMIN + 1);
    engine.Signal(SIGRTMIN + 2);

    ASSERT_TRUE(manager.WaitForStates(2, 5000));
    engine.Signal(SIGUSR1); // pause
    ASSERT_TRUE(manager.WaitForStates(4, 5000));
    int code = 0;
    SnmpGet(agentPort, "gimbal", "1.3.6.1.2.1.1.1.0", 1, &code);
    EXPECT_NE(code, 0) << "a paused agent answered";
    engine.Signal(SIGHUP); // interrogate
    ASSERT_TRUE(manager.WaitForStates(5, 5000));
    engine.Signal(SIGUSR2); // continue
    ASSERT_TRUE(manager.WaitForStates(7, 5000));
    ASSERT_TRUE(WaitForAgent(agentPort, 5000));
    engine.Signal(SIGUSR1); // pause again, then stop while paused
    ASSERT_TRUE(manager.WaitForStates(9, 5000));
    engine.Signal(SIGTERM);
    auto exitCode = engine.Wait(kStopBoundMs);
    ASSERT_TRUE(exitCode.has_value()) << "a paused service did not stop";
    EXPECT_EQ(*exitCode, 0);
    while (manager.Receive(200)) {
    }
    EXPECT_EQ(manager.States(), (std::vector<State>{{2, 1},
                                                    {4, 0},
                                                    {6, 1},
                                                    {7, 2},
                                                    {7, 2},
                                                    {5, 3},
                                                    {4, 0},
                                                    {6, 1},
                                                    {7, 2},
                                                    {3, 3},
                                                    {1, 0}}));
    EXPECT_NE(manager.Messages().back().find("STOPPING=1"), std::string::npos);
    EXPECT_NE(tree.AppLog().find("[DEBUG]"), std::string::npos); // Param3 took effect
}

TEST_F(EngineProgram, FailedServiceStartIsReportedAsStopped)
{
    // The agent port is taken.
    vgtest::BusyPort blocker(SOCK_DGRAM, agentPort, "0.0.0.0");
    ASSERT_TRUE(blocker.Held());

    NotifySocket manager(tree.Root() + "/notify");
    Process engine(tree.Program(), {"-p=" + std::to_string(agentPort), "-t=" + std::to_string(traps.Port())},
                   {{"NOTIFY_SOCKET", manager.Path()},
                    {"VG_PARAMETERS_FILE", tree.Root() + "/none"},
                    {"VG_AGENTX_PORT", "0"}},
                   OutputPath("failed.out"));
    auto exitCode = engine.Wait(kStartMs);
    ASSERT_TRUE(exitCode.has_value());
    EXPECT_EQ(*exitCode, 1);
    while (manager.Receive(200)) {
    }
    EXPECT_EQ(manager.States(), (std::vector<State>{{2, 1}, {1, 0}}));
    ASSERT_FALSE(manager.Messages().empty());
    EXPECT_NE(manager.Messages().back().find("ERRNO=1"), std::string::npos);
    // The last status says why.
    EXPECT_EQ(manager.Messages().back().find("STATUS=Failed to initialize SNMP port " + std::to_string(agentPort) +
                                             ": Error code "),
              0u)
        << manager.Messages().back();
    for (const auto& m : manager.Messages())
        EXPECT_EQ(m.find("READY=1"), std::string::npos);
    EXPECT_NE(tree.AppLog().find("Failed to initialize SNMP port " + std::to_string(agentPort)), std::string::npos)
        << tree.AppLog();
}

// A part of the engine that does not start while the agent serves on: READY comes, and every status
// from then on, up to the stop, names what failed and why.
TEST_F(EngineProgram, StartProblemsStayInTheServiceStatus)
{
    const int remoteTrapPort = vgtest::FreePortOnEveryAddress(SOCK_DGRAM);
    const std::string trapPort = std::to_string(remoteTrapPort);
    const struct {
        const char* what;
        std::function<void()> arrange;
        std::string status;
    } cases[] = {
        {"UPS trap port taken", [] {},
         "UPS traps are not received on port " + trapPort + ": cannot listen on 0.0.0.0:" + trapPort +
             ": Address already in use"},
        {"no shutdown library", [&] { std::filesystem::remove(tree.Bin() + "libvgdown.so"); },
         "Server start failed: shutdown library 'vgdown' could not be loaded: " + tree.Bin() + "libvgdown.so"},
    };
    // Another trap daemon holds the UPS trap port.
    vgtest::BusyPort blocker(SOCK_DGRAM, remoteTrapPort, "0.0.0.0");
    ASSERT_TRUE(blocker.Held());
    std::ofstream(tree.Path("vgconfig.ini")) << "[VG_Engine]\nRemoteTrapPort=" << remoteTrapPort << "\n";

    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.arrange();
        NotifySocket manager(tree.Root() + "/notify");
        Process engine(tree.Program(), {"-p=" + std::to_string(agentPort), "-t=" + std::to_string(traps.Port())},
                       {{"NOTIFY_SOCKET", manager.Path()},
                        {"VG_PARAMETERS_FILE", tree.Root() + "/none"},
                        {"VG_AGENTX_PORT", "0"}},
                       OutputPath("problem.out"));
        ASSERT_TRUE(manager.WaitFor("READY=1", kStartMs)) << engine.Output() << tree.AppLog();
        ASSERT_TRUE(WaitForAgent(agentPort, kStartMs)); // the agent serves on
        engine.Signal(SIGTERM);
        // Only that it ends is checked here, not how soon.
        auto exitCode = engine.Wait(kStartMs);
        ASSERT_TRUE(exitCode.has_value());
        while (manager.Receive(200)) {
        }
        // From the first status that names the problem on, every one does; READY is among them.
        const auto& messages = manager.Messages();
        size_t first = 0;
        while (first < messages.size() && messages[first].find(c.status) == std::string::npos)
            ++first;
        ASSERT_LT(first, messages.size()) << ::testing::PrintToString(messages) << tree.AppLog();
        bool readyNamesIt = false;
        for (size_t i = first; i < messages.size(); ++i) {
            EXPECT_EQ(messages[i].find("STATUS=" + c.status), 0u) << messages[i];
            readyNamesIt |= messages[i].find("READY=1") != std::string::npos;
        }
        EXPECT_TRUE(readyNamesIt) << ::testing::PrintToString(messages);
        EXPECT_NE(messages.back().find("stopped (state 1"), std::string::npos) << messages.back();
    }
}

// The server seam, with the recording stand-in server: what the engine hands its server and when.
TEST_F(EngineProgram, ServerIsStartedGetsPowerEventsAndStopsWhileTheAgentTurns)
{
    std::string program = tree.AddProgram(VG_FAKE_SERVER_ENGINE);
    std::string record = tree.Root() + "/server.record";
    NotifySocket manager(tree.Root() + "/notify");
    Process engine(program,
                   {"-p=" + std::to_string(agentPort), "-t=" + std::to_string(traps.Port()), "-s=2", "-y=tester"},
                   {{"NOTIFY_SOCKET", manager.Path()},
                    {"VG_PARAMETERS_FILE", tree.Root() + "/none"},
                    {"VG_AGENTX_PORT", "0"},
                    {"VG_FAKE_SERVER_RECORD", record}},
                   OutputPath("server.out"));
    ASSERT_TRUE(manager.WaitFor("READY=1", kStartMs)) << engine.Output();
    auto coldStart = traps.Next(5000);
    ASSERT_TRUE(coldStart.has_value());
    EXPECT_EQ(coldStart->generic, 0);

    // Pending signals are taken lowest number first, the real-time ones in order: a second suspend
    // before the resume must not reach the server.
    auto waitForLines = [&](size_t count) {
        for (int i = 0; i < 250 && ReadLines(record).size() < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return ReadLines(record).size() >= count;
    };
    engine.Signal(SIGRTMIN + 1); // suspend
    ASSERT_TRUE(waitForLines(3));
    engine.Signal(SIGRTMIN + 1);
    engine.Signal(SIGRTMIN + 2); // resume
    ASSERT_TRUE(waitForLines(4));

    engine.Signal(SIGTERM);
    auto exitCode = engine.Wait(kStopBoundMs);
    ASSERT_TRUE(exitCode.has_value());
    EXPECT_EQ(*exitCode, 0);
    EXPECT_EQ(ReadLines(record), (std::vector<std::string>{"create",
                                                           "start 0 2 " + std::to_string(traps.Port()) +
                                                               " tester inloop=0 loop=1",
                                                           "enter", "exit", "destroy posted=1 inloop=1"}));
    // The trap the server sent while it stopped went out.
    auto trap = traps.Next(2000);
    ASSERT_TRUE(trap.has_value());
    ASSERT_TRUE(trap->ok);
    EXPECT_EQ(trap->generic, 6);
    EXPECT_EQ(trap->specific, 42);
}

TEST_F(EngineProgram, ServerThatCannotBeCreatedEndsTheStart)
{
    std::string program = tree.AddProgram(VG_FAKE_SERVER_ENGINE);
    Process engine(program, {"-n", "-p=" + std::to_string(agentPort), "-t=" + std::to_string(traps.Port())},
                   {{"NOTIFY_SOCKET", ""}, {"VG_AGENTX_PORT", "0"}, {"VG_FAKE_SERVER_FAIL", "1"}},
                   OutputPath("noserver.out"));
    auto exitCode = engine.Wait(kStartMs);
    ASSERT_TRUE(exitCode.has_value());
    EXPECT_EQ(*exitCode, 1);
    EXPECT_NE(engine.Output().find("[EMERGENCY] Failed to instantiate Vigilon server!"), std::string::npos)
        << engine.Output();
    EXPECT_EQ(engine.Output().find("Entering main application loop"), std::string::npos);
}

} // namespace
