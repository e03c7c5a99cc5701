#pragma once
// CDeviceEngineTable: the engine settings record (EngineConfigRecord), block 0xA2000000 of the user
// extension file. The block holds exactly one record of 47 little-endian words (188 bytes); text
// words hold keys of the file's string table (0 = no text).
//
// Words (New = value in a newly created record, others 0):
//   0 head size 188 | 1 block key | 2-3 reserved | 4 option bits, new 0x04400000 (+ bit 20 when the
//   system allows hibernation) | 5 action mask 0xFFFF | 9 SMTPServer | 10 SMTPFrom | 11 text |
//   12 SMTPPort 25 | 13 SMTPLogin | 14 SMTPPassword | 15 flag bits 0x21, top byte = critical state |
//   16 text | 17 DataLogInterval 300 | 18 DataLogDuration 7 | 19 discovery addresses (text) |
//   20 number | 21 discovery communities (text) | 23 text | 24 number | 25 text | 26 number |
//   27 RemoteTrapPort | 28 engine community (text) | 29 RemoteLoopbackDelay 2 |
//   30 RemoteThreadCount 25 | 31 EngineIPAddress | 32 AutoUpdateTrapMinutes | 37-41 numbers |
//   42 EventLogMaxSize 1000 | 43 RemoteMaxNodes 2 | 44 RemoteSnmpRetries 1 | 45 RemoteSnmpTimeout 15 |
//   46 RemoteOfflinePollCycles 10
//
// Version history of the stored record (which words a file of data version V holds; "newer than build
// X" is the three-way test of IsDataVersionNewer):
//   always        words 4-16
//   build 23      words 17-18 (data log)
//   build 40      words 19-31 (discovery, remote agents, community, engine address)
//   build 41      words 32-41; a file older than 12.04.0048 also gets word 15 bit 5; a file without
//                 these words gets word 15 bit 11 instead
//   build 49      word 42 (event-log size)
//   build 56      words 43-46 (remote-agent cap, retries, time-out, offline cycles)
// A word a file does not hold, or a record too short to hold it, takes its New value: a zero retry
// count or time-out would take every remote agent offline. The engine writes 12.04.0059 and always
// the full record.
//
// Threads and locks: the record is shared by the agent's request threads, the timer thread, the
// system-queue thread and the remote-agent workers. Every word access goes through GetWord, SetWord
// and ModifyWord, which hold the block's read lock (the buffer stays in place) and access the word
// atomically; ModifyWord's read-modify-write is one atomic step. Texts are copied out under the
// record's and the string table's read locks (lock order: record block, then string table).
// BeginCritical and EndCritical serialise on their own mutex. No method calls a hook while it holds a
// block lock. ReadFileBlock, FixRecordSize and SetConfigurationValues run before the record is shared.

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "engine/core/data/DataHeader.h"
#include "engine/base/Mutex.h"

class CDataArchive;
class CStringTable;
class EngineHooks;

namespace EngineWord {
enum : int {
    kHeadSize = 0,
    kBlockKey = 1,
    kOptions = 4,
    kActionMask = 5,
    kSmtpServer = 9,
    kSmtpFrom = 10,
    kText11 = 11,
    kSmtpPort = 12,
    kSmtpLogin = 13,
    kSmtpPassword = 14,
    kFlags = 15,
    kText16 = 16,
    kDataLogInterval = 17,
    kDataLogDuration = 18,
    kDiscoveryAddresses = 19,
    kNumber20 = 20,
    kDiscoveryCommunities = 21,
    kText23 = 23,
    kNumber24 = 24,
    kText25 = 25,
    kNumber26 = 26,
    kRemoteTrapPort = 27,
    kCommunity = 28,
    kRemoteLoopbackDelay = 29,
    kRemoteThreadCount = 30,
    kEngineIpAddress = 31,
    kAutoUpdateTrapMinutes = 32,
    kEventLogMaxSize = 42,
    kRemoteMaxNodes = 43,
    kRemoteSnmpRetries = 44,
    kRemoteSnmpTimeout = 45,
    kRemoteOfflinePollCycles = 46,
    kCount = 47,
};
}

// Word 4 option bits.
constexpr uint32_t kOptionBroadcastValueMask = 0x0000F000u; // bits 12-15 (variable 5)
constexpr uint32_t kOptionBroadcastLocked = 1u << 13;      // stops DisableBroadcast
constexpr uint32_t kOptionEnableHibernation = 1u << 20;
constexpr uint32_t kOptionNewRecord = 1u << 22;
constexpr uint32_t kOptionEnableAutoDiscovery = 1u << 23;
constexpr uint32_t kOptionShutdownRequiredAll = 1u << 24;
constexpr uint32_t kOptionEnableBroadcast = 1u << 26;
constexpr uint32_t kOptionSmtpAuthenticationRequired = 1u << 27;

// Word 15 flag bits.
constexpr uint32_t kFlagEnableLocalBroadcast = 1u << 0;
constexpr uint32_t kFlagEnableNetworkBroadcast = 1u << 1;
constexpr uint32_t kFlagEnableShutdownTimer = 1u << 4;
constexpr uint32_t kFlagDisableAutoDiscoveryAtStartup = 1u << 5;
constexpr uint32_t kFlagDataLogTextFile = 1u << 6;
constexpr uint32_t kFlagDataLogAppend = 1u << 7;
constexpr uint32_t kFlagEventLogTextFile = 1u << 8;
constexpr uint32_t kFlagEventLogAppend = 1u << 9;
constexpr uint32_t kFlagWriteExtendedValues = 1u << 10;
constexpr uint32_t kFlagOldDataFile = 1u << 11;
constexpr uint32_t kFlagEngineAddressChecked = 1u << 12;
constexpr uint32_t kCriticalStateMask = 0xFF000000u;
constexpr uint32_t kCriticalAgentAdding = 0x10000000u;
constexpr uint32_t kCriticalAgentRemoving = 0x20000000u;
constexpr uint32_t kCriticalAgentFirstPoll = 0x40000000u;

constexpr uint32_t kEngineConfigRecordSize = 188;
// A RemoteMaxNodes of this value is never written to the INI file.
constexpr uint32_t kRemoteMaxNodesUnlisted = 250;

class CDeviceEngineTable : public CDataHeader {
public:
    // hooks: null for a table without a server (the engine's early read at start). strings: the
    // string table of the same file (null: texts are neither read nor added).
    explicit CDeviceEngineTable(EngineHooks* hooks = nullptr, CStringTable* strings = nullptr);
    ~CDeviceEngineTable() override;

    void SetHooks(EngineHooks* hooks) { m_hooks = hooks; }
    // The last ReadFileBlock took the block from the file (not created, not kept).
    bool IsLoadedFromFile() const { return m_loadedFromFile; }
    void SetStringTable(CStringTable* strings) { m_strings = strings; }

    // Loads the record, or creates a new one (defaults, the "[VG_Engine]" import, the engine-address
    // check) when the file has no acceptable record block; then hands a configured community to the
    // facade when a server exists. 1, or 0 when memory for a new record cannot be had.
    // Without hooks (no server yet: the engine's early read at start) a new record gets no
    // hibernation bit, RemoteMaxNodes is stored without the hand-off and the engine address is left
    // unchecked (word 15 bit 12 clear, so word 31 is not trusted).
    bool ReadFileBlock(const std::string& path, uint32_t blockKey) override;
    // Storing: the block image (always the full record after FixRecordSize). Loading: the head and the
    // words the file's data version holds, bounded by the block; see the version history above.
    void Serialize(CDataArchive& ar) override;
    // Grows (or cuts) the record to 188 bytes; words that were not in the record take their New values.
    // 0 when memory is short.
    int FixRecordSize();
    // Imports "[VG_Engine]" from the engine INI file into the record.
    void SetConfigurationValues();
    // Compares word 31 with the engine's current address: equal sets word 15 bit 12, different stores
    // the current address and clears the bit.
    void CheckEngineIpAddress();
    // Writes "[VG_Engine]" and its keys. A text that would not read back (IsIniValueSafe) is left out
    // and logged.
    void WriteConfigurationValues(std::ostream& out);

    // Sets critical-state bits of word 15 (nothing when any of them is set already); the first bit set
    // makes the server back up the extension files first; then the file is saved.
    void BeginCritical(uint32_t bits);
    // Clears the bits; when no critical-state bit is left, the file is saved.
    void EndCritical(uint32_t bits);
    uint32_t GetCriticalState() const { return GetWord(EngineWord::kFlags) & kCriticalStateMask; }

    // Copies of the texts of words 19 and 21; false (out empty) when there is none.
    bool GetDiscoveryAddresses(std::string& out);
    bool GetDiscoveryCommunities(std::string& out);

    // Unless word 4 bit 13 is set: engine variable 5 := 2, as if requested from address 0.
    void DisableBroadcast();

    // Word access (see Threads). GetWord answers 0 for a word outside the record or without a record;
    // SetWord and ModifyWord answer false there. ModifyWord clears clear, then sets set, atomically;
    // old (optional) receives the previous value.
    uint32_t GetWord(int index) const;
    bool SetWord(int index, uint32_t value);
    bool ModifyWord(int index, uint32_t clear, uint32_t set, uint32_t* old = nullptr);
    // The text of a text word (copied under the locks); empty for key 0 or an absent entry.
    std::string GetText(int index);
    // Adds the text (up to its first NUL) to the string table (key -1: an equal text keeps its key)
    // and stores the key in the word; an empty text stores 0. A text for a word that is exported to
    // the INI file (SMTPServer, SMTPFrom, SMTPLogin, SMTPPassword) that would not read back from it
    // (IsIniValueSafe) is refused and logged: false, the word keeps its text. false when there is no string table, no record or memory is short.
    bool SetText(int index, const char* data, size_t length);

    // Words 9, 10, 13 and 14: the texts written to "[VG_Engine]".
    static bool IsExportedTextWord(int index);
    // The New value of a word (word 1: the block key; word 4 without the hibernation bit).
    static uint32_t DefaultWord(int index);
    // Which words a file of data version V holds (bit i = word i; words 0-3 always).
    static uint64_t StoredWordMask(uint32_t version);

protected:
    bool CheckBlock() const override;

private:
    bool CreateRecord(uint32_t blockKey);
    bool CopyText(uint32_t key, std::string& out);
    bool GetDiscoveryText(int index, std::string& out);
    void Save();

    EngineHooks* m_hooks;
    bool m_loadedFromFile = false;
    CStringTable* m_strings;
    Mutex m_criticalMutex;
};
