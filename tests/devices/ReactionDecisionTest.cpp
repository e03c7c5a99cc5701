// The choice that ends in a shutdown, as a pure function: alarm set and clear x row flags x "All"/"One"
// x two devices of two agents, with no timer and no thread.

#include "engine/core/devices/Reactions.h"

#include <gtest/gtest.h>

namespace {

constexpr uintptr_t kAgentA = 1;
constexpr uintptr_t kAgentB = 2;
constexpr uint32_t kShutdownRow = kEventFlagShutdown | kEventFlagCountdown;
constexpr uint32_t kBoth = kShutdownRow | kEventFlagCommand;

const ReactionTimer kArmShutdown{kActionShutdown, 30000, 0};
const ReactionTimer kArmCountdown{kActionShutdownCountdown, 5000, 5};
const ReactionTimer kArmCommand{kActionExecuteCommand, 10000, 0};

struct Case {
    const char* name;
    bool alarmOn;
    uint32_t flags;
    bool all;
    uintptr_t device;        // the agent of the row that changes: A or B
    bool rowPending;         // the row held a pending reaction before the change
    bool otherAgentPending;  // the other agent's device has a pending reaction
    bool ownAgentOtherRow;   // another row of the same agent has one
    int agentCount;
    uint32_t mask;
    std::vector<ReactionTimer> arm;
    std::vector<uint32_t> killEverywhere;
    std::vector<uint32_t> runClear;
    bool pendingAfter;
};

ReactionSnapshot Snapshot(const Case& c)
{
    ReactionSnapshot s;
    s.alarmOn = c.alarmOn;
    s.reactionMask = c.mask;
    s.shutdownRequiredAll = c.all;
    s.flags = c.flags;
    s.rowPending = c.rowPending;
    s.shutdownDelay = 30;
    s.commandDelay = 10;
    s.agent = c.device;
    const uintptr_t other = c.device == kAgentA ? kAgentB : kAgentA;
    s.agentsPending[c.device] = c.ownAgentOtherRow;
    s.agentsPending[other] = c.otherAgentPending;
    s.agentCount = c.agentCount;
    return s;
}

std::string Actions(const std::vector<uint32_t>& actions)
{
    std::string text;
    for (uint32_t a : actions)
        text += std::to_string(a) + " ";
    return text;
}

std::string Timers(const std::vector<ReactionTimer>& timers)
{
    std::string text;
    for (const ReactionTimer& t : timers)
        text += std::to_string(t.action) + "/" + std::to_string(t.delayMs) + "/" + std::to_string(t.repeatSeconds) + " ";
    return text;
}

TEST(ReactionDecision, AlarmChangesArmAndKillTheRightTimers)
{
    const uint32_t fired = FiredMark(kActionShutdown) | FiredMark(kActionShutdownCountdown);
    const uint32_t mask = 0xFFFF;
    const Case cases[] = {
        // One: a device's own alarm suffices.
        {"set shutdown One", true, kShutdownRow, false, kAgentA, false, false, false, 0, mask,
         {kArmShutdown, kArmCountdown}, {}, {}, true},
        {"set command One", true, kEventFlagCommand, false, kAgentB, false, false, false, 0, mask, {kArmCommand}, {}, {},
         true},
        {"set both One", true, kBoth, false, kAgentA, false, false, false, 0, mask,
         {kArmShutdown, kArmCountdown, kArmCommand}, {}, {}, true},
        {"set countdown only: nothing to count down to", true, kEventFlagCountdown, false, kAgentA, false, false, false, 0,
         mask, {}, {}, {}, false},
        {"set shutdown without notices", true, kEventFlagShutdown, false, kAgentA, false, false, false, 0, mask,
         {kArmShutdown}, {}, {}, true},
        {"set with the shutdown bit clear in the mask", true, kShutdownRow, false, kAgentA, false, false, false, 0,
         mask & ~kActionShutdown, {}, {}, {}, false},
        {"set with the command bit clear in the mask", true, kBoth, false, kAgentA, false, false, false, 0,
         mask & ~kActionExecuteCommand, {kArmShutdown, kArmCountdown}, {}, {}, true},
        // All: only while every agent has a pending reaction.
        {"set All, other agent idle", true, kBoth, true, kAgentA, false, false, false, 0, mask, {}, {}, {}, true},
        {"set All, other agent pending", true, kBoth, true, kAgentB, false, true, false, 0, mask,
         {kArmShutdown, kArmCountdown, kArmCommand}, {}, {}, true},
        {"set All, a third agent without devices", true, kBoth, true, kAgentB, false, true, false, 3, mask, {}, {}, {},
         true},
        {"set All, row without reaction", true, kEventFlagCountdown, true, kAgentB, false, true, false, 0, mask, {}, {},
         {}, false},
        // Clear: the row's own timers always go; in One nothing else is touched.
        {"clear One, B leaves A armed", false, kShutdownRow, false, kAgentB, true, true, false, 0, mask, {}, {}, {},
         false},
        {"clear One after the notices and shutdown fired", false, kShutdownRow | fired, false, kAgentA, true, false,
         false, 0, mask, {}, {}, {kActionShutdownCountdown, kActionShutdown}, false},
        {"clear One after the command fired", false, kBoth | FiredMark(kActionExecuteCommand), false, kAgentA, true,
         false, false, 0, mask, {}, {}, {kActionExecuteCommand}, false},
        {"clear after commands were switched off", false, kShutdownRow | FiredMark(kActionExecuteCommand), false, kAgentA,
         true, false, false, 0, mask, {}, {}, {}, false},
        {"clear with no flags left", false, 0, false, kAgentA, true, false, false, 0, mask, {}, {}, {}, false},
        // Clear in All: the condition the other devices were armed under is gone.
        {"clear All, both agents pending", false, kBoth, true, kAgentA, true, true, false, 0, mask, {},
         {kActionShutdownCountdown, kActionShutdown, kActionExecuteCommand}, {}, false},
        {"clear All, row held no reaction", false, kEventFlagCountdown, true, kAgentA, false, true, true, 0, mask, {}, {},
         {}, false},
        {"clear All, another row of the agent still pending", false, kBoth, true, kAgentA, true, true, true, 0, mask, {},
         {}, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ReactionPlan plan = DecideReactions(Snapshot(c));
        EXPECT_EQ(Timers(plan.arm), Timers(c.arm));
        EXPECT_EQ(plan.killRowTimers, !c.alarmOn);
        EXPECT_EQ(Actions(plan.killEverywhere), Actions(c.killEverywhere));
        EXPECT_EQ(Actions(plan.runClear), Actions(c.runClear));
        EXPECT_EQ(plan.rowPending, c.pendingAfter);
        if (c.alarmOn) {
            EXPECT_EQ(plan.updateCountdown, !c.arm.empty() && c.arm.front().action == kActionShutdown);
        }
    }
}

TEST(ReactionDecision, DelaysDoNotWrap)
{
    ReactionSnapshot s;
    s.alarmOn = true;
    s.flags = kEventFlagShutdown;
    s.shutdownDelay = 0xFFFFFFFFu;
    const ReactionPlan plan = DecideReactions(s);
    ASSERT_EQ(plan.arm.size(), 1u);
    EXPECT_EQ(plan.arm[0].delayMs, uint64_t{0xFFFFFFFFu} * 1000);
}

TEST(ReactionDecision, FlagsWritesCancelWhatTheyRemove)
{
    struct FlagsCase {
        uint32_t from, to;
        bool pending;
        std::vector<uint32_t> kill;
        bool pendingAfter;
    } cases[] = {
        {kBoth, kEventFlagCommand, true, {kActionShutdown, kActionShutdownCountdown}, true},
        {kBoth, kShutdownRow, true, {kActionExecuteCommand}, true},
        {kShutdownRow, kEventFlagShutdown, true, {kActionShutdownCountdown}, true},
        {kBoth, 0, true, {kActionShutdown, kActionShutdownCountdown, kActionExecuteCommand}, false},
        {kBoth, kBoth, true, {}, true},
        {0, kBoth, false, {}, false},
    };
    for (const FlagsCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + " -> " + std::to_string(c.to));
        const FlagsChangePlan plan = DecideFlagsChange(c.from, c.to, 0xFFFF, c.pending);
        EXPECT_EQ(Actions(plan.killActions), Actions(c.kill));
        EXPECT_EQ(plan.rowPending, c.pendingAfter);
    }
}

TEST(ReactionDecision, CountdownSecondsFromTheSteadyClock)
{
    struct {
        int64_t due, now;
        uint32_t seconds;
    } cases[] = {
        {130000, 100000, 30}, {130000, 105000, 25}, {130000, 105040, 25}, {130000, 129999, 1},
        {130000, 130000, 0},  {130000, 140000, 0},  {0, 100000, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CountdownSeconds(c.due, c.now), c.seconds) << c.due << " " << c.now;
}

TEST(ReactionDecision, FlagsWritesOnAStandingAlarmArmWhatTheyAdd)
{
    struct FlagsCase {
        const char* name;
        uint32_t from, to; // to includes the fired marks the row holds
        bool all, otherAgentPending;
        uint32_t mask;
        std::vector<ReactionTimer> arm;
        bool pendingAfter;
    } cases[] = {
        {"shutdown added", 0, kShutdownRow, false, false, 0xFFFF, {kArmShutdown, kArmCountdown}, true},
        {"command added beside an armed shutdown", kShutdownRow, kBoth, false, false, 0xFFFF, {kArmCommand}, true},
        {"nothing added", kBoth, kBoth, false, false, 0xFFFF, {}, true},
        {"a command that ran for this alarm", 0, kEventFlagCommand | FiredMark(kActionExecuteCommand), false, false,
         0xFFFF, {}, true},
        {"countdown alone", 0, kEventFlagCountdown, false, false, 0xFFFF, {}, false},
        {"masked", 0, kShutdownRow, false, false, 0xFFFF & ~kActionShutdown, {}, false},
        {"All, the other agent stands", 0, kShutdownRow, true, true, 0xFFFF, {kArmShutdown, kArmCountdown}, true},
        {"All, the other agent does not", 0, kShutdownRow, true, false, 0xFFFF, {}, true},
    };
    for (const FlagsCase& c : cases) {
        SCOPED_TRACE(c.name);
        ReactionSnapshot s;
        s.alarmOn = true;
        s.reactionMask = c.mask;
        s.shutdownRequiredAll = c.all;
        s.flags = c.to;
        s.rowPending = (c.from & (kEventFlagShutdown | kEventFlagCommand)) != 0;
        s.shutdownDelay = 30;
        s.commandDelay = 10;
        s.agent = kAgentA;
        s.agentsPending[kAgentB] = c.otherAgentPending;
        s.agentCount = 2;
        const ReactionPlan plan = DecideFlagsOnStandingAlarm(s, c.from);
        EXPECT_EQ(Timers(plan.arm), Timers(c.arm));
        EXPECT_EQ(plan.rowPending, c.pendingAfter);
        EXPECT_EQ(plan.updateCountdown, !c.arm.empty() && c.arm[0].action == kActionShutdown);
    }
}

TEST(ReactionDecision, DelayWritesReArmOnlyWhatStandsAndHasNotRun)
{
    ReactionSnapshot s;
    s.alarmOn = true;
    s.flags = kBoth;
    EXPECT_TRUE(RearmsOnDelayWrite(s, kActionShutdown));
    EXPECT_TRUE(RearmsOnDelayWrite(s, kActionExecuteCommand));
    s.flags = kBoth | FiredMark(kActionExecuteCommand);
    EXPECT_FALSE(RearmsOnDelayWrite(s, kActionExecuteCommand));
    s.flags = kEventFlagCommand;
    EXPECT_FALSE(RearmsOnDelayWrite(s, kActionShutdown));
    s.flags = kBoth;
    s.reactionMask = 0xFFFF & ~kActionExecuteCommand;
    EXPECT_FALSE(RearmsOnDelayWrite(s, kActionExecuteCommand));
    s.reactionMask = 0xFFFF;
    s.alarmOn = false;
    EXPECT_FALSE(RearmsOnDelayWrite(s, kActionShutdown));
}

TEST(ReactionDecision, AClearsNoticeSaysZeroOnlyWithNoShutdownLeft)
{
    EXPECT_EQ(ClearNoticeSeconds(0, 100000), 0u);
    EXPECT_EQ(ClearNoticeSeconds(120000, 100000), 20u);
    EXPECT_EQ(ClearNoticeSeconds(100000, 100000), 1u); // due this very moment: not yet run
}

} // namespace
