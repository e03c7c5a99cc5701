#pragma once
// One simulated UPS agent (generation 3, one device) and the real engine watching it, polling every
// 300 ms, read with net-snmp's tools (-On, numeric OIDs unless a module is named).

#include <fstream>
#include <string>
#include <vector>

#include "SimAgentProcess.h"
#include "tests/e2e/EngineProcess.h"
#include "tests/mibtables/WalkSupport.h"
#include "tests/support/Sandbox.h"
#include "tests/support/Wait.h"

namespace mibrig {

// A varbind of a tool's -On output: its OID without the leading dot and its value as -Ov prints it.
// The tools' "No Such Instance/Object" answers are no varbinds: Get() answers "ERROR " and the output.
using Varbind = mibtest::Line;

class Rig {
public:
    bool Start(const std::string& address)
    {
        vgtest::SimAgentOptions options;
        options.address = address;
        options.community = "upsring";
        if (!m_agent.Start(options))
            return false;
        std::ofstream(m_engine.Path("vgconfig.ini"))
            << "[VG_Engine]\nRemoteTrapPort=" << vgtest::FreePort(SOCK_DGRAM)
            << "\nRemoteSnmpTimeout=1\nRemoteSnmpRetries=0\n"
            << "[VG_Remote]\nServer=" << address << "\nSNMPMacAddress=" << options.mac
            << "\nSNMPVersion=2\nSNMPCommunity=" << options.community << "\nSNMPPort=" << m_agent.Port() << "\n";
        m_engine.SetEnv("VG_TEST_POLL_INTERVAL_MS", "300");
        return m_engine.Start() && vgtest::WaitUntil([&] { return Polls() >= 2; }, 20000);
    }
    // Polls of the agent that have ended, its alarm table read.
    size_t Polls()
    {
        return vgtest::Count(m_engine.LogText(), "[CRemoteAgentEntry::Poll] Polled " + m_agent.Address());
    }
    // snmpget or snmpbulkwalk over SNMPv2c with the read community, extra arguments before the OIDs;
    // numeric false prints names (LastOutput), and no varbinds are returned.
    std::vector<Varbind> Tool(const std::string& tool, const std::vector<std::string>& oids,
                              const std::vector<std::string>& extra = {}, bool numeric = true)
    {
        std::vector<std::string> argv = {tool, "-v2c", "-c", "gimbal", numeric ? "-On" : "-Os", "-t", "2", "-r", "1"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(m_engine.Peer());
        argv.insert(argv.end(), oids.begin(), oids.end());
        std::string out;
        vgtest::RunTool(argv, out, 60);
        m_lastOutput = out;
        return mibtest::Parse(out);
    }
    std::string Get(const std::string& oid)
    {
        const std::vector<Varbind> lines = Tool("snmpget", {oid});
        return lines.size() == 1 ? lines[0].value : "ERROR " + m_lastOutput;
    }
    std::vector<Varbind> Walk(const std::string& oid) { return Tool("snmpbulkwalk", {oid}); }

    e2e::EngineInstall& Engine() { return m_engine; }
    vgtest::SimAgentProcess& Agent() { return m_agent; }
    const std::string& LastOutput() const { return m_lastOutput; }

private:
    vgtest::SimAgentProcess m_agent;
    e2e::EngineInstall m_engine;
    std::string m_lastOutput;
};

} // namespace mibrig
