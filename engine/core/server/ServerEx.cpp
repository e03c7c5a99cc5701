#include "engine/core/server/ServerEx.h"

#include <algorithm>
#include <cctype>

#include "engine/base/AppLog.h"

CServer* CreateServerInstance(ServerOptions options)
{
    return CServer::InstallInstance([&options] { return std::make_unique<CServerEx>(options); });
}

CServerEx::CServerEx(ServerOptions& options)
    : CServerApp(options), m_lock("CServerExMutex#"), m_messagesMutex("CServerExMessagesMutex#"),
      m_reports(std::make_shared<HostReports>())
{
    m_reports->server = this;
}

CServerEx::~CServerEx()
{
    StopThreads();
    DetachReports();
}

void CServerEx::DetachReports()
{
    MutexLock lock(m_reports->mutex);
    m_reports->server = nullptr;
}

bool CServerEx::Initialize(int ignored, int snmpVersion, int trapPort, const std::string& community)
{
    // The system's shutdown reaches the engine as SIGTERM, which the entry point handles.
    const std::string& name = Options().shutdownLibraryName;
    if (!m_shutdownLibrary.Load(Options().libraryDirectory, name)) {
        AppLog::Instance()->Printf(kLogCritical, "Shutdown library '%s' could not be loaded.", name.c_str());
        AppLog::Instance()->Printf(kLogDebug, "[CServerEx::Initialize]: %s", m_shutdownLibrary.Error().c_str());
        SetStartError("shutdown library '" + name + "' could not be loaded: " + m_shutdownLibrary.Error());
        return false;
    }
    auto function = reinterpret_cast<StartShutdownFunction>(m_shutdownLibrary.Symbol("StartShutdown"));
    if (!function) {
        AppLog::Instance()->Printf(kLogError, "Start Shutdown function could not be found");
        m_shutdownLibrary.Close();
        SetStartError("the shutdown library '" + name + "' has no StartShutdown");
        return false;
    }
    m_startShutdown = function;

    {
        MutexLock lock(m_messagesMutex);
        m_messages = vgplat::OpenEventMessageTable(Options().messageTableName);
    }
    if (!m_messages) {
        AppLog::Instance()->Printf(kLogCritical, "Event log messages library could not be loaded");
        SetStartError("event log messages '" + Options().messageTableName + "' could not be loaded");
        return false;
    }

    m_hibernateAllowed = vgplat::IsHibernateAllowed(Options().powerStatePath) ? 1 : 0;
    SetEngineName(vgplat::GetComputerName());
    return CServerApp::Initialize(ignored, snmpVersion, trapPort, community);
}

void CServerEx::Shutdown()
{
    CServerApp::Shutdown();
    // The commands still running report their end to the log only from here on.
    DetachReports();
    {
        MutexLock lock(m_messagesMutex);
        m_messages.reset();
    }
    // The timer thread, the only caller of the library, has ended.
    m_startShutdown = nullptr;
    m_shutdownLibrary.Close();
}

int CServerEx::Lock()
{
    m_lock.Lock();
    return 1;
}

int CServerEx::Unlock()
{
    m_lock.Unlock();
    return 1;
}

int CServerEx::BroadcastMessage(const std::string& text, int type, int flag)
{
    CServerApp::BroadcastMessage(text, type, flag);
    return 1;
}

namespace {

const char* ShutdownModeName(int mode)
{
    switch (mode) {
    case kShutdownWarn:
        return "warn the users";
    case kShutdownPowerOff:
        return "power off";
    case kShutdownHibernate:
        return "hibernate";
    case kShutdownForced:
        return "forced power off";
    default:
        return "unknown mode";
    }
}

} // namespace

void CServerEx::CallStartShutdown(int mode, int flag, const std::string& cause)
{
    // Told before the call: the host may be going down when it returns.
    StartShutdownFunction function = m_startShutdown.load();
    std::string text = "Host shutdown: StartShutdown(" + std::to_string(mode) + ", " + std::to_string(flag) + ") (" +
                       ShutdownModeName(mode) + ") for " + (cause.empty() ? std::string("no alarm") : cause);
    if (!function)
        text += "; not called: no shutdown library";
    ReportHostAction(vgplat::kEventWarning, text);
    if (function)
        function(mode, flag);
}

bool CServerEx::HibernationChosen()
{
    return IsHibernateAllowed() &&
           (GetEngineConfig()->GetWord(EngineWord::kOptions) & kOptionEnableHibernation) != 0;
}

int CServerEx::BeginShutdown(const std::string& cause)
{
    if (!HibernationChosen())
        CallStartShutdown(kShutdownWarn, 1, cause);
    return 1;
}

int CServerEx::ExecuteShutdown(const std::string& cause)
{
    if (HibernationChosen()) {
        CallStartShutdown(kShutdownHibernate, 0, cause);
        return 1; // the engine runs on after the host wakes
    }
    GetDevices()->SetReactionsSuspended(true);
    GetDevices()->SetBusy(true);
    GetRemoteAgent()->SetBusy(true);
    CallStartShutdown(kShutdownPowerOff, 0, cause);
    GetSnmp()->SnmpStopAgent();
    return 1;
}

int CServerEx::ExecuteShutdownMode8(const std::string& cause)
{
    CallStartShutdown(kShutdownForced, 0, cause);
    GetSnmp()->SnmpStopAgent();
    return 1;
}

std::string CServerEx::FormatEventText(const std::string* deviceName, const char* context,
                                       const std::string& message)
{
    constexpr size_t kBuffer = 256; // with its terminator
    std::string text;
    if (deviceName) {
        text = *deviceName;
        if (context && *context) {
            text += " on ";
            text += context;
        }
        // The device name comes from the network: the prefix is cut to the buffer, never beyond it.
        if (text.size() > kBuffer - 3)
            text.resize(kBuffer - 3);
        text += ": ";
    }
    if (text.size() + message.size() + 1 <= kBuffer)
        text += message;
    return text;
}

int CServerEx::ReportEvent(uint32_t rowKey, int type, int, const std::string& message, const char* context, int,
                           unsigned eventId)
{
    // The callers pass the device's row key (the key of its device-file row).
    std::string name;
    const bool known = rowKey != 0 && GetDevices()->GetDeviceName(rowKey, name);
    const std::string text = FormatEventText(known ? &name : nullptr, context, message);
    const int eventType = type == 1 ? vgplat::kEventError : type == 2 ? vgplat::kEventWarning : vgplat::kEventInformation;
    return ReportSystemEvent(eventType, eventId == 0 ? 100 : eventId, text) ? 1 : 0;
}

bool CServerEx::ReportSystemEvent(int eventType, unsigned eventId, const std::string& text)
{
    return WriteSystemEvent(eventType, eventId, text, true);
}

bool CServerEx::WriteSystemEvent(int eventType, unsigned eventId, const std::string& text, bool copyToLog)
{
    std::string line;
    {
        MutexLock lock(m_messagesMutex);
        if (!m_messages)
            return false;
        line = m_messages->Format(eventId, text.substr(0, 511));
    }
    // The application log keeps a copy: a host without a system log still shows the engine's events.
    if (copyToLog)
        AppLog::Instance()->Printf(kLogInfo, "[CServerEx::ReportEvent]: %s", line.c_str());
    return EventWriter()->Write(kEventSourceName, static_cast<vgplat::EventLogType>(eventType), eventId, line);
}

void CServerEx::ReportHostAction(int eventType, const std::string& text)
{
    // At the error level: the default file log keeps it, whatever else it drops.
    AppLog::Instance()->Printf(kLogError, "%s", text.c_str());
    WriteSystemEvent(eventType, 100, text, false);
}

namespace {

std::string Unquoted(const std::string& text)
{
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
        return text.substr(1, text.size() - 2);
    return text;
}

bool IsDirectExtension(std::string extension)
{
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".exe" || extension == ".com" || extension == ".bat";
}

} // namespace

void CServerEx::ResolveCommand(const std::string& command, const vgplat::FileTypeTable& types, std::string& program,
                               std::vector<std::string>& argv)
{
    program.clear();
    argv.clear();
    const std::string path = Unquoted(command);
    if (path.empty())
        return;
    // The extension of the file name (a "." in a folder name is none).
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    std::string extension;
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        extension = path.substr(dot);
    const std::string opener = extension.empty() || IsDirectExtension(extension) ? std::string()
                                                                                   : types.Find(extension);
    if (opener.empty()) {
        // Started as a program itself: no extension, a program's extension, or no known opener.
        program = path;
        argv = {path};
        return;
    }
    program = opener;
    argv = {opener, path};
}

void CServerEx::ExecuteCommand(const std::string& command)
{
    std::string program;
    std::vector<std::string> argv;
    ResolveCommand(command, Options().fileTypes, program, argv);
    if (program.empty())
        return;
    std::shared_ptr<HostReports> reports = m_reports;
    // The reports' mutex is held until the start is told, so that the end of a short command (told on
    // the reaper thread) never comes before it.
    MutexLock lock(reports->mutex);
    int pid = 0;
    const int error = vgplat::SpawnDetached(program, argv, &pid, [reports, command](int child, int status) {
        const std::string text =
            "Command ended: " + command + " (pid " + std::to_string(child) + "): " + vgplat::DescribeWaitStatus(status);
        MutexLock ended(reports->mutex);
        if (reports->server)
            reports->server->ReportHostAction(vgplat::kEventInformation, text);
        else
            AppLog::Instance()->Printf(kLogError, "%s", text.c_str());
    });
    if (error != 0) {
        // No child, so no end report to come before this one.
        lock.unlock();
        ReportHostAction(vgplat::kEventError,
                         std::string("Command Execution Error: [") + vgplat::SpawnErrorName(error) + "] " + command);
        return;
    }
    ReportHostAction(vgplat::kEventInformation, "Command started: " + command + " (pid " + std::to_string(pid) + ")");
}

void EnterSystemSuspension()
{
    CServer* server = CServer::Instance();
    if (server)
        server->GetDevices()->SetReactionsSuspended(true);
    AppLog::Instance()->Printf(kLogDebug, "ENTERING SYSTEM SUSPENSION...");
}

void ExitSystemSuspension()
{
    AppLog::Instance()->Printf(kLogDebug, "EXITING SYSTEM SUSPENSION...");
    CServer* server = CServer::Instance();
    if (!server)
        return;
    server->GetDevices()->SetReactionsSuspended(false);
    server->GetRemoteAgent()->PrepareForResume();
    server->GetRemoteAgent()->SignalAllThreads();
}
