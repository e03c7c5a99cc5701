#pragma once
// CUserExtension: the user extension data file (vgusrext.dat, file id 0x24780203). It holds the engine
// settings record (block 0xA2000000), the string table (0x06000000) that the record and the
// trap-destination table use for their texts, and the trap-destination table (0xA40C0000).
//
// The file is created from its template (vgusrtpl) on first use, upgraded when it loads, and saved
// whole after every change: a save writes a temporary file beside it, flushes it and renames it over
// the old one (mode 0600: the file holds communities and passwords), so the file on disk is always
// either the old or the new content. The file is written with the engine's own data version
// 12.04.0059, the layout its blocks are stored in. Backups (".bak"), restores and safe points
// (".safepoint") are whole-file copies made the same way.
//
// Entry points for the server: SetPaths/ResolvePaths at start, then LoadWithRecovery (load, and after
// an unclean stop in the middle of a remote-agent change restore the backups, load again and clear the
// critical state). Save after every change (CServer::SaveUserExtension), Backup/Restore for
// CServer::Backup/Restore, CreateSafePoint for the remote-agent manager and the discovery.
//
// Lock order of the settings and trap-destination code (rank 4 of engine/base/LockOrder.h): the
// record's critical-state mutex, then this
// file mutex, then the trap table's rows mutex, then one block lock at a time (the record's or the
// trap table's read lock may be held while the string table's read lock is taken, never the other
// way round), then whatever the hooks take (the facade mutex last).
//
// Threads and locks: Load, Save, Backup, Restore and CreateSafePoint serialise on m_fileMutex (one
// file operation at a time; recursive, so a save asked for during a load runs). A save takes each
// block's writer lock in turn, so a caller must not hold any block lock. The tables have their own
// locks (see their headers); the accessors may be used from any thread once Load has run.

#include <atomic>
#include <cstdint>
#include <string>

#include "engine/core/settings/DeviceEngineTable.h"
#include "engine/base/Mutex.h"
#include "engine/core/settings/SnmpIpTable.h"
#include "engine/core/data/StringTable.h"

class AppConfig;
class EngineHooks;

class CUserExtension {
public:
    explicit CUserExtension(EngineHooks* hooks = nullptr);
    virtual ~CUserExtension();
    CUserExtension(const CUserExtension&) = delete;
    CUserExtension& operator=(const CUserExtension&) = delete;

    void SetHooks(EngineHooks* hooks);
    void SetPaths(const std::string& file, const std::string& backup, const std::string& templateFile,
                  const std::string& safePoint);
    // The paths of the install tree of config (file types 8 and 4 and the safe-point name).
    void ResolvePaths(const AppConfig& config);

    // Copies a missing file from its template, reads the three blocks (creating missing ones with
    // their defaults and the INI imports), upgrades old layouts and saves. 1; 0 when the settings
    // record can neither be loaded nor created.
    int Load();
    // Load; then, when the record holds a critical-state bit (an unclean stop in the middle of a
    // change), restores the backups of the remote-agent and device files (EngineHooks::Restore; this
    // file keeps the settings acknowledged meanwhile), loads again and clears all eight critical bits
    // (which saves). 0 when a step fails.
    int LoadWithRecovery();
    // 1 when the whole file is on disk; 0 (old file kept) otherwise. While this thread holds saves
    // (HoldSaves) the save is only noted and answers 1; ReleaseSaves writes it.
    int Save();

    // One save for many changes (a SET request of many varbinds): after HoldSaves the calling thread's
    // saves of every user extension file are noted, not written; ReleaseSaves ends the hold and saves
    // each noted file once. It answers false when one of those saves failed. Saves by other threads
    // are written as usual. Both for the calling thread only; a hold does not nest.
    static void HoldSaves();
    static bool ReleaseSaves();
    // While one lives, the calling thread's saves are written at once even during a hold (the
    // critical-state bits must be on disk before the change they guard).
    class WriteThrough {
    public:
        WriteThrough();
        ~WriteThrough();
        WriteThrough(const WriteThrough&) = delete;
        WriteThrough& operator=(const WriteThrough&) = delete;

    private:
        bool m_wasHolding;
    };
    // Saves written so far (every file written by Save, not the noted ones).
    uint64_t GetSavesWritten() const { return m_savesWritten.load(); }
    // The file to its ".bak" and back; 0 when the source does not exist or the copy failed.
    int Backup();
    int Restore();
    int CreateSafePoint();

    CDeviceEngineTable& GetEngineTable() { return m_engine; }
    CSnmpIpTable& GetSnmpIpTable() { return m_snmpIp; }
    CStringTable& GetStringTable() { return m_strings; }
    const std::string& GetPath() const { return m_path; }
    const std::string& GetBackupPath() const { return m_backupPath; }

    // A whole-file copy through a temporary file, created 0600; with failIfExists an existing target
    // is kept and the copy fails.
    static bool CopyPrivateFile(const std::string& from, const std::string& to, bool failIfExists);

private:
    // A stored text key whose text is not in the string table as read (a damaged string block was
    // refused) would later name whatever text takes that key; such keys become 0 (no text).
    bool IsFileTextKey(uint32_t key, uint32_t limit);
    void DropDanglingRecordTexts(uint32_t limit);
    void DropDanglingTrapTexts(uint32_t limit);
    // Removes the texts that neither the record nor a trap destination refers to.
    void DropUnusedTexts();

    EngineHooks* m_hooks;
    CDeviceEngineTable m_engine;
    CSnmpIpTable m_snmpIp;
    CStringTable m_strings;
    std::string m_path;
    std::string m_backupPath;
    std::string m_templatePath;
    std::string m_safePointPath;
    Mutex m_fileMutex;
    std::atomic<uint64_t> m_savesWritten{0};
};
