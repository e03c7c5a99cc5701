#pragma once
// The process-wide log hub and its sinks.
//
// Every line goes through AppLog, which stamps it with the local time ("%m/%d/%Y %H:%M:%S") and hands it
// to each sink in registration order; a sink writes "<time> [<LEVEL>] <message>" when its threshold is
// at least the line's level. Until the first sink exists the hub keeps the last 64 lines and replays
// them to that first sink only.
//
// Texts that come from the network are passed as arguments of a fixed format, never as the format.
//
// Threads: any thread may log. Lock order: the hub's "AppLogMutex", then a sink's own mutex, the last
// rank of engine/base/LockOrder.h. The hub
// and the sinks live until the process ends; the hub is never destroyed.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "engine/base/Mutex.h"
#include "platform/EventLog.h"

using LogLevel = int32_t;

constexpr LogLevel kLogEmergency = 0;
constexpr LogLevel kLogAlert = 1;
constexpr LogLevel kLogCritical = 2;
constexpr LogLevel kLogError = 3;
constexpr LogLevel kLogWarning = 4;
constexpr LogLevel kLogNotice = 5;
constexpr LogLevel kLogInfo = 6;
constexpr LogLevel kLogDebug = 7;
constexpr LogLevel kLogTrace = 8;

// Upper-case level names of the log lines; a level not in the map has the empty name.
using LogLevelNames = std::map<LogLevel, std::string>;
LogLevelNames MakeLogLevelNames();

// "%m/%d/%Y %H:%M:%S" in local time; empty when the time cannot be formatted.
std::string GetTimeStamp();

// The level named by text (trimmed, any letter case), or defaultLevel.
LogLevel ParseLogLevel(const char* text, LogLevel defaultLevel);

// Reads a decimal integer (leading white space skipped); true when one was read.
bool StringToInt(const std::string& text, int& value);

// A title and detail lines, logged together with one time stamp.
class AppLogRecord {
public:
    void SetTitle(const std::string& title);
    void AddLine(const std::string& line);
    const std::string& Title() const { return m_title; }
    const std::vector<std::string>& Lines() const { return m_lines; }

private:
    std::string m_title;
    std::vector<std::string> m_lines;
};

class AppLogger : public Lockable {
public:
    AppLogger(const char* mutexName, LogLevel threshold) : Lockable(mutexName), m_threshold(threshold) {}
    virtual ~AppLogger() = default;

    virtual int Shutdown() = 0;
    virtual int Log(LogLevel level, const std::string& timeStamp, const std::string& message) = 0;

    LogLevel GetThreshold() const { return m_threshold.load(); }
    void SetThreshold(LogLevel threshold) { m_threshold = threshold; }

private:
    std::atomic<LogLevel> m_threshold;
};

// A file that cannot be opened, or a line that cannot be written, is told once to the system log (an
// error event of the program's name, written under the sink's mutex; the system log's own lock is a
// leaf); the next failure after the file worked again is told again.
class AppFileLogger : public AppLogger {
public:
    // systemLog null: syslog.
    AppFileLogger(const std::string& path, const char* mutexName,
                  std::unique_ptr<vgplat::EventLogWriter> systemLog = nullptr);
    ~AppFileLogger() override;

    int Open(const std::string& path);
    int Shutdown() override;
    int Log(LogLevel level, const std::string& timeStamp, const std::string& message) override;
    // Bounds the file: once it holds maxBytes or more, it is renamed to backupPath (replacing that
    // file) and a new one is started. A rename that fails truncates nothing: the file is appended to
    // and the roll-over tried again after another maxBytes. 0: no bound.
    void SetRollOver(uint64_t maxBytes, const std::string& backupPath);

private:
    // Closes the file if open; the sink's mutex is held.
    void CloseLocked();
    // Opens path anew, truncated; the sink's mutex is held.
    bool OpenLocked(const std::string& path);
    // The first failure since the file last worked goes to the system log (what failed, the path and
    // error); the sink's mutex is held.
    void ReportFailureLocked(const char* what, const std::string& path, int error);

    std::unique_ptr<vgplat::EventLogWriter> m_systemLog;
    bool m_failureReported = false;
    std::string m_path;
    LogLevelNames m_names;
    std::FILE* m_file = nullptr;
    uint64_t m_written = 0;
    uint64_t m_maxBytes = 0;
    std::string m_backupPath;
};

class AppStreamLogger : public AppLogger {
public:
    explicit AppStreamLogger(std::ostream* out);

    int Shutdown() override;
    int Log(LogLevel level, const std::string& timeStamp, const std::string& message) override;

private:
    LogLevelNames m_names;
    std::ostream* m_out;
};

class AppLog {
public:
    static constexpr size_t kMaxPendingLines = 64;

    static AppLog* Instance();

    bool IsEnabled(LogLevel level);
    bool IsDebugEnabled() { return IsEnabled(kLogDebug); }
    bool IsInfoEnabled() { return IsEnabled(kLogInfo); }

    int Write(LogLevel level, const std::string& message);
    int Log(LogLevel level, const char* text);
    int Log(LogLevel level, const std::string& text) { return Log(level, text.c_str()); }
    // 1 when the line was formatted and written; 0 when not enabled, the format is empty or the text
    // cannot be formatted.
    int Printf(LogLevel level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    int LogRecord(LogLevel level, const AppLogRecord& record);
    // For lines that requests from the network can cause (a refused value, the SNMP library's complaint
    // about a packet): of one kind, at most the burst of lines per window is written; the rest are
    // counted, and the first line of that kind after the window says how many were left out
    // ("<kind>: N similar lines suppressed"). Answers 1 when the line was written.
    int PrintfLimited(LogLevel level, const char* kind, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    // The same limit for a line that is dear to build: text is called only when the line will be
    // written (an empty text writes nothing). What text throws passes to the caller.
    int LogLimited(LogLevel level, const char* kind, const std::function<std::string()>& text);
    // The limit of PrintfLimited (default 10 lines per 60 s); clock in milliseconds (default: steady).
    void SetLineLimit(unsigned burst, int64_t windowMs, std::function<int64_t()> clock = nullptr);
    int AddLogger(AppLogger* sink);

    // For tests: drops every sink and pending line. The sinks are not deleted.
    void ResetForTest();

private:
    AppLog() : m_mutex("AppLogMutex") {}
    bool IsEnabledLocked(LogLevel level) const;
    void AddPendingLocked(LogLevel level, const std::string& stamp, const std::string& text);

    // Whether a line of kind may be written now; summary receives the line that reports what the last
    // window left out. Under m_limitMutex (a leaf).
    bool AdmitLimited(const std::string& kind, std::string& summary);
    // Whether a line of kind at level may be written now; writes the summary of the last window first.
    bool AdmitLimitedLine(LogLevel level, const char* kind);

    Mutex m_mutex;
    std::vector<AppLogger*> m_sinks;
    std::deque<std::string> m_pending;

    struct LimitWindow {
        int64_t start = 0;
        unsigned written = 0;
        uint64_t suppressed = 0;
    };
    Mutex m_limitMutex{"AppLogLimitMutex"};
    unsigned m_limitBurst = 10;
    int64_t m_limitWindowMs = 60000;
    std::function<int64_t()> m_limitClock;
    std::map<std::string, LimitWindow> m_limits;
};

// AppLog::Instance()->PrintfLimited.
#define LimitedLog(level, kind, ...) AppLog::Instance()->PrintfLimited(level, kind, __VA_ARGS__)
