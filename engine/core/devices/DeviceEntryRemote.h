#pragma once
// CDeviceEntryRemote: a UPS or sensor served by a remote agent, mirrored from that agent over SNMP: its
// alarms (the agent's, and the engine's own "Offline" and "Configuration") and its event table with the
// reactions to them.
//
// Alarms change on the remote-agent worker threads (polls) and the trap-queue thread (traps); values are
// read and written from the agent's request threads (the MIB device tables); the reactions' timers run
// on the timer thread. All of them meet under the entry's one lock (see DeviceEntry.h for the lock
// order). Each public method below takes the lock itself and performs its DeviceWork after releasing
// it, unless it takes a DeviceWork argument (then the caller performs it: the device list does, after
// its own locks are released).

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/core/devices/DeviceDataRemoteEvt.h"
#include "engine/core/devices/DeviceEntry.h"
#include "engine/core/devices/DeviceTypes.h"

class CDeviceEntryRemote : public CDeviceEntry {
public:
    // The device key is agent position << 16 | device number.
    CDeviceEntryRemote(IDeviceContext& context, IRemoteAgentEntry* agent, uint32_t deviceKey);
    ~CDeviceEntryRemote() override;

    // The first step, before the entry is in the list and with no list lock held (it may ask the agent):
    // reads the event table of row key rowKey from the device file; when the file has no rows for it,
    // reads the event list from the agent and then applies the INI event sections (a table with stored
    // rows keeps them: a restart must not undo reactions edited over SNMP). Rows are re-padded to 108
    // bytes and the table's data version is reported to the server.
    void PrepareEvents(uint32_t rowKey);
    // The second step, with the list's writer lock held: copies the row (online flag cleared), keeps the
    // names, then the base Initialize and, when it succeeds, SetOnline.
    int Initialize(int ordinal, const DeviceRow& row, const std::string& model, const std::string& port,
                   DeviceWork& work) override;
    void Close(bool runClearReactions, DeviceWork& work) override;

    bool IsRemote() const override { return true; }
    uint32_t GetWorstAlarm() override;
    int GetEventCount() override;
    uint32_t GetAgentPosition() const override { return m_position.load(); }
    uint32_t GetDeviceNumber() const override { return m_deviceNumber; }
    // "Device <n>@<server address>".
    std::string GetDefaultName(uint32_t number) override;
    IRemoteAgentEntry* GetAgent() const { return m_agent; }

    // Alarms. AddAlarm: 0 when an alarm of that id stands already (nothing changes), else 1. The
    // description is cut to 63 characters.
    int AddAlarm(uint32_t id, const std::string& description, uint32_t value);
    void RemoveAlarm(uint32_t id);
    // Removes every alarm but those of value 7 (keepConfiguration) and those whose mark is clear
    // (onlyMarked); one alarm-status notice at the end when any went.
    void RemoveAllAlarms(bool keepConfiguration, bool onlyMarked);
    void MarkAllAlarms(uint32_t flag);
    bool HasAlarm(uint32_t id);
    // Copies (the alarm may go the moment the lock is released).
    std::optional<DeviceAlarm> FindAlarm(uint32_t id);
    std::optional<DeviceAlarm> FindAlarmByRow(uint32_t mibRow);
    std::vector<DeviceAlarm> GetAlarms();
    bool HasPendingReactions();
    // Bits of the flags of the first event row of that name.
    void SetEventFlags(const std::string& name, uint32_t bits);
    void ClearEventFlags(const std::string& name, uint32_t bits);
    // Clears every event row's countdown fired mark.
    void ForgetCountdownMarks();

    // Identity.
    bool BelongsTo(const IRemoteAgentEntry* agent, uint32_t number) const;
    // The protocol family name of device column 15 for a family code.
    static std::string TypeName(uint32_t code);
    void SetTypeNameLocked(uint32_t code);
    // Word 11 := the key of the text; the list is saved.
    void SetServerAddress(const std::string& address, DeviceWork& work);
    // Agent position - 1, device key - 0x10000.
    void DecrementPosition();

    // Values (the MIB device tables and the alarm items 0x8301000B-0x83010011 by the alarm's MIB row).
    int GetValue(uint32_t itemKey, uint32_t column, EngineValue& value) override;
    bool SnmpSetDeviceValue(uint32_t itemKey, uint32_t column, int type, const void* data, size_t length,
                            DeviceWork& work) override;
    int GetAlarmValue(uint32_t key, uint32_t mibRow, EngineValue& value);
    // What the standing alarms say of the UPS's power (the UPS-MIB's upsBatteryStatus, upsSecondsOnBattery
    // and upsOutputSource keys, WellKnownAlarms.h): batteryLow(3) while a "Low Battery" alarm stands,
    // else batteryNormal(2); the seconds since the engine raised the "On Battery" alarm, 0 without one;
    // battery(5) while "On Battery" stands, else normal(3). 0 for any other key.
    int GetPowerValue(uint32_t key, EngineValue& value);
    // Field 1..10 selects device column 1, 2, 3, 8, 9, 10, 11, 12, 13, 25 (the agent's status traps).
    void SetValueByField(uint32_t itemKey, uint32_t field, int type, const void* data, size_t length);

    // The event table; its methods expect GetLock() held.
    CDeviceDataRemoteEvt& GetEventTableLocked() { return m_events; }
    // ValueChangedTrap E.10.2.2.1.25.<index> = the worst alarm value (unless traps are held).
    void NotifyAlarmStatusLocked(DeviceWork& work);

    // The device's event list read from its agent (generation 4: a GET-NEXT walk; older: count, first
    // index, then names by index with at most 10 misses in a row). Rows are added to the event table.
    // Part of PrepareEvents (no list lock held: the requests wait for the SNMP thread).
    void ReadEventList();
    static constexpr int kMaxEventRows = 1024;

private:
    uint32_t WorstAlarmLocked() const;
    // Word 11's text, else the agent's address.
    std::string ServerAddressLocked();
    // react false: the event rows go inactive without their clear reactions.
    void RemoveAlarmLocked(size_t at, DeviceWork& work, bool react);
    void OnSuspendLocked(DeviceWork& work) override;
    bool StoreTextLocked(int word, const std::string& text, uint32_t column, DeviceWork& work);
    void NoticeLocked(uint32_t column, EngineValue value, DeviceWork& work);

    IRemoteAgentEntry* m_agent;
    std::atomic<uint32_t> m_position;
    uint32_t m_deviceNumber;
    CDeviceDataRemoteEvt m_events;
    std::vector<DeviceAlarm> m_alarms;
};
