#pragma once
// The engine's application singleton: where the engine's files live and the full path of each by its
// numeric type, and the creation of the two log sinks.
//
// Install tree: <install>/bin/vgnsa (the program directory), <install>/data/, <install>/log/,
// <install>/vgconfig.ini.
//
// Threads: Instance and every getter are safe from any thread (the directories never change after
// creation); the sink creators serialise on "MervaneAppMutex". The singleton is never deleted: threads
// may still ask for file names while the process ends.

#include <string>

#include "engine/base/AppLog.h"
#include "engine/base/Mutex.h"

enum VigilonFileType : int {
    VG_FILE_CONFIG = 0,
    VG_FILE_DRIVER = 1,
    VG_FILE_DATA_DEVICE_TEMPLATE = 2,
    VG_FILE_DATA_REMOTE_TEMPLATE = 3,
    VG_FILE_DATA_USER_TEMPLATE = 4,
    VG_FILE_EXT_CONSOLE = 5,
    VG_FILE_EXT_DEVICE = 6,
    VG_FILE_EXT_REMOTE = 7,
    VG_FILE_EXT_USER = 8,
    VG_FILE_LOG_APP = 9,
    VG_FILE_LOG_DEVICE_EVENT = 10,
    VG_FILE_LOG_EVENT = 11,
    VG_FILE_LOG_EVENT_TXT = 12,
    VG_FILE_LOG_EVENT_EMAIL = 13,
    VG_FILE_LOG_NETEVENT = 14,
    VG_FILE_LOG_NETEVENT_TXT = 15,
};

// The four directories, each ending in "/".
class AppConfig {
public:
    static constexpr const char* kDefaultDataDirectory = "/opt/vigilon/data/";
    static constexpr const char* kDefaultLogDirectory = "/opt/vigilon/log/";
    // The application log is rolled over to its backup once it holds this much (4 MiB).
    static constexpr uint64_t kMaxLogFileBytes = 4u << 20;

    // Defaults, then initialize().
    AppConfig();
    // Directories derived from a given executable path, without touching the process.
    explicit AppConfig(const std::string& executablePath);

    // Reads the executable's path, makes the program directory the current directory and derives the
    // others. false (defaults kept) when the path cannot be had.
    bool initialize();

    const std::string& DataDirectory() const { return m_dataDirectory; }
    const std::string& LogDirectory() const { return m_logDirectory; }
    const std::string& InstallDirectory() const { return m_installDirectory; }
    const std::string& ProgramDirectory() const { return m_programDirectory; }

private:
    void Derive(const std::string& executablePath);

    std::string m_dataDirectory = kDefaultDataDirectory;
    std::string m_logDirectory = kDefaultLogDirectory;
    std::string m_installDirectory;
    std::string m_programDirectory;
};

// Path of a file type in the tree of config: 0 with the path, 1 (path emptied) for an unknown type.
int BuildFileName(const AppConfig& config, std::string& out, int type, bool backup);
int BuildSafePointFileName(const AppConfig& config, std::string& out, int type);
// Name of a file type ("VG_FILE_CONFIG", ...), empty for an unknown type.
const char* FileTypeName(int type);

class MervaneApp : public Mutex {
public:
    static MervaneApp* Instance();

    int GetFileName(std::string& out, int type, bool backup = false) const;
    int GetSafePointFileName(std::string& out, int type) const;
    int GetDiscoveryErrorLogName(std::string& out) const;

    // Once: keeps the previous run's log as its backup name, then opens path truncated and registers
    // the file sink. A second call does nothing.
    int CreateFileLogger(const std::string& path, LogLevel threshold);
    int CreateStreamLogger(LogLevel threshold);

    const AppConfig& Config() const { return m_config; }
    AppFileLogger* FileLogger() { return m_fileLogger; }
    AppStreamLogger* StreamLogger() { return m_streamLogger; }

private:
    MervaneApp();

    AppConfig m_config;
    AppFileLogger* m_fileLogger = nullptr;
    AppStreamLogger* m_streamLogger = nullptr;
};
