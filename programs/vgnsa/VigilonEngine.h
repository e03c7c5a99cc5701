#pragma once
// The composition of a whole engine for the vgnsa program: the engine server (CServerEx) with the real
// SNMP facade (CMervaneSnmp, bound to the running agent's SNMP thread), the enterprise MIB groups, and
// the reader of the configured engine address. main.cpp builds it with MakeVigilonEngine and hands it to
// EngineProgramMain; RunAgent then creates, starts and destroys the server through it
// (EngineServerHooks.h).
//
// Threads: MakeVigilonEngine runs on the main thread before any other thread. The factory and the
// MIB builder run on RunAgent's thread (the SNMP thread). The row counts live as long as the process:
// the MIB groups, built before the server, and the facade share them.

#include <functional>
#include <memory>
#include <string>

#include "engine/agent/EngineServerHooks.h"

struct MibRowCounts;
class IRemoteAgentManager;

// The parts of the engine a program may choose; every one has the engine's own default.
struct VigilonEngineParts {
    // Builds the server's remote-agent manager (unset or answering null: CRemoteAgent over the SNMP
    // thread). Test programs use it to stand in for remote agents.
    std::function<std::unique_ptr<IRemoteAgentManager>()> makeRemoteAgents;
};

// The whole engine's composition for EngineProgramMain.
EngineComposition MakeVigilonEngine(VigilonEngineParts parts = {});

// The row counts that the facade keeps and the tables read.
MibRowCounts& EngineMibRowCounts();

// The configured engine address as the files hold it (empty when none): the user extension file's
// settings record when that file exists (word 31, only while word 15 bit 12 says it matched the host at
// the last check), else the INI file's [VG_Engine] EngineIPAddress (the last valid one).
std::string ReadConfiguredEngineAddress(const std::string& userExtensionPath, const std::string& iniPath);
