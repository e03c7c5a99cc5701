#pragma once
// Log sinks that keep every line they are given, for assertions on what the engine logged.

#include <algorithm>
#include <mutex>
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

// A capture sink that installs itself as the hub's only sink for its life, with exact-line queries.
class LogCapture : public AppLogger {
public:
    LogCapture() : AppLogger("LogCapture#", kLogTrace)
    {
        AppLog::Instance()->ResetForTest();
        AppLog::Instance()->AddLogger(this);
    }
    ~LogCapture() override { AppLog::Instance()->ResetForTest(); }

    int Shutdown() override { return 1; }
    int Log(LogLevel level, const std::string&, const std::string& message) override
    {
        std::lock_guard<std::mutex> lock(m_guard);
        m_lines.push_back({level, message});
        return 1;
    }

    struct Line {
        LogLevel level;
        std::string text;
    };
    std::vector<Line> Lines()
    {
        std::lock_guard<std::mutex> lock(m_guard);
        return m_lines;
    }
    // How many lines equal the text (at the level, when one is given).
    int Count(const std::string& text, int level = -1)
    {
        std::lock_guard<std::mutex> lock(m_guard);
        return static_cast<int>(std::count_if(m_lines.begin(), m_lines.end(), [&](const Line& l) {
            return l.text == text && (level < 0 || l.level == level);
        }));
    }
    bool Has(const std::string& text, int level = -1) { return Count(text, level) > 0; }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_guard);
        m_lines.clear();
    }

private:
    std::mutex m_guard;
    std::vector<Line> m_lines;
};
