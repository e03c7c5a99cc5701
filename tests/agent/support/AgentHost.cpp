#include "AgentHost.h"

#include <sys/socket.h>

#include <cstdlib>

#include "TestSupport.h"
#include "engine/agent/AgentSetup.h"
#include "engine/agent/EngineBoots.h"

namespace vgtest {

void RunEmbeddedAgent(SnmpThread& thread, const AgentOptions& options, const std::atomic<bool>& run,
                      const std::function<void(const AgentStartResult&)>& ready)
{
    AgentStartResult result;
    SnmpAgent agent(thread);
    Mib mib;
    agent.PrepareLibrary("vgtestagent", options.directory + "/snmpstate");
    result.status = agent.OpenSession("127.0.0.1", options.port);
    if (result.status == 0) {
        std::string bootsPath = options.directory + "/" + kEngineBootsFileName;
        uint32_t boots = 0;
        result.bootsReadStatus = ReadEngineBoots(bootsPath, agent.EngineIdHex(), boots);
        if (result.bootsReadStatus < kBootsNoFile) {
            result.status = -100;
        } else {
            boots = NextEngineBoots(boots);
            result.boots = boots;
            if (StoreEngineBoots(bootsPath, agent.EngineIdHex(), boots) != 0)
                result.status = -101;
            agent.SetEngineBoots(boots);
        }
    }
    if (result.status == 0) {
        result.agentx = agent.EnableAgentX(options.agentxPort);
        AddTestMib(mib);
        RegisterMibGroups(agent, mib);
        result.status = agent.Start();
    }
    result.agent = &agent;
    ready(result);
    if (result.status == 0) {
        thread.Run(run);
    }
    thread.Shutdown();
    mib.unregister_groups();
    agent.Shutdown();
}

AgentHost& AgentHost::Get()
{
    static AgentHost* host = new AgentHost();
    return *host;
}

AgentHost::AgentHost()
{
    Log();
    char pattern[] = "/tmp/vgagent-host-XXXXXX";
    char* p = mkdtemp(pattern);
    m_directory = p ? p : "/tmp";
    m_port = FreePort(SOCK_DGRAM);
    m_agentxPort = FreePort(SOCK_STREAM);
    AgentOptions options;
    options.directory = m_directory;
    options.port = m_port;
    options.agentxPort = m_agentxPort;
    std::promise<AgentStartResult> started;
    std::future<AgentStartResult> future = started.get_future();
    m_loop = std::thread([this, options, &started]() {
        RunEmbeddedAgent(m_thread, options, m_run, [&started](const AgentStartResult& r) { started.set_value(r); });
    });
    m_result = future.get();
    std::atexit([] { AgentHost::Get().Stop(); });
}

void AgentHost::Stop()
{
    m_run.store(false);
    m_thread.Wake();
    if (m_loop.joinable())
        m_loop.join();
}

}  // namespace vgtest
