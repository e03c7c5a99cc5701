#include "tests/support/Sandbox.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vgtest {

Sandbox::Sandbox(const std::string& prefix)
{
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed for " + pattern);
    m_dir = pattern;
}

Sandbox::~Sandbox()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

void Sandbox::MakeDirs(std::initializer_list<std::string> names) const
{
    for (const std::string& name : names)
        std::filesystem::create_directories(Path(name));
}

std::string Sandbox::Write(const std::string& name, const std::string& content) const
{
    const std::string path = Path(name);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> ReadLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

}  // namespace vgtest
