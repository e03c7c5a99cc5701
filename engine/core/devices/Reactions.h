#pragma once
// The choice that ends in a shutdown, as pure functions of a snapshot: which timers an alarm change arms
// or kills, which clear reactions run at once, and how many seconds a countdown notice announces.
// The event table (DeviceDataRemoteEvt) takes the snapshot under its device's lock and carries the plan
// out; nothing here touches a timer, a lock or a clock.
//
// Rules the plan follows:
// - An action runs only when its id's bit is set in both the reaction mask and the row's flags.
// - Set: the shutdown (8, shutdown delay) and the command (4, command delay) make the row hold a
//   pending reaction. In "One" mode they are armed at once; in "All" mode only while every monitored
//   agent, this row's agent included, has a pending reaction. The countdown notice (256, every 5 s) is
//   armed only together with the shutdown.
// - Clear: the row's own set-timers are killed whatever its flags say now. When the row held a pending
//   reaction it gives it up; in "All" mode the shutdowns, countdowns and commands of every device are
//   killed once not every agent has a pending reaction any more (the condition they were armed under
//   is gone); in "One" mode no other row is touched. The clear reactions of the actions whose fired
//   mark is set run at once, in the order countdown (the final 0), shutdown (nothing to do), command
//   (the command on clear).
// - A flags write kills the pending timers of every action it removes, and the row gives up its pending
//   reaction when neither shutdown nor command stays enabled. On a row whose alarm stands, the actions
//   it adds are armed at once with their full delays (as a set would arm them, "All" mode included),
//   except a shutdown or command that already ran for this alarm; the row then holds a pending reaction.
// - A delay write on a row whose alarm stands re-arms that action's pending timer with the new delay,
//   counted from the write (what the consoles then show is what the operator typed); an action that
//   already ran, or that is not armed, is left alone.
// - The final countdown notice of a clear says 0 only when no shutdown is left armed anywhere;
//   otherwise it carries the seconds left of the earliest armed one, so the consoles keep their alert.
//   A countdown the consoles were shown that stops while its alarm stands (a flags write that removes
//   the shutdown, the device suspended) gets the same notice at once; its fired mark goes with it, so
//   the clear that follows sends none again. A device that goes away clears its alarms, which sends it.
//   A clear in "All" that kills every device's countdowns sends it when the consoles show a countdown,
//   whether or not this row's own had fired, and every row's countdown mark goes.
//
// Threads: pure functions, safe from any thread.

#include <cstdint>
#include <map>
#include <vector>

#include "engine/core/devices/DeviceTypes.h"

// Row flag bits (event row word 21).
constexpr uint32_t kEventFlagCommand = 0x4;
constexpr uint32_t kEventFlagShutdown = 0x8;
constexpr uint32_t kEventFlagCountdown = 0x100;
constexpr uint32_t kEventFlagsSettable = 0xFFFF;
// Fired marks: action id << 16.
constexpr uint32_t FiredMark(uint32_t action)
{
    return action << 16;
}
constexpr uint32_t kCountdownRepeatSeconds = 5;

struct ReactionSnapshot {
    bool alarmOn = false;            // the change: set (true) or clear (false)
    uint32_t reactionMask = 0xFFFF;  // settings word 5
    bool shutdownRequiredAll = false;
    uint32_t flags = 0;              // the row's flags, fired marks included
    bool rowPending = false;         // the row holds a pending reaction now
    uint32_t shutdownDelay = 0;      // seconds
    uint32_t commandDelay = 0;       // seconds
    // Whether each agent (by an id of the caller's: the agent entry's address) has a pending reaction on
    // one of its devices, this row left out.
    std::map<uintptr_t, bool> agentsPending;
    uintptr_t agent = 0;             // the agent of this row's device
    // The monitored agents (rows of the remote-agent table); agents of the list above count as well.
    int agentCount = 0;
};

struct ReactionTimer {
    uint32_t action = 0;
    uint64_t delayMs = 0;
    uint32_t repeatSeconds = 0;
    bool operator==(const ReactionTimer& o) const
    {
        return action == o.action && delayMs == o.delayMs && repeatSeconds == o.repeatSeconds;
    }
};

struct ReactionPlan {
    std::vector<ReactionTimer> arm;          // set-timers to arm for this row, in this order
    bool killRowTimers = false;              // kill this row's own set-timers (all three)
    std::vector<uint32_t> killEverywhere;    // actions whose timers go on every device ("All" mode)
    std::vector<uint32_t> runClear;          // clear reactions to run at once, in this order
    bool rowPending = false;                 // the row holds a pending reaction afterwards
    bool updateCountdown = false;            // the published countdown time must be computed again
};

// Every agent has a pending reaction: each agent of the list, with this row's agent counted as pending
// when rowPending, and at least agentCount of them.
bool AllAgentsPending(const ReactionSnapshot& snapshot, bool rowPending);

// The plan for an alarm set or clear of one row.
ReactionPlan DecideReactions(const ReactionSnapshot& snapshot);

// The plan for a flags write from oldFlags to newFlags on a row whose alarm stands or not: the row's
// timers of every action the write disables are killed (this row's only), and the row keeps its pending
// reaction only while shutdown or command stays enabled.
struct FlagsChangePlan {
    std::vector<uint32_t> killActions;
    bool rowPending = false;
    bool updateCountdown = false;
};
FlagsChangePlan DecideFlagsChange(uint32_t oldFlags, uint32_t newFlags, uint32_t reactionMask, bool rowPending);

// What a flags write from oldFlags arms on a row whose alarm stands: the snapshot holds the new flags
// (fired marks included) and the row's pending state after DecideFlagsChange; alarmOn is true.
ReactionPlan DecideFlagsOnStandingAlarm(const ReactionSnapshot& snapshot, uint32_t oldFlags);

// Whether a delay write re-arms the action's timer: the alarm stands, the action is enabled and has not
// run for this alarm (the caller then re-arms only a timer it found pending).
bool RearmsOnDelayWrite(const ReactionSnapshot& snapshot, uint32_t action);

// The seconds the countdown notice of a clear announces: 0 when no shutdown is armed (earliestDue 0),
// else the seconds left of the earliest armed one, at least 1 (it has not run yet).
uint32_t ClearNoticeSeconds(int64_t earliestDueSteadyMs, int64_t nowSteadyMs);

// The seconds a countdown notice announces: from now to the due moment, both on the steady clock in
// milliseconds, in whole seconds rounded up, 0 when due or past.
uint32_t CountdownSeconds(int64_t dueSteadyMs, int64_t nowSteadyMs);
