#pragma once
// Helpers of the agent tests: free loopback ports, child processes (net-snmp's CLI tools and snmpd),
// a temporary folder, a log capture and the small test MIB.

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/agent/mib/Mib.h"
#include "engine/base/AppLog.h"
#include "tests/core/LogCapture.h"

namespace vgtest {

// A port on 127.0.0.1 that was free a moment ago (SOCK_DGRAM or SOCK_STREAM).
int FreePort(int type);
// A port that was free on every address a moment ago (for a program that binds 0.0.0.0).
int FreePortOnEveryAddress(int type);
// A port free for both UDP and TCP.
int FreeUdpTcpPort();

// Runs a program (no shell) with a time limit; stdout and stderr together into output. The exit code,
// or -1 when it could not run or was killed at the limit.
int RunTool(const std::vector<std::string>& argv, std::string& output, int timeoutSec = 20);

// A child process running in the background.
class Child {
public:
    Child() = default;
    ~Child();
    bool Start(const std::vector<std::string>& argv, const std::string& logPath);
    // SIGTERM, then SIGKILL after a while; answers the exit status.
    int Stop();
    bool Running();
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

// A temporary folder removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// The one capture of the test process (ProgramLogCapture: added to AppLog on first use).
CaptureLogger& Log();

// The test MIB, E = 1.3.6.1.4.1.64950:
//   group "vgTestFirst" E.98: E.98.1.0 INTEGER read-only 98.
//   group "vgTestMain" E.99:
//     E.99.1.0 INTEGER read-write (stored),
//     E.99.2.0 OCTET STRING read-only "hello",
//     E.99.3.0 INTEGER read-write whose set fails (commitFailed),
//     E.99.4.0 INTEGER read-only: the requester's address as the framework passes it,
//     E.99.5.0 INTEGER not accessible,
//     E.99.6.0 IpAddress read-write (stored),
//     table E.99.10.1 (dense rows 1..n): column 1 INTEGER read-only (the row), 2 RowStatus read-create
//     (createAndWait/createAndGo at n+1 add a row, destroy at n removes it, anything else at a missing
//     row fails), 3 OCTET STRING read-write (stored per row).
// The last SET requester seen by E.99.1.0 is kept in LastSetRequester().
void AddTestMib(Mib& mib);
uint32_t LastSetRequester();
std::string Enterprise(const std::string& tail);

}  // namespace vgtest
