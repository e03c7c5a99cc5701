#pragma once
// DeviceWork: what a device operation leaves to be done once its device lock is released: notices to
// the consoles, a save of the device list, clear reactions to run at once, a status report to the
// server. Code that holds a device lock only appends here; CDevices::Perform carries it out with no
// device lock and no list lock held, so a console fan-out (which may wait for the SNMP thread) or a
// save never runs under a lock that the SNMP thread's MIB reads need.
//
// Threads: a DeviceWork belongs to the thread that fills it (normally on its stack).

#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/interfaces/EngineValue.h"
#include "engine/core/runtime/AgentTimer.h"

struct DeviceNotice {
    std::vector<uint32_t> oid;
    uint32_t trapId = 0; // kValueChangedTrap or kListChangedTrap
    EngineValue value;
};

// A clear reaction to run at once (the action's timer record with state 0), with what it needs of its
// row taken while the row was at hand: it runs even when the device has gone meanwhile.
struct ClearReaction {
    AgentTimerData record;
    std::string eventName;
    uint32_t commandKey = 0; // the command on clear (0: none)
    bool commandEnabled = false;
};

struct DeviceWork {
    std::vector<DeviceNotice> notices;
    std::vector<ClearReaction> clearReactions;
    bool save = false;
    bool updateCountdown = false;
    // A countdown the consoles were shown was cancelled without a clear (a flags write, a suspension):
    // they get the closing notice a clear sends, once per piece of work.
    bool closeCountdown = false;
    // Every device's countdowns were killed ("All" mode, a clear): the consoles get that notice when a
    // countdown was showing, and every row's countdown mark goes (no later clear sends it again).
    bool closeCountdownIfShown = false;
    bool listChanged = false;
    std::vector<int> statusChanged; // device indexes for the server's OnDeviceStatus
};
