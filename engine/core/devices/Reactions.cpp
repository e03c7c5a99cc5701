#include "engine/core/devices/Reactions.h"

namespace {

constexpr uint32_t kActions[] = {kActionShutdown, kActionShutdownCountdown, kActionExecuteCommand};

bool Enabled(uint32_t mask, uint32_t flags, uint32_t action)
{
    return (mask & action) != 0 && (flags & action) != 0;
}

// The set-timers of the actions of `candidates` on a row whose alarm stands (the countdown notice only
// with a shutdown armed by the same plan), and the row's pending state.
ReactionPlan ArmPlan(const ReactionSnapshot& s, uint32_t candidates)
{
    ReactionPlan plan;
    const uint32_t mask = s.reactionMask;
    const uint32_t flags = s.flags;
    plan.rowPending = s.rowPending;
    if (Enabled(mask, flags, kActionShutdown) || Enabled(mask, flags, kActionExecuteCommand))
        plan.rowPending = true;
    const bool mayArm = !s.shutdownRequiredAll || AllAgentsPending(s, plan.rowPending);
    bool shutdownArmed = false;
    for (uint32_t action : kActions) {
        if (!Enabled(mask, flags, action))
            continue;
        if (action == kActionShutdownCountdown) {
            // Notices count down to a shutdown armed by this very change, never to nothing.
            if (shutdownArmed)
                plan.arm.push_back({action, uint64_t{kCountdownRepeatSeconds} * 1000, kCountdownRepeatSeconds});
            continue;
        }
        if (!mayArm || !(candidates & action))
            continue;
        const uint32_t delay = action == kActionShutdown ? s.shutdownDelay : s.commandDelay;
        plan.arm.push_back({action, uint64_t{delay} * 1000, 0});
        if (action == kActionShutdown) {
            shutdownArmed = true;
            plan.updateCountdown = true;
        }
    }
    return plan;
}

} // namespace

bool AllAgentsPending(const ReactionSnapshot& snapshot, bool rowPending)
{
    std::map<uintptr_t, bool> agents = snapshot.agentsPending;
    bool& own = agents[snapshot.agent];
    own = own || rowPending;
    for (const auto& agent : agents)
        if (!agent.second)
            return false;
    return static_cast<int>(agents.size()) >= snapshot.agentCount;
}

ReactionPlan DecideReactions(const ReactionSnapshot& s)
{
    if (s.alarmOn)
        return ArmPlan(s, kActionShutdown | kActionExecuteCommand);

    ReactionPlan plan;
    const uint32_t mask = s.reactionMask;
    const uint32_t flags = s.flags;
    // Clear: the row's own timers go whatever its flags say now.
    plan.killRowTimers = true;
    plan.updateCountdown = true;
    plan.rowPending = false;
    if (s.rowPending && s.shutdownRequiredAll && !AllAgentsPending(s, false)) {
        // The condition every device's reactions were armed under no longer holds.
        for (uint32_t action : {kActionShutdownCountdown, kActionShutdown, kActionExecuteCommand})
            plan.killEverywhere.push_back(action);
    }
    // Clear reactions of the actions that had fired: the final countdown notice (so the consoles close
    // their alert), the shutdown (only its mark), and the command on clear while commands stay enabled.
    if (flags & FiredMark(kActionShutdownCountdown))
        plan.runClear.push_back(kActionShutdownCountdown);
    if (flags & FiredMark(kActionShutdown))
        plan.runClear.push_back(kActionShutdown);
    if ((flags & FiredMark(kActionExecuteCommand)) && Enabled(mask, flags, kActionExecuteCommand))
        plan.runClear.push_back(kActionExecuteCommand);
    return plan;
}

FlagsChangePlan DecideFlagsChange(uint32_t oldFlags, uint32_t newFlags, uint32_t reactionMask, bool rowPending)
{
    FlagsChangePlan plan;
    for (uint32_t action : kActions) {
        if (Enabled(reactionMask, oldFlags, action) && !Enabled(reactionMask, newFlags, action))
            plan.killActions.push_back(action);
    }
    // Notices count down to the shutdown: they go with it.
    const bool shutdownGone = !Enabled(reactionMask, newFlags, kActionShutdown) &&
                              Enabled(reactionMask, oldFlags, kActionShutdown);
    if (shutdownGone) {
        bool listed = false;
        for (uint32_t action : plan.killActions)
            listed = listed || action == kActionShutdownCountdown;
        if (!listed)
            plan.killActions.push_back(kActionShutdownCountdown);
    }
    for (uint32_t action : plan.killActions)
        plan.updateCountdown = plan.updateCountdown || action == kActionShutdown;
    plan.rowPending = rowPending && (Enabled(reactionMask, newFlags, kActionShutdown) ||
                                     Enabled(reactionMask, newFlags, kActionExecuteCommand));
    return plan;
}

ReactionPlan DecideFlagsOnStandingAlarm(const ReactionSnapshot& s, uint32_t oldFlags)
{
    uint32_t added = 0;
    for (uint32_t action : {kActionShutdown, kActionExecuteCommand}) {
        // What already ran for this alarm does not run again.
        if (Enabled(s.reactionMask, s.flags, action) && !Enabled(s.reactionMask, oldFlags, action) &&
            !(s.flags & FiredMark(action)))
            added |= action;
    }
    return ArmPlan(s, added);
}

bool RearmsOnDelayWrite(const ReactionSnapshot& s, uint32_t action)
{
    return s.alarmOn && Enabled(s.reactionMask, s.flags, action) && !(s.flags & FiredMark(action));
}

uint32_t ClearNoticeSeconds(int64_t earliestDueSteadyMs, int64_t nowSteadyMs)
{
    if (earliestDueSteadyMs == 0)
        return 0;
    const uint32_t seconds = CountdownSeconds(earliestDueSteadyMs, nowSteadyMs);
    return seconds == 0 ? 1 : seconds;
}

uint32_t CountdownSeconds(int64_t dueSteadyMs, int64_t nowSteadyMs)
{
    if (dueSteadyMs <= nowSteadyMs)
        return 0;
    const int64_t seconds = (dueSteadyMs - nowSteadyMs + 999) / 1000;
    return seconds > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(seconds);
}
