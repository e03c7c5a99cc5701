#pragma once
// EventEntry: the console's copy of one row of the engine's event table, the user's reaction to one event
// of one device, with the edits not yet saved (dirty bits). Also the delay grid of the event editor.
//
// Threads: Load and Save make SNMP requests and run on the console's worker thread; the edit operations
// run on the GUI thread, which owns the entry once the worker has handed it over.

#include <cstdint>
#include <string>

class SnmpServer;

class EventEntry {
public:
    static constexpr int kActionCommand = 4;
    static constexpr int kActionShutdown = 8;
    static constexpr int kDirtyShutdownDelay = 0x4;
    static constexpr int kDirtyShutdownFlag = 0x20;
    static constexpr int kDirtyCommandFlag = 0x40;
    static constexpr int kDirtyCommandDelay = 0x80;
    static constexpr int kDirtyCommandAfterDelay = 0x100;
    static constexpr int kDirtyCommandOnClear = 0x200;
    static constexpr uint32_t kMaxDelay = 43200;
    static constexpr size_t kMaxName = 63;
    static constexpr size_t kMaxCommand = 255;

    EventEntry() = default;
    EventEntry(int deviceIndex, int eventIndex) : m_deviceIndex(deviceIndex), m_eventIndex(eventIndex) {}

    // Reads the row; false when its name or its flags cannot be read. Delays off the grid are put on it
    // and written back at once.
    bool Load(SnmpServer& session);
    // Writes the dirty columns; the last write's result. Dirty bits are cleared whatever the results.
    bool Save(SnmpServer& session);

    void EnableShutdown() { SetFlag(kActionShutdown, true, kDirtyShutdownFlag); }
    void DisableShutdown() { SetFlag(kActionShutdown, false, kDirtyShutdownFlag); }
    void EnableExecuteCommand() { SetFlag(kActionCommand, true, kDirtyCommandFlag); }
    void DisableExecuteCommand() { SetFlag(kActionCommand, false, kDirtyCommandFlag); }
    void ClearActions();
    // Takes the columns that edited has dirty and this entry has not (their values and dirty bits), keeping
    // this entry's others: an edit laid over a newer read of the same row, or back under newer edits.
    void TakeEditsFrom(const EventEntry& edited);
    // The edits went to the engine.
    void MarkSaved() { m_dirty = 0; }
    // which 0: after the delay, 1: when the alarm clears. A text longer than kMaxCommand is refused.
    bool SetCommand(int which, const std::string& text);
    const std::string* GetCommand(int which) const;
    bool IncreaseShutdownDelay() { return Step(m_shutdownDelay, NextDelay(m_shutdownDelay), kDirtyShutdownDelay); }
    bool DecreaseShutdownDelay() { return Step(m_shutdownDelay, PreviousDelay(m_shutdownDelay), kDirtyShutdownDelay); }
    bool IncreaseCommandDelay() { return Step(m_commandDelay, NextDelay(m_commandDelay), kDirtyCommandDelay); }
    bool DecreaseCommandDelay() { return Step(m_commandDelay, PreviousDelay(m_commandDelay), kDirtyCommandDelay); }

    // The delay grid: 15 s steps up to 10 minutes, 1 minute up to 1 hour, 15 minutes up to 4 hours, 1 hour
    // up to 12 hours; 0 is no delay.
    static uint32_t NormalizeDelay(uint32_t v);
    static uint32_t NextDelay(uint32_t v);
    static uint32_t PreviousDelay(uint32_t v);
    // "%02dh %02dm %02ds"
    static std::string FormatDelay(uint32_t seconds);

    int DeviceIndex() const { return m_deviceIndex; }
    int EventIndex() const { return m_eventIndex; }
    const std::string& Name() const { return m_name; }
    int Actions() const { return m_actions; }
    int Dirty() const { return m_dirty; }
    uint32_t ShutdownDelay() const { return m_shutdownDelay; }
    uint32_t CommandDelay() const { return m_commandDelay; }
    const std::string& CommandAfterDelay() const { return m_commandAfterDelay; }
    const std::string& CommandOnClear() const { return m_commandOnClear; }

private:
    void SetFlag(int flag, bool on, int dirty);
    bool Step(uint32_t& delay, uint32_t next, int dirty);

    int m_deviceIndex = 0;
    int m_eventIndex = 0;
    int m_actions = 0;
    int m_dirty = 0;
    std::string m_name;
    uint32_t m_commandDelay = 0;
    std::string m_commandAfterDelay;
    std::string m_commandOnClear;
    uint32_t m_shutdownDelay = 0;
};
