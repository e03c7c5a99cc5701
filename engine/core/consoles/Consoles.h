#pragma once
// CConsoles: the registry of consoles and the trap fan-out to them.
//
// A manager becomes a console by a GET of the console-activation variable or by any read or write of a
// console-setting variable (keys 0x85020006-0x8502001C): it gets a ConsoleRecord row in the console
// extension file vgcnsext (CConsoleTable, block 0xA7000000; communities in the CStringTable block
// 0x06000000) and a CConsoleEntry whose keep-alive thread drops it after a silent period. Every
// notification to consoles goes through SendTrap: one copy to each active console, in registration
// order, at its own trap port, 50 ms apart, on the sender's thread. A sender that must never wait (the
// SNMP thread answering a SET, the trap-queue thread applying a burst of alarm changes) hands its
// fan-out to the registry's own fan-out thread instead (ConsoleOptions::deferFanOut); otherwise it
// would stop for 50 ms per console. The fan-out thread keeps one outbox per console and sends each
// console its notices in the order they were handed over (save the replacements below), 50 ms apart
// (from the end of one send to that console to the start of the next), and each notice still walks the consoles in registration
// order 50 ms apart. Walks overlap (the next notice may go to the first console while this one goes
// on to the later ones), so every console can get a notice every 50 ms however many there are.
//
// Replacement and bounds of the handed-over notices: a console waits for at most one notice of each
// object. A new notice that makes a waiting one obsolete (SupersedesNotice: a value notice of the same
// objects, a list-changed notice of the same list, or an exact repeat) replaces it at once, whatever
// the backlog: a value notice takes the older one's place in the outbox, so the latest value (the
// shutdown countdown above all) never waits behind notices made since; any other goes last, so that a
// list the console reads again never comes before notices made earlier. What remains keeps its order
// per object. At most kMaxNoticeBacklog wait per console (one copy of a notice is shared by every
// outbox it is in); a notice that replaces nothing in a full outbox is dropped for that console and
// counted (a console re-reads every value at its refresh). A stop drops what still waits. The fan-out
// thread is started once, at the first hand-over, and again only after it ended.
//
// Bounds: at most kMaxConsoles (64) consoles are registered. When the registry is full, a new manager
// takes the row of the console silent longest among those not active now (its keep-alive period ran
// out) and not on the engine's own host. A manager on the engine's own host is never refused: without
// such a row it takes the row of the console silent longest among the others, active or not. Any other
// manager finding no such row is refused (logged once per address) and its requests are answered with
// the defaults. Address 0 (the engine's own calls) is never registered.
//
// Threads and locks. Lock order (each only before the ones after it; rank 7 of engine/base/LockOrder.h):
//     m_fileMutex  (one save, backup, restore or safe point at a time)
//     m_mutex      (the console list, the rows and the community texts; held for registration with its
//                   find, for each console-setting read or write, and while a save takes its snapshot)
//     the tables' CDataHeader locks, then an entry's own mutex, then the log hub
// The host's device list is asked before m_mutex is taken (it may notify consoles under its own
// lock), and the trap sender is called with none of these held (it may wait for the SNMP thread, which
// may itself be fanning out: fan-outs of different threads are not serialised). The fan-out walks a
// copy of the list taken under m_mutex, so a registration never changes the list under a walk, and an
// entry dropped meanwhile stays alive (shared_ptr) until the walk is done. A save builds the file image
// under m_mutex (a snapshot of both blocks together) and writes it with m_fileMutex alone.
// Every public method is safe from any thread.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/core/consoles/ConsoleEntry.h"
#include "engine/core/consoles/ConsoleTable.h"
#include "engine/base/Mutex.h"
#include "engine/core/interfaces/ServerManagers.h"
#include "engine/core/data/StringTable.h"
#include "engine/core/interfaces/TrapData.h"

// What the registry needs from the engine; the server implements it. The device calls and the trap
// sender are made with none of the registry's locks held; the others (plain reads) under m_mutex.
class IConsoleHost {
public:
    virtual ~IConsoleHost() = default;
    // The IPv4 addresses of this host's interfaces (first octet in the lowest byte). Loopback
    // addresses (127.0.0.0/8) count as the host's own whatever this answers.
    virtual std::vector<uint32_t> GetOwnHostAddresses();
    virtual int GetTrapPort() = 0;
    virtual std::string GetCommunity() = 0;
    virtual std::string GetEngineName() = 0;
    // The highest data version seen; the console file is written with it.
    virtual uint32_t GetDataFileVersion() = 0;
    // The devices now: their number and the key of each, in list order.
    virtual std::vector<uint32_t> GetDeviceKeys() = 0;
    virtual int GetDeviceCount() = 0;
    // Null: traps reach nobody.
    virtual ITrapSender* GetTrapSender() = 0;
    // vgcnsext, its backup name and its safe-point name (empty: not known yet).
    virtual std::string GetConsoleFilePath() = 0;
    virtual std::string GetConsoleBackupPath() = 0;
    virtual std::string GetConsoleSafePointPath() = 0;
};

struct ConsoleOptions {
    unsigned keepAlivePeriodMs = CConsoleEntry::kKeepAlivePeriodMs;
    unsigned fanOutSpacingMs = 50;
    size_t maxConsoles = 64;
    // True on a thread that must not wait for a fan-out; its fan-outs go to the fan-out thread. Unset:
    // every fan-out runs on its sender's thread.
    std::function<bool()> deferFanOut;
};

// The settings texts: YYYYMMDD with the year 1990-2038, the month 1-12 and the day 1-31; HHMMSS with
// the hour at most 23 and minutes and seconds below 60. Every character must be a digit.
bool IsValidDateText(const char* text, size_t length);
bool IsValidTimeText(const char* text, size_t length);
// Whether the later notice makes the queued one obsolete for a console: the same trap and varbind
// OIDs, and either the same values, a value notice (1001), which tells the latest value, or a
// list-changed notice (1002), after which the console reads the list again.
bool SupersedesNotice(const TrapData& queued, const TrapData& later);

class CConsoles : public IConsoleManager {
public:
    static constexpr uint32_t kConsoleTableKey = 0xA7000000u;
    static constexpr size_t kMaxConsoles = 64;
    static constexpr const char* kTrapName = "vgagent12";
    static constexpr size_t kMaxTrapCommunity = 255;
    // A console's community (key 0x85020014) of this many bytes or more cannot be stored.
    static constexpr size_t kMaxConsoleCommunityBytes = 64;

    explicit CConsoles(IConsoleHost& host, ConsoleOptions options = {});
    ~CConsoles() override;
    CConsoles(const CConsoles&) = delete;
    CConsoles& operator=(const CConsoles&) = delete;

    // Loads vgcnsext (upgrading an old layout and saving it), then one inactive entry per row, named
    // "CONSOLE_" and the row position. 0 when an entry cannot be allocated. No console registers
    // before it has run (a server whose start failed early keeps no consoles).
    int Initialize() override;
    // Stops every entry's thread and drops the entries; later registrations are refused until the
    // next Initialize.
    void DestroyAll() override;
    int Backup() override;
    int Restore() override;
    // 1 only when the file exists and was copied to its safe-point name.
    int CreateSafePoint() override;
    // Writes vgcnsext (file id 0x24780205, the host's data version). 0 when it could not be written
    // (the old file is kept).
    int Save() override;

    void Activate(uint32_t requester) override { ActivateEntry(requester); }
    // Registers the requester when it is not yet a console, and activates it. Null when it is not
    // registered (address 0, the bound reached, or no memory).
    std::shared_ptr<CConsoleEntry> ActivateEntry(uint32_t address);
    std::shared_ptr<CConsoleEntry> Find(uint32_t address);
    // The number of registered consoles.
    int GetCount() override;
    // The device index the requester's device-item keys refer to (row word 7 kept within the current
    // device count); 1 for an address that is not a console, 0 when its row is missing.
    int GetSelectedDevice(uint32_t requester) override;
    // Console-setting keys of group 0x02: activate the requester, then answer (defaults: INTEGER 0).
    int GetValue(uint32_t key, uint32_t requester, EngineValue& value) override;
    // Activates, applies the key (values out of range are ignored), then saves when the console's row
    // changed. false only when that save failed, and saved (when given) is then set false (the file
    // keeps the old row; the row in memory keeps the new value until the caller writes the old one
    // back, as the MIB does): a refused value is no SNMP error.
    bool SetValue(uint32_t key, uint32_t requester, int type, const void* data, size_t length,
                  bool* saved = nullptr) override;

    // One varbind oid = value of the value's syntax, trap E.15.0.<trapId>.0, to every active console.
    void SendValueNotification(const std::vector<uint32_t>& oid, uint32_t trapId, const EngineValue& value) override;
    // One INTEGER varbind.
    void SendNotification(const std::vector<uint32_t>& oid, uint32_t trapId, const EngineValue& value) override;
    // The fan-out: console null = every active console; a given entry only while it is active.
    void SendTrap(const std::vector<uint32_t>& trapOid, int specific, const std::vector<TrapVarbind>& varbinds,
                  const std::shared_ptr<CConsoleEntry>& console);
    void SendTrap(const std::vector<uint32_t>& trapOid, int specific, const std::vector<TrapVarbind>& varbinds) override
    {
        SendTrap(trapOid, specific, varbinds, nullptr);
    }

    // The entries in registration order (a copy).
    std::vector<std::shared_ptr<CConsoleEntry>> GetEntries();
    // A copy of the row of the console at address; false when there is none.
    bool CopyRow(uint32_t address, std::vector<uint8_t>& row);

    // E.15.0.<specific>.0
    static std::vector<uint32_t> TrapOid(uint32_t specific);

    // Notices handed to the fan-out thread and not yet sent, counted per console (at most
    // kMaxNoticeBacklog for each).
    static constexpr size_t kMaxNoticeBacklog = 1000;
    size_t GetDeferredCount();

private:
    struct FanOut {
        TrapData trap;
        std::vector<std::shared_ptr<CConsoleEntry>> targets;
    };
    class FanOutThread;
    using FanOutClock = std::chrono::steady_clock;
    // One handed-over notice on its way through its consoles (the active ones when it was handed over,
    // in registration order): a position is done once sent, skipped, dropped or given way.
    struct Walk {
        std::shared_ptr<const TrapData> notice;
        std::vector<bool> done;
        size_t firstPending = 0;
        FanOutClock::time_point lastSent;
        bool sentAny = false;
        void Done(size_t position);
    };
    struct Pending {
        std::shared_ptr<Walk> walk;
        size_t position = 0;
    };
    struct Outbox {
        std::shared_ptr<CConsoleEntry> entry;
        std::deque<Pending> items;
        FanOutClock::time_point nextDue;
    };

    // The walk over the targets, with none of the registry's locks held.
    void Deliver(FanOut& fanOut);
    void SendOne(CConsoleEntry& entry, TrapData& trap);
    void Defer(FanOut fanOut);
    // The fan-out thread's next notice (with its console) when one is due: answers 0; otherwise no
    // notice and the milliseconds until the next one is due (-1: none waits).
    int NextNotice(std::shared_ptr<CConsoleEntry>& entry, Pending& item);
    // The item's position is done; sent: the next send to entry and the walk's next are a spacing away.
    void NoticeDone(const CConsoleEntry& entry, const Pending& item, bool sent);
    void StopFanOutThread();

    // Under m_mutex.
    std::shared_ptr<CConsoleEntry> FindLocked(uint32_t address);
    // evicted: the entry whose row the new console took (stopped by the caller, after the lock).
    std::shared_ptr<CConsoleEntry> PingLocked(uint32_t address, const std::vector<uint32_t>& deviceKeys,
                                              std::shared_ptr<CConsoleEntry>& evicted);
    // The console whose row a newcomer at address takes in a full registry, or null (refused).
    std::shared_ptr<CConsoleEntry> ChooseEvictionLocked(uint32_t address);
    // Drops entry's row (and its community text when no other row names it) and the entry.
    void RemoveLocked(const std::shared_ptr<CConsoleEntry>& entry);
    uint8_t* RowLocked(const CConsoleEntry& entry);
    void ApplyLocked(uint32_t key, CConsoleEntry& entry, int type, const void* data, size_t length);
    int SelectedDeviceLocked(const CConsoleEntry& entry, int deviceCount);
    bool CopyFile(const std::string& from, const std::string& to);

    IConsoleHost& m_host;
    const ConsoleOptions m_options;
    Mutex m_fileMutex;
    Mutex m_mutex;
    CConsoleTable m_table;
    CStringTable m_strings;
    std::vector<std::shared_ptr<CConsoleEntry>> m_entries;
    std::set<uint32_t> m_refused;
    // Registrations are refused before Initialize and after DestroyAll.
    bool m_closed = true;

    // The outboxes in the order their consoles were first handed a notice, guarded by m_fanOutMutex
    // (taken alone, never with the locks above).
    Mutex m_fanOutMutex;
    std::vector<Outbox> m_outboxes;
    size_t m_deferredCount = 0;
    uint64_t m_noticesDropped = 0;
    std::unique_ptr<FanOutThread> m_fanOutThread;
};
