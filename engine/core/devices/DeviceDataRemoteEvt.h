#pragma once
// CDeviceDataRemoteEvt: the event table of one remote device, one RemoteEventRecord row per event the
// device's agent can report, named like the alarm descriptions that agent sends. Stored as the
// sub-block of tag 0x83000000 in the device's record of block 0x09000000 of the device file.
//
// RemoteEventRecord: 108 bytes, 27 little-endian words:
//   0 row size 108, 1 row key, 2-3 0, 4-19 event name (char[64], NUL-terminated), 20 state (bit 0
//   alarm active, bit 1 the row holds a pending reaction, bits 4-7 event column 3), 21 flags (bit 2
//   commands, bit 3 shutdown, bit 8 countdown notices, bits 16-31 fired marks: action id << 16),
//   22 shutdown delay (s), 23 command delay (s), 24 string key of the command on set, 25 of the command
//   on clear, 26 the agent's event index.
// Texts are keys into the device list's string table.
//
// Stored rows (version history of the sub-block, read by Serialize):
//   up to 12.04.0047  rows hold words 0-22 (92 bytes)
//   12.04.0048        words 23-25 (command delay and commands)
//   12.04.0056        word 26 (event index)
// Words a file of its version did not hold stay zero; shorter rows are re-padded to 108 bytes by the
// device entry. The runtime state (state bits 0-1, fired marks) is cleared on load: a standing alarm is
// raised again by its agent after a restart, and must then arm its row again.
//
// The reactions (OnAlarmSet, OnAlarmCleared, the flags and delay writes, which also act on a standing
// alarm) follow the plan of Reactions.h; the actions themselves run in the context's OnEventTimer (the
// device list) on the timer thread.
//
// Threads and locks: the table belongs to its device entry. Every method expects the owning device's
// lock (CDeviceEntry::GetLock) held by the caller; the table's own CDataHeader lock is taken inside for
// block replacements. Work that must not run under the device lock (console notices, saves, clear
// reactions) is appended to the DeviceWork the caller passes, which the caller performs after it has
// released the device lock.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/data/DeviceDataEntry.h"
#include "engine/core/devices/DeviceTypes.h"
#include "engine/core/devices/Reactions.h"
#include "engine/core/interfaces/EngineValue.h"
#include "engine/core/runtime/AgentTimer.h"

class CDeviceEntryRemote;
class IDeviceContext;
struct DeviceWork;

namespace EventWord {
enum : int {
    kSize = 0,
    kKey = 1,
    kName = 4,
    kState = 20,
    kFlags = 21,
    kShutdownDelay = 22,
    kCommandDelay = 23,
    kCommandOnSet = 24,
    kCommandOnClear = 25,
    kEventIndex = 26,
    kCount = 27,
};
} // namespace EventWord

constexpr uint32_t kEventRowSize = 108;
constexpr uint32_t kEventNameBytes = 64;
constexpr uint32_t kEventStateActive = 0x1;
constexpr uint32_t kEventStatePending = 0x2;
constexpr uint32_t kDefaultShutdownDelay = 15;
constexpr uint32_t kEventTableTag = 0x83000000u;

class CDeviceDataRemoteEvt : public CDeviceDataEntry {
public:
    CDeviceDataRemoteEvt() = default;
    ~CDeviceDataRemoteEvt() override = default;

    // The number of rows (under the table's reader lock).
    int GetCount() override;
    using CDeviceDataEntry::ReadFileBlock;
    // Reads the sub-block of the device's record; when the record has none, an empty table with the last
    // key at the tag. false only when no table could be had.
    bool ReadFileBlock(const std::string& path, uint32_t rowKey) override;
    // Loading: the image, with the words its version did not hold and the runtime state cleared.
    void Serialize(CDataArchive& ar) override;

    // Stores the owner (its row key, agent and device index) and the context (the string table, the
    // timers and the settings: DeviceContext.h). A table without both keeps its rows and never reacts.
    void SetOwner(CDeviceEntry* owner) override;
    void SetContext(IDeviceContext* context) { m_context = context; }

    // A new row: the name cut to 63 characters, the event index, shutdown delay 15, all else 0.
    // false when memory is short.
    bool AddEventRow(const std::string& name, uint32_t eventIndex);
    // Rows re-padded to 108 bytes when they are not.
    bool FixRowSize();

    // The row (1-based number n) or the row of key; null outside. Valid until the next block change.
    uint8_t* Row(int number);
    uint8_t* RowByKey(uint32_t key);
    static std::string RowName(const uint8_t* row);
    static uint32_t Word(const uint8_t* row, int index);
    static void SetRowWord(uint8_t* row, int index, uint32_t value);

    // The alarm of that description changes: every row of that name whose state changes tells its
    // owner and (unless reactions are suspended, or react is false) runs OnAlarmSet or OnAlarmCleared.
    // 1 when the last row of that name changed, else 0.
    int SetAlarmState(const std::string& description, bool on, DeviceWork& work, bool react = true);
    void OnAlarmSet(uint8_t* row, DeviceWork& work);
    void OnAlarmCleared(uint8_t* row, DeviceWork& work);
    // Kills every set-timer of every row (a device going away or suspended); the rows give up their
    // pending reactions. True when a row's countdown had been announced (its fired mark, which goes):
    // the consoles are showing a countdown that no longer runs.
    bool ForgetAllReactions();
    // Clears the countdown fired mark of every row.
    void ForgetCountdownMarks();

    // OR or clear bits in the flags of the first row of that name (letter case counts).
    bool SetEventFlagsByName(const std::string& name, uint32_t bits);
    bool ClearEventFlagsByName(const std::string& name, uint32_t bits);
    // Whether a row holds a pending reaction.
    bool HasPendingReactions();

    // The MIB event-table columns of row n (1-based): 1 when answered.
    int GetValue(int number, uint32_t column, EngineValue& value);
    // false when refused (the value is out of range, or a text that the INI file could not hold).
    bool SetValue(int number, uint32_t column, int type, const void* data, size_t length, DeviceWork& work);

    // The "[RemoteEvent:<name>]" sections of the rows whose header text does not hold yet.
    void WriteConfig(std::string& text);
    // Applies the sections of the engine INI file to every row.
    void ReadConfig();

    // A text of the owner's string table (empty for key 0 or a missing text).
    std::string GetText(uint32_t key);

protected:
    // A table of equal rows of at least 92 bytes (words 0-22), each a whole number of words.
    bool CheckBlock() const override;
    bool CheckEntry(const uint8_t* entry, size_t entrySize) const override;

private:
public:
    // The timer record of an action of a row (state 1: a set reaction, 0 a clear reaction).
    void FillTimer(AgentTimerData& data, const uint8_t* row, uint32_t action, uint32_t state, uint32_t repeat);
    // Clears the row's countdown fired mark; true when it was set (a countdown notice had gone out for
    // the standing alarm). Under the device's lock.
    static bool ForgetCountdownMark(uint8_t* row);

private:
    ReactionSnapshot Snapshot(const uint8_t* row, bool on);
    void ArmTimers(const uint8_t* row, const std::vector<ReactionTimer>& arm);
    // The row's alarm stands and reactions are not held off.
    bool ReactsNow(const uint8_t* row) const;
    // A flags write from oldFlags on a row whose alarm stands: the actions it added are armed.
    void ArmAddedActions(uint8_t* row, uint32_t oldFlags, DeviceWork& work);
    // A delay write on a row whose alarm stands: the action's pending timer is armed anew.
    void RearmWithDelay(const uint8_t* row, uint32_t action, uint32_t delaySeconds, DeviceWork& work);
    void KillRowTimers(const uint8_t* row, const std::vector<uint32_t>& actions);
    void SetRowPending(uint8_t* row, bool pending);
    // The three lines that frame a row's alarm change in the log.
    void LogBanner(const uint8_t* row);

    bool Attached() const { return m_remoteOwner && m_context; }

    CDeviceEntryRemote* m_remoteOwner = nullptr;
    IDeviceContext* m_context = nullptr;
};
