#pragma once
// CSnmpIpTable: the trap-destination table, block 0xA40C0000 of the user extension file. A table
// block: head {20, 0xA40C0000, 20, bytes of the rows, row count}, then rows of 13 little-endian words
// (TrapDestination, 52 bytes):
//   0 head size 52 | 1 row key 0xA40C0000 + row number (1, 2, ... without gaps) | 2-3 0 |
//   4 flags: bit 0 enabled, bits 4-7 SNMP version | 5 IPv4 address (first octet lowest) |
//   6 name (string key) | 7 community (string key) | 8 UDP port | 9 a further text (string key) |
//   10-12 0
// Engine variables of group 0x0C: key 0xA40C0000 | column << 8 | row; rows 1-255 are reachable, so
// the table holds at most 255 rows.
//
// Version history: the rows carry no version rules. Older files may hold rows shorter than 52 bytes
// or a longer table head; a load re-pads every row to 52 bytes after a 20-byte head.
//
// Threads and locks: the table is read and changed by the agent's request threads and by engine
// threads. Row words are accessed atomically under the block's read lock (the buffer stays in place);
// adding, removing and renumbering rows hold the block's writer lock and m_rowsMutex (so the count
// and the keys change together). Texts are added to or copied from the string table while no lock of
// this table is held, so the two tables' locks are never nested. Hooks (save, traps, row count) are
// called with no lock held.

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "engine/core/data/CountedTable.h"
#include "engine/core/interfaces/EngineValue.h"
#include "engine/base/Mutex.h"

class CDataArchive;
class CStringTable;
class EngineHooks;

namespace TrapDestinationWord {
enum : int {
    kHeadSize = 0,
    kKey = 1,
    kFlags = 4,
    kAddress = 5,
    kName = 6,
    kCommunity = 7,
    kPort = 8,
    kText = 9,
    kCount = 13,
};
}

constexpr uint32_t kTrapDestinationRowSize = 52;
constexpr uint32_t kTrapDestinationEnabled = 0x1;
constexpr uint32_t kTrapDestinationVersionMask = 0xF0;
constexpr int kMaxTrapDestinations = 255;
// Longest "IP=" value the import takes (a 260-byte buffer with its NUL).
constexpr size_t kMaxTrapDestinationLine = 259;

class CSnmpIpTable : public CCountedTable {
public:
    explicit CSnmpIpTable(EngineHooks* hooks = nullptr, CStringTable* strings = nullptr);
    ~CSnmpIpTable() override;

    void SetHooks(EngineHooks* hooks) { m_hooks = hooks; }
    // The last ReadFileBlock took the block from the file (not created, not kept).
    bool IsLoadedFromFile() const { return m_loadedFromFile; }
    void SetStringTable(CStringTable* strings) { m_strings = strings; }

    // Loads the table (re-padding old rows to 52 bytes, numbering the keys 1..count and dropping the
    // disabled rows, with one ListChangedTrap when any was dropped), or creates an empty one and imports
    // "[IPAddresses]". Then tells the MIB the exact row count. 1, or 0 when memory is short.
    bool ReadFileBlock(const std::string& path, uint32_t blockKey) override;
    // Storing: the block image (head, count, 13 words per row). Loading: the same, bounded by the
    // block.
    void Serialize(CDataArchive& ar) override;
    int GetCount() override;
    // Removes the row, renumbers the later rows, saves the file and sends a ListChangedTrap (6).
    // 0 when the key is not found.
    bool Remove(uint32_t rowKey) override;
    bool RemoveByIndex(uint32_t row) { return Remove(kSnmpIpBlockKey | (row & 0xFF)); }

    // A row with its texts, taken before a removal so that it can be put back exactly.
    struct RowCopy {
        uint32_t words[TrapDestinationWord::kCount] = {};
        std::string name, community, text;
    };
    // false outside the table.
    bool CopyRowOut(uint32_t row, RowCopy& copy);
    // Puts a removed row back at its place: rows row.. move up by one and row takes the copy (its
    // texts added anew); saves the file and sends a ListChangedTrap (0). false when row is not in
    // 1..count + 1, the table is full or memory is short.
    bool InsertRow(uint32_t row, const RowCopy& copy);
    // A zeroed, disabled row {52, next key} at the end (CServer::AddRow). The key, or kDataKeyFailed
    // when memory is short or the table is full (255 rows).
    uint32_t AddEmptyRow();
    // The key of the first row with that address, or 0.
    uint32_t FindByAddress(uint32_t address);

    // Group-0x0C variables; the requester is ignored. Texts are copied into the answer.
    EngineValue GetValue(uint32_t key, uint32_t requester);
    // data: for INTEGER and IpAddress a 32-bit integer (length 4); for texts the bytes. false when the
    // SET was refused: a name or community that would not read back from the INI file (IsIniValueSafe;
    // a name also without ","), or an integer shorter than 4 bytes. A refused SET changes nothing.
    bool SetValue(uint32_t key, uint32_t requester, int type, const void* data, size_t length);

    // The "[IPAddresses]" import (for a new block only).
    void SetConfigurationValues();
    // "[IPAddresses]", one "IP=" line per row (enabled or not), an empty line. A row whose name or
    // community would not read back is left out and logged.
    void WriteConfigurationValues(std::ostream& out);

    // Row words by row number (1-based); 0 / false outside the table.
    uint32_t GetRowWord(uint32_t row, int word);
    bool SetRowWord(uint32_t row, int word, uint32_t value);

    // Whether a text may be stored as a destination's name or community.
    static bool IsAcceptableName(const char* data, size_t length);
    static bool IsAcceptableCommunity(const char* data, size_t length);

protected:
    bool CheckBlock() const override;

private:
    // Caller holds the writer lock: re-pads rows, numbers the keys from blockKey (the directory's key,
    // which the head takes too) and drops disabled rows; answers the number of rows dropped.
    int NormaliseLocked(uint32_t blockKey);
    // Caller holds the rows mutex: appends a row under the next key; the key, or kDataKeyFailed.
    uint32_t AppendRow(uint32_t flags, uint32_t address, uint32_t name, uint32_t community, uint32_t port);
    uint8_t* RowLocked(uint32_t row);
    // The row's words under the reader lock; false outside the table.
    bool CopyRow(uint32_t row, uint32_t (&words)[TrapDestinationWord::kCount]);
    std::string CopyText(uint32_t key);
    uint32_t AddText(const char* data, size_t length);
    void Save();
    void SendListChanged(int32_t value);

    EngineHooks* m_hooks;
    bool m_loadedFromFile = false;
    CStringTable* m_strings;
    Mutex m_rowsMutex;
};
