#pragma once
// CRemoteAgentStore: the remote extension file (vgrmtext.dat): the remote-agent table and its string
// table, their load (with the template copy and the re-lay of old rows), their save, the backup, the
// restore and the safe point.
//
// File: a data file with id 0x24780207 and two blocks, in this order: 0xA8000000 (the table) and
// 0x06000000 (the strings); written with the table's data version (0x0C043B00 once loaded).
//
// A save asked for while the engine is busy is kept (the file is marked due) and made once the engine
// is not. The remote-engine MIB table follows the table: its row count less the rows whose agents are
// leaving (SyncMibRows).
//
// Threads and locks: Save may be called from any thread; saves are serialised by m_saveMutex, held
// from building the image to the rename, so two saves never interleave and the file always ends with
// the state of the later one. The blocks are serialised under their own writer locks (CBinaryFile), so
// callers must hold no lock of the table or its strings. Lock order (rank 5 of engine/base/LockOrder.h):
// the MIB-row mutex, then the owner's list lock; the save mutex, then the blocks.
// SyncMibRows is serialised by m_mibSyncMutex, held while its callbacks run (they may take the owner's
// list lock, never the save mutex).

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "engine/core/data/StringTable.h"
#include "engine/remote/RemoteAgentTable.h"

struct RemoteStorePaths {
    std::string data;
    std::string backup;
    std::string templateFile;
    std::string safePoint;
};

class CRemoteAgentStore {
public:
    explicit CRemoteAgentStore(RemoteStorePaths paths, IRemoteTableOwner* owner = nullptr);

    CRemoteAgentTable& Table() { return m_table; }
    CStringTable& Strings() { return m_strings; }
    const RemoteStorePaths& Paths() const { return m_paths; }

    // Copies the template when the data file is missing, reads both blocks, re-lays old rows. relaid
    // tells that the file must be rewritten. false only when memory is short.
    bool Load(bool& relaid);
    // Writes the file atomically (0600); false when the write failed (the old file stays).
    bool Save();
    // Copies the data file to its backup, or back; 0 when the source is missing or the copy failed.
    int Backup();
    int Restore();
    int CreateSafePoint();

    // busy: the file is only marked due; otherwise it is written now. false only when the write failed.
    bool SaveUnlessBusy(bool busy);
    void MarkSaveDue() { m_saveDue.store(true); }
    bool IsSaveDue() const { return m_saveDue.load(); }
    // Hands publish the MIB row count: the table's rows less countLeaving's answer. Serialised, so two
    // threads' counts reach the MIB in the order they were taken.
    void SyncMibRows(const std::function<uint32_t()>& countLeaving, const std::function<void(uint32_t)>& publish);

private:
    RemoteStorePaths m_paths;
    CStringTable m_strings;
    CRemoteAgentTable m_table;
    std::mutex m_saveMutex;
    std::atomic<bool> m_saveDue{false};
    std::mutex m_mibSyncMutex;
};
