#pragma once
// The log capture of the tests: a sink that keeps every line it is given, for assertions on what
// the engine logged, and two ways to install it:
//   - ScopedLogCapture: the hub's only sink for the life of the object (the hub is reset on entry and
//     on exit);
//   - ProgramLogCapture(): one sink added to the hub on first use and kept for the whole test program.
// And EventRecorder, a stand-in for the system event log.
//
// Threads: any thread may log into a sink or write an event, and read them; each object's own mutex
// guards its lines.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/AppLog.h"
#include "platform/EventLog.h"

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

namespace vgtest {

// A stand-in for the system event log: keeps every event as "source type id text". A hook, when given,
// is told each event too (to put it in a record of its own, in order with other calls).
class EventRecorder : public vgplat::EventLogWriter {
public:
    explicit EventRecorder(std::function<void(const std::string&)> hook = {}) : m_hook(std::move(hook)) {}

    bool Write(const std::string& source, vgplat::EventLogType type, unsigned id, const std::string& text) override
    {
        const std::string event = source + " " + std::to_string(type) + " " + std::to_string(id) + " " + text;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(event);
        }
        if (m_hook)
            m_hook(event);
        return true;
    }
    std::vector<std::string> Events()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    // A writer that records here, for an owner that takes its writer; the recorder must outlive it.
    std::unique_ptr<vgplat::EventLogWriter> Writer()
    {
        class Forward : public vgplat::EventLogWriter {
        public:
            explicit Forward(EventRecorder& recorder) : m_recorder(recorder) {}
            bool Write(const std::string& source, vgplat::EventLogType type, unsigned id,
                       const std::string& text) override
            {
                return m_recorder.Write(source, type, id, text);
            }

        private:
            EventRecorder& m_recorder;
        };
        return std::make_unique<Forward>(*this);
    }

private:
    std::function<void(const std::string&)> m_hook;
    std::mutex m_mutex;
    std::vector<std::string> m_events;
};

}  // namespace vgtest
