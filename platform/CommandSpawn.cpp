#include "platform/CommandSpawn.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <spawn.h>
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

int SpawnDetached(const std::string& program, const std::vector<std::string>& argv)
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
    try {
        std::thread([pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (...) {
        // No reaper thread: the child still runs and is collected when the engine ends.
    }
    return 0;
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
