// The address the engine gives a UPS card on the network for its traps. The card sits in a test host
// of the test's own (a network namespace behind a veth pair), the engine in this host under a host
// name that resolves to a loopback address, as Debian's installer (127.0.1.1) and many images
// (127.0.0.1) set it up. The card must be told this host's address on the pair, and its alarm trap sent
// there must raise the alarm on the engine.

#include <gtest/gtest.h>

#include <fstream>

#include "SimAgentProcess.h"
#include "platform/NetInterfaces.h"
#include "tests/e2e/EngineProcess.h"
#include "tests/support/TestHost.h"

using namespace e2e;

namespace {

using vgtest::WaitUntil;

// The engine in a UTS and mount namespace of its own, with the host name "vgtesthost" that the
// private hosts file maps to loopback.
std::vector<std::string> UnderHostName(const std::string& hostsFile)
{
    return {"unshare", "--uts", "--mount", "--", "sh", "-c",
            "mount --bind \"$0\" /etc/hosts && hostname vgtesthost && exec \"$@\"", hostsFile};
}

// The event row of device 1's event 1 ("On Battery").
std::string EventCell(int column)
{
    return E("10.2.3.2.1." + std::to_string(column) + ".1.1");
}

TEST(RemoteAddressE2E, CardOnTheNetworkIsToldTheAddressThatReachesThisHost)
{
    vgtest::TestHost testHost;
    if (!testHost.SkipReason().empty())
        GTEST_SKIP() << testHost.SkipReason();
    ASSERT_TRUE(testHost.Available()) << testHost.Error();
    std::string output;
    if (vgtest::RunTool({"unshare", "--uts", "--mount", "true"}, output) != 0)
        GTEST_SKIP() << "unshare --uts --mount is not available: " << output;

    const struct {
        std::string loopback;  // what the host name resolves to
        int generation;
        std::string registration;  // the agent's SET that carries the receiver address, then the address
        std::string portSet;       // the SET whose value ends with the receiver port (| 0x10000 or not)
    } cases[] = {
        {"127.0.1.1", 3, "set 1.3.6.1.4.1.64950.10.1.13.9.0 ", "set 1.3.6.1.4.1.64950.10.1.13.9.0 "},
        {"127.0.0.1", 2, "set 1.3.6.1.4.1.64950.14.2.2.1.3.1 ", "set 1.3.6.1.4.1.64950.14.2.2.1.6.1 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("host name on " + c.loopback + ", generation " + std::to_string(c.generation));
        vgtest::SimAgentOptions options;
        options.address = testHost.PeerAddress();
        options.generation = c.generation;
        options.community = "upsring";
        options.mac = "02:00:00:00:00:4d";
        options.launcher = testHost.Launcher();
        vgtest::SimAgentProcess agent;
        ASSERT_TRUE(agent.Start(options));

        EngineInstall engine;
        const int remoteTrapPort = vgtest::FreePort(SOCK_DGRAM);
        std::ofstream(engine.Path("vgconfig.ini"))
            << "[VG_Engine]\nRemoteTrapPort=" << remoteTrapPort << "\nRemoteSnmpTimeout=1\nRemoteSnmpRetries=0\n"
            << "[VG_Remote]\nServer=" << agent.Address() << "\nSNMPMacAddress=" << options.mac
            << "\nSNMPVersion=2\nSNMPCommunity=" << options.community << "\nSNMPPort=" << agent.Port()
            << "\nSNMPTrapPort=162\n";
        const std::string hosts = engine.Path("hosts");
        std::ofstream(hosts) << "127.0.0.1 localhost\n" << c.loopback << " vgtesthost\n";
        std::vector<std::string> resolve = UnderHostName(hosts);
        resolve.insert(resolve.end(), {"sh", "-c", "getent ahostsv4 $(hostname)"});
        ASSERT_EQ(vgtest::RunTool(resolve, output), 0) << output;
        ASSERT_EQ(output.rfind(c.loopback + " ", 0), 0u) << "the engine's host name resolves to " << output;

        engine.SetLauncher(UnderHostName(hosts));
        ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();

        // The registration names this host's end of the pair, never a loopback address.
        const std::string line = agent.WaitFor(c.registration, 20000);
        ASSERT_FALSE(line.empty()) << engine.LogText();
        const std::string told = line.substr(c.registration.size());
        const std::string address = told.substr(0, told.find(':'));
        EXPECT_EQ(address, testHost.LocalAddress()) << line;
        const std::string portLine = agent.WaitFor(c.portSet, 5000);
        ASSERT_FALSE(portLine.empty());
        const int port = std::stoi(portLine.substr(portLine.find_last_of(" :") + 1)) & 0xFFFF;
        EXPECT_EQ(port, remoteTrapPort) << portLine;

        // The engine's own address (and its MAC) is one of this host's interfaces, not loopback.
        std::vector<vgplat::InterfaceAddress> interfaces;
        ASSERT_TRUE(vgplat::ListInterfaceAddresses(interfaces));
        const std::string own = engine.Get(E("10.1.2.1.0"));
        ASSERT_EQ(own.rfind("IpAddress: ", 0), 0u) << own;
        const std::string ownAddress = own.substr(11);
        EXPECT_NE(ownAddress.rfind("127.", 0), 0u) << ownAddress;
        bool local = false;
        for (const vgplat::InterfaceAddress& a : interfaces)
            if (a.ipv4 == ownAddress) {
                local = true;
                if (a.ethernet && a.hasMac) {
                    EXPECT_EQ(engine.Get(E("10.1.2.6.0")), "STRING: \"" + vgplat::FormatMac(a.mac) + "\"");
                }
            }
        EXPECT_TRUE(local) << ownAddress << " is no address of this host";

        // The card sends its alarm trap where it was told to; the engine raises the alarm.
        ASSERT_TRUE(WaitUntil([&] { return engine.Get(EventCell(4)) == "STRING: \"On Battery\""; }, 20000))
            << engine.LogText();
        EXPECT_NE(engine.Get(EventCell(6)), "INTEGER: 1");
        const std::string trap = "trap " + address + ":" + std::to_string(port) + " " +
                                 options.community + " " + E("100.2.0.3") + " " + E("100.1.1.0") + " i 12 " +
                                 E("100.1.2.0") + " s x " + E("100.1.3.0") + " s On%20Battery " + E("100.1.4.0") +
                                 " i 1 " + E("10.1.2.6.0") + " s $MAC " + E("100.1.6.0") + " i 0 " + E("100.1.7.0") +
                                 " i 1";
        ASSERT_TRUE(agent.Send(trap));
        EXPECT_TRUE(WaitUntil([&] { return engine.Get(EventCell(6)) == "INTEGER: 1"; }, 10000)) << engine.LogText();
        engine.Stop();
    }
}

} // namespace
