#include "engine/base/AppLog.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/base/SteadyClock.h"
#include "engine/base/StringHelpers.h"

namespace {

// The hub's creation mutex lives from the first log line to the end of the process.
Mutex& CreationMutex()
{
    static Mutex* mutex = new Mutex("AppLogCreationMutex");
    return *mutex;
}

constexpr char kFieldSeparator = '\b';

// The system log's event that carries its text as it is.
constexpr unsigned kSystemLogEventId = 100;

} // namespace

LogLevelNames MakeLogLevelNames()
{
    return {{kLogEmergency, "EMERGENCY"}, {kLogAlert, "ALERT"},   {kLogCritical, "CRITICAL"},
            {kLogError, "ERROR"},         {kLogWarning, "WARNING"}, {kLogNotice, "NOTICE"},
            {kLogInfo, "INFO"},           {kLogDebug, "DEBUG"},   {kLogTrace, "TRACE"}};
}

std::string GetTimeStamp()
{
    std::time_t now = std::time(nullptr);
    std::tm local {};
    if (!localtime_r(&now, &local))
        return {};
    char text[32];
    size_t n = std::strftime(text, sizeof text, "%m/%d/%Y %H:%M:%S", &local);
    return std::string(text, n);
}

LogLevel ParseLogLevel(const char* text, LogLevel defaultLevel)
{
    if (!text || !*text)
        return defaultLevel;
    static const char* const names[] = {"emergency", "alert", "critical", "error", "warning",
                                        "notice",    "info",  "debug",    "trace"};
    std::string word(text);
    TrimString(word);
    ToLowerString(word);
    for (LogLevel level = 0; level <= kLogTrace; ++level)
        if (word == names[level])
            return level;
    return defaultLevel;
}

bool StringToInt(const std::string& text, int& value)
{
    std::istringstream in(text);
    int read = 0;
    if (!(in >> read))
        return false;
    value = read;
    return true;
}

void AppLogRecord::SetTitle(const std::string& title)
{
    if (!title.empty())
        m_title = title;
}

void AppLogRecord::AddLine(const std::string& line)
{
    if (!line.empty())
        m_lines.push_back(line);
}

namespace {

std::string LevelName(const LogLevelNames& names, LogLevel level)
{
    auto it = names.find(level);
    return it == names.end() ? std::string() : it->second;
}

// One sink line: "<time> [<LEVEL>] <message>" and the line end.
std::string SinkLine(const LogLevelNames& names, LogLevel level, const std::string& timeStamp,
                     const std::string& message)
{
    std::string line = timeStamp;
    line += " [";
    line += LevelName(names, level);
    line += "] ";
    line += message;
    line += '\n';
    return line;
}

} // namespace

AppFileLogger::AppFileLogger(const std::string& path, const char* mutexName,
                             std::unique_ptr<vgplat::EventLogWriter> systemLog)
    : AppLogger(mutexName, kLogError),
      m_systemLog(systemLog ? std::move(systemLog) : vgplat::MakeSyslogEventWriter()),
      m_names(MakeLogLevelNames())
{
    Open(path);
}

AppFileLogger::~AppFileLogger()
{
    Shutdown();
}

int AppFileLogger::Open(const std::string& path)
{
    if (path.empty())
        return 0;
    MutexLock lock(GetMutex());
    if (!lock.Locked())
        return 0;
    return OpenLocked(path) ? 1 : 0;
}

bool AppFileLogger::OpenLocked(const std::string& path)
{
    CloseLocked();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_TRUNC, 0640);
    if (fd < 0) {
        ReportFailureLocked("opened", path, errno);
        return false;
    }
    m_file = ::fdopen(fd, "w");
    if (!m_file) {
        const int error = errno;
        ::close(fd);
        ReportFailureLocked("opened", path, error);
        return false;
    }
    m_path = path;
    m_written = 0;
    m_failureReported = false;
    return true;
}

void AppFileLogger::ReportFailureLocked(const char* what, const std::string& path, int error)
{
    if (m_failureReported)
        return;
    m_failureReported = true;
    std::string text = "Log file " + path + " cannot be " + what;
    if (const char* reason = error ? strerrordesc_np(error) : nullptr)
        text += std::string(": ") + reason;
    m_systemLog->Write(program_invocation_short_name, vgplat::kEventError, kSystemLogEventId, text);
}

void AppFileLogger::SetRollOver(uint64_t maxBytes, const std::string& backupPath)
{
    MutexLock lock(GetMutex());
    m_maxBytes = maxBytes;
    m_backupPath = backupPath;
}

void AppFileLogger::CloseLocked()
{
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}

int AppFileLogger::Shutdown()
{
    MutexLock lock(GetMutex());
    if (!lock.Locked())
        return 0;
    CloseLocked();
    return 1;
}

int AppFileLogger::Log(LogLevel level, const std::string& timeStamp, const std::string& message)
{
    MutexLock lock(GetMutex());
    if (!lock.Locked())
        return 0;
    if (m_file && GetThreshold() >= level) {
        const std::string line = SinkLine(m_names, level, timeStamp, message);
        errno = 0;
        const bool written = std::fwrite(line.data(), 1, line.size(), m_file) == line.size() && std::fflush(m_file) == 0;
        if (written)
            m_failureReported = false;
        else
            ReportFailureLocked("written", m_path, errno);
        m_written += line.size();
        if (m_maxBytes && m_written >= m_maxBytes && !m_backupPath.empty()) {
            // Nothing can be logged from here. The open file is renamed (its stream stays valid) and
            // only then replaced by a new one; a failed rename keeps the stream and goes on appending
            // to it (told to the system log), and the next try comes after another bound.
            if (::rename(m_path.c_str(), m_backupPath.c_str()) == 0) {
                OpenLocked(m_path);
            } else {
                ReportFailureLocked("rolled over", m_path + " -> " + m_backupPath, errno);
                m_written = 0;
            }
        }
    }
    return m_file ? 1 : 0;
}

AppStreamLogger::AppStreamLogger(std::ostream* out)
    : AppLogger("AppStreamLogger", kLogInfo), m_names(MakeLogLevelNames()), m_out(out)
{
}

int AppStreamLogger::Shutdown()
{
    Log(kLogInfo, GetTimeStamp(), "Stream Logger Shutdown");
    return 1;
}

int AppStreamLogger::Log(LogLevel level, const std::string& timeStamp, const std::string& message)
{
    MutexLock lock(GetMutex());
    if (!lock.Locked())
        return 0;
    if (m_out && GetThreshold() >= level)
        *m_out << SinkLine(m_names, level, timeStamp, message) << std::flush;
    return 1;
}

AppLog* AppLog::Instance()
{
    static AppLog* hub = nullptr;
    MutexLock lock(CreationMutex());
    if (!hub)
        hub = new AppLog();
    return hub;
}

bool AppLog::IsEnabledLocked(LogLevel level) const
{
    if (m_sinks.empty())
        return true;
    for (const AppLogger* sink : m_sinks)
        if (sink->GetThreshold() >= level)
            return true;
    return false;
}

bool AppLog::IsEnabled(LogLevel level)
{
    MutexLock lock(m_mutex);
    return IsEnabledLocked(level);
}

void AppLog::AddPendingLocked(LogLevel level, const std::string& stamp, const std::string& text)
{
    if (m_pending.size() >= kMaxPendingLines)
        m_pending.pop_front();
    m_pending.push_back(std::to_string(level) + kFieldSeparator + stamp + kFieldSeparator + text);
}

int AppLog::Write(LogLevel level, const std::string& message)
{
    if (!IsEnabled(level))
        return 0;
    const std::string stamp = GetTimeStamp();
    MutexLock lock(m_mutex);
    if (m_sinks.empty())
        AddPendingLocked(level, stamp, message);
    else
        for (AppLogger* sink : m_sinks)
            sink->Log(level, stamp, message);
    return 1;
}

int AppLog::Log(LogLevel level, const char* text)
{
    if (!text || !*text || !IsEnabled(level))
        return 0;
    return Write(level, text);
}

namespace {

// The text of a printf format and its arguments; false when it cannot be formatted.
__attribute__((format(printf, 1, 0))) bool FormatArguments(const char* format, va_list args, std::string& text)
{
    va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed < 0)
        return false;
    text.assign(static_cast<size_t>(needed) + 1, '\0');
    if (std::vsnprintf(text.data(), text.size(), format, args) != needed)
        return false;
    text.resize(static_cast<size_t>(needed));
    return true;
}

} // namespace

int AppLog::Printf(LogLevel level, const char* format, ...)
{
    if (!format || !*format || !IsEnabled(level))
        return 0;
    va_list args;
    va_start(args, format);
    std::string text;
    const bool formatted = FormatArguments(format, args, text);
    va_end(args);
    return formatted && Write(level, text) ? 1 : 0;
}

void AppLog::SetLineLimit(unsigned burst, int64_t windowMs, std::function<int64_t()> clock)
{
    MutexLock lock(m_limitMutex);
    m_limitBurst = burst;
    m_limitWindowMs = windowMs;
    m_limitClock = std::move(clock);
    m_limits.clear();
}

bool AppLog::AdmitLimited(const std::string& kind, std::string& summary)
{
    MutexLock lock(m_limitMutex);
    const int64_t now = m_limitClock ? m_limitClock() : SteadyMs();
    auto found = m_limits.find(kind);
    if (found == m_limits.end()) {
        // Kinds are a few fixed names; the bound only guards against a caller that makes them up.
        if (m_limits.size() >= 256)
            m_limits.clear();
        found = m_limits.emplace(kind, LimitWindow{now, 0, 0}).first;
    }
    LimitWindow& window = found->second;
    if (now - window.start >= m_limitWindowMs) {
        if (window.suppressed)
            summary = kind + ": " + std::to_string(window.suppressed) + " similar lines suppressed";
        window = LimitWindow{now, 0, 0};
    }
    if (window.written < m_limitBurst) {
        ++window.written;
        return true;
    }
    ++window.suppressed;
    return false;
}

bool AppLog::AdmitLimitedLine(LogLevel level, const char* kind)
{
    if (!kind || !IsEnabled(level))
        return false;
    std::string summary;
    if (!AdmitLimited(kind, summary))
        return false;
    if (!summary.empty())
        Write(level, summary);
    return true;
}

int AppLog::PrintfLimited(LogLevel level, const char* kind, const char* format, ...)
{
    if (!format || !*format || !AdmitLimitedLine(level, kind))
        return 0;
    va_list args;
    va_start(args, format);
    std::string text;
    const bool formatted = FormatArguments(format, args, text);
    va_end(args);
    return formatted && Write(level, text) ? 1 : 0;
}

int AppLog::LogLimited(LogLevel level, const char* kind, const std::function<std::string()>& text)
{
    if (!text || !AdmitLimitedLine(level, kind))
        return 0;
    const std::string line = text();
    return !line.empty() && Write(level, line) ? 1 : 0;
}

int AppLog::LogRecord(LogLevel level, const AppLogRecord& record)
{
    if (record.Title().empty() || !IsEnabled(level))
        return 0;
    const std::string stamp = GetTimeStamp();
    MutexLock lock(m_mutex);
    if (m_sinks.empty()) {
        AddPendingLocked(level, stamp, record.Title());
        return 1;
    }
    for (AppLogger* sink : m_sinks) {
        sink->Log(level, stamp, record.Title());
        for (const std::string& line : record.Lines())
            sink->Log(level, stamp, line);
    }
    return 1;
}

int AppLog::AddLogger(AppLogger* sink)
{
    if (!sink)
        return 0;
    MutexLock lock(m_mutex);
    for (AppLogger* known : m_sinks)
        if (known == sink)
            return 0;
    m_sinks.push_back(sink);
    for (const std::string& line : m_pending) {
        std::vector<std::string> parts;
        SplitString(line, "\b", parts);
        int level = 0;
        if (parts.size() == 3 && StringToInt(parts[0], level))
            sink->Log(level, parts[1], parts[2]);
    }
    m_pending.clear();
    return 1;
}

void AppLog::ResetForTest()
{
    MutexLock lock(m_mutex);
    m_sinks.clear();
    m_pending.clear();
}
