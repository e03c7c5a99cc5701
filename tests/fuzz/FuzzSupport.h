#pragma once
// Helpers shared by the fuzz targets: a silent log sink, a scratch file per run, and whole-file writes.
// A fuzz target aborts on anything that should not happen, so these abort where the run cannot go on.
//
// Threads: a fuzz target runs on one thread; these hold no state beyond the one sink.

#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/base/AppLog.h"

namespace vgfuzz {

// Keeps the log hub quiet: with no sink the hub would buffer every line.
class NullSink : public AppLogger {
public:
    NullSink() : AppLogger("FuzzNullSink#", kLogEmergency) {}
    int Shutdown() override { return 1; }
    int Log(LogLevel, const std::string&, const std::string&) override { return 1; }
};

// Adds the silent sink to the hub, once per process.
inline void SilenceLog()
{
    static const bool added = [] {
        AppLog::Instance()->AddLogger(new NullSink);
        return true;
    }();
    (void)added;
}

// Creates an empty file "/tmp/<prefix>-XXXXXX" and answers its path.
inline std::string MakeScratchFile(const char* prefix)
{
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    int fd = mkstemp(pattern.data());
    if (fd < 0)
        std::abort();
    close(fd);
    return pattern;
}

// Replaces the file's content with size bytes at data.
inline void WriteFile(const std::string& path, const void* data, size_t size)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        std::abort();
    if (size)
        std::fwrite(data, 1, size, file);
    std::fclose(file);
}

} // namespace vgfuzz
