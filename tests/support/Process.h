#pragma once
// Child processes of tests: a tool run to its end with a time limit, and programs run in the
// background until the test stops them. Every child starts with standard input from /dev/null, no
// blocked signals (whatever the test's threads block) and none of the test's descriptors but 0-2.
// A Process or Child belongs to the thread that made it.

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vgtest {

// Runs a program (looked up in PATH, no shell) to its end; its stdout and stderr together into
// output. The exit code, or -1 when it could not run, was killed by a signal or still ran at the
// limit (then it is killed).
int RunTool(const std::vector<std::string>& argv, std::string& output, int timeoutSec = 20);

// A program running in the background as a child.
class Process {
public:
    // Starts program (a path, or a name looked up in PATH) with args; extraEnv adds variables or, with
    // an empty value, removes them. Its stdout and stderr go to outputPath. Throws std::runtime_error
    // when it cannot be started.
    Process(const std::string& program, const std::vector<std::string>& args,
            const std::map<std::string, std::string>& extraEnv, const std::string& outputPath);
    ~Process(); // kills a child that still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t Pid() const { return m_pid; }
    bool Signal(int signal);
    // The exit status (the exit code, or 128 + the signal when killed) once it has ended, or nothing
    // when it still runs after timeoutMs.
    std::optional<int> Wait(int timeoutMs);
    bool Running() { return !Wait(0).has_value(); }
    // SIGTERM, then SIGKILL when it has not ended within stopMs; answers the wait status as waitpid
    // gave it.
    int Stop(int stopMs = 5000);
    // What it wrote so far.
    std::string Output() const;

private:
    pid_t m_pid = -1;
    std::string m_outputPath;
    std::optional<int> m_waitStatus;
};

// A background child started later than it is declared (argv[0] is looked up in PATH).
class Child {
public:
    Child() = default;
    ~Child();
    // Starts it with its output in logPath; false when it cannot run. extraEnv as for Process.
    bool Start(const std::vector<std::string>& argv, const std::string& logPath,
               const std::map<std::string, std::string>& extraEnv = {});
    // SIGTERM, then SIGKILL after 5 s; the wait status, -1 when none was started.
    int Stop();
    bool Running();
    pid_t Pid() const;

private:
    std::optional<Process> m_process;
};

}  // namespace vgtest
