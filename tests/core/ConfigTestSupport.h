#pragma once
// Test helpers of the settings and INI tests: a sandbox folder per test and a log sink that keeps
// every line.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/core/AppLog.h"

namespace cfgtest {

class Sandbox {
public:
    Sandbox()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "vgcfg-XXXXXX").string();
        char* made = mkdtemp(pattern.data());
        m_dir = made ? made : "";
    }
    ~Sandbox()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    const std::string& Dir() const { return m_dir; }

    std::string Write(const std::string& name, const std::string& content) const
    {
        std::string path = Path(name);
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

private:
    std::string m_dir;
};

inline std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Registers itself with the log hub for its lifetime.
class CaptureLog : public AppLogger {
public:
    CaptureLog() : AppLogger("CfgTestCaptureLog#", kLogTrace)
    {
        AppLog::Instance()->ResetForTest();
        AppLog::Instance()->AddLogger(this);
    }
    ~CaptureLog() override { AppLog::Instance()->ResetForTest(); }

    int Shutdown() override { return 1; }
    int Log(LogLevel level, const std::string&, const std::string& message) override
    {
        m_lines.push_back({level, message});
        return 1;
    }
    bool Has(LogLevel level, const std::string& text) const
    {
        for (const auto& line : m_lines)
            if (line.level == level && line.text == text)
                return true;
        return false;
    }
    bool Contains(const std::string& part) const
    {
        for (const auto& line : m_lines)
            if (line.text.find(part) != std::string::npos)
                return true;
        return false;
    }

    struct Line {
        LogLevel level;
        std::string text;
    };
    std::vector<Line> m_lines;
};

} // namespace cfgtest
