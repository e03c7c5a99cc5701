#pragma once
// A folder of an end-to-end test tree on a small file system of its own (a tmpfs the test mounts, as
// root), which Fill makes full so that every save there fails while the old files stay as they were.
// Unmounted when it goes.

#include <sys/mount.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

namespace mibtest {

class SmallDataFolder {
public:
    explicit SmallDataFolder(const std::string& path) : m_path(path)
    {
        m_mounted = ::mount("vgtest", path.c_str(), "tmpfs", 0, "size=4m,mode=0700") == 0;
    }
    ~SmallDataFolder()
    {
        if (m_mounted)
            ::umount2(m_path.c_str(), MNT_DETACH);
    }
    SmallDataFolder(const SmallDataFolder&) = delete;
    SmallDataFolder& operator=(const SmallDataFolder&) = delete;

    bool Mounted() const { return m_mounted; }
    // Writes a filler until the file system is full; true when it is.
    bool Fill()
    {
        std::FILE* f = std::fopen(Filler().c_str(), "wb");
        if (!f)
            return false;
        const std::string chunk(4096, 'f');
        bool full = false;
        while (!full)
            full = std::fwrite(chunk.data(), 1, chunk.size(), f) != chunk.size() || std::fflush(f) != 0;
        const bool noSpace = errno == ENOSPC;
        std::fclose(f);
        return noSpace;
    }
    void Empty() { std::filesystem::remove(Filler()); }

private:
    std::string Filler() const { return m_path + "/filler"; }
    std::string m_path;
    bool m_mounted = false;
};

} // namespace mibtest
