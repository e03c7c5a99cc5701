// The engine program with a recording stand-in for the engine server: every call the engine makes
// into its server is appended as one line to the file named by VG_FAKE_SERVER_RECORD, and the
// server's stop sends one trap (enterprise 1.3.6.1.4.1.64950, specific 42) to the trap port it was
// started with, as a real server announces its stop to its consoles.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

#include "engine/agent/AgentMain.h"
#include "engine/agent/EngineProgram.h"
#include "engine/agent/EngineServerHooks.h"

namespace {

void Record(const std::string& line)
{
    const char* path = std::getenv("VG_FAKE_SERVER_RECORD");
    if (path == nullptr)
        return;
    if (FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

class RecordingServer : public EngineServer {
public:
    explicit RecordingServer(AgentRun& run) : m_run(run) {}
    int Start(int flags, int snmpVersion, int trapPort, const std::string& community) override
    {
        m_trapPort = trapPort;
        // A start that needs the SNMP thread (as a community change does) and waits for it.
        auto ran = std::make_shared<std::atomic<bool>>(false);
        bool posted = m_run.Post([ran] { *ran = true; });
        for (int i = 0; i < 200 && !ran->load(); ++i)
            ::usleep(10 * 1000);
        Record("start " + std::to_string(flags) + " " + std::to_string(snmpVersion) + " " + std::to_string(trapPort) +
               " " + community + " inloop=" + std::to_string(m_run.IsInLoop()) + " loop=" +
               std::to_string(posted && ran->load()));
        return 1;
    }
    void Destroy() override
    {
        SnmpTrap trap;
        trap.version = 0;
        trap.peer = "127.0.0.1";
        trap.port = static_cast<uint16_t>(m_trapPort);
        trap.community = "gimbal";
        trap.enterprise = MakeOid("1.3.6.1.4.1.64950");
        trap.generic = 6;
        trap.specific = 42;
        bool posted = m_run.PostTrap(trap);
        ::usleep(300 * 1000); // a stop that takes a while; the agent keeps turning meanwhile
        Record("destroy posted=" + std::to_string(posted) + " inloop=" + std::to_string(m_run.IsInLoop()));
    }
    void EnterSystemSuspension() override { Record("enter"); }
    void ExitSystemSuspension() override { Record("exit"); }

private:
    AgentRun& m_run;
    int m_trapPort = 0;
};

std::unique_ptr<EngineServer> CreateRecordingServer(AgentRun& run)
{
    Record("create");
    if (std::getenv("VG_FAKE_SERVER_FAIL") != nullptr)
        return nullptr;
    return std::make_unique<RecordingServer>(run);
}

} // namespace

int main(int argc, char** argv)
{
    EngineComposition composition;
    composition.makeServer = CreateRecordingServer;
    return EngineProgramMain(argc, argv, composition);
}
