// The recording shutdown library of test installs. It never shuts anything down: each call appends one
// line "<mode> <flag>" to the file named by the environment variable VG_SHUTDOWN_RECORD (no variable, no
// record).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/vgdown/ShutdownApi.h"

extern "C" int StartShutdown(int mode, int flag)
{
    const char* path = std::getenv("VG_SHUTDOWN_RECORD");
    if (!path || !*path)
        return 0;
    char line[32];
    int length = std::snprintf(line, sizeof line, "%d %d\n", mode, flag);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof line)
        return 0;
    int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return 0;
    // One write with O_APPEND: lines of concurrent callers never interleave.
    bool ok = ::write(fd, line, static_cast<size_t>(length)) == length;
    ok = ::close(fd) == 0 && ok;
    return ok ? 1 : 0;
}
