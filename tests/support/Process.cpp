#include "tests/support/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vgtest {

namespace {

using Clock = std::chrono::steady_clock;

// net-snmp's tools (and snmpd, snmptrapd) read and write their persistent state in /var/lib/snmp
// (snmpapp.conf, snmpd.conf) unless SNMP_PERSISTENT_DIR names another folder. A test's peers get a
// folder of the test process's own, so no test leaves state there that changes what a later tool
// prints (a bad line in snmpapp.conf makes every tool complain on its error output), and parallel
// tests never write the same file. Removed at exit by the process that made it (never by a forked
// child).
class PrivateSnmpState {
public:
    PrivateSnmpState()
    {
        if (std::getenv("SNMP_PERSISTENT_DIR"))
            return;
        char pattern[] = "/tmp/vgtest-snmpstate-XXXXXX";
        if (!mkdtemp(pattern))
            return;
        m_dir = pattern;
        m_owner = getpid();
        setenv("SNMP_PERSISTENT_DIR", m_dir.c_str(), 1);
    }
    ~PrivateSnmpState()
    {
        if (m_dir.empty() || getpid() != m_owner)
            return;
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

private:
    std::string m_dir;
    pid_t m_owner = 0;
};

const PrivateSnmpState g_snmpState;

std::vector<char*> Pointers(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (auto& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Spawns argv[0] (PATH lookup) with stdin from /dev/null; stdout and stderr to outFd, or to the file
// outputPath when outFd < 0. 0 on success, else the error number.
int Spawn(std::vector<std::string> argv, std::vector<std::string> env, int outFd, const std::string& outputPath,
          pid_t& pid)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // Sockets and pipes of the test (a held port, another child's pipe) stay with the test.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> args = Pointers(argv);
    std::vector<char*> envp = Pointers(env);
    const int rc = posix_spawnp(&pid, argv[0].c_str(), &actions, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return rc;
}

std::vector<std::string> Environment(const std::map<std::string, std::string>& extra)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        if (extra.count(entry.substr(0, entry.find('='))) == 0)
            env.push_back(entry);
    }
    for (const auto& [name, value] : extra)
        if (!value.empty())
            env.push_back(name + "=" + value);
    return env;
}

// Reaps pid within the time; false when it still runs.
bool Reap(pid_t pid, int& status, Clock::time_point deadline)
{
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace

int RunTool(const std::vector<std::string>& argv, std::string& output, int timeoutSec)
{
    output.clear();
    if (argv.empty())
        return -1;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = -1;
    const int rc = Spawn(argv, Environment({}), fds[1], "", pid);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return -1;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSec);
    bool timedOut = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n > 0)
            output.append(buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break; // the end of its output
    }
    ::close(fds[0]);
    int status = 0;
    if (timedOut || !Reap(pid, status, deadline + std::chrono::seconds(1))) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& extraEnv, const std::string& outputPath)
    : m_outputPath(outputPath)
{
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    const int rc = Spawn(argv, Environment(extraEnv), -1, outputPath, m_pid);
    if (rc != 0)
        throw std::runtime_error("posix_spawn of " + program + " failed: " + std::strerror(rc));
}

Process::~Process()
{
    if (!m_waitStatus) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
}

bool Process::Signal(int signal)
{
    return !m_waitStatus && ::kill(m_pid, signal) == 0;
}

std::optional<int> Process::Wait(int timeoutMs)
{
    if (!m_waitStatus) {
        int status = 0;
        if (!Reap(m_pid, status, Clock::now() + std::chrono::milliseconds(timeoutMs)))
            return std::nullopt;
        m_waitStatus = status;
    }
    return WIFEXITED(*m_waitStatus) ? WEXITSTATUS(*m_waitStatus) : 128 + WTERMSIG(*m_waitStatus);
}

int Process::Stop(int stopMs)
{
    Signal(SIGTERM);
    if (!Wait(stopMs)) {
        Signal(SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_waitStatus = status;
    }
    return *m_waitStatus;
}

std::string Process::Output() const
{
    std::ifstream in(m_outputPath, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

Child::~Child()
{
    Stop();
}

bool Child::Start(const std::vector<std::string>& argv, const std::string& logPath,
                  const std::map<std::string, std::string>& extraEnv)
{
    if (argv.empty())
        return false;
    m_process.reset();
    try {
        m_process.emplace(argv[0], std::vector<std::string>(argv.begin() + 1, argv.end()),
                          extraEnv, logPath);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

int Child::Stop()
{
    if (!m_process)
        return -1;
    const int status = m_process->Stop();
    m_process.reset();
    return status;
}

bool Child::Running()
{
    return m_process && m_process->Running();
}

pid_t Child::Pid() const
{
    return m_process ? m_process->Pid() : -1;
}

}  // namespace vgtest
