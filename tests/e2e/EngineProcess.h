#pragma once
// Test helpers for end-to-end runs of the engine program: a temporary install tree with a copy of the
// build's binaries, free loopback ports, a UDP trap receiver, a notification socket that plays the
// service manager, the engine as a child process, and net-snmp's command-line tools.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace e2e {

// <tmp>/vg_e2e_XXXXXX with bin/ (a copy of the build tree's bin/), data/ and log/; removed at the end.
class TempTree {
public:
    TempTree();
    ~TempTree();
    const std::string& Root() const { return m_root; }
    std::string Bin() const { return m_root + "/bin/"; }
    std::string Program() const { return m_root + "/bin/vgnsa"; }
    std::string AppLog() const;
    // Copies a program into bin/; answers its path there.
    std::string AddProgram(const std::string& path) const;

private:
    std::string m_root;
};

// A UDP port that was free on every address a moment ago.
int FreeUdpPort();

// A UDP socket on 127.0.0.1 and a port of its own.
class UdpReceiver {
public:
    UdpReceiver();
    ~UdpReceiver();
    int Port() const { return m_port; }
    // One datagram, or nothing within the time.
    std::optional<std::string> Receive(int timeoutMs);

private:
    int m_fd = -1;
    int m_port = 0;
};

// A datagram socket named in NOTIFY_SOCKET: the service manager's end of sd_notify.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path);
    ~NotifySocket();
    const std::string& Path() const { return m_path; }
    std::optional<std::string> Receive(int timeoutMs);
    // Receives until a message containing text arrives; every message is kept in Messages().
    bool WaitFor(const std::string& text, int timeoutMs);
    // Receives until count STATUS= reports have arrived in all.
    bool WaitForStates(size_t count, int timeoutMs);
    const std::vector<std::string>& Messages() const { return m_messages; }
    // (state, checkpoint) of every STATUS= line received.
    std::vector<std::pair<int, int>> States() const;

private:
    int m_fd = -1;
    std::string m_path;
    std::vector<std::string> m_messages;
};

class Process {
public:
    // Starts program with args; extraEnv adds or (empty value) removes variables. Output goes to
    // outputPath.
    Process(const std::string& program, const std::vector<std::string>& args,
            const std::map<std::string, std::string>& extraEnv, const std::string& outputPath);
    ~Process(); // kills a child that still runs
    pid_t Pid() const { return m_pid; }
    bool Signal(int signal);
    // The exit status (WEXITSTATUS) once ended, or nothing after the time (the child still runs).
    std::optional<int> Wait(int timeoutMs);
    std::string Output() const;

private:
    pid_t m_pid = -1;
    std::string m_outputPath;
    std::optional<int> m_status;
};

// The lines of a text file (none when it is missing).
std::vector<std::string> ReadLines(const std::string& path);

// Runs a shell command line and answers its standard output and error.
std::string RunCommand(const std::string& command, int* exitCode = nullptr);
// snmpget of numeric OIDs over SNMPv2c at 127.0.0.1:port; one attempt of timeoutSec.
std::string SnmpGet(int port, const std::string& community, const std::string& oids, int timeoutSec = 1,
                    int* exitCode = nullptr);
// Polls sysDescr.0 until the agent answers.
bool WaitForAgent(int port, int timeoutMs);

// An SNMPv1 trap as decoded from a datagram.
struct V1Trap {
    long version = -1;
    std::string community;
    std::string enterprise; // dotted
    long generic = -1;
    long specific = -1;
};
std::optional<V1Trap> DecodeV1Trap(const std::string& datagram);

} // namespace e2e
