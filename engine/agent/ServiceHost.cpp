#include "engine/agent/ServiceHost.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>

#include "engine/agent/ControlSignals.h"
#include "engine/agent/ServiceParameters.h"
#include "engine/base/AppLog.h"
#include "engine/core/config/MervaneApp.h"
#include "platform/OsThread.h"

const char* ServiceStateName(int state)
{
    switch (state) {
    case kServiceStopped:
        return "stopped";
    case kServiceStartPending:
        return "start pending";
    case kServiceStopPending:
        return "stop pending";
    case kServiceRunning:
        return "running";
    case kServiceContinuePending:
        return "continue pending";
    case kServicePausePending:
        return "pause pending";
    case kServicePaused:
        return "paused";
    default:
        return "not started";
    }
}

std::string FormatNotifyMessage(const ServiceStatus& status)
{
    std::string message = "STATUS=";
    if (!status.problems.empty())
        message += status.problems + "; ";
    message += ServiceStateName(status.currentState);
    message += " (state " + std::to_string(status.currentState) + ", checkpoint " +
               std::to_string(status.checkPoint) + ")";
    switch (status.currentState) {
    case kServiceRunning:
        message += "\nREADY=1";
        break;
    case kServiceStopPending:
    case kServiceStopped:
        message += "\nSTOPPING=1";
        break;
    default:
        break;
    }
    bool pending = status.currentState == kServiceStartPending || status.currentState == kServiceStopPending ||
                   status.currentState == kServicePausePending || status.currentState == kServiceContinuePending;
    if (pending && status.waitHint > 0)
        message += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<long long>(status.waitHint) * 1000);
    if (status.currentState == kServiceStopped && status.serviceSpecificExitCode != 0)
        message += "\nERRNO=" + std::to_string(status.serviceSpecificExitCode);
    return message;
}

bool NotifyStatusSink::SendStatus(const ServiceStatus& status)
{
    return sd_notify(0, FormatNotifyMessage(status).c_str()) > 0;
}

bool ServiceHost::ReportStartProblem(const std::string& problem)
{
    if (problem.empty())
        return false;
    // One line: the status goes out as newline-separated assignments.
    std::string text = problem;
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    // The system log first: it is there whether or not a service manager listens.
    if (m_events && !m_events->Write(kServiceName, vgplat::kEventError, 100, text))
        AppLog::Instance()->Printf(kLogError, "[ServiceHost]: the system log did not take: %s", text.c_str());
    MutexLock lock(m_mutex);
    m_problems += (m_problems.empty() ? "" : "; ") + text;
    m_status.problems = m_problems;
    // A pending state's next report is near and carries it; a settled state is told again at once.
    const int state = m_status.currentState;
    if (!IsRunningAsService() || m_sink == nullptr || (state != kServiceRunning && state != kServicePaused))
        return false;
    return m_sink->SendStatus(m_status);
}

bool ServiceHost::ReportStartFailure(const std::string& reason)
{
    return ReportStartProblem("Server start failed: " + reason);
}

int ServiceHost::ReportServiceStatus(int state, int exitCode, int waitHint)
{
    MutexLock lock(m_mutex);
    return ReportLocked(state, exitCode, waitHint);
}

int ServiceHost::ReportLocked(int state, int exitCode, int waitHint)
{
    if (!IsRunningAsService())
        return 0;
    m_status = ServiceStatus{};
    m_status.problems = m_problems;
    m_status.currentState = state;
    m_status.waitHint = waitHint;
    if (exitCode != 0) {
        m_status.win32ExitCode = kServiceSpecificExitCode;
        m_status.serviceSpecificExitCode = exitCode;
    }
    if (state == kServiceRunning || state == kServiceStopped) {
        m_status.checkPoint = 0;
        m_checkPoint = 1;
        m_status.controlsAccepted = kControlsAccepted;
    } else {
        m_status.checkPoint = m_checkPoint++;
        m_status.controlsAccepted = state == kServiceStartPending ? 0 : kControlsAccepted;
    }
    return m_sink != nullptr && m_sink->SendStatus(m_status) ? 1 : 0;
}

bool ServiceHost::ReportFrom(std::initializer_list<int> from, int state)
{
    MutexLock lock(m_mutex);
    for (int s : from)
        if (m_status.currentState == s) {
            ReportLocked(state, 0, kServiceWaitHintMs);
            return true;
        }
    return false;
}

void ServiceHost::AgentRunning()
{
    ReportFrom({kServiceStartPending}, kServiceRunning);
}

int ServiceHost::ServiceMain(const std::vector<std::string>& args, const RunFunction& run)
{
    // Own copies of the arguments for the worker, as a NULL-ended vector.
    std::vector<std::string> copies = args;
    std::vector<char*> argv;
    for (auto& a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    ReportServiceStatus(kServiceStartPending, 0, kServiceWaitHintMs);

    int result = -1;
    vgplat::OsThread worker;
    bool started = worker.Start([&] {
        try {
            result = run(static_cast<int>(copies.size()), argv.data());
        } catch (const std::exception& e) {
            AppLog::Instance()->Printf(kLogEmergency, "[ServiceMain]: the engine ended with an exception: %s",
                                       e.what());
            result = 1;
        } catch (...) {
            AppLog::Instance()->Printf(kLogEmergency, "[ServiceMain]: the engine ended with an exception");
            result = 1;
        }
    });
    if (!started) {
        LogServiceEvent(1, "Couldn't start worker thread");
        ReportServiceStatus(kServiceStopped, 1, kServiceWaitHintMs);
        return -1;
    }
    worker.Join(-1);
    ReportServiceStatus(kServiceStopped, result, kServiceWaitHintMs);
    return result;
}

int ServiceHost::ControlHandler(int control, int eventType)
{
    switch (control) {
    case kControlStop: {
        if (IsRunningAsService()) {
            // A stop is taken in every state from start pending on, also while paused: the request loop
            // keeps checking the run flag while it does not answer requests.
            if (!ReportFrom({kServiceStartPending, kServiceRunning, kServicePausePending, kServicePaused,
                             kServiceContinuePending},
                            kServiceStopPending))
                return 0; // not started yet, already stopping or stopped
        }
        if (m_stopCallback)
            m_stopCallback();
        else
            AppLog::Instance()->Printf(kLogError, "[ServiceControlHandler]: no stop callback; stop ignored");
        break;
    }
    case kControlPause:
        if (ReportFrom({kServiceRunning}, kServicePausePending)) {
            if (m_pauseCallback && m_pauseCallback(true))
                ReportFrom({kServicePausePending}, kServicePaused);
        }
        break;
    case kControlContinue:
        if (ReportFrom({kServicePaused}, kServiceContinuePending)) {
            if (m_pauseCallback && m_pauseCallback(false))
                ReportFrom({kServiceContinuePending}, kServiceRunning);
        }
        break;
    case kControlInterrogate: {
        MutexLock lock(m_mutex);
        if (IsRunningAsService() && m_sink != nullptr && m_status.currentState != kServiceNotStarted)
            m_sink->SendStatus(m_status);
        break;
    }
    case kControlPowerEvent:
        switch (eventType) {
        case kPowerQuerySuspend:
        case kPowerSuspend:
            if (!m_suspended.exchange(true) && m_powerCallback)
                m_powerCallback(true);
            break;
        case kPowerQuerySuspendFailed:
        case kPowerResumeCritical:
        case kPowerResumeSuspend:
            if (m_suspended.exchange(false) && m_powerCallback)
                m_powerCallback(false);
            break;
        default:
            break; // also the automatic resume: the engine waits for the resume notice
        }
        break;
    default:
        break;
    }
    return 0;
}

ServiceHost& TheServiceHost()
{
    static NotifyStatusSink sink;
    static std::unique_ptr<vgplat::EventLogWriter> events = vgplat::MakeSyslogEventWriter();
    static ServiceHost host(&sink, events.get());
    return host;
}

bool IsRunningAsService() { return TheServiceHost().IsRunningAsService(); }
void SetServiceStopCallback(std::function<void()> callback) { TheServiceHost().SetStopCallback(std::move(callback)); }
void SetServicePauseCallback(std::function<bool(bool)> callback)
{
    TheServiceHost().SetPauseCallback(std::move(callback));
}
void SetServicePowerCallback(std::function<void(bool)> callback)
{
    TheServiceHost().SetPowerCallback(std::move(callback));
}

void NotifyServiceRunning()
{
    if (IsRunningAsService())
        TheServiceHost().AgentRunning();
}

namespace {

// Which control a signal is.
void DispatchControlSignal(ServiceHost& host, int signal)
{
    if (signal == SIGTERM || signal == SIGINT)
        host.ControlHandler(kControlStop, 0);
    else if (signal == PauseSignal())
        host.ControlHandler(kControlPause, 0);
    else if (signal == ContinueSignal())
        host.ControlHandler(kControlContinue, 0);
    else if (signal == InterrogateSignal())
        host.ControlHandler(kControlInterrogate, 0);
    else if (signal == SuspendSignal())
        host.ControlHandler(kControlPowerEvent, kPowerSuspend);
    else if (signal == ResumeSignal())
        host.ControlHandler(kControlPowerEvent, kPowerResumeSuspend);
}

} // namespace

int StartAgentService(int argc, char** argv, ServiceHost::RunFunction run, int* serviceExitCode)
{
    ServiceHost& host = TheServiceHost();
    host.SetRunningAsService(true);
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || *socket == '\0') {
        host.SetRunningAsService(false);
        LogServiceEvent(1, "Couldn't start service - %s", kServiceName);
        return 0;
    }

    std::vector<std::string> managerArgs;
    for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i)
        managerArgs.emplace_back(argv[i]);
    std::vector<std::string> args =
        BuildServiceArguments(managerArgs, ServiceParametersPath(MervaneApp::Instance()->Config().InstallDirectory()));

    ControlSignalThread controls;
    if (!controls.Start([&host](int signal) { DispatchControlSignal(host, signal); })) {
        LogServiceEvent(1, "RegisterServiceCtrlHandlerEx failed");
        host.ReportServiceStatus(kServiceStopped, 1, kServiceWaitHintMs);
        if (serviceExitCode != nullptr)
            *serviceExitCode = 1;
        return 1;
    }
    int result = host.ServiceMain(args, run);
    controls.Stop();
    if (serviceExitCode != nullptr)
        *serviceExitCode = result < 0 ? 1 : result;
    return 1;
}

void LogServiceEvent(int eventType, const char* format, ...)
{
    char message[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (n < 0)
        return;
    int priority = eventType == 1 ? 3 /* err */ : 6 /* info */;
    sd_journal_send("MESSAGE=%s", message, "PRIORITY=%d", priority, "SYSLOG_IDENTIFIER=%s", kServiceName,
                    "VIGILON_EVENT_ID=100", nullptr);
    if (!IsRunningAsService()) {
        std::fputs(message, stdout);
        std::fputs("\n", stdout);
        std::fflush(stdout);
    }
}
