#pragma once
// The log capture of the tests: a sink that keeps every line it is given, for assertions on what
// the engine logged, and two ways to install it:
//   - ScopedLogCapture: the hub's only sink for the life of the object (the hub is reset on entry and
//     on exit);
//   - ProgramLogCapture(): one sink added to the hub on first use and kept for the whole test program.
//
// Threads: any thread may log into a sink and read it; the sink's own mutex guards its lines.

#include <string>
#include <vector>

#include "engine/base/AppLog.h"

struct CapturedLine {
    LogLevel level;
    std::string stamp;
    std::string message;
};

class CaptureLogger : public AppLogger {
public:
    explicit CaptureLogger(LogLevel threshold = kLogTrace) : AppLogger(nullptr, threshold) {}

    int Shutdown() override { return 1; }
    int Log(LogLevel level, const std::string& stamp, const std::string& message) override
    {
        MutexLock lock(GetMutex());
        if (GetThreshold() >= level)
            m_lines.push_back({level, stamp, message});
        return 1;
    }

    std::vector<CapturedLine> Lines()
    {
        MutexLock lock(GetMutex());
        return m_lines;
    }
    void Clear()
    {
        MutexLock lock(GetMutex());
        m_lines.clear();
    }
    // The number of lines kept.
    size_t Count()
    {
        MutexLock lock(GetMutex());
        return m_lines.size();
    }

    // Whether a line contains text (of any level, or of that level).
    bool Contains(const std::string& text) { return Contains(-1, text); }
    bool Contains(LogLevel level, const std::string& text)
    {
        MutexLock lock(GetMutex());
        for (const auto& line : m_lines)
            if ((level < 0 || line.level == level) && line.message.find(text) != std::string::npos)
                return true;
        return false;
    }

    // How many lines equal the text (at the level, when one is given).
    int Count(const std::string& text, int level = -1)
    {
        MutexLock lock(GetMutex());
        int count = 0;
        for (const auto& line : m_lines)
            count += line.message == text && (level < 0 || line.level == level);
        return count;
    }
    // Whether a line equals the text (at the level, when one is given).
    bool Has(const std::string& text, int level = -1) { return Count(text, level) > 0; }

private:
    std::vector<CapturedLine> m_lines;
};

// A capture sink installed as the hub's only sink for the life of the object.
class ScopedLogCapture : public CaptureLogger {
public:
    explicit ScopedLogCapture(LogLevel threshold = kLogTrace) : CaptureLogger(threshold)
    {
        AppLog::Instance()->ResetForTest();
        AppLog::Instance()->AddLogger(this);
    }
    ~ScopedLogCapture() override { AppLog::Instance()->ResetForTest(); }
    ScopedLogCapture(const ScopedLogCapture&) = delete;
    ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;
    CaptureLogger& Sink() { return *this; }
};

// The one capture sink of the test program, added to the hub once, on first use (a later ResetForTest
// drops it from the hub and it is not added again).
inline CaptureLogger& ProgramLogCapture()
{
    static CaptureLogger* sink = [] {
        auto* s = new CaptureLogger;
        AppLog::Instance()->AddLogger(s);
        return s;
    }();
    return *sink;
}
