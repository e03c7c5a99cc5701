#include "tests/support/Threads.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace vgtest {

pid_t CurrentThreadId()
{
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

std::vector<pid_t> ThreadIds()
{
    std::vector<pid_t> ids;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error))
        ids.push_back(static_cast<pid_t>(std::stol(entry.path().filename().string())));
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::vector<pid_t> NewThreadIds(const std::vector<pid_t>& before, const std::vector<pid_t>& after)
{
    std::vector<pid_t> added;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
    return added;
}

bool ThreadsAreBlocked(const std::vector<pid_t>& tids)
{
    return !tids.empty() && std::all_of(tids.begin(), tids.end(), ThreadIsBlocked);
}

bool ThreadIsBlocked(pid_t tid)
{
    if (tid <= 0)
        return false;
    // /proc/self/task/<tid>/stat: "tid (name) state ..."; the name may hold spaces and parentheses.
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text;
    std::getline(in, text);
    const size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size())
        return false;
    const char state = text[close + 2];
    return state == 'S' || state == 'D';
}

}  // namespace vgtest
