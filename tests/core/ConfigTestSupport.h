#pragma once
// Test helpers of the settings and INI tests: a sandbox folder that a test can own as a member.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>


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

} // namespace cfgtest
