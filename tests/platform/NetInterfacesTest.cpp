#include <gtest/gtest.h>

#include "platform/NetInterfaces.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <thread>

#include "tests/support/TestHost.h"

TEST(ArpTable, OnlyCompleteSixByteNonZeroEntriesCount)
{
    const std::string table =
        "IP address       HW type     Flags       HW address            Mask     Device\n"
        "192.0.2.1        0x1         0x2         52:54:00:12:34:56     *        eth0\n"
        "192.0.2.2        0x1         0x0         52:54:00:aa:bb:cc     *        eth0\n"
        "192.0.2.3        0x1         0x2         00:00:00:00:00:00     *        eth0\n"
        "192.0.2.4        0x1         0x2         52:54:00:12:34        *        eth0\n"
        "192.0.2.40       0x1         0x2         52:54:00:00:00:40     *        eth0\n";
    vgplat::MacBytes mac{};
    ASSERT_TRUE(vgplat::ParseArpTable(table, "192.0.2.1", mac));
    EXPECT_EQ(vgplat::FormatMac(mac), "52:54:00:12:34:56");
    EXPECT_FALSE(vgplat::ParseArpTable(table, "192.0.2.2", mac)) << "incomplete";
    EXPECT_FALSE(vgplat::ParseArpTable(table, "192.0.2.3", mac)) << "all zero";
    EXPECT_FALSE(vgplat::ParseArpTable(table, "192.0.2.4", mac)) << "five bytes";
    EXPECT_FALSE(vgplat::ParseArpTable(table, "192.0.2.5", mac));
    ASSERT_TRUE(vgplat::ParseArpTable(table, "192.0.2.40", mac));
    EXPECT_EQ(vgplat::FormatMac(mac), "52:54:00:00:00:40");
}

TEST(Interfaces, LoopbackIsListedWithoutAnEthernetMac)
{
    std::vector<vgplat::InterfaceAddress> list;
    ASSERT_TRUE(vgplat::ListInterfaceAddresses(list));
    bool loopback = false;
    for (const auto& a : list)
        if (a.ipv4 == "127.0.0.1") {
            loopback = true;
            EXPECT_FALSE(a.ethernet);
        }
    EXPECT_TRUE(loopback);
}

namespace {

const char* kRouteHeading =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

} // namespace

TEST(DefaultRoute, TheUpRouteToEverywhereWithTheLowestMetric)
{
    const struct {
        const char* name;
        std::string routes;
        const char* expected; // nullptr: no default route
    } cases[] = {
        {"one default", "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
                        "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n",
         "eth0"},
        {"subnet routes only", "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n", nullptr},
        {"a default that is down", "eth0\t00000000\t010200C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n", nullptr},
        {"the lower metric wins", "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                                  "enp3s0\t00000000\t010200C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                                  "usb0\t00000000\t01012AC0\t0003\t0\t0\t700\t00000000\t0\t0\t0\n",
         "enp3s0"},
        {"destination 0 with a mask is no default", "eth1\t00000000\t00000000\t0001\t0\t0\t0\t000000FF\t0\t0\t0\n",
         nullptr},
        {"cut and garbled lines", "eth0\t00000000\n"
                                  "eth0\tzz000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n",
         nullptr},
    };
    for (const auto& c : cases) {
        std::string name = "unchanged";
        const bool found = vgplat::ParseDefaultRouteInterface(kRouteHeading + c.routes, name);
        EXPECT_EQ(found, c.expected != nullptr) << c.name;
        EXPECT_EQ(name, c.expected ? c.expected : "unchanged") << c.name;
    }
    std::string name;
    EXPECT_FALSE(vgplat::ParseDefaultRouteInterface("", name)) << "no routing table at all";
}

TEST(DefaultRoute, PrimaryAddressIsTheDefaultInterfacesElseTheFirstNotOnLoopback)
{
    auto at = [](const char* interfaceName, const char* ipv4) {
        vgplat::InterfaceAddress a;
        a.interfaceName = interfaceName;
        a.ipv4 = ipv4;
        return a;
    };
    const std::string viaEth1 =
        std::string(kRouteHeading) + "eth1\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
    const struct {
        const char* name;
        std::string routes;
        std::vector<vgplat::InterfaceAddress> interfaces;
        const char* expected; // nullptr: none
    } cases[] = {
        {"the default route's interface", viaEth1,
         {at("lo", "127.0.0.1"), at("eth0", "10.0.0.5"), at("eth1", "192.168.1.20")}, "192.168.1.20"},
        {"no default route", kRouteHeading, {at("lo", "127.0.0.1"), at("eth0", "10.0.0.5")}, "10.0.0.5"},
        {"the default interface has no IPv4 address", viaEth1, {at("lo", "127.0.0.1"), at("eth0", "10.0.0.5")},
         "10.0.0.5"},
        {"loopback only", viaEth1, {at("lo", "127.0.0.1"), at("lo", "127.0.1.1")}, nullptr},
        {"nothing", "", {}, nullptr},
    };
    for (const auto& c : cases) {
        std::string address;
        EXPECT_EQ(vgplat::ChoosePrimaryAddress(c.routes, c.interfaces, address), c.expected != nullptr) << c.name;
        EXPECT_EQ(address, c.expected ? c.expected : "") << c.name;
    }
}

// The kernel's source address for a peer; nothing is sent to it.
TEST(SourceAddress, TheKernelsChoiceOrTheReasonThereIsNone)
{
    std::vector<vgplat::InterfaceAddress> interfaces;
    ASSERT_TRUE(vgplat::ListInterfaceAddresses(interfaces));
    std::string ownAddress;
    for (const auto& a : interfaces)
        if (a.ipv4.rfind("127.", 0) != 0)
            ownAddress = a.ipv4;

    const struct {
        std::string peer;
        const char* expected;   // nullptr: no address
        const char* errorCall;  // the call named in the error
    } cases[] = {
        {"127.0.0.2", "127.0.0.1", nullptr},
        {"not-an-address", nullptr, "inet_pton"},
        {"", nullptr, "inet_pton"},
        // A broadcast is no peer: the socket would need SO_BROADCAST.
        {"255.255.255.255", nullptr, "connect"},
    };
    for (const auto& c : cases) {
        std::string source = "unchanged", error;
        const bool found = vgplat::SourceAddressFor(c.peer, 161, source, &error);
        EXPECT_EQ(found, c.expected != nullptr) << c.peer;
        EXPECT_EQ(source, c.expected ? c.expected : "unchanged") << c.peer;
        if (c.errorCall) {
            EXPECT_EQ(error.rfind(std::string(c.errorCall) + ": ", 0), 0u) << c.peer << ": " << error;
        }
    }
    if (!ownAddress.empty()) {
        std::string source;
        ASSERT_TRUE(vgplat::SourceAddressFor(ownAddress, 161, source));
        EXPECT_EQ(source, ownAddress) << "a local address is reached from itself";
    }
}

// In a host whose only network is the test host's /30, a peer beyond it has no route.
TEST(SourceAddress, NoRouteToThePeerIsNamed)
{
    vgtest::TestHost testHost;
    if (!testHost.SkipReason().empty())
        GTEST_SKIP() << testHost.SkipReason();
    ASSERT_TRUE(testHost.Available()) << testHost.Error();
    bool joined = false, beyond = true, peer = false;
    std::string error, source;
    // setns moves only the calling thread.
    std::thread([&] {
        const int fd = ::open(("/var/run/netns/" + testHost.Namespace()).c_str(), O_RDONLY | O_CLOEXEC);
        joined = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0)
            ::close(fd);
        if (!joined)
            return;
        beyond = vgplat::SourceAddressFor("198.18.78.1", 161, source, &error);
        peer = vgplat::SourceAddressFor(testHost.LocalAddress(), 161, source);
    }).join();
    ASSERT_TRUE(joined);
    EXPECT_FALSE(beyond);
    EXPECT_EQ(error, "connect: Network is unreachable");
    EXPECT_TRUE(peer);
    EXPECT_EQ(source, testHost.PeerAddress());
}
