#pragma once
// A log sink that keeps every line it is given, for assertions on what the engine logged.

#include <string>
#include <vector>

#include "engine/core/AppLog.h"

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

    bool Contains(const std::string& text)
    {
        for (const auto& line : Lines())
            if (line.message.find(text) != std::string::npos)
                return true;
        return false;
    }

private:
    std::vector<CapturedLine> m_lines;
};

// Installs a capture sink as the hub's only sink for the life of the object.
class ScopedLogCapture {
public:
    explicit ScopedLogCapture(LogLevel threshold = kLogTrace) : m_sink(threshold)
    {
        AppLog::Instance()->ResetForTest();
        AppLog::Instance()->AddLogger(&m_sink);
    }
    ~ScopedLogCapture() { AppLog::Instance()->ResetForTest(); }
    CaptureLogger& Sink() { return m_sink; }

private:
    CaptureLogger m_sink;
};
