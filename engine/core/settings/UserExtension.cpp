#include "engine/core/settings/UserExtension.h"

#include <algorithm>
#include <set>
#include <vector>

#include "engine/base/AppLog.h"
#include "engine/core/data/BinaryFile.h"
#include "engine/core/interfaces/EngineHooks.h"
#include "engine/base/Helpers.h"
#include "engine/core/config/MervaneApp.h"
#include "platform/AtomicFile.h"

namespace {

// The words of the settings record that hold text keys.
constexpr int kRecordTextWords[] = {9, 10, 11, 13, 14, 16, 19, 21, 23, 25, 28};

// The calling thread's hold of saves (HoldSaves) and the files saved while it lasted.
thread_local bool t_holdingSaves = false;
thread_local std::vector<CUserExtension*> t_heldSaves;

} // namespace

CUserExtension::CUserExtension(EngineHooks* hooks)
    : m_hooks(hooks), m_engine(hooks, &m_strings), m_snmpIp(hooks, &m_strings), m_fileMutex("UserExtensionFileMutex#")
{
}

CUserExtension::~CUserExtension()
{
    // A file going away while this thread holds its save: nothing is left to save it for.
    t_heldSaves.erase(std::remove(t_heldSaves.begin(), t_heldSaves.end(), this), t_heldSaves.end());
}

void CUserExtension::HoldSaves()
{
    t_holdingSaves = true;
}

CUserExtension::WriteThrough::WriteThrough() : m_wasHolding(t_holdingSaves)
{
    t_holdingSaves = false;
}

CUserExtension::WriteThrough::~WriteThrough()
{
    t_holdingSaves = m_wasHolding;
}

bool CUserExtension::ReleaseSaves()
{
    t_holdingSaves = false;
    std::vector<CUserExtension*> held;
    held.swap(t_heldSaves);
    bool ok = true;
    for (CUserExtension* file : held)
        ok = file->Save() == 1 && ok;
    return ok;
}

void CUserExtension::SetHooks(EngineHooks* hooks)
{
    m_hooks = hooks;
    m_engine.SetHooks(hooks);
    m_snmpIp.SetHooks(hooks);
}

void CUserExtension::SetPaths(const std::string& file, const std::string& backup, const std::string& templateFile,
                              const std::string& safePoint)
{
    MutexLock lock(m_fileMutex);
    m_path = file;
    m_backupPath = backup;
    m_templatePath = templateFile;
    m_safePointPath = safePoint;
}

void CUserExtension::ResolvePaths(const AppConfig& config)
{
    std::string file, backup, templateFile, safePoint;
    BuildFileName(config, file, VG_FILE_EXT_USER, false);
    BuildFileName(config, backup, VG_FILE_EXT_USER, true);
    BuildFileName(config, templateFile, VG_FILE_DATA_USER_TEMPLATE, false);
    BuildSafePointFileName(config, safePoint, VG_FILE_EXT_USER);
    SetPaths(file, backup, templateFile, safePoint);
}

bool CUserExtension::CopyPrivateFile(const std::string& from, const std::string& to, bool failIfExists)
{
    std::string error;
    if (vgplat::CopyFileWithMode(from, to, 0600, failIfExists, kMaxDataFileSize, &error))
        return true;
    AppLog::Instance()->Printf(kLogError, "[CUserExtension]: copy of %s to %s failed: %s", from.c_str(), to.c_str(),
                               error.c_str());
    return false;
}

int CUserExtension::Load()
{
    MutexLock lock(m_fileMutex);
    if (!m_path.empty() && !FileExists(m_path.c_str()) && !m_templatePath.empty() &&
        FileExists(m_templatePath.c_str())) {
        // The template is copied only over a missing file, never over one that appeared meanwhile.
        if (!CopyPrivateFile(m_templatePath, m_path, true))
            AppLog::Instance()->Printf(kLogError, "Failed to copy user extension template file %s",
                                       m_templatePath.c_str());
    }
    m_strings.ReadFileBlock(m_path, kStringTableBlockKey);
    // Keys the blocks of this file may name; a damaged string block is refused, and the keys that
    // named its texts must not come to name texts added later.
    const uint32_t fileTextLimit = m_strings.GetLastKey();

    bool haveRecord = m_engine.ReadFileBlock(m_path, kEngineConfigBlockKey);
    if (haveRecord && m_engine.IsLoadedFromFile())
        DropDanglingRecordTexts(fileTextLimit);
    if (haveRecord) {
        if (m_engine.IsHeaderSizeDifferent(kEngineConfigRecordSize) && !m_engine.FixRecordSize())
            AppLog::Instance()->Log(kLogError, "[CUserExtension::Load]: the settings record could not be upgraded");
        m_engine.SetVersion(kEngineDataVersion);
    }

    if (m_snmpIp.ReadFileBlock(m_path, kSnmpIpBlockKey)) {
        if (m_snmpIp.IsLoadedFromFile())
            DropDanglingTrapTexts(fileTextLimit);
        // ReadFileBlock has re-padded the rows already; this catches a table that could not be.
        if (m_snmpIp.IsHeaderSizeDifferent(kTableHeadSize) ||
            (m_snmpIp.GetCount() > 0 && m_snmpIp.IsLayoutDifferent(kTableHeadSize, kTrapDestinationRowSize)))
            m_snmpIp.Resize(kTableHeadSize, kTrapDestinationRowSize, m_snmpIp.GetCount());
        m_snmpIp.SetVersion(kEngineDataVersion);
    }

    Save();
    if (!haveRecord || !m_engine.HasBlock() || m_engine.GetSize() != static_cast<int>(kEngineConfigRecordSize))
        return 0;
    return 1;
}

bool CUserExtension::IsFileTextKey(uint32_t key, uint32_t limit)
{
    // Texts added since the string table was read have keys above limit: a stored key above it never
    // named one of them.
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    return key <= limit && m_strings.GetPtr(key, data, length);
}

void CUserExtension::DropDanglingRecordTexts(uint32_t limit)
{
    for (int word : kRecordTextWords) {
        uint32_t key = m_engine.GetWord(word);
        if (key && !IsFileTextKey(key, limit)) {
            AppLog::Instance()->Printf(kLogWarning,
                                       "[CUserExtension::Load]: settings word %d names the missing text 0x%08X; "
                                       "the text is dropped",
                                       word, key);
            m_engine.SetWord(word, 0);
        }
    }
}

void CUserExtension::DropDanglingTrapTexts(uint32_t limit)
{
    const int rows = m_snmpIp.GetCount();
    for (int row = 1; row <= rows; ++row)
        for (int word : {TrapDestinationWord::kName, TrapDestinationWord::kCommunity, TrapDestinationWord::kText}) {
            uint32_t key = m_snmpIp.GetRowWord(static_cast<uint32_t>(row), word);
            if (key && !IsFileTextKey(key, limit)) {
                AppLog::Instance()->Printf(kLogWarning,
                                           "[CUserExtension::Load]: trap destination %d names the missing text "
                                           "0x%08X; the text is dropped",
                                           row, key);
                m_snmpIp.SetRowWord(static_cast<uint32_t>(row), word, 0);
            }
        }
}

int CUserExtension::LoadWithRecovery()
{
    // Each step takes the file mutex itself: EndCritical takes the record's critical mutex before it
    // saves, the order BeginCritical uses too.
    if (!Load())
        return 0;
    if (!m_engine.GetCriticalState())
        return 1;
    AppLog::Instance()->Printf(kLogWarning,
                               "[CUserExtension::LoadWithRecovery]: critical state 0x%08X left by the last run; "
                               "restoring the backup of the remote agents",
                               m_engine.GetCriticalState());
    // The backup of the remote-agent table the interrupted work was changing goes back; this file
    // itself is not restored, so that every setting acknowledged meanwhile stays (the work writes here
    // only its bits and ShutdownRequired).
    if ((m_hooks && !m_hooks->Restore()) || !Load())
        return 0;
    m_engine.EndCritical(kCriticalStateMask);
    // Without a server the hook saves nothing: make sure the cleared state is on disk.
    if (!m_hooks)
        Save();
    return 1;
}

void CUserExtension::DropUnusedTexts()
{
    // Under the string table's key mutex (DropUnreferenced takes it first), so no text that a writer
    // has just added but not yet stored is counted as unused.
    MutexLock keys(m_strings.KeyMutex());
    std::set<uint32_t> used;
    for (int word : kRecordTextWords)
        used.insert(m_engine.GetWord(word));
    const int rows = m_snmpIp.GetCount();
    for (int row = 1; row <= rows; ++row)
        for (int word : {TrapDestinationWord::kName, TrapDestinationWord::kCommunity, TrapDestinationWord::kText})
            used.insert(m_snmpIp.GetRowWord(static_cast<uint32_t>(row), word));
    m_strings.DropUnreferenced([&](uint32_t key) { return used.count(key) != 0; });
}

int CUserExtension::Save()
{
    if (t_holdingSaves) {
        if (std::find(t_heldSaves.begin(), t_heldSaves.end(), this) == t_heldSaves.end())
            t_heldSaves.push_back(this);
        return 1;
    }
    MutexLock lock(m_fileMutex);
    if (m_path.empty())
        return 0;
    // A replaced text or a removed destination's texts go, so that the file does not grow with every
    // change of a text.
    if (m_engine.HasBlock())
        DropUnusedTexts();
    CBinaryFile file;
    if (!file.AddBlock(&m_engine, kEngineConfigBlockKey) || !file.AddBlock(&m_strings, kStringTableBlockKey) ||
        !file.AddBlock(&m_snmpIp, kSnmpIpBlockKey))
        return 0;
    if (!file.WriteSerializedFile(m_path, kUserExtensionFileId, kEngineDataVersion, 0600)) {
        AppLog::Instance()->Printf(kLogError, "[CUserExtension::Save]: %s was not saved; the old file is kept",
                                   m_path.c_str());
        return 0;
    }
    ++m_savesWritten;
    AppLog::Instance()->Printf(kLogDebug, "[CUserExtension::Save]: %s saved", m_path.c_str());
    return 1;
}

int CUserExtension::Backup()
{
    MutexLock lock(m_fileMutex);
    if (m_path.empty() || m_backupPath.empty() || !FileExists(m_path.c_str()))
        return 0;
    return CopyPrivateFile(m_path, m_backupPath, false) ? 1 : 0;
}

int CUserExtension::Restore()
{
    MutexLock lock(m_fileMutex);
    if (m_path.empty() || m_backupPath.empty() || !FileExists(m_backupPath.c_str()))
        return 0;
    return CopyPrivateFile(m_backupPath, m_path, false) ? 1 : 0;
}

int CUserExtension::CreateSafePoint()
{
    MutexLock lock(m_fileMutex);
    if (m_path.empty() || !FileExists(m_path.c_str())) {
        AppLog::Instance()->Printf(kLogInfo, "Could not find %s - no safe point file created", m_path.c_str());
        return 0;
    }
    if (m_safePointPath.empty()) {
        AppLog::Instance()->Printf(kLogInfo, "Could not create find name for safe point file for %s", m_path.c_str());
        return 0;
    }
    if (CopyPrivateFile(m_path, m_safePointPath, false)) {
        AppLog::Instance()->Printf(kLogInfo, "Copy of %s to %s to create safepoint file was successful", m_path.c_str(),
                                   m_safePointPath.c_str());
        return 1;
    }
    AppLog::Instance()->Printf(kLogInfo, "Attempted copy of %s to %s to create safepoint file has failed",
                               m_path.c_str(), m_safePointPath.c_str());
    return 0;
}
