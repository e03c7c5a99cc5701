#include "platform/Process.h"

#include <unistd.h>
#include <vector>

namespace vgplat {

bool GetExecutablePath(std::string& path)
{
    std::vector<char> buffer(4096);
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<size_t>(n) >= buffer.size())
        return false;
    path.assign(buffer.data(), static_cast<size_t>(n));
    return true;
}

} // namespace vgplat
