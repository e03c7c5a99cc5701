#include <gtest/gtest.h>

#include "platform/NetInterfaces.h"

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
