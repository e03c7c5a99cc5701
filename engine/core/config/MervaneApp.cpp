#include "engine/core/config/MervaneApp.h"

#include <atomic>
#include <iostream>
#include <unistd.h>

#include "engine/base/Helpers.h"
#include "platform/Process.h"

namespace {

Mutex& CreationMutex()
{
    static Mutex* mutex = new Mutex("MervaneAppCreationMutex");
    return *mutex;
}

struct FileTypeInfo {
    const char* name;
    enum Folder { kInstall, kProgram, kData, kLog } folder;
    const char* base;
    const char* extension; // null: no extension and the backup flag is ignored
};

const FileTypeInfo kFileTypes[] = {
    {"VG_FILE_CONFIG", FileTypeInfo::kInstall, "vgconfig", ".ini"},
    {"VG_FILE_DRIVER", FileTypeInfo::kProgram, "vigilon", ".dat"},
    {"VG_FILE_DATA_DEVICE_TEMPLATE", FileTypeInfo::kData, "vgdvctpl", ".dat"},
    {"VG_FILE_DATA_REMOTE_TEMPLATE", FileTypeInfo::kData, "vgrmttpl", ".dat"},
    {"VG_FILE_DATA_USER_TEMPLATE", FileTypeInfo::kData, "vgusrtpl", ".dat"},
    {"VG_FILE_EXT_CONSOLE", FileTypeInfo::kData, "vgcnsext", ".dat"},
    {"VG_FILE_EXT_DEVICE", FileTypeInfo::kData, "vgdvcext", ".dat"},
    {"VG_FILE_EXT_REMOTE", FileTypeInfo::kData, "vgrmtext", ".dat"},
    {"VG_FILE_EXT_USER", FileTypeInfo::kData, "vgusrext", ".dat"},
    {"VG_FILE_LOG_APP", FileTypeInfo::kLog, "vigilon", ".log"},
    {"VG_FILE_LOG_DEVICE_EVENT", FileTypeInfo::kData, "vgdlog", nullptr},
    {"VG_FILE_LOG_EVENT", FileTypeInfo::kData, "vglog", ".dat"},
    {"VG_FILE_LOG_EVENT_TXT", FileTypeInfo::kData, "vgelog", ".txt"},
    {"VG_FILE_LOG_EVENT_EMAIL", FileTypeInfo::kLog, "eventlog.txt", nullptr},
    {"VG_FILE_LOG_NETEVENT", FileTypeInfo::kData, "vgnlog", ".dat"},
    {"VG_FILE_LOG_NETEVENT_TXT", FileTypeInfo::kData, "vgnelog", ".txt"},
};
constexpr int kFileTypeCount = sizeof kFileTypes / sizeof kFileTypes[0];

// Everything up to and including the last "/"; the whole text when there is none.
std::string FolderWithSlash(const std::string& path, bool& cut)
{
    auto slash = path.rfind('/');
    cut = slash != std::string::npos;
    return cut ? path.substr(0, slash + 1) : path;
}

} // namespace

AppConfig::AppConfig()
{
    initialize();
}

AppConfig::AppConfig(const std::string& executablePath)
{
    Derive(executablePath);
}

void AppConfig::Derive(const std::string& executablePath)
{
    bool cut = false;
    m_programDirectory = FolderWithSlash(executablePath, cut);
    if (!cut)
        return;
    std::string parent = m_programDirectory.substr(0, m_programDirectory.size() - 1);
    m_installDirectory = FolderWithSlash(parent, cut);
    if (!cut)
        m_installDirectory.assign(1, '/');
    m_dataDirectory = m_installDirectory + "data/";
    m_logDirectory = m_installDirectory + "log/";
}

bool AppConfig::initialize()
{
    std::string path;
    if (!vgplat::GetExecutablePath(path)) {
        AppLog::Instance()->Log(kLogError, "AppConfig::initialize( ): ::GetModuleFileName failed");
        return false;
    }
    Derive(path);
    if (!m_programDirectory.empty() && ::chdir(m_programDirectory.c_str()) != 0)
        AppLog::Instance()->Printf(kLogWarning, "AppConfig::initialize( ): chdir to %s failed",
                                   m_programDirectory.c_str());
    return true;
}

const char* FileTypeName(int type)
{
    return type >= 0 && type < kFileTypeCount ? kFileTypes[type].name : "";
}

int BuildFileName(const AppConfig& config, std::string& out, int type, bool backup)
{
    out.clear();
    if (type < 0 || type >= kFileTypeCount)
        return 1;
    const FileTypeInfo& info = kFileTypes[type];
    switch (info.folder) {
    case FileTypeInfo::kInstall: out = config.InstallDirectory(); break;
    case FileTypeInfo::kProgram: out = config.ProgramDirectory(); break;
    case FileTypeInfo::kData: out = config.DataDirectory(); break;
    case FileTypeInfo::kLog: out = config.LogDirectory(); break;
    }
    out += info.base;
    if (info.extension)
        out += backup ? ".bak" : info.extension;
    return 0;
}

int BuildSafePointFileName(const AppConfig& config, std::string& out, int type)
{
    out.clear();
    if (type < VG_FILE_EXT_CONSOLE || type > VG_FILE_EXT_USER)
        return 1;
    out = config.DataDirectory() + kFileTypes[type].base + ".safepoint";
    return 0;
}

MervaneApp* MervaneApp::Instance()
{
    static std::atomic<MervaneApp*> instance{nullptr};
    if (MervaneApp* app = instance.load(std::memory_order_acquire))
        return app;
    MutexLock lock(CreationMutex());
    if (!instance.load())
        instance.store(new MervaneApp(), std::memory_order_release);
    return instance.load();
}

MervaneApp::MervaneApp() : Mutex("MervaneAppMutex")
{
    AppLog* log = AppLog::Instance();
    log->Log(kLogDebug, "MervaneApp instance created");
    if (!log->IsDebugEnabled())
        return;
    std::string path;
    for (int type = 0; type < kFileTypeCount; ++type) {
        BuildFileName(m_config, path, type, false);
        log->Printf(kLogDebug, "%s = %s", kFileTypes[type].name, path.c_str());
    }
}

int MervaneApp::GetFileName(std::string& out, int type, bool backup) const
{
    return BuildFileName(m_config, out, type, backup);
}

int MervaneApp::GetSafePointFileName(std::string& out, int type) const
{
    return BuildSafePointFileName(m_config, out, type);
}

int MervaneApp::GetDiscoveryErrorLogName(std::string& out) const
{
    out = m_config.LogDirectory() + "VGNMSDiscoveryError.log";
    return 0;
}

int MervaneApp::CreateFileLogger(const std::string& path, LogLevel threshold)
{
    MutexLock lock(*this);
    if (m_fileLogger)
        return 1;
    // The log that explains the last stop (a shutdown, a crash) is kept for one more run.
    std::string standard, backup;
    const bool isStandard = GetFileName(standard, VG_FILE_LOG_APP, false) == 0 && path == standard &&
                            GetFileName(backup, VG_FILE_LOG_APP, true) == 0;
    if (isStandard && FileExists(path.c_str()))
        FileRename(path.c_str(), backup.c_str());
    m_fileLogger = new AppFileLogger(path, "AppFileLogger");
    m_fileLogger->SetThreshold(threshold);
    // A full log goes to the backup too, so the two files together never hold more than twice the bound.
    if (isStandard)
        m_fileLogger->SetRollOver(AppConfig::kMaxLogFileBytes, backup);
    AppLog::Instance()->AddLogger(m_fileLogger);
    return 1;
}

int MervaneApp::CreateStreamLogger(LogLevel threshold)
{
    MutexLock lock(*this);
    if (m_streamLogger)
        return 1;
    m_streamLogger = new AppStreamLogger(&std::cout);
    m_streamLogger->SetThreshold(threshold);
    AppLog::Instance()->AddLogger(m_streamLogger);
    return 1;
}
