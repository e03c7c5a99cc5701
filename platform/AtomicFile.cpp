#include "platform/AtomicFile.h"

#include <cctype>
#include <cerrno>
#include <dirent.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vgplat {

namespace {

std::string FolderOf(const std::string& path)
{
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string Describe(const char* call, const std::string& path)
{
    return std::string(call) + " failed for " + path + ": " + std::strerror(errno);
}

} // namespace

AtomicFile::AtomicFile(std::string path, mode_t mode) : m_path(std::move(path)), m_mode(mode) {}

AtomicFile::~AtomicFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_tempPath.empty())
        ::unlink(m_tempPath.c_str());
}

bool AtomicFile::Fail(const char* call, const std::string& path)
{
    m_error = Describe(call, path);
    return false;
}

bool AtomicFile::Open()
{
    if (m_fd >= 0 || m_path.empty())
        return false;
    std::vector<char> name(m_path.begin(), m_path.end());
    const char suffix[] = ".tmp.XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof suffix);
    m_fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (m_fd < 0)
        return Fail("mkostemp", m_path);
    m_tempPath = name.data();
    if (::fchmod(m_fd, m_mode) != 0)
        return Fail("fchmod", m_tempPath);
    return true;
}

bool AtomicFile::Write(const void* data, size_t size)
{
    if (m_fd < 0)
        return false;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(m_fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return Fail("write", m_tempPath);
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool AtomicFile::Commit(bool noReplace)
{
    if (m_fd < 0)
        return false;
    if (::fsync(m_fd) != 0)
        return Fail("fsync", m_tempPath);
    int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        return Fail("close", m_tempPath);
    int renamed = noReplace ? ::renameat2(AT_FDCWD, m_tempPath.c_str(), AT_FDCWD, m_path.c_str(), RENAME_NOREPLACE)
                            : ::rename(m_tempPath.c_str(), m_path.c_str());
    if (renamed != 0)
        return Fail("rename", m_path);
    m_tempPath.clear();
    int dir = ::open(FolderOf(m_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

bool WriteFileAtomically(const std::string& path, const void* data, size_t size, mode_t mode, std::string* error)
{
    AtomicFile file(path, mode);
    bool ok = file.Open() && file.Write(data, size) && file.Commit();
    if (!ok && error)
        *error = file.Error();
    return ok;
}

bool ReadWholeFile(const std::string& path, std::string& out, size_t maxSize, std::string* error)
{
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = Describe("open", path);
        return false;
    }
    char buffer[8192];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (error)
                *error = Describe("read", path);
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        if (out.size() + static_cast<size_t>(n) > maxSize) {
            if (error)
                *error = "file too large: " + path;
            ::close(fd);
            return false;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

bool CopyFileAtomically(const std::string& from, const std::string& to, bool failIfExists, std::string* error)
{
    struct stat st {};
    if (::stat(from.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (error)
            *error = Describe("stat", from);
        return false;
    }
    if (failIfExists && ::access(to.c_str(), F_OK) == 0) {
        if (error)
            *error = "target exists: " + to;
        return false;
    }
    std::string content;
    if (!ReadWholeFile(from, content, static_cast<size_t>(st.st_size) + (1u << 20), error))
        return false;
    AtomicFile file(to, st.st_mode & 07777);
    bool ok = file.Open() && file.Write(content.data(), content.size()) && file.Commit(failIfExists);
    if (!ok && error)
        *error = file.Error();
    return ok;
}

bool IsTemporaryFileName(const std::string& name)
{
    static constexpr char kMarker[] = ".tmp.";
    constexpr size_t markerLength = sizeof kMarker - 1;
    constexpr size_t uniqueLength = 6; // the XXXXXX of mkostemp
    if (name.size() <= markerLength + uniqueLength)
        return false;
    const size_t at = name.size() - uniqueLength - markerLength;
    if (name.compare(at, markerLength, kMarker) != 0)
        return false;
    for (size_t i = name.size() - uniqueLength; i < name.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

int RemoveStaleTemporaryFiles(const std::string& folder, std::string* failed)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return 0;
    int removed = 0;
    const int dirFd = ::dirfd(dir);
    while (struct dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!IsTemporaryFileName(name))
            continue;
        struct stat st {};
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (::unlinkat(dirFd, name.c_str(), 0) == 0) {
            ++removed;
        } else if (failed) {
            *failed += (failed->empty() ? "" : " ") + name;
        }
    }
    ::closedir(dir);
    return removed;
}

bool CopyFileWithMode(const std::string& from, const std::string& to, mode_t mode, bool failIfExists,
                      size_t maxSize, std::string* error)
{
    std::string content;
    if (!ReadWholeFile(from, content, maxSize, error))
        return false;
    AtomicFile file(to, mode);
    if (file.Open() && file.Write(content.data(), content.size()) && file.Commit(failIfExists))
        return true;
    if (error)
        *error = file.Error();
    return false;
}

} // namespace vgplat
