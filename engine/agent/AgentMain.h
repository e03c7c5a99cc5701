#pragma once
// The engine program's run: RunAgent and AgentRun, the state of one engine run.
//
// RunAgent parses the command line (RunSettings.h), starts logging, sets up the SNMP agent on the SNMP
// thread (which is RunAgent's own thread), creates and starts the engine server through the seam of
// EngineServerHooks.h, sends its coldStart trap, then serves requests until the run flag is cleared,
// and shuts down in order: the server first, then the agent. The server starts and stops on a helper
// thread while the loop keeps turning with the agent port held, so its traps and its work for the SNMP
// thread go on and no request reaches it half started or half destroyed.
//
// The program's composition root (EngineProgramMain) creates one AgentRun and hands it to RunAgent,
// to the server's factory (which binds the engine's wiring to it), to the service's controls and to
// the console's control-signal thread. Nothing of a run is process-wide: two AgentRun objects share no
// state.
//
// Threads: RunAgent runs once per AgentRun, on the main thread (console mode) or on the service's
// worker thread. RequestStop, Stop, Pause, PowerEvent, IsInLoop, SysUpTime, PostTrap, Post and
// ConfiguredEngineIPAddress are safe from any thread while the object lives. The run flag and the
// in-loop flag are atomics. Locks (engine/base/LockOrder.h, ranks 2 and 11): the loop slot's mutex is
// held only around non-blocking calls into the SNMP thread's queue (which takes its own queue lock),
// and may be taken under the facade mutex; the server slot's mutex is held while a power event runs in
// the server, so the server's locks come after it and the server never calls PowerEvent itself.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/agent/ControlSignals.h"
#include "engine/agent/EngineServerHooks.h"
#include "engine/base/Mutex.h"
#include "engine/snmp/SnmpTrapSession.h"
#include "engine/snmp/SnmpTypes.h"

class AgentSnmp;
class SnmpThread;
class AppLog;
class SnmpRequestCancel;
class MervaneApp;

class AgentRun {
public:
    AgentRun();
    ~AgentRun();
    AgentRun(const AgentRun&) = delete;
    AgentRun& operator=(const AgentRun&) = delete;

    // Clears the run flag and wakes the request loop; returns at once. For threads that the shutdown
    // waits for (the server's timer thread, its shutdown actions): they must never wait for the loop's
    // end.
    void RequestStop();
    // RequestStop, then waits until the loop has ended and the server is destroyed (at once when the
    // loop was never entered). Never from a thread that the shutdown waits for.
    void Stop();
    // Pauses (true) or resumes (false) answering requests on the agent port; traps and client work go
    // on. false once the run flag is cleared.
    bool Pause(bool pause);
    // Forwards a power event to the server when one exists (suspend: true); ignored before the server
    // exists and after it is gone. Each suspension reaches a server at most once before its resume.
    void PowerEvent(bool suspend);

    // The agent's sysUpTime in hundredths of a second; 0 while no agent runs.
    uint32_t SysUpTime();
    // Queue a trap, or a function, for the SNMP thread of the running agent; false when no agent runs or
    // it takes no more work. Never blocks.
    bool PostTrap(SnmpTrap trap);
    // On the SNMP thread itself (a MIB handler) sends the trap at once, so that a fan-out's spacing
    // reaches the wire; from any other thread it is PostTrap.
    bool SendTrap(SnmpTrap trap);
    // True on the SNMP thread itself (a MIB handler): such code must never wait.
    bool IsOnAgentThread();
    bool Post(std::function<void()> work);
    // A client request through the running agent's SNMP thread (SnmpThread::Request), waited for by the
    // calling engine thread; Stopped when no agent runs. Never from the SNMP thread itself.
    SnmpClientResult ClientRequest(const SnmpClientRequest& request, SnmpRequestCancel* cancel = nullptr);
    // A notification socket on the running agent's SNMP thread (SnmpTrapSession::Open); null with the
    // reason in error when no agent runs or the socket cannot be opened. Close it (destroy it) before the
    // loop ends. Never from the SNMP thread's own queued work.
    std::unique_ptr<SnmpTrapSession> OpenTrapSession(const std::string& address, uint16_t port,
                                                     SnmpTrapSession::Handler handler, std::string* error);

    bool IsRunFlagSet() const { return m_runFlag.load(); }
    // true while the request loop runs (from just before it is entered until the server is destroyed).
    bool IsInLoop() const { return m_inLoop.load(); }
    // The engine IP text ("" when none is configured or it is not one of this host's addresses).
    const char* ConfiguredEngineIPAddress() const { return m_engineIp; }

    // Console mode's reaction to a stop signal (runs on the control-signal thread, not in signal
    // context): prints "\n" and, while the run flag is set, "User abort\n", then RequestStop. Other
    // signals (pause, continue, the power events) are service controls and are ignored here.
    void OnControlSignal(int signal);

private:
    friend int RunAgent(AgentRun& run, int argc, char** argv, const EngineComposition& composition);

    void PublishLoop(AgentSnmp* loop);
    void WakeLoop();
    void HoldAgentPort(AgentSnmp& agent, bool hold);
    void DestroyServer(AgentSnmp& agent);
    // SIGSEGV's fault handler, and in console mode the thread that takes SIGTERM, SIGINT and SIGHUP.
    void InstallSignalHandlers();
    SnmpThread* LoopThread();

    std::atomic<bool> m_runFlag{true};
    std::atomic<bool> m_inLoop{false};
    std::atomic<bool> m_paused{false};
    // The engine IP text: written once by RunAgent before any other thread reads it.
    char m_engineIp[16] = {0};

    // The running agent's loop, for the threads that wake or pause it.
    Mutex m_loopMutex;
    AgentSnmp* m_loop = nullptr;  // guarded by m_loopMutex
    bool m_holdAgentPort = false; // guarded by m_loopMutex: the server is starting or stopping

    EngineServerSlot m_serverSlot;
    ControlSignalThread m_consoleSignals;
};

// 0 after an orderly stop; 1 when the start failed (bad argument, port in use, boots counter, no
// server), with the reason logged; 1 after the usage text; 0 after the version text.
// run: this run's state, which the caller keeps alive until RunAgent returns and every thread it
// handed the run to has ended. composition: what the program hands the run (EngineServerHooks.h);
// empty: the agent without a server.
int RunAgent(AgentRun& run, int argc, char** argv, const EngineComposition& composition = {});

// Where the configured engine address comes from: the persistence code reads the user extension
// file's engine settings block (when that file exists) or the INI file's [VG_Engine] EngineIPAddress,
// and answers the candidate text. Without a reader there is no candidate.
using EngineAddressReader = std::function<std::string(const std::string& userExtensionPath, const std::string& iniPath)>;

// The candidate is kept when it is a valid IPv4 text and one of this host's addresses; "" otherwise.
std::string ChooseEngineIPAddress(const std::string& candidate);
// Fills out (16 bytes) with the configured engine address by the rules above.
void LoadEngineIPAddress(MervaneApp* app, char* out, AppLog* log, const EngineAddressReader& reader);
