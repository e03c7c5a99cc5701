// The agent's alarm table as the engine's last word, end to end: the real engine watches a simulated UPS
// agent whose event "On Battery" shuts the host down after a delay (the recording shutdown library
// stands in). Traps get lost, the agent stops answering during the countdown, and the agent's table
// changes behind the engine's back just before the shutdown is due.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>

#include "SimAgentProcess.h"
#include "tests/e2e/EngineProcess.h"
#include "tests/support/Wait.h"

using namespace e2e;

namespace {

using vgtest::Count;
using vgtest::WaitUntil;

// The event row of "On Battery" (event 1) of the engine's device 1.
std::string EventCell(int column)
{
    return E("10.2.3.2.1." + std::to_string(column) + ".1.1");
}

// One agent and one engine in its own install tree.
class Rig {
public:
    // The agent at address; the engine with short client time-outs, "On Battery" shutting down after
    // shutdownDelay seconds, and polling rounds pollMs apart (0: the RemoteLoopbackDelay of 1 minute).
    bool Start(const std::string& address, int shutdownDelay, int pollMs, const std::string& agentAlarm = "")
    {
        vgtest::SimAgentOptions options;
        options.address = address;
        options.community = "upsring";
        if (!m_agent.Start(options) || (!agentAlarm.empty() && !m_agent.Send(agentAlarm)))
            return false;
        std::ofstream(m_engine.Path("vgconfig.ini"))
            << "[VG_Engine]\nRemoteTrapPort=" << vgtest::FreePort(SOCK_DGRAM)
            << "\nRemoteSnmpTimeout=1\nRemoteSnmpRetries=0\nRemoteLoopbackDelay=1\n"
            << "[VG_Remote]\nServer=" << address << "\nSNMPMacAddress=" << options.mac
            << "\nSNMPVersion=2\nSNMPCommunity=" << options.community << "\nSNMPPort=" << m_agent.Port()
            << "\n[RemoteEvent:On Battery]\nEnableShutdown=true\nShutdownDelay=" << shutdownDelay
            << "\nEnableExecuteCommand=false\n";
        if (pollMs > 0)
            m_engine.SetEnv("VG_TEST_POLL_INTERVAL_MS", std::to_string(pollMs));
        return m_engine.Start() &&
               WaitUntil([&] { return m_engine.Get(EventCell(4)) == "STRING: \"On Battery\""; }, 20000);
    }

    bool AlarmActive() { return m_engine.Get(EventCell(6)) == "INTEGER: 1"; }
    // The seconds left of the earliest armed shutdown (0: none).
    long Countdown()
    {
        const std::string value = m_engine.Get(E("10.5.1.0"));
        const size_t colon = value.rfind(' ');
        return colon == std::string::npos ? -1 : std::strtol(value.c_str() + colon + 1, nullptr, 10);
    }
    // Polls that have ended, their alarm table read.
    size_t PollsDone() { return Count(m_engine.LogText(), "[CRemoteAgentEntry::Poll] Polled " + m_agent.Address()); }
    bool ShutdownCalled() { return !ReadText(m_engine.Path("shutdown-calls")).empty(); }

    EngineInstall& Engine() { return m_engine; }
    vgtest::SimAgentProcess& Agent() { return m_agent; }

private:
    vgtest::SimAgentProcess m_agent;
    EngineInstall m_engine;
};

TEST(RemoteAlarmsE2E, LostTrapsAreMadeUpAtTheNextPollAndARepeatedPollChangesNothing)
{
    Rig rig;
    ASSERT_TRUE(rig.Start("127.0.0.71", 60, 300)) << rig.Engine().LogText();

    // The first polls are over (the first one after contact reads the alarms whatever happens).
    ASSERT_TRUE(WaitUntil([&] { return rig.PollsDone() >= 2; }, 10000)) << rig.Engine().LogText();
    // The card goes on battery and its trap is lost: the table has the alarm, the next poll arms it.
    ASSERT_TRUE(rig.Agent().Send("alarm 12 1 1 On Battery"));
    ASSERT_TRUE(WaitUntil([&] { return rig.AlarmActive() && rig.Countdown() > 0; }, 10000)) << rig.Engine().LogText();
    const auto armed = std::chrono::steady_clock::now();
    const long first = rig.Countdown();
    EXPECT_LE(first, 60);

    // Polls that find the same table leave the alarm and its countdown alone.
    const size_t polls = rig.PollsDone();
    ASSERT_TRUE(WaitUntil([&] { return rig.PollsDone() >= polls + 3 && std::chrono::steady_clock::now() - armed >=
                                                               std::chrono::seconds(3); },
                          15000));
    EXPECT_TRUE(rig.AlarmActive());
    EXPECT_LE(rig.Countdown(), first - 2) << "the countdown was not started again";
    EXPECT_EQ(Count(rig.Engine().LogText(), "AddAlarm 12 [On Battery]"), 1u);

    // Back on mains and the clear trap is lost: the table lost the alarm, the next poll cancels it.
    ASSERT_TRUE(rig.Agent().Send("clear 12"));
    ASSERT_TRUE(WaitUntil([&] { return !rig.AlarmActive() && rig.Countdown() == 0; }, 10000)) << rig.Engine().LogText();
    EXPECT_NE(rig.Engine().LogText().find("RemoveAlarm 12"), std::string::npos);
    EXPECT_FALSE(rig.ShutdownCalled());
}

TEST(RemoteAlarmsE2E, AgentLostDuringTheCountdownKeepsItsAlarmAndTheShutdownComesOnTime)
{
    Rig rig;
    ASSERT_TRUE(rig.Start("127.0.0.72", 12, 300, "alarm 12 1 1 On Battery")) << rig.Engine().LogText();
    ASSERT_TRUE(WaitUntil([&] { return rig.Countdown() > 0; }, 10000)) << rig.Engine().LogText();
    const auto armed = std::chrono::steady_clock::now();

    // The switch between host and card is not on the UPS: the card stops answering.
    ASSERT_TRUE(rig.Agent().Send("silent on"));
    ASSERT_TRUE(WaitUntil([&] { return rig.Engine().LogText().find("AddAlarm 65000 [Offline]") != std::string::npos; },
                          12000))
        << rig.Engine().LogText();
    EXPECT_FALSE(rig.ShutdownCalled());
    EXPECT_TRUE(rig.AlarmActive()) << "going offline keeps the alarm";
    EXPECT_GT(rig.Countdown(), 0) << "and its countdown";

    ASSERT_TRUE(WaitUntil([&] { return rig.ShutdownCalled(); }, 20000)) << rig.Engine().LogText();
    const auto elapsed = std::chrono::steady_clock::now() - armed;
    EXPECT_GE(elapsed, std::chrono::seconds(11));
    // The delay, the agent's unanswered confirmation and some slack for a busy machine.
    EXPECT_LE(elapsed, std::chrono::seconds(12 + 2 + 6));
    EXPECT_NE(rig.Engine().LogText().find("did not answer; the alarm [On Battery] stands"), std::string::npos);
}

TEST(RemoteAlarmsE2E, TheAgentIsAskedBeforeTheShutdown)
{
    // Polls are a minute apart, so only the check before the shutdown can see the agent's change.
    const struct {
        const char* address;
        const char* change;  // to the agent once the countdown runs ("": none)
        bool shutdown;
    } cases[] = {
        {"127.0.0.73", "clear 12", false},  // a lost clear trap, or an engine as agent (it sends none)
        {"127.0.0.74", "silent on", true},  // no answer: the last known state holds
        {"127.0.0.75", "", true},           // the alarm stands
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("change: ") + c.change);
        Rig rig;
        ASSERT_TRUE(rig.Start(c.address, 6, 0, "alarm 12 1 1 On Battery")) << rig.Engine().LogText();
        ASSERT_TRUE(WaitUntil([&] { return rig.Countdown() > 0; }, 10000)) << rig.Engine().LogText();
        // The poll after the add and the first round's poll come at once; the change must come after
        // both, or a poll rather than the check would see it.
        ASSERT_TRUE(WaitUntil([&] { return rig.PollsDone() >= 2; }, 4000)) << rig.Engine().LogText();
        if (*c.change) {
            ASSERT_TRUE(rig.Agent().Send(c.change));
        }
        const std::string gone = "no longer reports the alarm [On Battery]";
        ASSERT_TRUE(WaitUntil([&] { return rig.ShutdownCalled() || rig.Engine().LogText().find(gone) != std::string::npos; },
                              20000))
            << rig.Engine().LogText();
        EXPECT_EQ(rig.ShutdownCalled(), c.shutdown) << rig.Engine().LogText();
        if (!c.shutdown) {
            EXPECT_FALSE(rig.AlarmActive());
            EXPECT_EQ(rig.Countdown(), 0);
        }
    }
}

}  // namespace
