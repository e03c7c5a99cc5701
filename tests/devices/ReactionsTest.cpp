// Event reactions through the device list, with the timer driven by hand on an injected clock: the
// countdown notices, the commands, the shutdown, what a clear cancels, "One" and "All", and the faults
// of the cancelling paths.

#include <gtest/gtest.h>

#include "tests/support/LogCapture.h"
#include "tests/devices/DeviceTestSupport.h"

using namespace devtest;

namespace {

constexpr uint32_t kShutdownFlags = kEventFlagShutdown | kEventFlagCountdown;

class ReactionsTest : public ::testing::Test {
protected:
    ScopedLogCapture log;
    Sandbox sandbox;
    TestHost host{sandbox};
    FakeAgent agentA{"127.0.0.2"};
    FakeAgent agentB{"127.0.0.3", 0xA8000002u};
    std::unique_ptr<CDevices> devices;
    std::shared_ptr<CDeviceEntryRemote> a, b;

    void SetUp() override
    {
        host.remote.agents = {&agentA, &agentB};
        for (FakeAgent* agent : {&agentA, &agentB}) {
            agent->devices = {Device(1)};
            agent->SetEventCount(1, 2);
            agent->AddEventName(1, 1, "On Battery");
            agent->AddEventName(1, 2, "Low Battery");
        }
        devices = std::make_unique<CDevices>(host);
        ASSERT_EQ(devices->Initialize(), 1);
        // Like the server: a shutdown holds off every further reaction.
        host.onShutdown = [this] { devices->SetReactionsSuspended(true); };
        devices->Add(&agentA, 1);
        devices->Add(&agentB, 2);
        a = devices->FindRemoteDevice(&agentA, 1);
        b = devices->FindRemoteDevice(&agentB, 1);
        ASSERT_TRUE(a && b);
        host.consoles.Clear();
    }
    void TearDown() override { devices->Destroy(); }

    // Row 1 ("On Battery") of the device at index.
    void Configure(int index, uint32_t flags, uint32_t shutdownDelay, uint32_t commandDelay = 0,
                   const std::string& onSet = "", const std::string& onClear = "")
    {
        ASSERT_TRUE(SetEventColumn(*devices, index, 1, 7, flags));
        ASSERT_TRUE(SetEventColumn(*devices, index, 1, 19, shutdownDelay));
        ASSERT_TRUE(SetEventColumn(*devices, index, 1, 18, commandDelay));
        if (!onSet.empty()) {
            ASSERT_TRUE(SetEventText(*devices, index, 1, 8, onSet));
        }
        if (!onClear.empty()) {
            ASSERT_TRUE(SetEventText(*devices, index, 1, 9, onClear));
        }
        host.consoles.Clear();
    }
    std::vector<uint32_t> Countdown() { return host.consoles.Values("E.10.5.1.0"); }
    void AdvanceSeconds(int seconds)
    {
        for (int i = 0; i < seconds; ++i)
            host.Advance(1000);
    }
};

TEST_F(ReactionsTest, CountdownEveryFiveSecondsThenTheShutdown)
{
    Configure(1, kShutdownFlags, 30);
    const int64_t start = host.clock.wallSeconds->load();
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    EXPECT_EQ(host.countdown.load(), start + 30);
    EXPECT_EQ(host.timers.Count(), 2u);
    AdvanceSeconds(29);
    EXPECT_EQ(Countdown(), (std::vector<uint32_t>{25, 20, 15, 10, 5}));
    EXPECT_TRUE(host.Calls().empty());
    AdvanceSeconds(1);
    EXPECT_EQ(host.Calls(), (std::vector<std::string>{"BeginShutdown", "ExecuteShutdown"}));
    AdvanceSeconds(30);
    EXPECT_EQ(Countdown().size(), 5u);
    EXPECT_EQ(host.Calls().size(), 2u);
    EXPECT_EQ(host.countdown.load(), 0);
}

TEST_F(ReactionsTest, AWallClockStepDoesNotMoveTheCountdown)
{
    Configure(1, kShutdownFlags, 30);
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    *host.clock.wallSeconds += 3600;
    AdvanceSeconds(5);
    *host.clock.wallSeconds -= 7200;
    AdvanceSeconds(5);
    EXPECT_EQ(Countdown(), (std::vector<uint32_t>{25, 20}));
    AdvanceSeconds(20);
    EXPECT_EQ(host.Calls(), (std::vector<std::string>{"BeginShutdown", "ExecuteShutdown"}));
}

TEST_F(ReactionsTest, MaskWithoutTheShutdownArmsNothing)
{
    host.mask = 0xFFFF & ~kActionShutdown;
    Configure(1, kShutdownFlags, 30);
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    EXPECT_EQ(host.timers.Count(), 0u);
    EXPECT_EQ(EventColumn(*devices, 1, 1, 6), 1u);
}

TEST_F(ReactionsTest, AClearBeforeExpiryCancelsAndAnswersWhatHadFired)
{
    struct {
        const char* name;
        uint32_t commandDelay;
        int clearAfter;
        std::vector<uint32_t> countdown;
        std::vector<std::string> calls;
    } cases[] = {
        {"command had run", 5, 10, {25, 20, 0}, {"command /opt/on-set", "command /opt/on-clear"}},
        {"command still pending", 20, 10, {25, 20, 0}, {}},
        {"nothing had fired", 20, 3, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Configure(1, kShutdownFlags | kEventFlagCommand, 30, c.commandDelay, "/opt/on-set", "/opt/on-clear");
        host.calls.clear();
        ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
        AdvanceSeconds(c.clearAfter);
        a->RemoveAlarm(1);
        EXPECT_EQ(host.countdown.load(), 0);
        EXPECT_EQ(host.timers.Count(), 0u);
        AdvanceSeconds(60);
        EXPECT_EQ(Countdown(), c.countdown);
        EXPECT_EQ(host.Calls(), c.calls);
    }
}

TEST_F(ReactionsTest, InOneModeAnotherDeviceClearingLeavesTheShutdownArmed)
{
    Configure(1, kEventFlagShutdown, 30);
    Configure(2, kEventFlagShutdown, 30);
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    ASSERT_EQ(b->AddAlarm(1, "On Battery", 3), 1);
    AdvanceSeconds(10);
    b->RemoveAlarm(1);
    EXPECT_NE(host.countdown.load(), 0);
    AdvanceSeconds(20);
    EXPECT_EQ(host.Calls(), (std::vector<std::string>{"BeginShutdown", "ExecuteShutdown"}));
}

TEST_F(ReactionsTest, InAllModeEveryAgentMustStand)
{
    host.all = true;
    Configure(1, kShutdownFlags, 30);
    Configure(2, kShutdownFlags, 30);
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    EXPECT_EQ(host.timers.Count(), 0u);
    EXPECT_TRUE(devices->AgentHasPendingReactions(&agentA));
    ASSERT_EQ(b->AddAlarm(1, "On Battery", 3), 1);
    EXPECT_EQ(host.timers.Count(), 2u);
    AdvanceSeconds(5);
    // A's row now clears: the condition B's shutdown was armed under is gone.
    a->RemoveAlarm(1);
    EXPECT_EQ(host.timers.Count(), 0u);
    AdvanceSeconds(60);
    EXPECT_TRUE(host.Calls().empty());
    EXPECT_EQ(Countdown(), (std::vector<uint32_t>{25, 0}));

    // Both stand again: B's armed shutdown runs.
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    EXPECT_EQ(host.timers.Count(), 2u);
    AdvanceSeconds(30);
    EXPECT_EQ(host.Calls(), (std::vector<std::string>{"BeginShutdown", "ExecuteShutdown"}));
}

// In "All", a clear on an agent whose row only runs a command still cancels the countdown armed on the
// other agent's device: the consoles get one closing notice, and that device's own clear later none.
TEST_F(ReactionsTest, InAllModeAClearThatCancelsAnotherDevicesCountdownClosesItOnce)
{
    host.all = true;
    Configure(1, kEventFlagCommand, 0, 100, "/opt/on-set");
    // B reacts to another event, so its countdown's marks are not on A's row.
    ASSERT_TRUE(SetEventColumn(*devices, 2, 2, 7, kShutdownFlags));
    ASSERT_TRUE(SetEventColumn(*devices, 2, 2, 19, 30));
    host.consoles.Clear();
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    ASSERT_EQ(b->AddAlarm(2, "Low Battery", 3), 1);
    AdvanceSeconds(10);
    ASSERT_EQ(Countdown(), (std::vector<uint32_t>{25, 20}));
    a->RemoveAlarm(1);
    EXPECT_EQ(host.timers.Count(), 0u);
    EXPECT_EQ(Countdown(), (std::vector<uint32_t>{25, 20, 0}));
    b->RemoveAlarm(2);
    AdvanceSeconds(60);
    EXPECT_EQ(Countdown(), (std::vector<uint32_t>{25, 20, 0}));
    EXPECT_TRUE(host.Calls().empty());
}

TEST_F(ReactionsTest, AFlagsWriteCancelsTheActionsItRemoves)
{
    Configure(1, kShutdownFlags | kEventFlagCommand, 30, 20, "/opt/on-set");
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    EXPECT_EQ(host.timers.Count(), 3u);
    ASSERT_TRUE(SetEventColumn(*devices, 1, 1, 7, kEventFlagCommand));
    EXPECT_EQ(host.timers.Count(), 1u);
    EXPECT_EQ(host.countdown.load(), 0);
    ASSERT_TRUE(SetEventColumn(*devices, 1, 1, 7, 0));
    EXPECT_EQ(host.timers.Count(), 0u);
    AdvanceSeconds(60);
    EXPECT_TRUE(host.Calls().empty());
}

TEST_F(ReactionsTest, PendingReactionsFollowTheRowsNotTheFlagsOfTheMoment)
{
    host.all = true;
    // Row 1 reacts, row 2 does not when its alarm comes.
    Configure(1, kEventFlagShutdown, 30);
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    ASSERT_EQ(a->AddAlarm(2, "Low Battery", 3), 1);
    // Row 2 gets a reaction while its alarm stands, then clears: row 1 still holds its reaction.
    ASSERT_TRUE(SetEventColumn(*devices, 1, 2, 7, kEventFlagShutdown));
    a->RemoveAlarm(2);
    EXPECT_TRUE(devices->AgentHasPendingReactions(&agentA));
    // Row 1 loses its reaction to a flags write, then clears: nothing stays pending.
    ASSERT_TRUE(SetEventColumn(*devices, 1, 1, 7, 0));
    EXPECT_FALSE(devices->AgentHasPendingReactions(&agentA));
    a->RemoveAlarm(1);
    EXPECT_FALSE(devices->AgentHasPendingReactions(&agentA));
    EXPECT_FALSE(a->HasPendingReactions());
}

TEST_F(ReactionsTest, OnlyARealClearRunsTheCommandOnClear)
{
    Configure(1, kEventFlagCommand, 0, 0, "/opt/on-set", "/opt/on-clear");
    Configure(2, kEventFlagCommand, 0, 0, "/opt/b-set", "/opt/b-clear");
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    ASSERT_EQ(b->AddAlarm(1, "On Battery", 3), 1);
    AdvanceSeconds(1);
    EXPECT_EQ(host.Calls(), (std::vector<std::string>{"command /opt/on-set", "command /opt/b-set"}));
    // A device that goes away clears its alarms: its command on clear runs.
    EXPECT_TRUE(devices->Delete(b, true));
    EXPECT_EQ(host.Calls().back(), "command /opt/b-clear");
    // The engine stop: the alarm never cleared, so no command on clear.
    devices->Destroy();
    EXPECT_EQ(host.Calls().size(), 3u);
    EXPECT_EQ(host.timers.Count(), 0u);
}

TEST_F(ReactionsTest, SuspendedReactionsOnlyChangeTheRowState)
{
    Configure(1, kShutdownFlags, 30);
    devices->SetReactionsSuspended(true);
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    EXPECT_EQ(host.timers.Count(), 0u);
    EXPECT_EQ(EventColumn(*devices, 1, 1, 6), 1u);
}

TEST_F(ReactionsTest, ACommandRowWithoutCommandLogsThatNothingRuns)
{
    Configure(1, kEventFlagCommand, 0, 2);
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    AdvanceSeconds(2);
    EXPECT_TRUE(log.Has("EventTimerExpired: Script execution timer expired, but script execution is not enabled. "
                        "Script execution cancelled.",
                        kLogWarning));
    EXPECT_TRUE(host.Calls().empty());
}

TEST_F(ReactionsTest, SuspendingADeviceDropsItsReactions)
{
    Configure(1, kShutdownFlags, 30);
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    a->Suspend();
    EXPECT_EQ(host.timers.Count(), 0u);
    EXPECT_FALSE(devices->AgentHasPendingReactions(&agentA));
    EXPECT_TRUE(devices->IsAnySuspended());
    AdvanceSeconds(40);
    EXPECT_TRUE(host.Calls().empty());
}

// Every way an announced countdown is cancelled without its alarm clearing sends the closing notice a
// clear would send, once: 0, or in "One" the seconds left of a shutdown still armed on another device.
enum class Cancel { kFlagsWrite, kSuspend, kDelete, kAgentRemoved };
struct CancelCase {
    const char* name;
    Cancel how;
    uint32_t otherDelay;  // B's shutdown delay; 0: B arms nothing
    uint32_t closing;
};
void PrintTo(const CancelCase& c, std::ostream* os)
{
    *os << c.name;
}

class CountdownCancelTest : public ReactionsTest, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(CountdownCancelTest, SendsTheClosingNoticeOnce)
{
    const CancelCase& c = GetParam();
    Configure(1, kShutdownFlags, 30);
    Configure(2, c.otherDelay ? kShutdownFlags : 0, c.otherDelay);
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    ASSERT_EQ(b->AddAlarm(1, "On Battery", 3), 1);
    AdvanceSeconds(10);
    const size_t before = Countdown().size();
    ASSERT_GE(before, 2u);
    switch (c.how) {
    case Cancel::kFlagsWrite: ASSERT_TRUE(SetEventColumn(*devices, 1, 1, 7, kEventFlagCommand)); break;
    case Cancel::kSuspend: a->Suspend(); break;
    case Cancel::kDelete: ASSERT_TRUE(devices->Delete(a, true)); break;
    case Cancel::kAgentRemoved: devices->RemoveAgentDevices(1); break;
    }
    auto after = Countdown();
    ASSERT_EQ(after.size(), before + 1) << "exactly one closing notice";
    EXPECT_EQ(after.back(), c.closing);
    // A's alarm clearing later (where A is still there) sends no second one.
    if (devices->FindRemoteDevice(&agentA, 1))
        a->RemoveAlarm(1);
    EXPECT_EQ(Countdown().size(), before + 1);
    if (c.otherDelay == 0) {
        AdvanceSeconds(60);
        EXPECT_EQ(Countdown().size(), before + 1);
        EXPECT_TRUE(host.Calls().empty());
    } else {
        // B's countdown goes on, and its shutdown runs.
        AdvanceSeconds(5);
        after = Countdown();
        EXPECT_EQ(after.back(), c.closing - 5);
        AdvanceSeconds(c.closing - 5);
        EXPECT_EQ(host.Calls(), (std::vector<std::string>{"BeginShutdown", "ExecuteShutdown"}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, CountdownCancelTest,
    ::testing::Values(CancelCase{"FlagsWrite", Cancel::kFlagsWrite, 0, 0},
                      CancelCase{"FlagsWriteOtherArmed", Cancel::kFlagsWrite, 60, 50},
                      CancelCase{"Suspend", Cancel::kSuspend, 0, 0},
                      CancelCase{"SuspendOtherArmed", Cancel::kSuspend, 60, 50},
                      CancelCase{"Delete", Cancel::kDelete, 0, 0},
                      CancelCase{"AgentRemovedOtherArmed", Cancel::kAgentRemoved, 60, 50}),
    [](const ::testing::TestParamInfo<CancelCase>& p) { return std::string(p.param.name); });

TEST_F(ReactionsTest, ReactionsEnabledWhileTheAlarmStandsArmAtOnceWithTheirFullDelays)
{
    Configure(1, 0, 30, 10, "/opt/on-set", "/opt/on-clear");
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    AdvanceSeconds(20);
    EXPECT_EQ(host.timers.Count(), 0u);
    const int64_t written = host.clock.wallSeconds->load();
    ASSERT_TRUE(SetEventColumn(*devices, 1, 1, 7, kEventFlagShutdown | kEventFlagCommand));
    EXPECT_EQ(host.countdown.load(), written + 30);
    EXPECT_TRUE(devices->AgentHasPendingReactions(&agentA));
    AdvanceSeconds(10);
    EXPECT_EQ(host.Calls(), std::vector<std::string>{"command /opt/on-set"});
    AdvanceSeconds(19);
    EXPECT_EQ(Countdown(), (std::vector<uint32_t>{25, 20, 15, 10, 5}));
    EXPECT_EQ(host.Calls().size(), 1u);
    AdvanceSeconds(1);
    EXPECT_EQ(host.Calls(), (std::vector<std::string>{"command /opt/on-set", "BeginShutdown", "ExecuteShutdown"}));
}

TEST_F(ReactionsTest, ACommandThatRanForTheStandingAlarmIsNotRunAgainWhenReEnabled)
{
    Configure(1, kEventFlagCommand, 0, 0, "/opt/on-set", "/opt/on-clear");
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    AdvanceSeconds(1);
    ASSERT_TRUE(SetEventColumn(*devices, 1, 1, 7, 0));
    ASSERT_TRUE(SetEventColumn(*devices, 1, 1, 7, kEventFlagCommand));
    // The row keeps its fired mark, but the notices show the flags as a read answers them.
    EXPECT_EQ(EventColumn(*devices, 1, 1, 7), kEventFlagCommand);
    EXPECT_EQ(host.consoles.Values("E.10.2.3.2.1.7.1.1"), (std::vector<uint32_t>{0, kEventFlagCommand}));
    AdvanceSeconds(5);
    EXPECT_EQ(host.Calls(), std::vector<std::string>{"command /opt/on-set"});
    // It ran for this alarm, so the clear still answers it.
    a->RemoveAlarm(1);
    EXPECT_EQ(host.Calls(), (std::vector<std::string>{"command /opt/on-set", "command /opt/on-clear"}));
}

TEST_F(ReactionsTest, ADelayWriteWhileArmedCountsTheNewDelayFromTheWrite)
{
    // Longer: the command waits 50 s from its write, not 40 s from the alarm.
    Configure(1, kEventFlagCommand, 0, 40, "/opt/on-set");
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    AdvanceSeconds(10);
    ASSERT_TRUE(SetEventColumn(*devices, 1, 1, 18, 50));
    AdvanceSeconds(49);
    EXPECT_TRUE(host.Calls().empty());
    AdvanceSeconds(1);
    EXPECT_EQ(host.Calls(), std::vector<std::string>{"command /opt/on-set"});
    a->RemoveAlarm(1);
    host.calls.clear();

    // Shorter: the shutdown comes 20 s after the write, and the next notice says so.
    Configure(1, kShutdownFlags, 60);
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    AdvanceSeconds(10);
    const int64_t written = host.clock.wallSeconds->load();
    ASSERT_TRUE(SetEventColumn(*devices, 1, 1, 19, 20));
    EXPECT_EQ(host.countdown.load(), written + 20);
    AdvanceSeconds(5);
    EXPECT_EQ(Countdown(), (std::vector<uint32_t>{55, 50, 15}));
    AdvanceSeconds(14);
    EXPECT_TRUE(host.Calls().empty());
    AdvanceSeconds(1);
    EXPECT_EQ(host.Calls(), (std::vector<std::string>{"BeginShutdown", "ExecuteShutdown"}));
}

TEST_F(ReactionsTest, AStopRunsNoClearReactionWhicheverPathRemovesTheAlarms)
{
    Configure(1, kShutdownFlags | kEventFlagCommand, 30, 0, "/opt/on-set", "/opt/on-clear");
    Configure(2, kShutdownFlags | kEventFlagCommand, 30, 0, "/opt/b-set", "/opt/b-clear");
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    ASSERT_EQ(b->AddAlarm(1, "On Battery", 3), 1);
    AdvanceSeconds(6);
    ASSERT_EQ(host.Calls(), (std::vector<std::string>{"command /opt/on-set", "command /opt/b-set"}));
    host.consoles.Clear();

    devices->BeginStop();
    // A poll or trap that still arrives, and the remote side releasing its agent's devices.
    a->RemoveAlarm(1);
    devices->RemoveAgentDevices(2);
    EXPECT_EQ(devices->Add(&agentB, 2), 1);
    EXPECT_FALSE(devices->FindRemoteDevice(&agentB, 1));
    devices->Destroy();
    EXPECT_EQ(host.Calls().size(), 2u);
    EXPECT_TRUE(Countdown().empty());

    // Nor was anything removed from the device file: both devices come back with their reactions.
    CDevices again(host);
    ASSERT_EQ(again.Initialize(), 1);
    EXPECT_EQ(again.GetCount(), 2);
    EXPECT_EQ(EventColumn(again, 2, 1, 7), kShutdownFlags | kEventFlagCommand);
    again.Destroy();
}

} // namespace
