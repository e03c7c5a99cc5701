#pragma once
// The seam through which the engine program creates, starts and destroys the engine server, and
// forwards power events to it.
//
// The server's own code implements EngineServer (an adapter over CServerEx) and the program's
// composition root (main.cpp) registers a factory with SetEngineServerFactory before RunAgent runs.
// Without a factory RunAgent goes from the agent set-up straight to the coldStart and the request
// loop: the agent answers its standard groups and the engine has no server.
//
// Threads: SetEngineServerFactory is called once, before RunAgent. RunAgent calls Create, Start and
// Destroy on its own thread; EnterSystemSuspension and ExitSystemSuspension come from the service's
// control thread, never at the same time as Destroy (AgentMain holds the server's slot lock around each).
// While Destroy runs, the agent no longer answers requests: no request reaches the server during or
// after its destruction.

#include <memory>
#include <string>

class EngineServer {
public:
    virtual ~EngineServer() = default;
    // Starts the server with the run settings. A failure is logged by the server; the agent still
    // serves requests.
    virtual int Start(int flags, int snmpVersion, int trapPort, const std::string& community) = 0;
    // Stops every manager in order; the object is deleted right after.
    virtual void Destroy() = 0;
    virtual void EnterSystemSuspension() = 0;
    virtual void ExitSystemSuspension() = 0;
};

// Answers the new server, or null when it cannot be created (RunAgent logs "Failed to instantiate
// Vigilon server!" and ends with exit code 1).
using EngineServerFactory = std::unique_ptr<EngineServer> (*)();

void SetEngineServerFactory(EngineServerFactory factory);
EngineServerFactory GetEngineServerFactory();
