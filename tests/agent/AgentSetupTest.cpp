// The agent's set-up: communities and their refusals, the run-time community swap, the SNMPv3 users,
// the standard groups, AgentX with a real sub-agent, and the boots counter across starts.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include <fstream>
#include <sstream>

#include "engine/agent/AgentSetup.h"
#include "engine/agent/EngineBoots.h"
#include "support/AgentHost.h"
#include "support/TestSupport.h"
#include "tests/support/TrapDaemon.h"

namespace {

using vgtest::Enterprise;

// 0 when the tool succeeded; its output in out.
int V2(const std::string& tool, const std::string& version, const std::string& community,
       std::vector<std::string> args, std::string& out)
{
    auto& host = vgtest::AgentHost::Get();
    std::vector<std::string> argv = {tool, "-v" + version, "-c", community, "-On", "-t", "1", "-r", "0", host.Peer()};
    argv.insert(argv.end(), args.begin(), args.end());
    return vgtest::RunTool(argv, out);
}

bool CanRead(const std::string& community, const std::string& version = "2c")
{
    std::string out;
    return V2("snmpget", version, community, {Enterprise("99.2.0")}, out) == 0 &&
           out.find("\"hello\"") != std::string::npos;
}

bool CanWrite(const std::string& community, const std::string& version = "2c")
{
    std::string out;
    return V2("snmpset", version, community, {Enterprise("99.1.0"), "i", "3"}, out) == 0 &&
           out.find("INTEGER: 3") != std::string::npos;
}

class AgentSetup : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(vgtest::AgentHost::Get().Result().status, 0); }
    int Swap(const std::string& name) { return SetAgentCommunityOnLoop(vgtest::AgentHost::Get().Thread(), name); }
};

TEST_F(AgentSetup, DefaultCommunitiesAndRefusals)
{
    struct Case {
        const char* community;
        const char* version;
        bool read;
        bool write;
    } cases[] = {
        {"gimbal", "2c", true, false},   {"gimbal", "1", true, false},    {"wendolmar", "2c", true, true},
        {"wendolmar", "1", true, true},  {"zastrove", "2c", true, true},  {"zastrove", "1", true, true},
        {"public", "2c", false, false},  {"Gimbal", "2c", false, false},  {"gimba", "1", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CanRead(c.community, c.version), c.read) << c.community << " v" << c.version;
        EXPECT_EQ(CanWrite(c.community, c.version), c.write) << c.community << " v" << c.version;
    }
}

TEST_F(AgentSetup, SetAgentCommunitySwapsAndRestores)
{
    const std::string defaults[] = {"gimbal", "wendolmar", "zastrove"};
    ASSERT_EQ(Swap("firstConfigured"), 1);
    EXPECT_TRUE(CanRead("firstConfigured"));
    EXPECT_TRUE(CanWrite("firstConfigured", "1"));
    for (const std::string& c : defaults)
        EXPECT_FALSE(CanRead(c)) << c;
    EXPECT_EQ(vgtest::AgentHost::Get().Thread().IsAcceptingWork(), true);

    // A second name leaves only the second; one longer than a VACM security name works too.
    const std::string longName(100, 'k');
    ASSERT_EQ(Swap(longName), 1);
    EXPECT_FALSE(CanRead("firstConfigured"));
    EXPECT_TRUE(CanWrite(longName));

    // 128 characters or more: refused, nothing changes.
    EXPECT_EQ(Swap(std::string(128, 'x')), 0);
    EXPECT_TRUE(CanRead(longName));

    // Empty: the three defaults are back with their rights, the configured one is refused.
    ASSERT_EQ(Swap(""), 1);
    EXPECT_FALSE(CanRead(longName));
    EXPECT_TRUE(CanRead("gimbal"));
    EXPECT_FALSE(CanWrite("gimbal"));
    EXPECT_TRUE(CanWrite("wendolmar"));
    EXPECT_TRUE(CanWrite("zastrove"));
}

TEST_F(AgentSetup, EachSnmpV3User)
{
    auto& host = vgtest::AgentHost::Get();
    struct Case {
        std::vector<std::string> security;
        bool works;
    } cases[] = {
        {{"-u", "unsecureUser", "-l", "noAuthNoPriv"}, true},
        {{"-u", "MD5", "-l", "authNoPriv", "-a", "MD5", "-A", "GravelOrchidTundraX"}, true},
        {{"-u", "SHA", "-l", "authNoPriv", "-a", "SHA", "-A", "CobaltFernQuiverMap"}, true},
        {{"-u", "MD5DES", "-l", "authPriv", "-a", "MD5", "-A", "DuneSparrowKettleMinor", "-x", "DES", "-X",
          "BristleHarborMangoVeil"},
         true},
        {{"-u", "SHADES", "-l", "authPriv", "-a", "SHA", "-A", "HazelRiverPocketStones", "-x", "DES", "-X",
          "FlintMeadowCopperLarks"},
         true},
        // Wrong passwords, wrong protocol, unknown and left-out users.
        {{"-u", "MD5", "-l", "authNoPriv", "-a", "MD5", "-A", "WrongPassword123"}, false},
        {{"-u", "SHA", "-l", "authNoPriv", "-a", "MD5", "-A", "CobaltFernQuiverMap"}, false},
        {{"-u", "SHADES", "-l", "authPriv", "-a", "SHA", "-A", "HazelRiverPocketStones", "-x", "DES", "-X",
          "WrongPrivacyPass"},
         false},
        {{"-u", "MD5IDEA", "-l", "authNoPriv", "-a", "MD5", "-A", "LagoonPepperWillowCrane"}, false},
        {{"-u", "nobody", "-l", "noAuthNoPriv"}, false},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {"snmpget", "-v3", "-On", "-t", "1", "-r", "0"};
        argv.insert(argv.end(), c.security.begin(), c.security.end());
        argv.push_back(host.Peer());
        argv.push_back("1.3.6.1.2.1.1.1.0");
        std::string out;
        int rc = vgtest::RunTool(argv, out);
        bool works = rc == 0 && out.find("Vigilon v12.04.0059") != std::string::npos;
        EXPECT_EQ(works, c.works) << c.security[1] << ": " << out;
    }
}

TEST_F(AgentSetup, IdeaUsersAreLeftOutWithAWarning)
{
    vgtest::AgentHost::Get();
    EXPECT_TRUE(vgtest::Log().Contains("SNMPv3 user \"MD5IDEA\" left out: IDEA privacy is not available"));
    EXPECT_TRUE(vgtest::Log().Contains("SNMPv3 user \"SHAIDEA\" left out: IDEA privacy is not available"));
}

TEST_F(AgentSetup, StandardGroupsAreServed)
{
    struct Case {
        const char* tool;
        const char* oid;
        const char* expected;  // in the output
    } cases[] = {
        {"snmpget", "1.3.6.1.2.1.1.2.0", "OID: .1.3.6.1.4.1.64950"},         // sysObjectID
        {"snmpget", "1.3.6.1.2.1.1.7.0", "INTEGER: 72"},                     // sysServices
        {"snmpgetnext", "1.3.6.1.2.1.1.9", ".1.3.6.1.2.1.1.9.1."},          // sysORTable
        {"snmpget", "1.3.6.1.2.1.11.1.0", "Counter32"},                      // snmpInPkts
        {"snmpget", "1.3.6.1.6.3.1.1.6.1.0", "INTEGER"},                     // snmpSetSerialNo
        {"snmpget", "1.3.6.1.6.3.12.1.1.0", "INTEGER"},                      // snmpTargetSpinLock
        {"snmpget", "1.3.6.1.6.3.12.1.2.1.9.1.120", "No Such Instance"},     // snmpTargetAddrTable
        {"snmpget", "1.3.6.1.6.3.13.1.1.1.5.1.120", "No Such Instance"},     // snmpNotifyTable
        {"snmpget", "1.3.6.1.6.3.13.1.3.1.3.1.120.2.1.3", "No Such Instance"}, // snmpNotifyFilterTable
        {"snmpget", "1.3.6.1.6.3.13.1.2.1.1.1.120", "No Such Instance"},     // snmpNotifyFilterProfileTable
        {"snmpget", "1.3.6.1.2.1.92.1.1.1.0", "Gauge32"},                    // nlmConfigGlobalEntryLimit
        {"snmpgetnext", "1.3.6.1.6.3.15.1.2.2", ".1.3.6.1.6.3.15.1.2.2.1."}, // usmUserTable
        {"snmpget", "1.3.6.1.6.3.15.1.1.3.0", "Counter32"},                  // usmStatsUnknownUserNames
        {"snmpget", "1.3.6.1.6.3.10.2.1.1.0", "Hex-STRING: 80 00 1F 88 04"}, // snmpEngineID (text format)
        {"snmpget", "1.3.6.1.6.3.11.2.1.1.0", "Counter32"},                  // snmpUnknownSecurityModels
        {"snmpgetnext", "1.3.6.1.6.3.16.1.2", ".1.3.6.1.6.3.16.1.2.1."},    // vacmSecurityToGroupTable
        {"snmpgetnext", "1.3.6.1.6.3.16.1.4", ".1.3.6.1.6.3.16.1.4.1."},    // vacmAccessTable
        {"snmpgetnext", "1.3.6.1.6.3.16.1.5.2", ".1.3.6.1.6.3.16.1.5.2.1."}, // vacmViewTreeFamilyTable
        {"snmpgetnext", "1.3.6.1.6.3.16.1.1", ".1.3.6.1.6.3.16.1.1.1."},    // vacmContextTable
    };
    for (const Case& c : cases) {
        std::string out;
        V2(c.tool, "2c", "gimbal", {c.oid}, out);
        EXPECT_NE(out.find(c.expected), std::string::npos) << c.oid << ": " << out;
    }
}

TEST_F(AgentSetup, AgentXSubAgentSubtreeIsServed)
{
    auto& host = vgtest::AgentHost::Get();
    ASSERT_TRUE(host.Result().agentx);
    vgtest::TempDir dir;
    std::string conf = dir.Path() + "/sub.conf";
    std::ofstream(conf) << "# AgentX sub-agent of the test\n";
    std::string socket = "tcp:127.0.0.1:" + std::to_string(host.AgentXPort());
    vgtest::Child sub;
    ASSERT_TRUE(sub.Start({"snmpd", "-f", "-Lo", "-C", "-c", conf, "-X", "-x", socket, "-I", "versioninfo",
                           "-p", dir.Path() + "/snmpd.pid"},
                          dir.Path() + "/sub.log", {{"SNMP_PERSISTENT_DIR", dir.Path()}, {"MIBS", ""}}));
    // versionTag of UCD-SNMP-MIB, served by the sub-agent through our master.
    bool served = false;
    std::string out;
    for (int i = 0; i < 100 && !served; ++i) {
        V2("snmpget", "2c", "gimbal", {"1.3.6.1.4.1.2021.100.2.0"}, out);
        served = out.find(".1.3.6.1.4.1.2021.100.2.0 = STRING:") != std::string::npos;
        if (!served)
            usleep(100000);
    }
    EXPECT_TRUE(served) << out;
    // Our own objects are still ours.
    EXPECT_TRUE(CanRead("gimbal"));
    sub.Stop();
    std::string log;
    std::ifstream in(dir.Path() + "/sub.log");
    std::stringstream buffer;
    buffer << in.rdbuf();
    EXPECT_NE(buffer.str().find("NET-SNMP version"), std::string::npos) << buffer.str();
}

// A fresh agent process in a folder; READY line parsed.
struct StartedAgent {
    vgtest::Child child;
    int status = -1;
    unsigned boots = 0;
    int agentx = -1;
    std::string log;
};

bool StartAgent(StartedAgent& agent, const std::string& dir, int port, int agentxPort)
{
    agent.log = dir + "/agent." + std::to_string(getpid()) + "." + std::to_string(rand()) + ".log";
    if (!agent.child.Start({VG_TEST_AGENT, dir, std::to_string(port), std::to_string(agentxPort)}, agent.log))
        return false;
    for (int i = 0; i < 200; ++i) {
        std::ifstream in(agent.log);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("READY ", 0) == 0) {
                std::istringstream fields(line.substr(6));
                fields >> agent.status >> agent.boots >> agent.agentx;
                return true;
            }
        }
        usleep(25000);
    }
    return false;
}

std::string Get(int port, const std::string& oid)
{
    std::string out;
    vgtest::RunTool({"snmpget", "-v2c", "-c", "gimbal", "-On", "-t", "1", "-r", "1",
                     "udp:127.0.0.1:" + std::to_string(port), oid},
                    out);
    return out;
}

TEST_F(AgentSetup, BootsCountAcrossStartsWithAStableEngineId)
{
    vgtest::TempDir dir;
    int port = vgtest::FreePort(SOCK_DGRAM);
    std::string engineIds[2];
    for (unsigned run = 1; run <= 2; ++run) {
        StartedAgent agent;
        ASSERT_TRUE(StartAgent(agent, dir.Path(), port, 0));
        ASSERT_EQ(agent.status, 0);
        EXPECT_EQ(agent.boots, run);
        std::string boots = Get(port, "1.3.6.1.6.3.10.2.1.2.0");
        EXPECT_NE(boots.find("INTEGER: " + std::to_string(run)), std::string::npos) << boots;
        engineIds[run - 1] = Get(port, "1.3.6.1.6.3.10.2.1.1.0");
        // An SNMPv3 user works with the new boots value.
        std::string out;
        vgtest::RunTool({"snmpget", "-v3", "-u", "SHA", "-l", "authNoPriv", "-a", "SHA", "-A", "CobaltFernQuiverMap",
                         "-On", "-t", "1", "-r", "1", "udp:127.0.0.1:" + std::to_string(port), "1.3.6.1.2.1.1.1.0"},
                        out);
        EXPECT_NE(out.find("Vigilon"), std::string::npos) << out;
        agent.child.Stop();
    }
    EXPECT_EQ(engineIds[0], engineIds[1]);
    EXPECT_NE(engineIds[0].find("Hex-STRING"), std::string::npos) << engineIds[0];
    std::string content;
    std::ifstream in(dir.Path() + "/" + kEngineBootsFileName);
    std::getline(in, content);
    EXPECT_NE(content.find(" 2"), std::string::npos) << content;
    // Nothing else was written beside the boots file but the library's private folder.
    EXPECT_FALSE(std::ifstream(dir.Path() + "/snmpstate/vgtestagent.conf").good());
}

TEST_F(AgentSetup, ReadsNoConfigurationAndWritesNoState)
{
    vgtest::TempDir dir;
    vgtest::TempDir confDir;
    // Configuration the library would read if it read any: a community and a persistent folder.
    std::ofstream(confDir.Path() + "/vgtestagent.conf") << "rocommunity fromconfig\nsyslocation FromConfig\n";
    std::ofstream(confDir.Path() + "/snmp.conf") << "persistentDir " << confDir.Path() << "/persist\n";
    setenv("SNMPCONFPATH", confDir.Path().c_str(), 1);
    int port = vgtest::FreePort(SOCK_DGRAM);
    StartedAgent agent;
    bool started = StartAgent(agent, dir.Path(), port, 0);
    unsetenv("SNMPCONFPATH");
    ASSERT_TRUE(started);
    ASSERT_EQ(agent.status, 0);
    std::string out;
    vgtest::RunTool({"snmpget", "-v2c", "-c", "fromconfig", "-t", "1", "-r", "0",
                     "udp:127.0.0.1:" + std::to_string(port), "1.3.6.1.2.1.1.1.0"},
                    out);
    EXPECT_EQ(out.find("Vigilon"), std::string::npos) << out;
    EXPECT_NE(Get(port, "1.3.6.1.2.1.1.1.0").find("Vigilon"), std::string::npos);
    std::string location = Get(port, "1.3.6.1.2.1.1.6.0");
    EXPECT_NE(location.find("1.3.6.1.2.1.1.6.0 = STRING"), std::string::npos) << location;
    EXPECT_EQ(location.find("FromConfig"), std::string::npos) << location;
    agent.child.Stop();
    // No state was saved, neither in our folders nor in the system's.
    EXPECT_FALSE(std::filesystem::exists(confDir.Path() + "/persist"));
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/snmpstate/vgtestagent.conf"));
    EXPECT_FALSE(std::filesystem::exists("/var/lib/snmp/vgtestagent.conf"));
}

TEST_F(AgentSetup, BusyAgentXPortLeavesTheAgentRunningWithoutAgentX)
{
    vgtest::TempDir dir;
    int busy = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(busy, reinterpret_cast<struct sockaddr*>(&sin), sizeof sin), 0);
    ASSERT_EQ(listen(busy, 1), 0);
    socklen_t length = sizeof sin;
    getsockname(busy, reinterpret_cast<struct sockaddr*>(&sin), &length);
    int port = vgtest::FreePort(SOCK_DGRAM);
    StartedAgent agent;
    ASSERT_TRUE(StartAgent(agent, dir.Path(), port, ntohs(sin.sin_port)));
    EXPECT_EQ(agent.status, 0);
    EXPECT_EQ(agent.agentx, 0);
    EXPECT_NE(Get(port, Enterprise("99.2.0")).find("hello"), std::string::npos);
    EXPECT_TRUE(agent.child.Running());
    agent.child.Stop();
    close(busy);
    std::ifstream in(agent.log);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("cannot be bound"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("running without AgentX"), std::string::npos) << text.str();
}

TEST_F(AgentSetup, BusyAgentPortFailsTheStart)
{
    vgtest::TempDir dir;
    int busy = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(busy, reinterpret_cast<struct sockaddr*>(&sin), sizeof sin), 0);
    socklen_t length = sizeof sin;
    getsockname(busy, reinterpret_cast<struct sockaddr*>(&sin), &length);
    StartedAgent agent;
    ASSERT_TRUE(StartAgent(agent, dir.Path(), ntohs(sin.sin_port), 0));
    EXPECT_EQ(agent.status, EADDRINUSE);
    // The boots counter is not touched when the port cannot be opened.
    EXPECT_FALSE(std::ifstream(dir.Path() + "/" + kEngineBootsFileName).good());
    agent.child.Stop();
    close(busy);
}

}  // namespace

namespace {

// Our own sockets (local address and port) from /proc, by the inodes of our file descriptors.
struct OwnSocket {
    std::string protocol;
    std::string local;  // hex "0100007F:0E40"
    int state = 0;
};

std::vector<OwnSocket> OwnSockets()
{
    std::set<std::string> inodes;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
        if (target.rfind("socket:[", 0) == 0)
            inodes.insert(target.substr(8, target.size() - 9));
    }
    std::vector<OwnSocket> sockets;
    for (const char* protocol : {"tcp", "udp", "tcp6", "udp6"}) {
        std::ifstream in(std::string("/proc/net/") + protocol);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmit, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmit >> uid >> timeout >> inode;
            if (inodes.count(inode))
                sockets.push_back({protocol, local, std::stoi(state, nullptr, 16)});
        }
    }
    return sockets;
}

std::string HexPort(int port)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", port);
    return buf;
}

TEST_F(AgentSetup, OpensOnlyItsOwnLoopbackPorts)
{
    auto& host = vgtest::AgentHost::Get();
    bool agentPort = false, agentxPort = false;
    for (const OwnSocket& s : OwnSockets()) {
        std::string port = s.local.substr(s.local.find(':') + 1);
        // Never SNMP's well-known ports, SMUX or AgentX's default.
        for (int wellKnown : {161, 162, 199, 705})
            EXPECT_NE(port, HexPort(wellKnown)) << s.protocol << " " << s.local;
        if (s.protocol == "udp" && port == HexPort(host.Port())) {
            agentPort = true;
            EXPECT_EQ(s.local, "0100007F:" + HexPort(host.Port()));
        }
        if (s.protocol == "tcp" && s.state == 0x0A) {  // listening
            EXPECT_EQ(s.local, "0100007F:" + HexPort(host.AgentXPort())) << "only AgentX listens, on 127.0.0.1";
            agentxPort = true;
        }
    }
    EXPECT_TRUE(agentPort);
    EXPECT_TRUE(agentxPort);
}

extern "C" int hosts_ctl(char*, char*, char*, char*);

TEST_F(AgentSetup, HostsAllowAndDenyAreNotConsulted)
{
    // net-snmp's calls of hosts_ctl reach our allow-all one, not the tcp-wrappers library.
    void* resolved = dlsym(RTLD_DEFAULT, "hosts_ctl");
    EXPECT_EQ(resolved, reinterpret_cast<void*>(&hosts_ctl));
    EXPECT_EQ(hosts_ctl(nullptr, nullptr, nullptr, nullptr), 1);
}

TEST_F(AgentSetup, PostedCommunitySwapsRunInOrder)
{
    auto& host = vgtest::AgentHost::Get();
    EXPECT_EQ(PostAgentCommunity(host.Thread(), std::string(200, 'z')), 0);
    EXPECT_EQ(PostAgentCommunity(host.Thread(), "postedOne"), 1);
    EXPECT_EQ(PostAgentCommunity(host.Thread(), "postedTwo"), 1);
    std::string current;
    ASSERT_TRUE(host.Thread().Call([&] { current = CurrentAgentCommunity(); }, 5000));
    EXPECT_EQ(current, "postedTwo");
    EXPECT_TRUE(CanWrite("postedTwo"));
    EXPECT_FALSE(CanRead("postedOne"));
    EXPECT_EQ(PostAgentCommunity(host.Thread(), ""), 1);
    EXPECT_TRUE(CanRead("gimbal"));
}

TEST_F(AgentSetup, ColdStartReachesItsDestination)
{
    auto& host = vgtest::AgentHost::Get();
    int port = vgtest::FreePort(SOCK_DGRAM);
    vgtest::TrapDaemon trapd;
    ASSERT_TRUE(trapd.Start(port, "TRAP %N %w %q %P|%v\n"));
    SnmpAgent* agent = host.Result().agent;
    ASSERT_TRUE(host.Thread().Call([&] { agent->SendColdStart("127.0.0.1", port, "gimbal"); }, 5000));
    trapd.WaitFor("TRAP");
    trapd.Stop();
    const std::string text = trapd.Log();
    // An SNMPv1 coldStart (generic 0) with the community gimbal.
    EXPECT_NE(text.find("TRAP .1.3.6.1.4.1.64950 0 0 TRAP, SNMP v1, community gimbal|"), std::string::npos) << text;
}

}  // namespace
