#pragma once
// The composition of a whole engine for the vgnsa program: the engine server (CServerEx) with the real
// SNMP facade (CMervaneSnmp, bound to the running agent's SNMP thread), the enterprise MIB groups, and
// the reader of the configured engine address. main.cpp calls RegisterVigilonEngine once before
// EngineProgramMain; RunAgent then creates, starts and destroys the server through its seam
// (EngineServerHooks.h).
//
// Threads: RegisterVigilonEngine runs on the main thread before any other thread. The factory and the
// MIB builder run on RunAgent's thread (the SNMP thread). The row counts live as long as the process:
// the MIB groups, built before the server, and the facade share them.

#include <memory>
#include <string>

struct MibRowCounts;
class IRemoteAgentManager;

void RegisterVigilonEngine();

// Builds the server's remote-agent manager (unset or null: the server's default). Set once, before the
// engine runs; test programs use it to stand in for remote agents.
using RemoteAgentsFactory = std::unique_ptr<IRemoteAgentManager> (*)();
void SetRemoteAgentsFactory(RemoteAgentsFactory factory);

// The row counts that the facade keeps and the tables read.
MibRowCounts& EngineMibRowCounts();

// The configured engine address as the files hold it (empty when none): the user extension file's
// settings record when that file exists (word 31, only while word 15 bit 12 says it matched the host at
// the last check), else the INI file's [VG_Engine] EngineIPAddress (the last valid one).
std::string ReadConfiguredEngineAddress(const std::string& userExtensionPath, const std::string& iniPath);
