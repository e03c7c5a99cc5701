#pragma once
// The seam through which the engine program creates, starts and destroys the engine server, and
// forwards power events to it.
//
// The server's own code implements EngineServer (an adapter over CServerEx) and the program's
// composition root (main.cpp) hands the factory in with the EngineComposition given to
// EngineProgramMain. Without a factory RunAgent goes from the agent set-up straight to the coldStart
// and the request loop: the agent answers its standard groups and the engine has no server.
//
// Threads: the composition is built before RunAgent and not changed after. RunAgent calls the factory and
// Start on a helper thread, and later Destroy on another, while its own thread (the SNMP thread) keeps
// turning the request loop: a server may hand the SNMP thread work (traps, a community change) and
// wait for it while it starts or stops. The agent port is held meanwhile: no request reaches a server
// that is half started, being destroyed, or gone. EnterSystemSuspension and ExitSystemSuspension come
// from the service's control thread, under the server slot's lock, never at the same time as Destroy.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/Mutex.h"

class EngineServer {
public:
    virtual ~EngineServer() = default;
    // Starts the server with the run settings. A failure is logged by the server; the agent still
    // serves requests.
    virtual int Start(int flags, int snmpVersion, int trapPort, const std::string& community) = 0;
    // Why the last Start failed (empty when it did not, or the server gives no reason).
    virtual std::string StartError() const { return std::string(); }
    // What of the server did not start although it serves on (the UPS trap port that could not be
    // bound), one text each, with the reason; empty when all did.
    virtual std::vector<std::string> StartProblems() const { return {}; }
    // Stops every manager in order; the object is deleted right after.
    virtual void Destroy() = 0;
    virtual void EnterSystemSuspension() = 0;
    virtual void ExitSystemSuspension() = 0;
};

class AgentRun;
class Mib;

// What the program's composition root hands the engine run (EngineProgramMain, RunAgent). Every part
// may be empty: without makeServer the agent answers its standard groups and the engine has no server.
struct EngineComposition {
    // Answers the new server, or null when it cannot be created (RunAgent logs "Failed to instantiate
    // Vigilon server!" and ends with exit code 1). Called once, beside the request loop, with the run
    // that the server's traps, client requests and stop requests go through; the run outlives it.
    std::function<std::unique_ptr<EngineServer>(AgentRun& run)> makeServer;
    // Adds the engine's own MIB groups to the agent's MIB; AgentSnmp::Start calls it on the SNMP thread
    // just before the groups are registered.
    std::function<void(Mib& mib)> buildMib;
    // Where the configured engine address comes from: given the user extension file's and the INI
    // file's paths, the candidate text (see LoadEngineIPAddress). Empty: no candidate.
    std::function<std::string(const std::string& userExtensionPath, const std::string& iniPath)>
        readEngineAddress;
};

// Holds the engine's one server for the power events: they reach a server only between Install and
// Take, a suspension at most once before its resume, and a resume only after a suspension that this
// server received.
//
// Threads: every method is safe from any thread. The slot's mutex is held while a power event runs in
// the server, so Take waits for a running power event to end; it is never held while waiting for
// anything else.
class EngineServerSlot {
public:
    EngineServerSlot() : m_mutex("EngineServerSlot#") {}
    void Install(std::unique_ptr<EngineServer> server);
    std::unique_ptr<EngineServer> Take();
    bool HasServer() const;
    // Answers whether the server got the event.
    bool PowerEvent(bool suspend);

private:
    mutable Mutex m_mutex;
    std::unique_ptr<EngineServer> m_server; // guarded by m_mutex
    bool m_suspended = false;               // guarded by m_mutex
};
