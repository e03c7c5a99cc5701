#pragma once
// The harness of the end-to-end tests: the real programs run from a temporary install tree (a copy of the
// build tree's bin/ with the recording shutdown library, never the real one), on free loopback ports, as
// child processes, driven with net-snmp's command-line tools; a notification socket plays the service
// manager; traps arrive at a TrapReceiver (tests/support). Everything here belongs to the test's thread.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "tests/support/NotifySocket.h"
#include "tests/support/Ports.h"
#include "tests/support/Process.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TrapReceiver.h"
#include "tests/support/Wait.h"

namespace e2e {

namespace fs = std::filesystem;

constexpr const char* kE = "1.3.6.1.4.1.64950";
inline std::string E(const std::string& tail) { return std::string(kE) + "." + tail; }

using vgtest::Process;
using vgtest::ReadLines;
using vgtest::ReadText;

// A temporary folder with bin/ (a copy of the build tree's bin/, whose shutdown library is the recording
// stand-in), data/ and log/; removed at the end.
class TempTree {
public:
    TempTree();
    const std::string& Root() const { return m_dir.Path(); }
    std::string Path(const std::string& name) const { return Root() + "/" + name; }
    std::string Bin() const { return Root() + "/bin/"; }
    std::string Program() const { return Root() + "/bin/vgnsa"; }
    // Every file in log/, one after the other.
    std::string AppLog() const;
    // Copies a program into bin/; answers its path there.
    std::string AddProgram(const std::string& path) const;

private:
    vgtest::Sandbox m_dir{"vge2e"};
};

// The service manager's end of sd_notify, for the engine named in NOTIFY_SOCKET. A socket that cannot be
// bound throws std::runtime_error, so that no test waits on a socket that hears nothing.
class NotifySocket : public vgtest::NotifySocket {
public:
    explicit NotifySocket(const std::string& path);
};

// snmpget of numeric OIDs (separated by spaces) over SNMPv2c at 127.0.0.1:port, output -On; one attempt
// of timeoutSec.
std::string SnmpGet(int port, const std::string& community, const std::string& oids, double timeoutSec = 1,
                    int* exitCode = nullptr);
// Polls sysUpTime.0 with community until the agent answers; gives up early when engine has ended.
bool WaitForAgent(int port, int timeoutMs, const std::string& community = "gimbal", Process* engine = nullptr);

// vgnsa -n in a TempTree on free ports, with its console output in <root>/console.out.<run>, and its
// shutdown library's calls recorded in <root>/shutdown-calls.
class EngineInstall {
public:
    EngineInstall();
    ~EngineInstall() { Stop(); }

    const std::string& Root() const { return m_tree.Root(); }
    std::string Path(const std::string& name) const { return m_tree.Path(name); }
    int Port() const { return m_port; }
    int TrapPort() const { return m_trapPort; }
    std::string Peer() const { return "127.0.0.1:" + std::to_string(m_port); }

    // Sets a variable of the engine's environment for the next starts (an empty value removes it).
    // VG_AGENTX_PORT is "0" (no AgentX) unless set here.
    void SetEnv(const std::string& name, const std::string& value) { m_env[name] = value; }
    // A command prefix the next starts run the engine under (its program path and arguments follow);
    // the program must exec the engine, so that the signals reach it.
    void SetLauncher(std::vector<std::string> launcher) { m_launcher = std::move(launcher); }
    // Starts vgnsa -n and waits until it answers the community; false when it does not within 15 s.
    bool Start(const std::vector<std::string>& extra = {}, const std::string& community = "gimbal");
    // SIGTERM; the wait status (-1 when it was not running).
    int Stop();
    // SIGKILL, as a crash would, and waits for the end; false when it was not running.
    bool Kill();
    bool Running() { return m_engine && m_engine->Running(); }
    std::string ConsoleOutput() const { return ReadText(Path("console.out." + std::to_string(m_runs))); }
    std::string LogText() const { return ReadText(Path("log/vigilon.log")); }

    // snmpget with -Ov: the value with its type ("INTEGER: 5", "STRING: \"x\"", "\"\""); a failure
    // gives the tool's output prefixed with "ERROR ".
    std::string Get(const std::string& oid, const std::string& community = "wendolmar",
                    const std::string& client = "");
    // snmpset oid type value: "" on success, else the error reason line ("notWritable", ...).
    std::string Set(const std::string& oid, const std::string& type, const std::string& value,
                    const std::string& community = "wendolmar", const std::string& client = "");
    // Adds trap destination row (E.14.2.2.1) the console's way (createAndWait, address, name,
    // community "public", port, active): "" on success, else the first refusal.
    std::string AddTrapDestination(int row, const std::string& address, const std::string& name, int port);

private:
    TempTree m_tree;
    int m_port = 0;
    int m_trapPort = 0;
    int m_runs = 0;
    std::map<std::string, std::string> m_env;
    std::vector<std::string> m_launcher;
    std::optional<Process> m_engine;
};

} // namespace e2e
