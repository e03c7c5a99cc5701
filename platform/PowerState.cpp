#include "platform/PowerState.h"

#include <climits>
#include <sstream>
#include <unistd.h>
#include <vector>

#include "platform/AtomicFile.h"

namespace vgplat {

bool IsHibernateAllowed(const std::string& statePath)
{
    std::string content;
    if (!ReadWholeFile(statePath, content, 4096))
        return false;
    std::istringstream words(content);
    std::string word;
    while (words >> word) {
        if (word == "disk")
            return true;
    }
    return false;
}

std::string GetComputerName()
{
    std::vector<char> buffer(HOST_NAME_MAX + 2, '\0');
    if (::gethostname(buffer.data(), buffer.size() - 1) != 0)
        return {};
    return std::string(buffer.data());
}

} // namespace vgplat
