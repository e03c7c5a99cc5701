// The real shutdown library: asks systemd-logind over the system bus to power off or hibernate, and
// falls back to systemctl when the bus or logind cannot be reached. The warning writes a notice to the
// terminal of every logged-in user.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-bus.h>
#include <unistd.h>
#include <utmpx.h>

#include "platform/vgdown/ShutdownApi.h"

extern char** environ;

namespace {

constexpr const char* kWarning =
    "\r\n*** Vigilon Agent: the UPS power is failing. This computer will be shut down shortly. "
    "Save your work now. ***\r\n";

// Asks logind for the action ("PowerOff" or "Hibernate"); false when the call did not go through.
bool AskLogind(const char* method)
{
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        syslog(LOG_WARNING, "vgdown: sd_bus_open_system failed: %s", std::strerror(-r));
        return false;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    // The one argument is "interactive": false, since nobody answers a policy prompt here.
    r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", method, &error, &reply, "b", 0);
    if (r < 0)
        syslog(LOG_WARNING, "vgdown: login1 %s failed: %s", method,
               error.message ? error.message : std::strerror(-r));
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return r >= 0;
}

// Runs "systemctl <verb>" without a shell and waits for it; false when it could not run or failed.
bool RunSystemctl(const char* verb)
{
    const char* candidates[] = {"/usr/bin/systemctl", "/bin/systemctl"};
    for (const char* path : candidates) {
        if (::access(path, X_OK) != 0)
            continue;
        char arg0[] = "systemctl";
        std::string arg1 = verb;
        char* argv[] = {arg0, arg1.data(), nullptr};
        pid_t pid = 0;
        int r = posix_spawn(&pid, path, nullptr, nullptr, argv, environ);
        if (r != 0) {
            syslog(LOG_ERR, "vgdown: posix_spawn %s %s failed: %s", path, verb, std::strerror(r));
            return false;
        }
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    syslog(LOG_ERR, "vgdown: systemctl not found");
    return false;
}

int Act(const char* method, const char* verb)
{
    if (AskLogind(method))
        return 1;
    return RunSystemctl(verb) ? 1 : 0;
}

// Writes the warning to every user terminal listed in utmp.
int WarnUsers()
{
    int written = 0;
    setutxent();
    while (struct utmpx* entry = getutxent()) {
        if (entry->ut_type != USER_PROCESS || entry->ut_line[0] == '\0')
            continue;
        std::string line(entry->ut_line, strnlen(entry->ut_line, sizeof entry->ut_line));
        if (line.find('/') != std::string::npos || line.find("..") != std::string::npos)
            continue; // only plain names of /dev entries
        std::string path = "/dev/" + line;
        int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        ssize_t n = ::write(fd, kWarning, std::strlen(kWarning));
        if (n > 0)
            ++written;
        ::close(fd);
    }
    endutxent();
    syslog(LOG_WARNING, "vgdown: shutdown warning sent to %d terminal(s)", written);
    return 1;
}

} // namespace

extern "C" int StartShutdown(int mode, int flag)
{
    (void)flag;
    switch (mode) {
    case kShutdownWarn:
        return WarnUsers();
    case kShutdownPowerOff:
    case kShutdownForced:
        return Act("PowerOff", "poweroff");
    case kShutdownHibernate:
        return Act("Hibernate", "hibernate");
    default:
        return 0;
    }
}
