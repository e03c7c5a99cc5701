#pragma once
// A temporary folder for one test, removed with its contents at the end, and small file readers.

#include <initializer_list>
#include <string>
#include <vector>

namespace vgtest {

class Sandbox {
public:
    // A fresh folder /tmp/<prefix>-XXXXXX; throws std::runtime_error when it cannot be made.
    explicit Sandbox(const std::string& prefix = "vgtest");
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // The folder itself.
    const std::string& Dir() const { return m_dir; }
    const std::string& Path() const { return m_dir; }
    // A name inside the folder.
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    // Makes folders inside (with their parents), e.g. an install tree's {"bin", "data", "log"}.
    void MakeDirs(std::initializer_list<std::string> names) const;
    // Writes content to the name (binary, replacing it); answers its path.
    std::string Write(const std::string& name, const std::string& content) const;

private:
    std::string m_dir;
};

// The older name of the same folder.
using TempDir = Sandbox;

// The whole file ("" when it is missing).
std::string ReadAll(const std::string& path);
inline std::string ReadText(const std::string& path) { return ReadAll(path); }
// The lines of a text file, without their ends (none when it is missing).
std::vector<std::string> ReadLines(const std::string& path);

// How often what stands in text (overlapping places count).
inline size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

}  // namespace vgtest
