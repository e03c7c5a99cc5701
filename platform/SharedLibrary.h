#pragma once
// A shared library loaded with dlopen from a given folder, closed by its destructor.
//
// Threads: one object belongs to its owner; Symbol may be called from any thread while it is loaded.

#include <string>

namespace vgplat {

class SharedLibrary {
public:
    SharedLibrary() = default;
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Loads folder + "lib" + name + ".so" (the folder ends in "/" or is empty). false with Error() set
    // when it cannot be loaded; an earlier library is closed first.
    bool Load(const std::string& folder, const std::string& name);
    // The address of an exported symbol, or null.
    void* Symbol(const char* name) const;
    void Close();
    bool IsLoaded() const { return m_handle != nullptr; }
    const std::string& Path() const { return m_path; }
    const std::string& Error() const { return m_error; }

private:
    void* m_handle = nullptr;
    std::string m_path;
    std::string m_error;
};

} // namespace vgplat
