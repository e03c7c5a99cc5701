#pragma once
// CDeviceEntry: the engine's object for one device: its identity row (a copy of its 76-byte row of the
// attached-device table, which the device list writes back at each save), its status flags and its MIB
// device index. CDeviceEntryRemote (DeviceEntryRemote.h), a device served by a remote agent, is the
// only kind this engine creates.
//
// Attached-device row words: 0 size 76, 1 row key (low 16 bits number the default name), 2-3 head,
// 4 kind field (template claims), 5 model text, 6 port text, 7-8 device columns 6 and 7, 9 flags (bits
// 0-3 the remote device's column-4 value, 0x08 remote, 0x10 enabled, 0x20 online, 0x40 suspended,
// 0x100 unclaimed template row), 10 unused, 11 server address text, 12 device key (agent position << 16
// | device number), 13 column-8 text, 14 protocol family code, 15 name text, 16 column-13 text,
// 17 location text, 18 unused. Texts are keys into the device list's string table (0 = none).
//
// Identity: the device key (word 12), the row key (word 1: also the owner key of its timers and the
// "[%X]" of its log lines) and the device index (its 1-based MIB device-table row, -1 when the MIB
// refused a row; renumbered by the list when a device below it is deleted).
//
// Threads and locks: entries are shared (std::shared_ptr): the list drops its reference when it deletes
// a device while a worker, the trap thread or the timer thread may still hold one, and the entry lives
// until the last holder lets go. Each entry has one mutex (GetLock, "DeviceEntryMutex#", recursive)
// that guards its row copy, its alarms, its event table and its state; every method takes it itself
// unless its comment says "Locked" (then the caller holds it). Lock order for the devices as a whole
// (rank 6 of engine/base/LockOrder.h):
//     the device list's file mutex -> the list lock "DevicesRWSemaphore" -> one device lock (never two
//     at once) -> the data blocks' locks (event table, attached-device table, string table) -> the
//     list's leaf mutexes (pending reactions, countdown, notices) -> the timer list -> the facade
//     mutex -> the log hub.
// A device lock is never held while the list lock is asked for, nor while a console is notified or the
// list saved (see DeviceWork).

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/Mutex.h"
#include "engine/core/devices/DeviceWork.h"
#include "engine/core/interfaces/EngineValue.h"

class IDeviceContext;

namespace DeviceWord {
enum : int {
    kSize = 0,
    kKey = 1,
    kKind = 4,
    kModel = 5,
    kPort = 6,
    kColumn6 = 7,
    kColumn7 = 8,
    kFlags = 9,
    kServerAddress = 11,
    kDeviceKey = 12,
    kText8 = 13,
    kFamily = 14,
    kName = 15,
    kColumn13 = 16,
    kLocation = 17,
    kCount = 19,
};
} // namespace DeviceWord

constexpr uint32_t kDeviceRowSize = 76;
constexpr uint32_t kDeviceFlagKindBits = 0x0F;
constexpr uint32_t kDeviceFlagRemote = 0x08;
constexpr uint32_t kDeviceFlagEnabled = 0x10;
constexpr uint32_t kDeviceFlagOnline = 0x20;
constexpr uint32_t kDeviceFlagSuspended = 0x40;
constexpr uint32_t kDeviceFlagTemplate = 0x100;

using DeviceRow = std::array<uint32_t, DeviceWord::kCount>;

// E.10.2.2.1.<column>.<device index>, the device-table cell a notice names.
std::vector<uint32_t> DeviceColumnOid(uint32_t column, int deviceIndex);

class CDeviceEntry {
public:
    // The context is the list that holds the entry (DeviceContext.h); it lives as long as the engine.
    explicit CDeviceEntry(IDeviceContext& context);
    virtual ~CDeviceEntry();
    CDeviceEntry(const CDeviceEntry&) = delete;
    CDeviceEntry& operator=(const CDeviceEntry&) = delete;

    // Base: gets a MIB row (and its item rows), then the device is started or, when suspended,
    // deactivated. 1 when started. Called by the list with its writer lock held.
    virtual int Initialize(int ordinal, const DeviceRow& row, const std::string& model, const std::string& port,
                           DeviceWork& work);
    // Ends the device: the base does nothing more for a device without port or thread. runClearReactions
    // false (an engine stop) removes alarms without their clear reactions.
    virtual void Close(bool runClearReactions, DeviceWork& work);
    void SetOnline(DeviceWork& work);
    void EnableDevice(DeviceWork& work);
    void Deactivate(DeviceWork& work);
    void Suspend(DeviceWork& work);
    // The same for callers that hold no device or list lock (the remote-agent workers): the work is
    // performed at once.
    void SetOnline();
    void EnableDevice();
    void Deactivate();
    void Suspend();
    // ValueChangedTrap E.10.2.2.1.2.<index> = 2 suspended, 1 enabled and online, else 3 (unless the list
    // holds traps), and the server's OnDeviceStatus.
    void NotifyStatusLocked(DeviceWork& work);

    virtual bool IsRemote() const { return false; }
    virtual uint32_t GetWorstAlarm() = 0;
    virtual int GetEventCount() { return 0; }
    virtual int GetLoadGroupCount() { return 0; }
    virtual uint32_t GetAgentPosition() const { return 0; }
    virtual uint32_t GetDeviceNumber() const { return 0; }
    virtual std::string GetDefaultName(uint32_t number) = 0;

    // The MIB device columns and items: 1 when answered.
    virtual int GetValue(uint32_t itemKey, uint32_t column, EngineValue& value) = 0;
    // false when refused.
    virtual bool SnmpSetDeviceValue(uint32_t itemKey, uint32_t column, int type, const void* data, size_t length,
                                    DeviceWork& work) = 0;
    // The device row's columns answered by every kind (1, 2, 3, 4, 5, 6, 7, 8, 9, 14, 15, 17-21, 24-28).
    int GetColumnValueLocked(uint32_t column, EngineValue& value);

    // Words 5, 13 and 14 equal those of row.
    bool HasSameIdentity(const DeviceRow& row);
    // The name (word 15's text, else the default name).
    std::string GetName();

    // Identity (the row key never changes after Initialize; the others under the lock).
    uint32_t GetRowKey() const { return m_rowKey; }
    uint32_t GetDeviceKey();
    int GetDeviceIndex();
    void SetDeviceIndexLocked(int index) { m_deviceIndex = index; }
    int GetOrdinal() const { return m_ordinal; }
    uint32_t GetFlags();
    DeviceRow GetRow();
    Mutex& GetLock() { return m_lock; }
    IDeviceContext& GetContext() { return m_context; }

protected:
    // Before a suspension kills the device's timers (the remote entry drops its pending reactions).
    virtual void OnSuspendLocked(DeviceWork&) {}
    // Expect the lock held.
    uint32_t FlagsLocked() const { return m_row[DeviceWord::kFlags]; }
    void SetFlagsLocked(uint32_t clear, uint32_t set);
    std::string TextLocked(int word);
    // Word 15's text, else the default name.
    std::string NameLocked();
    int StatusValueLocked() const;

    IDeviceContext& m_context;
    Mutex m_lock;
    int m_ordinal = 0;
    int m_deviceIndex = -1;
    uint32_t m_rowKey = 0;
    int64_t m_deactivatedAt = 0;
    DeviceRow m_row{};
    std::string m_portText;
    std::string m_familyName;
    std::string m_defaultName;
};
