#include "platform/CommandSpawn.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace vgplat {

FileTypeTable FileTypeTable::Default()
{
    FileTypeTable table;
    table.Set(".sh", "/bin/sh");
    table.Set(".py", "/usr/bin/python3");
    table.Set(".pl", "/usr/bin/perl");
    return table;
}

namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

void FileTypeTable::Set(const std::string& extension, const std::string& program)
{
    m_programs[Lower(extension)] = program;
}

std::string FileTypeTable::Find(const std::string& extension) const
{
    auto it = m_programs.find(Lower(extension));
    return it == m_programs.end() ? std::string() : it->second;
}

int SpawnDetached(const std::string& program, const std::vector<std::string>& argv, int* pidOut,
                  std::function<void(int pid, int status)> onExit)
{
    if (program.empty() || argv.empty())
        return ENOENT;
    std::vector<std::string> args = argv;
    std::vector<char*> pointers;
    for (auto& arg : args)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);

    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0)
        return ENOMEM;
    // The command starts with default signal handling and an empty mask, whatever the engine blocks.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    int result = posix_spawn(&pid, program.c_str(), nullptr, &attr, pointers.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (result != 0)
        return result;
    if (pidOut)
        *pidOut = pid;
    try {
        std::thread([pid, onExit = std::move(onExit)] {
            int status = 0;
            pid_t waited = -1;
            while ((waited = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
            }
            if (!onExit)
                return;
            try {
                onExit(pid, waited == pid ? status : -1);
            } catch (...) {
                // the reaper's own end: nothing to tell anyone
            }
        }).detach();
    } catch (...) {
        // No reaper thread: the child still runs and is collected when the engine ends.
    }
    return 0;
}

std::string DescribeWaitStatus(int status)
{
    if (status == -1)
        return "not waited for";
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    return "wait status " + std::to_string(status);
}

const char* SpawnErrorName(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return "ENOENT";
    case ENOEXEC:
    case EACCES:
        return "ENOEXEC";
    case ENOMEM:
        return "ENOMEM";
    default:
        return "Unknown Error";
    }
}

} // namespace vgplat
