#pragma once
// A log sink that keeps every line, for assertions on the engine's log texts.

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "engine/core/AppLog.h"

class LineCapture : public AppLogger {
public:
    LineCapture() : AppLogger("LineCapture#", kLogTrace)
    {
        AppLog::Instance()->ResetForTest();
        AppLog::Instance()->AddLogger(this);
    }
    ~LineCapture() override { AppLog::Instance()->ResetForTest(); }

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
