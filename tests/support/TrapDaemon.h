#pragma once
// net-snmp's snmptrapd as a test peer: listens on a loopback port and writes one line per received
// notification in the test's format. Its state and MIB settings go into the child's environment, so
// the test process never calls setenv while its own threads run. Belongs to the thread that made it.

#include <string>

#include "tests/support/Process.h"
#include "tests/support/Sandbox.h"

namespace vgtest {

class TrapDaemon {
public:
    // Starts snmptrapd on udp:127.0.0.1:port (no authorisation, numeric OIDs) with format as its -F
    // line format, and waits until it listens; false when it cannot run or does not start listening.
    bool Start(int port, const std::string& format);
    // What it has logged so far.
    std::string Log() const;
    // Waits until the log holds text; false when it still does not after timeoutMs.
    bool WaitFor(const std::string& text, int timeoutMs = 5000) const;
    void Stop() { m_child.Stop(); }

private:
    Sandbox m_dir{"vgtrapd"};
    Child m_child;
};

}  // namespace vgtest
