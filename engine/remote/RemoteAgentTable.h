#pragma once
// CRemoteAgentTable: one row per monitored remote agent, block 0xA8000000 of the remote extension file
// (vgrmtext.dat), with the texts of the rows in the same file's string table (block 0x06000000).
//
// Block: head {20, 0xA8000000, 20, bytes of the rows, row count}; rows of 13 little-endian words
// (RemoteAgentRow, 52 bytes). Row n (1-based) has key 0xA8100000 + n, without gaps; the last key is
// the last row's key, 0xA8100000 without rows.
//
// Version history of the rows (the file's data version decides what a loader reads):
//   up to 12.4 build 39: words 0-8 (36-byte rows, no version text, MAC, server name, selection);
//   from 12.4 build 40: words 0-12 (52 bytes). Older rows are re-laid to 52 bytes, zero-padded
//   (NeedsResize, Relayout) and the file is rewritten.
//
// Engine variables of the remote-engine group: key 0xA81 << 20 | column << 12 | row (row 1-4095,
// column 1-12); key 0xA8100100 is the forwarded-trap text. Columns: 1 row number, 2 row status (1
// enabled, 2 not), 3 address, 4 SNMP version code (0 or 2 SNMPv2c, 1 SNMPv1), 5 community, 6 port,
// 7 trap port, 8 agent status code, 9 version text, 10 MAC, 11 server name, 12 device selection.
//
// Threads and locks: the table is read and changed by the agent's request threads, the server's start,
// the system-queue thread and the remote-agent workers. Rows are copied out and changed under the
// block's locks (reader lock to copy, writer lock to change, add, remove and renumber); texts are added
// to and copied from the string table while no lock of this table is held, so the two tables' locks
// are never nested. The owner (the manager) is called with no lock of this table held.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "engine/core/data/CountedTable.h"
#include "engine/core/interfaces/EngineValue.h"

class CDataArchive;
class CStringTable;

constexpr uint32_t kRemoteTableBlockKey = 0xA8000000u;
constexpr uint32_t kRemoteRowKeyBase = 0xA8100000u;
constexpr uint32_t kRemoteForwardedTrapKey = 0xA8100100u;
constexpr uint32_t kRemoteStringBlockKey = 0x06000000u;
constexpr uint32_t kRemoteFileId = 0x24780207u;
constexpr uint32_t kRemoteDataVersion = 0x0C043B00u;

constexpr uint32_t kRemoteRowEnabled = 0x1u;
constexpr uint32_t kRemoteRowVersionMask = 0xF0u;
constexpr uint32_t kRemoteRowStatusMask = 0xFF00u;

struct RemoteAgentRow {
    uint32_t entrySize = 52;
    uint32_t key = 0;
    uint32_t reserved = 0;
    uint32_t payload = 0;
    uint32_t flags = 0;
    uint32_t address = 0;     // string key
    uint32_t community = 0;   // string key
    uint32_t port = 0;
    uint32_t trapPort = 0;
    uint32_t versionText = 0; // string key
    uint32_t mac = 0;         // string key
    uint32_t serverName = 0;  // string key
    uint32_t deviceSelection = 0;

    static constexpr uint32_t kSize = 52;
    static constexpr uint32_t kWords = 13;
    bool IsEnabled() const { return flags & kRemoteRowEnabled; }
    uint32_t VersionCode() const { return (flags & kRemoteRowVersionMask) >> 4; }
    uint32_t StatusCode() const { return (flags & kRemoteRowStatusMask) >> 8; }
    void ToBytes(uint8_t* out) const;
    // Words the bytes do not hold (a short row) read 0.
    static RemoteAgentRow FromBytes(const uint8_t* row, size_t size);
};
static_assert(sizeof(RemoteAgentRow) == RemoteAgentRow::kSize, "RemoteAgentRow is 13 words");

// What the table asks of its owner, the remote-agent manager. Called with no table lock held.
class IRemoteTableOwner {
public:
    virtual ~IRemoteTableOwner() = default;
    // An agent is monitored for the row with that key already.
    virtual bool HasEntry(uint32_t rowKey) = 0;
    // Starts monitoring the agent of the row (CRemoteAgent::Add); snmpIndex 0 asks for a new MIB row.
    virtual bool AddAgent(const RemoteAgentRow& row, uint32_t snmpIndex) = 0;
    virtual int SaveDataFile() = 0;
    // The MAC of an address by ARP, as six lower-case pairs joined by colons.
    virtual bool LookUpMac(const std::string& address, std::string& mac) = 0;
    virtual void QueueForwardedTrap(uint32_t requester, const std::string& text) = 0;
    // ListChangedTrap to the consoles for the remote-engine table.
    virtual void SendListChanged(int32_t value) = 0;
    // A row-status SET could not add its agent: the event, the broadcast and the delayed removal of
    // the MIB row.
    virtual void OnActivationFailed(uint32_t rowNumber) = 0;
};

class CRemoteAgentTable : public CCountedTable {
public:
    // Rows beyond this are not reachable by engine key (0xA8100100 is the forwarded-trap text).
    static constexpr uint32_t kMaxRows = 255;
    // Texts longer than these are refused (the MIB answers wrongLength).
    static size_t MaxTextLength(uint32_t column);

    explicit CRemoteAgentTable(CStringTable* strings, IRemoteTableOwner* owner = nullptr);
    ~CRemoteAgentTable() override;
    void SetOwner(IRemoteTableOwner* owner) { m_owner = owner; }

    // Adds the row counted (unless it replaced one of the same key).
    uint32_t Add(uint8_t* row, uint32_t key, bool* replaced = nullptr) override;
    int GetCount() override;
    // Reads the block; when the file lacks it and no block exists yet, an empty one. false only when
    // the empty block cannot be allocated.
    bool ReadFileBlock(const std::string& path, uint32_t blockKey) override;
    void Serialize(CDataArchive& ar) override;
    bool BuildBlock(uint32_t) override { return false; }
    // Removes the row, renumbers the later rows and resets the last key. false when absent.
    bool Remove(uint32_t key) override;
    bool IsLoadedFromFile() const { return m_loadedFromFile; }

    bool NeedsResize();
    // Re-lays the rows to a 20-byte head and 52-byte rows.
    bool Relayout();

    // A zeroed row under the next key: its key, or kDataKeyFailed when full or short of memory.
    uint32_t AddEmptyRow();
    // The row under the next key (row.key is set); its key or kDataKeyFailed.
    uint32_t AddRow(RemoteAgentRow& row);
    // Copies of rows, by 1-based position or by key.
    bool GetRow(uint32_t rowNumber, RemoteAgentRow& out);
    bool GetRowByKey(uint32_t key, RemoteAgentRow& out);
    // Changes the row of that key under the writer lock; false when absent.
    bool UpdateRow(uint32_t key, const std::function<void(RemoteAgentRow&)>& change);

    std::string CopyText(uint32_t stringKey);
    // The key of the text (an equal text shares it); 0 for an empty text.
    uint32_t AddText(const std::string& text);

    EngineValue GetValue(uint32_t key, uint32_t requester);
    // false when the SET was refused or found no row (a refused SET changes nothing), or when the
    // change of an enabled row could not be saved (a cell's stays in memory: the caller writes the old
    // value back; a row status is taken back here, and a row made active is saved before its agent is
    // added, so a failed save adds none).
    bool SetValue(uint32_t key, uint32_t requester, int type, const void* data, size_t length);

    // The "[VG_Remote]" and "[VG_Remote_2]" import (only when the block did not come from the file).
    // An imported row is enabled (its agent is monitored at once) and saved.
    void SetConfigurationValues();
    // One export section: "[VG_Remote]" for number 1, "[VG_Remote_<n>]" after it.
    static void WriteSection(std::ostream& out, int number, const std::string& address, const std::string& mac,
                             uint32_t versionCode, const std::string& community, uint32_t port, uint32_t trapPort);

    static bool IsValidMacText(const std::string& text);

protected:
    bool CheckBlock() const override;
    bool CheckEntry(const uint8_t* entry, size_t entrySize) const override;
    // Row n has the key 0xA8100000 + n, whatever the block's own key.
    uint32_t RowKeyBase() const override { return kRemoteRowKeyBase; }

private:
    // Caller holds a lock: the row at 1-based position, null outside.
    uint8_t* RowLocked(uint32_t rowNumber);
    uint8_t* RowByKeyLocked(uint32_t key);
    bool SetRowStatus(uint32_t rowNumber, int32_t value);
    int Save();

    CStringTable* m_strings;
    IRemoteTableOwner* m_owner;
    bool m_loadedFromFile = false;
};
