#include "engine/agent/AgentSnmpSteps.h"

#include <cstdlib>
#include <cstring>

#include "engine/agent/AgentSetup.h"
#include "engine/agent/EngineBoots.h"
#include "engine/agent/SnmpAgent.h"
#include "engine/snmp/SnmpThread.h"
#include "engine/agent/EngineServerHooks.h"
#include "engine/agent/mib/Mib.h"
#include "engine/base/AppLog.h"
#include "engine/core/config/MervaneApp.h"

int AgentXPort()
{
    const char* text = std::getenv(kAgentXPortVariable);
    int port = 0;
    if (text == nullptr || *text == '\0')
        return kAgentXPort;
    if (std::strcmp(text, "0") == 0)
        return 0;
    if (!ParsePortValue(text, port)) {
        AppLog::Instance()->Printf(kLogWarning, "[RunAgent]: %s=%s is not a port; AgentX stays on %d",
                                   kAgentXPortVariable, text, kAgentXPort);
        return kAgentXPort;
    }
    return port;
}

AgentSnmp::AgentSnmp()
    : m_thread(std::make_unique<SnmpThread>()), m_agent(std::make_unique<SnmpAgent>(*m_thread)),
      m_mib(std::make_unique<Mib>())
{
}

AgentSnmp::~AgentSnmp() { Shutdown(); }

bool AgentSnmp::Start(const RunSettings& settings, const char* engineIp, const std::function<void(Mib&)>& buildMib)
{
    AppLog* log = AppLog::Instance();
    const AppConfig& config = MervaneApp::Instance()->Config();
    m_thread->BindToCurrentThread();
    m_agent->PrepareLibrary("vgnsa", config.DataDirectory() + "netsnmp");
    m_prepared = true;

    int status = m_agent->OpenSession(engineIp != nullptr ? engineIp : "", settings.agentPort);
    if (status != 0) {
        return Fail("Failed to initialize SNMP port " + std::to_string(settings.agentPort) + ": Error code " +
                    std::to_string(status));
    }
    log->Printf(kLogDebug, "Snmp successfully initialized.  Listenting on %s", m_agent->ListeningAddress().c_str());

    std::string bootsPath = config.ProgramDirectory() + kEngineBootsFileName;
    uint32_t boots = 0;
    status = ReadEngineBoots(bootsPath, m_agent->EngineIdHex(), boots);
    if (status < kBootsNoFile) {
        return Fail("Error loading SNMP Engine Boots counter. Status = " + std::to_string(status));
    }
    if (boots < kMaxEngineBoots)
        ++boots;
    log->Printf(kLogDebug, "SNMP Engine Boots Count = %u", boots);
    status = StoreEngineBoots(bootsPath, m_agent->EngineIdHex(), boots);
    if (status != 0) {
        return Fail("Error saving SNMP Engine Boots counter. Status = " + std::to_string(status));
    }
    m_agent->SetEngineBoots(boots);
    m_agent->EnableAgentX(AgentXPort());

    if (buildMib)
        buildMib(*m_mib);
    RegisterMibGroups(*m_agent, *m_mib);
    status = m_agent->Start();
    if (status != 0) {
        return Fail("Failed to initialize SNMP port " + std::to_string(settings.agentPort) + ": Error code " +
                    std::to_string(status));
    }
    return true;
}

bool AgentSnmp::Fail(const std::string& text)
{
    AppLog::Instance()->Printf(kLogEmergency, "%s", text.c_str());
    m_startFailure = text;
    Shutdown();
    return false;
}

void AgentSnmp::SendColdStart(int trapPort)
{
    // The notification target "defaultV1Trap" at 127.0.0.1 and the trap port, then the standard
    // coldStart to every target configured at this moment.
    m_agent->SendColdStart("127.0.0.1", trapPort, kCommunityReadOnly);
}

void AgentSnmp::Run(const std::atomic<bool>& runFlag) { m_thread->Run(runFlag); }
void AgentSnmp::RunOnce(int maxWaitMs) { m_thread->RunOnce(maxWaitMs); }

void AgentSnmp::Shutdown()
{
    if (m_shutDown || !m_prepared)
        return;
    m_shutDown = true;
    m_thread->Shutdown();
    m_mib->unregister_groups();
    m_agent->Shutdown();
}

void AgentSnmp::SetPaused(bool paused) { m_thread->SetPaused(paused); }
void AgentSnmp::Wake() { m_thread->Post([] {}); }
bool AgentSnmp::PostTrap(SnmpTrap trap) { return m_thread->PostTrap(std::move(trap)); }
bool AgentSnmp::Post(std::function<void()> work) { return m_thread->Post(std::move(work)); }
uint32_t AgentSnmp::GetSysUpTime() const { return m_agent->GetSysUpTime(); }
