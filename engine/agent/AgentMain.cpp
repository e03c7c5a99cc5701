#include "engine/agent/AgentMain.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <system_error>
#include <thread>

#include "engine/agent/AgentSnmpSteps.h"
#include "engine/agent/ControlSignals.h"
#include "engine/agent/EngineServerHooks.h"
#include "engine/agent/RunSettings.h"
#include "engine/agent/ServiceHost.h"
#include "engine/snmp/SnmpThread.h"
#include "engine/base/AppLog.h"
#include "engine/base/Helpers.h"
#include "engine/core/config/MervaneApp.h"
#include "engine/base/Mutex.h"

namespace {

// Makes one folder of the install tree (mode 0750; an existing folder is kept as it is). A fresh
// install may have neither data/ nor log/. The failure text ("" when the folder is there).
std::string MakeTreeFolder(const std::string& folder)
{
    std::string dir = folder;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    if (dir.empty() || ::mkdir(dir.c_str(), 0750) == 0 || errno == EEXIST)
        return std::string();
    return "[RunAgent]: mkdir " + dir + " failed: " + std::strerror(errno);
}

// Runs work on a helper thread while this thread, the SNMP thread, keeps turning the loop: whatever the
// server hands the SNMP thread while it starts or stops (traps, community changes, client requests)
// is done meanwhile. The caller holds the agent port, so no request reaches a server that is half
// started or half stopped.
void RunBesideTheLoop(AgentSnmp& agent, const std::function<void()>& work)
{
    auto guarded = [&work] {
        try {
            work();
        } catch (const std::exception& e) {
            AppLog::Instance()->Printf(kLogError, "[RunAgent]: server call failed: %s", e.what());
        } catch (...) {
            AppLog::Instance()->Printf(kLogError, "[RunAgent]: server call failed");
        }
    };
    std::atomic<bool> done{false};
    std::thread helper;
    try {
        helper = std::thread([&] {
            guarded();
            done = true;
            agent.Wake();
        });
    } catch (const std::system_error&) {
        guarded(); // no thread to spare: the work runs here, the loop waits
        return;
    }
    while (!done.load())
        agent.RunOnce(100);
    helper.join();
}

// Ends the console signal thread and clears the published loop when RunAgent leaves, on every path.
struct RunGuard {
    std::function<void()> atEnd;
    ~RunGuard() { atEnd(); }
};

} // namespace


AgentRun::AgentRun() : m_loopMutex("AgentLoopSlot#") {}

AgentRun::~AgentRun()
{
    m_consoleSignals.Stop(); // its handler calls into this object
}

void AgentRun::PublishLoop(AgentSnmp* loop)
{
    MutexLock lock(m_loopMutex);
    m_loop = loop;
    if (loop != nullptr)
        loop->SetPaused(m_paused.load());
}

void AgentRun::WakeLoop()
{
    MutexLock lock(m_loopMutex);
    if (m_loop != nullptr)
        m_loop->Wake();
}

// Holds the agent port closed (hold) or gives it back to the pause flag. Requests wait while the
// server starts or stops.
void AgentRun::HoldAgentPort(AgentSnmp& agent, bool hold)
{
    MutexLock lock(m_loopMutex);
    m_holdAgentPort = hold;
    agent.SetPaused(hold || m_paused.load());
    agent.Wake();
}

// The server's stop, beside the loop, with the agent port held for good.
void AgentRun::DestroyServer(AgentSnmp& agent)
{
    std::unique_ptr<EngineServer> server = m_serverSlot.Take();
    if (!server)
        return;
    HoldAgentPort(agent, true);
    RunBesideTheLoop(agent, [&server] {
        server->Destroy();
        server.reset();
    });
}

SnmpThread* AgentRun::LoopThread()
{
    MutexLock lock(m_loopMutex);
    return m_loop != nullptr ? &m_loop->Thread() : nullptr;
}

uint32_t AgentRun::SysUpTime()
{
    MutexLock lock(m_loopMutex);
    return m_loop != nullptr ? m_loop->GetSysUpTime() : 0;
}

bool AgentRun::PostTrap(SnmpTrap trap)
{
    MutexLock lock(m_loopMutex);
    return m_loop != nullptr && m_loop->PostTrap(std::move(trap));
}

bool AgentRun::SendTrap(SnmpTrap trap)
{
    MutexLock lock(m_loopMutex);
    if (m_loop == nullptr)
        return false;
    if (m_loop->Thread().IsLoopThread())
        return m_loop->Thread().SendTrap(trap) != -1;
    return m_loop->PostTrap(std::move(trap));
}

bool AgentRun::IsOnAgentThread()
{
    MutexLock lock(m_loopMutex);
    return m_loop != nullptr && m_loop->Thread().IsLoopThread();
}

bool AgentRun::Post(std::function<void()> work)
{
    MutexLock lock(m_loopMutex);
    return m_loop != nullptr && m_loop->Post(std::move(work));
}

SnmpClientResult AgentRun::ClientRequest(const SnmpClientRequest& request, SnmpRequestCancel* cancel)
{
    SnmpThread* thread = LoopThread();
    if (thread == nullptr) {
        SnmpClientResult stopped;
        stopped.status = SnmpClientStatus::Stopped;
        stopped.error = "no agent runs";
        return stopped;
    }
    // The wait runs without the slot's mutex: the loop outlives the server, whose threads are the
    // only callers, so the thread stays valid until they have ended.
    return thread->Request(request, -1, cancel);
}

std::unique_ptr<SnmpTrapSession> AgentRun::OpenTrapSession(const std::string& address, uint16_t port,
                                                           SnmpTrapSession::Handler handler, std::string* error)
{
    SnmpThread* thread = LoopThread();
    if (thread == nullptr) {
        if (error)
            *error = "no agent runs";
        return nullptr;
    }
    // As for client requests: the loop outlives the server whose manager opens and closes the session.
    return SnmpTrapSession::Open(*thread, address, port, std::move(handler), error);
}

void AgentRun::RequestStop()
{
    m_runFlag = false;
    WakeLoop();
}

void AgentRun::Stop()
{
    RequestStop();
    while (m_inLoop.load())
        WaitMilliseconds(100);
}

bool AgentRun::Pause(bool pause)
{
    // Once the engine stops, the agent port stays as it is: the server is being destroyed. The check
    // and the change are made under the loop slot's mutex, which the shutdown's own pause also takes.
    MutexLock lock(m_loopMutex);
    if (!m_runFlag.load())
        return false;
    m_paused = pause;
    if (m_loop != nullptr && !m_holdAgentPort) {
        m_loop->SetPaused(pause);
        m_loop->Wake();
    }
    return true;
}

void AgentRun::PowerEvent(bool suspend)
{
    if (!m_serverSlot.PowerEvent(suspend))
        AppLog::Instance()->Printf(kLogInfo, "[AgentPowerEvent]: %s not passed on: no server, or no change",
                                   suspend ? "suspension" : "resume");
}

std::string ChooseEngineIPAddress(const std::string& candidate)
{
    if (candidate.empty() || candidate.size() > 15 || !IsValidIpAddress(candidate.c_str()) ||
        !IsLocalIpAddress(candidate.c_str()))
        return std::string();
    return candidate;
}

void LoadEngineIPAddress(MervaneApp* app, char* out, AppLog* log, const EngineAddressReader& reader)
{
    out[0] = '\0';
    if (app == nullptr || !reader)
        return;
    std::string iniPath, userPath;
    app->GetFileName(iniPath, VG_FILE_CONFIG);
    app->GetFileName(userPath, VG_FILE_EXT_USER);
    std::string candidate = reader(userPath, iniPath);
    std::string chosen = ChooseEngineIPAddress(candidate);
    if (!candidate.empty() && chosen.empty() && log != nullptr)
        log->Printf(kLogWarning, "[LoadEngineIPAddress]: configured engine address %.15s is not used: it is not "
                                 "one of this host's addresses", candidate.c_str());
    std::snprintf(out, 16, "%s", chosen.c_str());
}

void AgentRun::OnControlSignal(int signal)
{
    if (signal != SIGINT && signal != SIGTERM && signal != SIGHUP)
        return; // pause, continue and the power events are service controls
    std::fputs("\n", stdout);
    if (m_runFlag.load())
        std::fputs("User abort\n", stdout);
    std::fflush(stdout);
    RequestStop();
}

void AgentRun::InstallSignalHandlers()
{
    InstallFaultHandler();
    if (!IsRunningAsService() && !m_consoleSignals.Start([this](int signal) { OnControlSignal(signal); }))
        AppLog::Instance()->Printf(kLogWarning, "[InstallSignalHandlers]: the control-signal thread did not start");
}

int RunAgent(AgentRun& run, int argc, char** argv, const EngineComposition& composition)
{
    const char* program = argc > 0 && argv != nullptr && argv[0] != nullptr ? argv[0] : "vgnsa";

    // 1-2. The command line.
    RunSettings settings;
    std::string invalid;
    switch (ParseRunSettings(argc, argv, settings, invalid)) {
    case ParseOutcome::kRun:
        break;
    case ParseOutcome::kInvalid:
        std::fputs(FormatInvalidArgument(program, invalid).c_str(), stdout);
        [[fallthrough]];
    case ParseOutcome::kUsage:
        std::fputs(FormatUsage(program).c_str(), stdout);
        std::fflush(stdout);
        return 1;
    case ParseOutcome::kVersion:
        std::fputs(FormatVersion().c_str(), stdout);
        std::fflush(stdout);
        return 0;
    }

    // 3. Wait for a key in console mode.
    if (settings.pause && settings.mode == kRunModeConsole) {
        std::printf("%s paused. Waiting for keypress...\n", program);
        std::fflush(stdout);
        std::getchar();
    }

    // 4-5. Logging.
    MervaneApp* app = MervaneApp::Instance();
    AppLog* log = AppLog::Instance();
    // The folders first (net-snmp's state and the data files live in data/), told once a sink exists.
    const std::string folderFailures[] = {MakeTreeFolder(app->Config().LogDirectory()),
                                          MakeTreeFolder(app->Config().DataDirectory())};
    std::string logPath;
    if (app->GetFileName(logPath, VG_FILE_LOG_APP) == 0)
        app->CreateFileLogger(logPath, settings.fileLogLevel);
    if (settings.mode == kRunModeConsole)
        app->CreateStreamLogger(settings.consoleLogLevel);
    for (const std::string& failure : folderFailures)
        if (!failure.empty())
            log->Printf(kLogError, "%s", failure.c_str());
    if (log->IsInfoEnabled()) {
        log->Printf(kLogInfo, "Application Logging Initialized");
        log->Printf(kLogInfo, settings.mode == kRunModeConsole ? "Running in Console Mode" : "Running as Windows Service");
        log->Printf(kLogInfo, "SNMP Console Version = %d", settings.snmpVersion);
        log->Printf(kLogInfo, "SNMP Listener Port = %d", settings.agentPort);
        log->Printf(kLogInfo, "SNMP Trap Port = %d", settings.trapPort);
        log->Printf(kLogInfo, "SNMP Community = %s", settings.community.c_str());
    }

    // 6-7. The SNMP library and the engine address.
    log->Printf(kLogInfo, "Starting SNMP socket subsystem");
    LoadEngineIPAddress(app, run.m_engineIp, log, composition.readEngineAddress);

    // 8-11. The agent: session on the agent port, engine boots, agent set-up.
    AgentSnmp agent;
    RunGuard guard{[&run] { // ends before the agent: the loop is unpublished first
        run.PublishLoop(nullptr);
        run.m_consoleSignals.Stop();
    }};
    run.InstallSignalHandlers();
    if (!agent.Start(settings, run.m_engineIp, composition.buildMib)) {
        // The service ends: its last status and the system log say why.
        TheServiceHost().ReportStartProblem(agent.StartFailure());
        return 1;
    }
    run.PublishLoop(&agent);

    // 12. The engine server, when its code is linked in.
    // It is created and started beside the loop (see RunBesideTheLoop), with the agent port held.
    if (const auto& factory = composition.makeServer) {
        std::unique_ptr<EngineServer> server;
        run.HoldAgentPort(agent, true);
        RunBesideTheLoop(agent, [&] {
            server = factory(run);
            if (!server)
                return;
            // The agent serves on without what did not start: the service's status and the system log
            // say so for as long as the engine runs.
            if (!server->Start(0, settings.snmpVersion, settings.trapPort, settings.community)) {
                const std::string reason = server->StartError();
                TheServiceHost().ReportStartFailure(reason.empty() ? "no reason given" : reason);
            }
            for (const std::string& problem : server->StartProblems())
                TheServiceHost().ReportStartProblem(problem);
        });
        if (!server) {
            log->Printf(kLogEmergency, "Failed to instantiate Vigilon server!");
            TheServiceHost().ReportStartProblem("Failed to instantiate Vigilon server!");
            run.PublishLoop(nullptr);
            agent.Shutdown();
            return 1;
        }
        // From here on power events reach the server, and requests too.
        run.m_serverSlot.Install(std::move(server));
        run.HoldAgentPort(agent, false);
    }

    // 13. coldStart.
    agent.SendColdStart(settings.trapPort);

    // 14. The request loop.
    run.m_inLoop = true;
    log->Printf(kLogInfo, "Entering main application loop");
    NotifyServiceRunning();
    agent.Run(run.m_runFlag);

    log->Printf(kLogInfo, "Exiting main application loop and begining application shutdown");
    run.DestroyServer(agent);
    run.m_inLoop = false;
    run.PublishLoop(nullptr);
    log->Printf(kLogInfo, "Shuting down SNMP socket subsystem");
    agent.Shutdown();
    log->Printf(kLogInfo, "Application shutdown complete");
    return 0;
}
