// The engine run's pieces that need no running agent: the engine address rule, the server slot's
// power events, a stop before the loop, and runs that keep to themselves.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "engine/agent/AgentMain.h"
#include "engine/agent/EngineServerHooks.h"

namespace {

TEST(AgentMain, EngineAddressIsKeptOnlyWhenValidAndLocal)
{
    const struct {
        const char* candidate;
        const char* kept;
    } cases[] = {
        {"127.0.0.1", "127.0.0.1"},
        {"", ""},
        {"192.0.2.1", ""},          // not an address of this host
        {"127.0.0.0", ""},          // invalid: last number 0
        {"127.0.0.1 ", ""},         // not a strict dotted quad
        {"0127.000.000.001x", ""},  // longer than 15 characters
        {"localhost", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChooseEngineIPAddress(c.candidate), c.kept) << c.candidate;
}

struct RecordingServer : EngineServer {
    std::vector<std::string>* calls;
    explicit RecordingServer(std::vector<std::string>* c) : calls(c) {}
    int Start(int, int, int, const std::string&) override { return 1; }
    void Destroy() override { calls->push_back("destroy"); }
    void EnterSystemSuspension() override { calls->push_back("enter"); }
    void ExitSystemSuspension() override { calls->push_back("exit"); }
};

TEST(EngineServerSlot, PowerEventsOnlyReachALiveServerOncePerChange)
{
    EngineServerSlot slot;
    std::vector<std::string> calls;
    EXPECT_FALSE(slot.PowerEvent(true)); // before the server exists
    EXPECT_FALSE(slot.PowerEvent(false));
    slot.Install(std::make_unique<RecordingServer>(&calls));
    EXPECT_FALSE(slot.PowerEvent(false)); // a resume without a suspension
    EXPECT_TRUE(slot.PowerEvent(true));
    EXPECT_FALSE(slot.PowerEvent(true));
    EXPECT_TRUE(slot.PowerEvent(false));
    EXPECT_TRUE(slot.PowerEvent(true));
    auto server = slot.Take();
    ASSERT_NE(server, nullptr);
    EXPECT_FALSE(slot.HasServer());
    EXPECT_FALSE(slot.PowerEvent(false)); // after it is gone
    EXPECT_EQ(calls, (std::vector<std::string>{"enter", "exit", "enter"}));
}

TEST(AgentMain, StopBeforeTheLoopReturnsAtOnce)
{
    AgentRun run;
    auto begin = std::chrono::steady_clock::now();
    run.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(50));
    EXPECT_FALSE(run.IsRunFlagSet());
    EXPECT_FALSE(run.IsInLoop());
    EXPECT_FALSE(run.Pause(true)); // a stopping engine is not paused any more
    EXPECT_FALSE(run.Post([] {}));
    EXPECT_FALSE(run.PostTrap(SnmpTrap{}));
    EXPECT_FALSE(run.IsOnAgentThread());
    EXPECT_EQ(run.SysUpTime(), 0u);
    EXPECT_EQ(run.ClientRequest(SnmpClientRequest{}).status, SnmpClientStatus::Stopped);
    std::string error;
    EXPECT_EQ(run.OpenTrapSession("127.0.0.1", 0, nullptr, &error), nullptr);
    EXPECT_FALSE(error.empty());
    run.PowerEvent(true); // no server: ignored
}

// Each run keeps its own flags: a stop or a stop signal for one run leaves another one running and
// answering its controls.
TEST(AgentMain, RunsShareNoState)
{
    const struct {
        const char* name;
        void (*stop)(AgentRun&);
    } stops[] = {
        {"Stop", [](AgentRun& r) { r.Stop(); }},
        {"RequestStop", [](AgentRun& r) { r.RequestStop(); }},
        {"SIGTERM", [](AgentRun& r) { r.OnControlSignal(SIGTERM); }},
    };
    for (const auto& s : stops) {
        AgentRun stopped;
        AgentRun other;
        s.stop(stopped);
        EXPECT_FALSE(stopped.IsRunFlagSet()) << s.name;
        EXPECT_FALSE(stopped.Pause(true)) << s.name;
        EXPECT_TRUE(other.IsRunFlagSet()) << s.name;
        EXPECT_TRUE(other.Pause(true)) << s.name;
        EXPECT_TRUE(other.Pause(false)) << s.name;
        EXPECT_STREQ(other.ConfiguredEngineIPAddress(), "") << s.name;
    }
    AgentRun run;
    run.OnControlSignal(SIGUSR1); // a service control: the console's run goes on
    EXPECT_TRUE(run.IsRunFlagSet());
}

} // namespace
