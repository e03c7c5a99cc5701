#pragma once
// The embedded net-snmp master agent: its library settings, its UDP session, engine ID and boots, the
// AgentX master and the library's start and shutdown. The rows that go into its tables (users,
// access control, communities, MIB groups) are AgentSetup.h's.
//
// The start-up, in this order, all on the SNMP thread (SnmpThread.h), which then runs the loop:
//     SnmpAgent agent(snmpThread);
//     agent.PrepareLibrary("vgnsa", stateDir);        // settings; before anything else of net-snmp
//     agent.OpenSession(engineIp, port);              // 0 or errno: the UDP port is ours
//     ReadEngineBoots(bootsPath, agent.EngineIdHex(), stored);   // EngineBoots.h; below -2 is fatal
//     boots = NextEngineBoots(stored); StoreEngineBoots(bootsPath, agent.EngineIdHex(), boots);
//     agent.SetEngineBoots(boots);                     // engine ID and the new boots value
//     agent.EnableAgentX(705);                         // false: port busy, warning logged, no AgentX
//     RegisterMibGroups(agent, mib);                   // AgentSetup.h: standard groups and ours
//     agent.Start();                                   // library start, users, access, communities,
//                                                      // listening socket and AgentX master
//     agent.SendColdStart("127.0.0.1", 3665, "gimbal"); // v1 destination "defaultV1Trap" + coldStart
//     snmpThread.Run(runFlag);                         // the request loop; a stop clears runFlag and
//                                                      // may call snmpThread.Wake() to end it at once
//     snmpThread.Shutdown(); mib.unregister_groups(); agent.Shutdown();
// net-snmp has no separate request list, message processor or access-control object: the library's
// session, its SNMPv3 module and its VACM tables stand for them, and requests are answered on the SNMP
// thread itself (a GET-NEXT lookup in our MIB costs well under a microsecond; bench/agent).
// The library reads no configuration file and keeps no state on disk: MIB loading off, no snmpd.conf,
// no persistent files, no SMUX, no hosts.allow/deny (our hosts_ctl allows every peer), SIGPIPE
// ignored; the AgentX port is checked by us because the library only warns when it cannot bind it.
//
// Threads: every method belongs to the SNMP thread (the thread that calls PrepareLibrary), except
// GetSysUpTime, ListeningAddress, EngineIdHex and the flags, which are safe from any thread once Start
// has returned. One SnmpAgent per process.

#include <atomic>
#include <cstdint>
#include <string>

class SnmpThread;

class SnmpAgent {
public:
    explicit SnmpAgent(SnmpThread& thread);
    ~SnmpAgent();
    SnmpAgent(const SnmpAgent&) = delete;
    SnmpAgent& operator=(const SnmpAgent&) = delete;

    SnmpThread& Thread() { return m_thread; }

    // Library settings for an embedded agent. stateDirectory: a private folder for the library's
    // configuration and persistent directories (created 0700); nothing is written there.
    void PrepareLibrary(const std::string& appName, const std::string& stateDirectory);

    // Reserves the agent's UDP port on address (dotted IPv4; empty: every local address). 0 on success,
    // else the errno of the failing bind. The library's listening session is opened on it by Start.
    int OpenSession(const std::string& address, int port);
    // "address:port" of the session ("0.0.0.0:3664" for every address).
    std::string ListeningAddress() const;
    int Port() const { return m_port; }

    // The engine ID: stable from run to run, made of the host name and the agent port (net-snmp's text
    // format: enterprise 8072, format 4, "host:port"). Valid after OpenSession.
    std::string EngineIdHex() const { return m_engineIdHex; }
    // Hands the engine ID and the boots value (already counted up and stored) to the library.
    void SetEngineBoots(uint32_t boots);
    uint32_t EngineBoots() const { return m_boots; }

    // Asks for the AgentX master on TCP 127.0.0.1:port. false (with a warning in the log) when the
    // port cannot be bound: the engine then runs without AgentX. port 0 leaves AgentX out quietly.
    bool EnableAgentX(int port);
    bool AgentXEnabled() const { return m_agentxPort != 0; }

    // Starts the library: init_snmp, the SNMPv3 users, the access control and the communities
    // (AgentSetup.h), then the listening session and the AgentX master behind its guard
    // (AgentXGuard.h: no sub-agent registers over the engine's objects; sessions bounded). 0 on success; otherwise the
    // errno of the listening socket (or -1) and the agent does not serve.
    int Start();
    bool IsStarted() const { return m_started.load(); }

    // Adds the SNMPv1 trap destination "defaultV1Trap" (tag "v1trap") at host:port with the community
    // and sends the standard coldStart notification to every notification target.
    void SendColdStart(const std::string& host, int port, const std::string& community);

    // The agent's sysUpTime in hundredths of a second. Any thread.
    uint32_t GetSysUpTime() const;

    // Every answer passes the session's build hook: the SET request it answers is ended first
    // (Mib::EndSetRequest: its saves are written; a failure makes the answer commitFailed), and an
    // answer too big to send becomes tooBig (a GETBULK answer is cut to what fits).

    // Closes the library's sessions and shuts the library down. The MIB's registrations must be gone
    // (Mib::unregister_groups) and the SNMP thread's sessions closed (SnmpThread::Shutdown) before.
    void Shutdown();

    const std::string& AppName() const { return m_appName; }

private:
    // The agent's UDP session on ports, with BuildAnswer as its build hook.
    bool OpenListeningSession(const std::string& ports);

    SnmpThread& m_thread;
    std::string m_appName = "vgnsa";
    std::string m_address;
    int m_port = 0;
    int m_reservedFd = -1;
    int m_agentxPort = 0;
    uint32_t m_boots = 1;
    std::string m_engineIdText;
    std::string m_engineIdHex;
    std::atomic<bool> m_started{false};
    std::atomic<int64_t> m_startMs{0};
    bool m_libraryUp = false;
};
