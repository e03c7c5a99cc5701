#pragma once
// Whole-file saves that never leave a torn file: the content goes to a temporary file beside the
// target, every write is checked, the file is flushed to disk and renamed over the target, and the
// folder is flushed. A save that fails at any step leaves the old file as it was.
//
// Threads: one AtomicFile belongs to one thread; the free functions are safe from any thread (saves of
// one target must be serialised by the caller).

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace vgplat {

class AtomicFile {
public:
    // mode: permission bits of the new file (applied regardless of the umask).
    explicit AtomicFile(std::string path, mode_t mode = 0644);
    ~AtomicFile(); // removes a temporary file that was never committed
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    bool Open();
    bool Write(const void* data, size_t size);
    // Flushes and renames over the target. With noReplace an existing target makes it fail.
    bool Commit(bool noReplace = false);
    // The failing call, errno text and path of the last failure.
    const std::string& Error() const { return m_error; }

private:
    bool Fail(const char* call, const std::string& path);

    std::string m_path;
    std::string m_tempPath;
    mode_t m_mode;
    int m_fd = -1;
    std::string m_error;
};

bool WriteFileAtomically(const std::string& path, const void* data, size_t size, mode_t mode,
                         std::string* error = nullptr);
// Copies from to to through a temporary file; with failIfExists an existing target is kept and the
// copy fails.
bool CopyFileAtomically(const std::string& from, const std::string& to, bool failIfExists,
                        std::string* error = nullptr);
// Copies from (at most maxSize bytes) to to through a temporary file created with mode (regardless of the
// umask); with failIfExists an existing target is kept and the copy fails.
bool CopyFileWithMode(const std::string& from, const std::string& to, mode_t mode, bool failIfExists,
                      size_t maxSize, std::string* error = nullptr);
// Reads a whole file of at most maxSize bytes.
bool ReadWholeFile(const std::string& path, std::string& out, size_t maxSize, std::string* error = nullptr);
// Whether name is one of AtomicFile's temporary files ("<target>.tmp." and six letters or digits).
bool IsTemporaryFileName(const std::string& name);
// Removes the temporary files a killed process left in folder (not its subfolders). Only for a folder
// whose files no other process is saving. Answers how many were removed; the names of those that could
// not be removed go to failed.
int RemoveStaleTemporaryFiles(const std::string& folder, std::string* failed = nullptr);

} // namespace vgplat
