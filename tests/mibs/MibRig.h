#pragma once
// One simulated UPS agent (generation 3, one device) and the real engine watching it, polling every
// 300 ms, read with net-snmp's tools (-On, numeric OIDs unless a module is named).

#include <fstream>
#include <string>
#include <vector>

#include "SimAgentProcess.h"
#include "tests/e2e/EngineProcess.h"
#include "tests/support/Wait.h"

namespace mibrig {

struct Varbind {
    std::string oid;   // numeric, without the leading dot
    std::string value; // as -Ov prints it, with its type ("INTEGER: 5", "No Such Instance ...")
};

// The "OID = value" lines of a tool's -On output, endOfMibView left out.
inline std::vector<Varbind> Varbinds(const std::string& out)
{
    std::vector<Varbind> lines;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos)
            end = out.size();
        const std::string text = out.substr(start, end - start);
        start = end + 1;
        const size_t eq = text.find(" = ");
        if (text.empty() || text[0] != '.' || eq == std::string::npos ||
            text.find("No more variables left", eq) != std::string::npos)
            continue;
        lines.push_back({text.substr(1, eq - 1), text.substr(eq + 3)});
    }
    return lines;
}

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
        const std::string log = m_engine.LogText();
        const std::string line = "[CRemoteAgentEntry::Poll] Polled " + m_agent.Address();
        size_t count = 0;
        for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
            ++count;
        return count;
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
        return Varbinds(out);
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
