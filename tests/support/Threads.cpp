#include "tests/support/Threads.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace vgtest {

pid_t CurrentThreadId()
{
    return static_cast<pid_t>(::syscall(SYS_gettid));
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
