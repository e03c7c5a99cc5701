#pragma once
// The service host: runs the engine under the service manager (systemd, Type=notify).
//
// The engine is in service mode when it is started without a console option and the service manager
// named its notification socket (NOTIFY_SOCKET). The host runs the engine's run function on a worker
// thread, reports every state change to the manager and turns the manager's controls into engine
// calls. Status reports go out with sd_notify: "STATUS=<state> (state N, checkpoint C)" for every
// report, READY=1 once the engine serves requests, STOPPING=1 from the stop on, EXTEND_TIMEOUT_USEC for
// the wait hint of pending states and ERRNO=<code> when a start failed.
//
// A part of the engine that did not start while the engine serves on (the engine server, the UPS trap
// port) is a start problem: it goes to the system log as an error at once, and its text leads every
// STATUS= line from then on ("STATUS=Server start failed: <reason>; running (state 4, checkpoint 0)"),
// so that no later report hides it.
//
// State codes: 1 stopped, 2 start pending, 3 stop pending, 4 running, 5 continue pending,
// 6 pause pending, 7 paused. Sequences: start pending -> running (the engine has entered its request
// loop) -> pause pending -> paused -> continue pending -> running -> stop pending -> stopped. A start
// that fails before the request loop is reported as stopped with the engine's exit code, never as
// running.
//
// Controls arrive as signals (see ControlSignals.h): stop SIGTERM (and SIGINT), pause SIGUSR1, continue
// SIGUSR2, interrogate SIGHUP, suspend SIGRTMIN+1, resume SIGRTMIN+2.
//
// Threads: ServiceMain runs on the thread that started the service (it blocks until the engine has
// ended); ControlHandler runs on the control-signal thread, one control at a time; AgentRunning runs on
// the engine's worker thread; ReportStartProblem on the thread that starts the server (the system log
// is written before the host's mutex is taken). The status record, its checkpoint counter and the start
// problems are guarded by the host's mutex, which is held while a report is sent (sending is one
// datagram) and never while a callback runs. The callbacks (stop, pause, power) are called without the host's mutex held.

#include <atomic>
#include <cstdarg>
#include <functional>
#include <string>
#include <vector>

#include "engine/base/Mutex.h"
#include "platform/EventLog.h"

constexpr const char* kServiceName = "Vigilon Agent";

enum ServiceState : int {
    kServiceNotStarted = 0,
    kServiceStopped = 1,
    kServiceStartPending = 2,
    kServiceStopPending = 3,
    kServiceRunning = 4,
    kServiceContinuePending = 5,
    kServicePausePending = 6,
    kServicePaused = 7,
};

enum ServiceControl : int {
    kControlStop = 1,
    kControlPause = 2,
    kControlContinue = 3,
    kControlInterrogate = 4,
    kControlPowerEvent = 13,
};

enum PowerEventType : int {
    kPowerQuerySuspend = 0,
    kPowerQuerySuspendFailed = 2,
    kPowerSuspend = 4,
    kPowerResumeCritical = 6,
    kPowerResumeSuspend = 7,
    kPowerResumeAutomatic = 18,
};

constexpr int kServiceTypeOwnOrShared = 0x30;
constexpr int kControlsAccepted = 0x43; // stop, pause and continue, power events
constexpr int kServiceWaitHintMs = 7000;
constexpr int kServiceSpecificExitCode = 1066;

struct ServiceStatus {
    int serviceType = kServiceTypeOwnOrShared;
    int currentState = kServiceNotStarted;
    int controlsAccepted = 0;
    int win32ExitCode = 0;
    int serviceSpecificExitCode = 0;
    int checkPoint = 0;
    int waitHint = 0;
    // The start problems, "; "-separated; empty when there are none.
    std::string problems;
};

const char* ServiceStateName(int state);

// Where status reports go.
class ServiceStatusSink {
public:
    virtual ~ServiceStatusSink() = default;
    // true when the report was delivered.
    virtual bool SendStatus(const ServiceStatus& status) = 0;
};

// The sd_notify message of one report (newline-separated assignments).
std::string FormatNotifyMessage(const ServiceStatus& status);

// Sends each report with sd_notify to the socket named by NOTIFY_SOCKET.
class NotifyStatusSink : public ServiceStatusSink {
public:
    bool SendStatus(const ServiceStatus& status) override;
};

class ServiceHost {
public:
    using RunFunction = std::function<int(int argc, char** argv)>;

    // events: where start problems are written (the system log); null: nowhere. Neither is owned.
    explicit ServiceHost(ServiceStatusSink* sink, vgplat::EventLogWriter* events = nullptr)
        : m_mutex("ServiceHostStatus#"), m_sink(sink), m_events(events)
    {
    }

    // Set before ServiceMain; not changed while the service runs.
    void SetStopCallback(std::function<void()> callback) { m_stopCallback = std::move(callback); }
    // Called with true to pause the request loop, false to let it go on; answers whether it was done.
    void SetPauseCallback(std::function<bool(bool pause)> callback) { m_pauseCallback = std::move(callback); }
    // Called with true when the system suspends, false when it resumes (once each, see the flag).
    void SetPowerCallback(std::function<void(bool suspend)> callback) { m_powerCallback = std::move(callback); }

    void SetRunningAsService(bool running) { m_runningAsService = running; }
    bool IsRunningAsService() const { return m_runningAsService.load(); }

    // Reports start pending, runs run(args) on a worker thread, waits for it and reports stopped with
    // its result as the exit code. Answers the run function's result (-1 when the worker could not be
    // started).
    int ServiceMain(const std::vector<std::string>& args, const RunFunction& run);

    // The engine has entered its request loop: start pending becomes running. Any other state is kept.
    void AgentRunning();

    // Answers 0 for every control (see ServiceHost.cpp for each control).
    int ControlHandler(int control, int eventType);

    // Fills and sends the status record; 0 (nothing sent) when not running as a service.
    int ReportServiceStatus(int state, int exitCode, int waitHint);

    // A start problem (see above): written to the system log as an error of the service's name and
    // kept for every later report; while running or paused the current state is sent again with it at
    // once (a pending state's next report carries it). Answers whether a status report went out.
    bool ReportStartProblem(const std::string& text);
    // The engine server did not start (the agent serves on): the start problem "Server start failed:
    // <reason>".
    bool ReportStartFailure(const std::string& reason);

    bool IsSuspended() const { return m_suspended.load(); }

private:
    // Expects m_mutex held.
    int ReportLocked(int state, int exitCode, int waitHint);
    // Reports state when the current state is one of from; answers whether it did.
    bool ReportFrom(std::initializer_list<int> from, int state);

    mutable Mutex m_mutex;
    ServiceStatusSink* m_sink;
    vgplat::EventLogWriter* m_events;
    ServiceStatus m_status;
    std::string m_problems; // guarded by m_mutex
    int m_checkPoint = 1;
    std::atomic<bool> m_runningAsService{false};
    std::atomic<bool> m_suspended{false};
    std::function<void()> m_stopCallback;
    std::function<bool(bool)> m_pauseCallback;
    std::function<void(bool)> m_powerCallback;
};

// The process's one host, with the sd_notify sink and the syslog writer.
ServiceHost& TheServiceHost();

bool IsRunningAsService();
void SetServiceStopCallback(std::function<void()> callback);
void SetServicePauseCallback(std::function<bool(bool pause)> callback);
void SetServicePowerCallback(std::function<void(bool suspend)> callback);
// Tells the host that the engine serves requests; nothing when not running as a service.
void NotifyServiceRunning();

// Runs the engine as a service when the service manager started it (NOTIFY_SOCKET set): builds the
// service's arguments (the parameters file, else argv), starts the control-signal thread, runs
// ServiceMain and answers 1; serviceExitCode receives the engine's result. Without a service manager it
// logs "Couldn't start service - Vigilon Agent" (also on standard output) and answers 0. The control
// signals must be blocked in every thread (BlockControlSignals) before this is called.
int StartAgentService(int argc, char** argv, ServiceHost::RunFunction run, int* serviceExitCode);

// Writes a host message (at most 511 characters) to the system journal with the service name as
// identifier; when not running as a service the message also goes to standard output. eventType 1 is
// an error (the only type the host uses).
void LogServiceEvent(int eventType, const char* format, ...) __attribute__((format(printf, 2, 3)));
