#pragma once
// The SNMP side of one engine run, as RunAgent composes it: the SNMP thread (RunAgent's own thread),
// the embedded agent with its session, engine boots and AgentX master, the MIB of our groups, the
// coldStart and the shutdown.
//
// Threads: Start, SendColdStart, Run, RunOnce and Shutdown belong to the thread that runs RunAgent
// (the SNMP thread). SetPaused, Wake, PostTrap and Post are safe from any thread while the object
// lives; AgentRun (AgentMain.h) guards its lifetime for the other threads (its loop slot).

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "engine/agent/RunSettings.h"
#include "engine/snmp/SnmpTypes.h"

class Mib;
class SnmpAgent;
class SnmpThread;

// The agent's sysObjectID, also the enterprise of its SNMPv1 traps.
constexpr const char* kEngineSysObjectId = "1.3.6.1.4.1.64950";

// The AgentX master's TCP port on 127.0.0.1. The environment variable VG_AGENTX_PORT moves it (a
// port 1-65535) or leaves AgentX out ("0"); tests use it to stay off the well-known port.
constexpr int kAgentXPort = 705;
constexpr const char* kAgentXPortVariable = "VG_AGENTX_PORT";
int AgentXPort();

class AgentSnmp {
public:
    AgentSnmp();
    ~AgentSnmp(); // Shutdown when still up
    AgentSnmp(const AgentSnmp&) = delete;
    AgentSnmp& operator=(const AgentSnmp&) = delete;

    // Library settings, the session on the agent port (on engineIp when not empty), the engine-boots
    // counter, AgentX, the MIB groups and the library start. false after a fatal failure, which is
    // logged at level 0 (the agent is then shut down again).
    // buildMib (may be empty) adds the engine's own groups before the MIB is registered.
    bool Start(const RunSettings& settings, const char* engineIp,
               const std::function<void(Mib&)>& buildMib = nullptr);
    // The line that the failed Start logged; empty after a good one.
    const std::string& StartFailure() const { return m_startFailure; }
    // The coldStart trap (SNMPv1, enterprise kEngineSysObjectId) to 127.0.0.1 at the trap port with the
    // community `gimbal`.
    void SendColdStart(int trapPort);
    void Run(const std::atomic<bool>& runFlag);
    void RunOnce(int maxWaitMs);
    void Shutdown();

    void SetPaused(bool paused);
    void Wake();
    bool PostTrap(SnmpTrap trap);
    bool Post(std::function<void()> work);
    uint32_t GetSysUpTime() const;

    SnmpThread& Thread() { return *m_thread; }
    SnmpAgent& Agent() { return *m_agent; }
    Mib& TheMib() { return *m_mib; }

private:
    std::unique_ptr<SnmpThread> m_thread;
    std::unique_ptr<SnmpAgent> m_agent;
    std::unique_ptr<Mib> m_mib;
    // Logs text at level 0, keeps it and shuts the agent down; answers false.
    bool Fail(const std::string& text);

    bool m_prepared = false;
    bool m_shutDown = false;
    std::string m_startFailure;
};
