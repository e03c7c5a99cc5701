#pragma once
// IDeviceContext: what a device entry and its event table need of the list that holds them: the
// engine's timers, clock and SNMP facade, the reaction settings, the list's string table and file, the
// work that must wait until no device lock is held, and the list's count of pending reactions and armed
// shutdowns. CDevices implements it; an entry and its table know only this, never the list itself.
//
// Timer records: an event table's timers carry the context (as IDeviceContext*) in their object and
// EventTimerExpired as their callback, which hands an expired record to OnEventTimer.
//
// Threads and locks: every method is safe from any thread. All but Perform and RefreshAgentCount may be
// called with the caller's device lock held (they take only the list's leaf mutexes, a data block's
// lock or the timer list); Perform and RefreshAgentCount need no device and no list lock held.

#include <cstdint>
#include <map>
#include <string>

#include "engine/core/runtime/AgentTimer.h"

class CStringTable;
class IRemoteAgentEntry;
class ISnmpFacade;
struct DeviceWork;

class IDeviceContext {
public:
    virtual ~IDeviceContext() = default;

    // The engine's parts.
    virtual CAgentTimer* GetTimers() = 0;
    // The clock of the timers: countdowns are measured on its steady side.
    virtual const TimerClock& GetClock() = 0;
    virtual ISnmpFacade* GetSnmp() = 0;

    // The reaction settings: the action mask, "All" mode, reactions held off (suspended or stopping),
    // list-change and alarm-status traps held.
    virtual uint32_t GetReactionMask() = 0;
    virtual bool IsShutdownRequiredAll() = 0;
    virtual bool AreReactionsSuspended() const = 0;
    virtual bool AreListChangeTrapsHeld() const = 0;

    // The list's texts and its device file.
    virtual CStringTable& GetStringTable() = 0;
    virtual const std::string& GetDeviceFilePath() const = 0;
    virtual void UpdateDataFileVersion(uint32_t version) = 0;

    // Carries out the notices, the save and the clear reactions a device operation left to do.
    virtual void Perform(DeviceWork& work) = 0;

    // The monitored agents: asked again of the remote-agent manager, and the count last asked.
    virtual void RefreshAgentCount() = 0;
    virtual int GetAgentCount() const = 0;
    // A row holds or gives up a pending reaction (its agent's count changes).
    virtual void NotePendingReaction(const IRemoteAgentEntry* agent, bool pending) = 0;
    // The pending state of every agent with devices, leaving out one reaction of that agent when
    // excludeOne (the row being decided).
    virtual std::map<uintptr_t, bool> GetAgentsPending(const IRemoteAgentEntry* agent, bool excludeOne) = 0;
    // Armed shutdowns (owner row key, event row key) with their due moment on the steady clock.
    virtual void NoteShutdownArmed(uint32_t ownerKey, uint32_t itemKey, int64_t dueSteadyMs) = 0;
    virtual void NoteShutdownKilled(uint32_t ownerKey, uint32_t itemKey) = 0;
    virtual void NoteAllShutdownsKilled() = 0;

    // The timer thread's action for one expired set-timer of an event row.
    virtual void OnEventTimer(AgentTimerData& data) = 0;
};

// The timer callback of the reactions: finds the context in the record and runs its OnEventTimer.
void EventTimerExpired(AgentTimerData* data);
