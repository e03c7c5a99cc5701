#include "engine/remote/RemoteAgentStore.h"

#include "engine/base/AppLog.h"
#include "engine/base/Helpers.h"
#include "engine/core/data/BinaryFile.h"
#include "platform/AtomicFile.h"

CRemoteAgentStore::CRemoteAgentStore(RemoteStorePaths paths, IRemoteTableOwner* owner)
    : m_paths(std::move(paths)), m_table(&m_strings, owner)
{
}

bool CRemoteAgentStore::Load(bool& relaid)
{
    relaid = false;
    if (!FileExists(m_paths.data.c_str()) && !m_paths.templateFile.empty() && FileExists(m_paths.templateFile.c_str())) {
        std::string error;
        if (!vgplat::CopyFileAtomically(m_paths.templateFile, m_paths.data, true, &error))
            AppLog::Instance()->Printf(kLogError, "[CRemoteAgent::Initialize]: template copy failed: %s", error.c_str());
    }
    if (!m_strings.ReadFileBlock(m_paths.data, kRemoteStringBlockKey))
        return false;
    if (!m_table.ReadFileBlock(m_paths.data, kRemoteTableBlockKey))
        return false;
    if (m_table.NeedsResize()) {
        if (!m_table.Relayout())
            return false;
        relaid = true;
    }
    m_table.SetVersion(kRemoteDataVersion);
    return true;
}

bool CRemoteAgentStore::Save()
{
    std::lock_guard<std::mutex> lock(m_saveMutex);
    CBinaryFile file;
    if (!file.AddBlock(&m_table, kRemoteTableBlockKey) || !file.AddBlock(&m_strings, kRemoteStringBlockKey))
        return false;
    const uint32_t version = m_table.GetVersion() ? m_table.GetVersion() : kRemoteDataVersion;
    return file.WriteSerializedFile(m_paths.data, kRemoteFileId, version, 0600);
}

int CRemoteAgentStore::Backup()
{
    if (!FileExists(m_paths.data.c_str()))
        return 0;
    return vgplat::CopyFileAtomically(m_paths.data, m_paths.backup, false) ? 1 : 0;
}

int CRemoteAgentStore::Restore()
{
    if (!FileExists(m_paths.backup.c_str()))
        return 0;
    return vgplat::CopyFileAtomically(m_paths.backup, m_paths.data, false) ? 1 : 0;
}

int CRemoteAgentStore::CreateSafePoint()
{
    AppLog* log = AppLog::Instance();
    if (!FileExists(m_paths.data.c_str())) {
        log->Printf(kLogInfo, "Could not find %s - no safe point file created", m_paths.data.c_str());
        return 0;
    }
    if (m_paths.safePoint.empty()) {
        log->Printf(kLogInfo, "Could not create find name for safe point file for %s", m_paths.data.c_str());
        return 0;
    }
    if (vgplat::CopyFileAtomically(m_paths.data, m_paths.safePoint, false)) {
        log->Printf(kLogInfo, "Copy of %s to %s to create safepoint file was successful", m_paths.data.c_str(),
                    m_paths.safePoint.c_str());
        return 1;
    }
    log->Printf(kLogInfo, "Attempted copy of %s to %s to create safepoint file has failed", m_paths.data.c_str(),
                m_paths.safePoint.c_str());
    return 0;
}

bool CRemoteAgentStore::SaveUnlessBusy(bool busy)
{
    if (busy) {
        m_saveDue.store(true);
        return true;
    }
    m_saveDue.store(false);
    return Save();
}

void CRemoteAgentStore::SyncMibRows(const std::function<uint32_t()>& countLeaving,
                                    const std::function<void(uint32_t)>& publish)
{
    std::lock_guard<std::mutex> sync(m_mibSyncMutex);
    const uint32_t leaving = countLeaving();
    const uint32_t rows = static_cast<uint32_t>(m_table.GetCount());
    publish(rows > leaving ? rows - leaving : 0);
}
