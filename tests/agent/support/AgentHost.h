#pragma once
// Runs our embedded agent the way the engine does, on a thread of its own that becomes the SNMP
// thread: library settings, session on 127.0.0.1:port, boots counter in the folder, AgentX, the
// standard groups and the test MIB, start, loop.

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "engine/agent/SnmpAgent.h"
#include "engine/snmp/SnmpThread.h"
#include "engine/agent/mib/Mib.h"

namespace vgtest {

struct AgentOptions {
    std::string directory;   // boots file and library state
    int port = 0;
    int agentxPort = 0;      // 0: none
};

struct AgentStartResult {
    int status = -1;         // 0 when serving
    uint32_t boots = 0;
    int bootsReadStatus = 0;
    bool agentx = false;
    SnmpAgent* agent = nullptr;  // valid while the loop runs; use it on the SNMP thread only
};

// Runs the whole agent life on the calling thread: start-up, ready(result), loop while run, shutdown.
void RunEmbeddedAgent(SnmpThread& thread, const AgentOptions& options, const std::atomic<bool>& run,
                      const std::function<void(const AgentStartResult&)>& ready);

// One agent for the whole test process, started on first use on 127.0.0.1 with free ports.
class AgentHost {
public:
    static AgentHost& Get();
    SnmpThread& Thread() { return m_thread; }
    int Port() const { return m_port; }
    int AgentXPort() const { return m_agentxPort; }
    const AgentStartResult& Result() const { return m_result; }
    std::string Peer() const { return "udp:127.0.0.1:" + std::to_string(m_port); }
    void Stop();

private:
    AgentHost();
    SnmpThread m_thread;
    std::atomic<bool> m_run{true};
    std::thread m_loop;
    int m_port = 0;
    int m_agentxPort = 0;
    std::string m_directory;
    AgentStartResult m_result;
};

}  // namespace vgtest
