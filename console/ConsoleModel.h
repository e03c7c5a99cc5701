#pragma once
// The console's view of its engine: the snapshot a refresh reads (on the worker thread) and the model the
// GUI thread keeps from it, with the monitored UPS, their status and the event list rows.
//
// Threads: ReadSnapshot runs on the worker thread; ConsoleModel belongs to the GUI thread.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "console/DeviceEntry.h"

class SnmpServer;

// A device's or a UPS's status as the console shows it, in rising severity: a worse class is never hidden
// by a milder one.
enum class StatusClass { Normal = 0, Info = 1, Offline = 2, Warning = 3, Critical = 4 };

// 1 critical, 2 warning, 3 info, 5-7 off line, anything else normal.
StatusClass ClassifyStatus(int32_t status);
// "Critical", "Warning", "Info", "Offline", "Normal".
const char* StatusText(StatusClass status);

// The tray's status slots.
enum class TraySlot { Normal = 0, Warning = 1, Critical = 2, Offline = 5, Locked = 8 };
// Info shows as normal in the tray.
TraySlot TraySlotFor(StatusClass worst);
const char* TraySlotText(TraySlot slot);

struct EngineSnapshot {
    // The engine answered the whole refresh; when not, the rest of the snapshot is not to be shown.
    bool reached = false;
    bool redundant = false;
    bool hibernationAllowed = false;
    bool hibernate = false;
    std::vector<DeviceEntry> devices;  // device-index order
    int32_t remoteCount = 0;           // as the engine reported it (0 when the read failed)
    std::vector<RemoteEntry> remotes;  // rows 1 and 2 at most
};

// Engine rows read per refresh at most (the counts come from the network).
constexpr int32_t kMaxDevices = 256;
constexpr int32_t kMaxRemotes = 2;

// The refresh's reads, in this order: shutdown required, hibernation allowed, enable hibernation, the
// device count and each device, the remote count and each remote row. A read without an answer is checked
// with one read of the device count; when that is not answered either, the refresh ends unreached (a dead
// engine costs one or two time-outs, not one for every value).
EngineSnapshot ReadSnapshot(SnmpServer& session);
// Sets the reactions of every (device, event) to none on the engine (on the worker thread).
void ClearEngineEventActions(SnmpServer& session, const std::vector<std::pair<int, int>>& events);

// One row of the event list: an event name and every (device index, event index) that carries it.
struct EventListRow {
    std::string name;
    std::vector<std::pair<int, int>> events;
};

class ConsoleModel {
public:
    // Replaces everything with the snapshot and works out which devices are shown as UPS 1 and UPS 2.
    void Apply(EngineSnapshot snapshot);
    void Clear();

    bool Redundant() const { return m_redundant; }
    bool HibernationAllowed() const { return m_hibernationAllowed; }
    bool Hibernate() const { return m_hibernate; }
    int32_t RemoteCount() const { return m_remoteCount; }
    int MonitoredCount() const { return m_monitored; }
    // slot 0 or 1; null when empty.
    const RemoteEntry* Remote(int slot) const;
    DeviceEntry* UpsDevice(int slot);
    std::vector<DeviceEntry>& Devices() { return m_devices; }
    const std::vector<DeviceEntry>& Devices() const { return m_devices; }

    // Device index 0 (or not loaded): null.
    DeviceEntry* FindDevice(int deviceIndex);
    // Among the devices of that remote index, the n-th from which the first non-sensor is taken
    // (n 0 behaves as 1).
    DeviceEntry* FindDeviceOfRemote(int remoteIndex, int position);

    // The status of the monitored UPS in slot (0, 1): an aggregate row takes the worst of its devices.
    StatusClass UpsStatus(int slot);
    // The worst status of every monitored UPS; off line when no UPS is monitored.
    StatusClass WorstStatus();

    // The events of the devices shown as UPS 1 and UPS 2, one row per event name, in first-seen order.
    std::vector<EventListRow> BuildEventList();
    // Every (device index, event index) the engine has, by the devices' event counts.
    std::vector<std::pair<int, int>> AllEventKeys() const;
    // Resets every event's reactions (each changed event is marked for Save).
    void ClearEventActions();
    // Lays edited copies of events back onto the model's events (EventEntry::TakeEditsFrom), each only onto
    // the same event: a device list that changed meanwhile does not take another's edits.
    void LayEdits(const std::vector<EventEntry>& edited);

private:
    bool m_redundant = false;
    bool m_hibernationAllowed = false;
    bool m_hibernate = false;
    int32_t m_remoteCount = 0;
    int m_monitored = 0;
    std::vector<DeviceEntry> m_devices;
    std::vector<RemoteEntry> m_remoteRows;
    // Slot -> row in m_remoteRows (-1 empty); slot -> device index of the UPS (0 none).
    int m_remoteSlot[2] = {-1, -1};
    int m_upsDevice[2] = {0, 0};
};
