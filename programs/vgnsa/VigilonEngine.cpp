#include "programs/vgnsa/VigilonEngine.h"

#include <cstdlib>
#include <memory>

#include "engine/agent/AgentMain.h"
#include "engine/agent/EngineScalarGroups.h"
#include "engine/agent/DeviceTables.h"
#include "engine/agent/UpsMib.h"
#include "engine/agent/EngineTables.h"
#include "engine/agent/EngineServerHooks.h"
#include "engine/agent/MervaneSnmp.h"
#include "engine/agent/MibRowCounts.h"
#include "engine/agent/mib/Mib.h"
#include "engine/base/AppLog.h"
#include "engine/core/settings/DeviceEngineTable.h"
#include "engine/base/Helpers.h"
#include "engine/core/config/IniFile.h"
#include "engine/core/devices/Devices.h"
#include "engine/remote/RemoteAgent.h"
#include "engine/remote/RemoteSnmpClient.h"
#include "engine/remote/ServerNetScan.h"
#include "engine/core/server/Server.h"
#include "engine/core/server/ServerEx.h"

namespace {

constexpr uint32_t kEngineSettingsBlockKey = 0xA2000000u;

// Tests shorten the consoles' keep-alive period with this variable (milliseconds, 100 to 60000);
// anything else leaves the default.
constexpr const char* kConsoleKeepAliveVariable = "VG_TEST_CONSOLE_KEEPALIVE_MS";

unsigned ConsoleKeepAlivePeriodMs(unsigned fallback)
{
    const char* text = std::getenv(kConsoleKeepAliveVariable);
    if (text == nullptr || *text == '\0')
        return fallback;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (*end == '\0' && value >= 100 && value <= 60000) ? static_cast<unsigned>(value) : fallback;
}

// RunAgent's view of the process-wide CServer.
class VigilonEngineServer : public EngineServer {
public:
    int Start(int flags, int snmpVersion, int trapPort, const std::string& community) override
    {
        CServer* server = CServer::Instance();
        return server && server->Start(flags, snmpVersion, trapPort, community) ? 1 : 0;
    }
    std::string StartError() const override
    {
        CServer* server = CServer::Instance();
        return server ? server->GetStartError() : std::string();
    }
    std::vector<std::string> StartProblems() const override
    {
        CServer* server = CServer::Instance();
        return server ? server->GetStartProblems() : std::vector<std::string>();
    }
    void Destroy() override
    {
        // The managers stop while the server is still the process-wide one (its threads may still
        // ask for it); then it is deleted.
        if (CServer* server = CServer::Instance())
            server->Destroy();
        CServer::DeleteInstance();
    }
    void EnterSystemSuspension() override { ::EnterSystemSuspension(); }
    void ExitSystemSuspension() override { ::ExitSystemSuspension(); }
};

// The remote-agent manager, its client requests, its trap listener and its network scan, all on the
// agent's SNMP thread; the scan takes the retries of the remote-agent settings at the time of the run.
std::unique_ptr<IRemoteAgentManager> MakeRemoteAgents(AgentRun& run)
{
    auto agents = std::make_unique<CRemoteAgent>(MakeServerRemoteAgentHost(
        std::make_unique<FunctionSnmpClient>([&run](const SnmpClientRequest& request, SnmpRequestCancel* cancel) {
            return run.ClientRequest(request, cancel);
        }),
        [&run] { return std::string(run.ConfiguredEngineIPAddress()); }));
    agents->GetTrapListener().SetOpener([&run](const std::string& address, uint16_t port,
                                               SnmpTrapSession::Handler handler, std::string* error) {
        return run.OpenTrapSession(address, port, std::move(handler), error);
    });
    agents->SetNetScanFactory([](CRemoteAgent& manager) -> std::unique_ptr<INetScan> {
        return MakeServerNetScan(manager, MakeDiscoveryOptions(manager.GetSessionSettings().retries,
                                                               std::getenv(kDiscoveryPortsVariable)));
    });
    return agents;
}

std::unique_ptr<EngineServer> CreateVigilonServer(AgentRun& run, const VigilonEngineParts& parts)
{
    SnmpFacadeHost host;
    host.postTrap = [&run](SnmpTrap trap) { return run.SendTrap(std::move(trap)); };
    host.post = [&run](std::function<void()> work) { return run.Post(std::move(work)); };
    host.sysUpTime = [&run] { return run.SysUpTime(); };
    host.requestStop = [&run] { run.RequestStop(); };
    host.configuredEngineIp = [&run] { return std::string(run.ConfiguredEngineIPAddress()); };
    host.deviceItems = [](int count) { return ReadAllDeviceItems(EngineDeviceAccess(), count); };

    ServerOptions options;
    options.snmp = std::make_unique<CMervaneSnmp>(std::move(host), EngineMibRowCounts());
    options.makeDevices = [](IDeviceHost& deviceHost) { return std::make_unique<CDevices>(deviceHost); };
    options.remoteAgents = parts.makeRemoteAgents ? parts.makeRemoteAgents() : MakeRemoteAgents(run);
    // Every fan-out goes to the consoles' fan-out thread: no engine thread waits out the 50 ms spacing
    // (the SNMP thread goes on answering, the trap queue on applying alarm changes).
    options.consoleOptions.deferFanOut = [] { return true; };
    options.consoleOptions.keepAlivePeriodMs = ConsoleKeepAlivePeriodMs(options.consoleOptions.keepAlivePeriodMs);
    if (!CreateServerInstance(std::move(options)))
        return nullptr;
    return std::make_unique<VigilonEngineServer>();
}

void BuildEngineMib(Mib& mib)
{
    AddEngineScalarGroups(mib);
    AddEngineTableGroups(mib, EngineMibRowCounts());
    AddDeviceAndUpsGroups(mib, EngineMibRowCounts());
}

} // namespace

MibRowCounts& EngineMibRowCounts()
{
    static MibRowCounts* rows = new MibRowCounts(); // never destroyed: the MIB may outlive main's frame
    return *rows;
}

std::string ReadConfiguredEngineAddress(const std::string& userExtensionPath, const std::string& iniPath)
{
    if (FileExists(userExtensionPath.c_str())) {
        CDeviceEngineTable table;
        if (!table.ReadFileBlock(userExtensionPath, kEngineSettingsBlockKey) || !table.HasBlock())
            return std::string();
        if ((table.GetWord(EngineWord::kFlags) & kFlagEngineAddressChecked) == 0)
            return std::string();
        const uint32_t address = table.GetWord(EngineWord::kEngineIpAddress);
        return address ? IpAddressToString(address) : std::string();
    }
    std::string candidate;
    if (!FileExists(iniPath.c_str()))
        return candidate;
    CIniFile ini;
    if (!ini.Open(iniPath.c_str()) || !ini.SeekSection("[VG_Engine]"))
        return candidate;
    while (ini.ReadNextKey())
        if (ini.IsKey("EngineIPAddress") && IsValidIpAddress(ini.GetValue().c_str()))
            candidate = ini.GetValue().substr(0, 15);
    return candidate;
}

EngineComposition MakeVigilonEngine(VigilonEngineParts parts)
{
    // One SET request, one save of the user extension file, written before the answer goes out.
    Mib::SetSetObserver({[] { CUserExtension::HoldSaves(); }, [] { return CUserExtension::ReleaseSaves(); }});
    EngineComposition composition;
    composition.makeServer = [parts = std::move(parts)](AgentRun& run) { return CreateVigilonServer(run, parts); };
    composition.buildMib = BuildEngineMib;
    composition.readEngineAddress = ReadConfiguredEngineAddress;
    return composition;
}
