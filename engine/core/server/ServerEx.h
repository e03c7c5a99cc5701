#pragma once
// The server's layers over the core: CServerApp (the application layer, which only passes its start
// and stop on) and CServerEx, the host-system layer on Linux:
// - the shutdown library libvgdown.so, loaded with dlopen from the program directory, export
//   "StartShutdown"(mode, flag): (1, 1) warn the users, (2, 0) power off, (4, 0) hibernate, (8, 0) the
//   last-resort power-off;
// - the event log: syslog with the source "Vigilon Agent" as ident, texts from the "vgmsg" message table;
// - hibernation allowed: the kernel's power-state file lists "disk";
// - the engine name: the full host name;
// - commands: posix_spawn without a shell, other file types through the file-type table.
//
// Every shutdown library call, every command's start and end is one line at the error level and a
// system event (ReportHostAction).
//
// Threads: as CServer. BeginShutdown, ExecuteShutdown and ExecuteCommand run on the timer thread (a
// command's end is told on its reaper thread); the
// library handle and function pointer are set during Initialize and cleared in Shutdown, after the timer
// thread has ended. Lock/Unlock take the layer's own Mutex ("CServerExMutex#"), which no code of the
// engine holds while calling anything else.

#include <atomic>
#include <memory>
#include <string>

#include "engine/core/server/Server.h"
#include "platform/SharedLibrary.h"
#include "platform/vgdown/ShutdownApi.h"

class CServerApp : public CServer {
public:
    ~CServerApp() override = default;
    bool Initialize(int ignored, int snmpVersion, int trapPort, const std::string& community) override
    {
        return CServer::Initialize(ignored, snmpVersion, trapPort, community);
    }
    void Shutdown() override { CServer::Shutdown(); }

protected:
    explicit CServerApp(ServerOptions& options) : CServer(options) {}
};

class CServerEx : public CServerApp {
public:
    explicit CServerEx(ServerOptions& options);
    ~CServerEx() override;

    int IsHibernateAllowed() override { return m_hibernateAllowed.load(); }
    int BroadcastMessage(const std::string& text, int type, int flag) override;
    void ExecuteCommand(const std::string& command) override;
    int Lock() override;
    int Unlock() override;
    int BeginShutdown(const std::string& cause) override;
    int ExecuteShutdown(const std::string& cause) override;
    int ExecuteShutdownMode8(const std::string& cause) override;
    int ReportEvent(uint32_t deviceKey, int type, int ignored, const std::string& message, const char* context,
                    int ignored2, unsigned eventId) override;
    bool Initialize(int ignored, int snmpVersion, int trapPort, const std::string& community) override;
    void Shutdown() override;

    // Writes one event of the source "Vigilon Agent": type 1 error, 2 warning, 4 information. false
    // without a message table or when the writer fails.
    bool ReportSystemEvent(int eventType, unsigned eventId, const std::string& text);
    // What the engine did to the host (a shutdown library call, a command's start and end): one line
    // at the error level, which the default log level keeps, and an event of that type.
    void ReportHostAction(int eventType, const std::string& text);

    // The event text of ReportEvent (at most 255 characters): "<device>[ on <context>]: " for a known
    // device, then the message when it fits whole.
    static std::string FormatEventText(const std::string* deviceName, const char* context,
                                       const std::string& message);
    // How a command is started: the program and its arguments (argument 0 first). Empty program for an
    // empty command.
    static void ResolveCommand(const std::string& command, const vgplat::FileTypeTable& types,
                               std::string& program, std::vector<std::string>& argv);

private:
    // Where the reaper threads of the commands report their end: the server while it lives, else the
    // log alone. The mutex ("CServerExReportsMutex#", rank 9) is held while a start or an end is told.
    struct HostReports {
        Mutex mutex{"CServerExReportsMutex#"};
        CServerEx* server = nullptr; // guarded by mutex
    };

    bool HibernationChosen();
    void CallStartShutdown(int mode, int flag, const std::string& cause);
    bool WriteSystemEvent(int eventType, unsigned eventId, const std::string& text, bool copyToLog);
    void DetachReports();

    Mutex m_lock;
    vgplat::SharedLibrary m_shutdownLibrary;
    std::atomic<StartShutdownFunction> m_startShutdown{nullptr};
    std::atomic<int> m_hibernateAllowed{0};
    std::unique_ptr<vgplat::EventMessageTable> m_messages;
    Mutex m_messagesMutex;
    std::shared_ptr<HostReports> m_reports;
};

// Called by the service host on the system's power events.
void EnterSystemSuspension();
void ExitSystemSuspension();

// Builds the engine's server (a CServerEx) from options and makes it the process-wide one
// (CServer::InstallInstance). A second call answers the existing one and drops the options.
CServer* CreateServerInstance(ServerOptions options = {});
