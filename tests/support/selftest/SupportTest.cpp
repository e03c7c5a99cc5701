// The shared test helpers: what the other suites rely on when they wait, decode traps, pick ports and
// run programs.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <thread>

#include "tests/support/Ports.h"
#include "tests/support/Process.h"
#include "tests/support/Sandbox.h"
#include "tests/support/Threads.h"
#include "tests/support/TrapReceiver.h"
#include "tests/support/TrapSender.h"
#include "tests/support/Wait.h"

using namespace vgtest;

namespace {

// snmptrap (net-snmp's own encoder) to the receiver; the tool's exit code.
int SendTrap(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {"snmptrap", "-m", ""};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    return RunTool(argv, out, 10);
}

} // namespace

TEST(TrapReceiverTest, DecodesV1TrapsAndV2NotificationsWithTheirVarbinds)
{
    TrapReceiver receiver("127.0.0.2");
    ASSERT_GT(receiver.Port(), 0);
    const std::string to = "127.0.0.2:" + std::to_string(receiver.Port());
    ASSERT_EQ(SendTrap({"-v1", "-c", "wendolmar", to, "1.3.6.1.4.1.64950", "127.0.0.9", "6", "1001", "55",
                                  "1.3.6.1.4.1.64950.10.4.2.1.0", "i", "-7", "1.3.6.1.4.1.64950.10.1.2.6.0", "s",
                                  "00.11", "1.3.6.1.4.1.64950.1.1", "a", "10.2.3.4", "1.3.6.1.4.1.64950.1.2", "c",
                                  "4000000000"}),
              0);
    ASSERT_EQ(SendTrap({"-v2c", "-c", "public", to, "77", "1.3.6.1.4.1.64950.15.0.1002",
                                  "1.3.6.1.4.1.64950.1.3", "o", "1.3.6.1.4.1.64950.9"}),
              0);
    ASSERT_TRUE(receiver.WaitFor(2));
    const auto traps = receiver.Traps();

    const DecodedTrap& v1 = traps[0];
    ASSERT_TRUE(v1.ok);
    EXPECT_EQ(v1.version, 0);
    EXPECT_EQ(v1.pduType, 0xA4);
    EXPECT_EQ(v1.community, "wendolmar");
    EXPECT_EQ(v1.enterprise, "1.3.6.1.4.1.64950");
    EXPECT_EQ(v1.agentAddress, "127.0.0.9");
    EXPECT_EQ(v1.generic, 6);
    EXPECT_EQ(v1.specific, 1001);
    ASSERT_EQ(v1.varbinds.size(), 4u);
    EXPECT_EQ(v1.varbinds[0].oid, "1.3.6.1.4.1.64950.10.4.2.1.0");
    EXPECT_EQ(v1.varbinds[0].type, 0x02);
    EXPECT_EQ(v1.varbinds[0].integer, -7);
    EXPECT_EQ(v1.varbinds[1].type, 0x04);
    EXPECT_EQ(v1.varbinds[1].text, "00.11");
    EXPECT_EQ(v1.varbinds[2].type, 0x40);
    EXPECT_EQ(v1.varbinds[2].text, "10.2.3.4");
    EXPECT_EQ(v1.varbinds[3].type, 0x41);
    EXPECT_EQ(v1.varbinds[3].integer, 4000000000);

    const DecodedTrap& v2 = traps[1];
    ASSERT_TRUE(v2.ok);
    EXPECT_EQ(v2.version, 1);
    EXPECT_EQ(v2.pduType, 0xA7);
    EXPECT_EQ(v2.community, "public");
    ASSERT_EQ(v2.varbinds.size(), 3u); // sysUpTime.0, snmpTrapOID.0, then the trap's own
    EXPECT_EQ(v2.varbinds[0].oid, "1.3.6.1.2.1.1.3.0");
    EXPECT_EQ(v2.varbinds[0].integer, 77);
    EXPECT_EQ(v2.varbinds[1].text, "1.3.6.1.4.1.64950.15.0.1002");
    EXPECT_EQ(v2.varbinds[2].type, 0x06);
    EXPECT_EQ(v2.varbinds[2].text, "1.3.6.1.4.1.64950.9");
    EXPECT_LE(v1.received, v2.received);
}

TEST(TrapReceiverTest, GarbageIsKeptAsNotOkAndSyncFollowsEverythingSentBefore)
{
    TrapReceiver receiver;
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(receiver.Port()));
    const char garbage[] = "\x30\x82\xff\xff not a message";
    for (int i = 0; i < 20; ++i)
        ASSERT_GT(::sendto(fd, garbage, sizeof garbage, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ::close(fd);
    // No wait for a count: the marker comes after the twenty, so they are all in once Sync answers.
    ASSERT_TRUE(receiver.Sync());
    ASSERT_EQ(receiver.Count(), 20u);
    EXPECT_FALSE(receiver.Traps()[0].ok);
    EXPECT_TRUE(receiver.Next(0).has_value());
    receiver.Clear();
    EXPECT_FALSE(receiver.Next(0).has_value());
}

TEST(RawTrapSenderTest, ItsTrapsDecodeAsSentFromTheChosenAddress)
{
    TrapReceiver receiver("127.0.0.1");
    vgtest::RawTrapSender sender("127.0.0.77");
    ASSERT_TRUE(sender.Ok());
    const std::string text(200, 'x');  // a varbind past 127 bytes: long lengths
    ASSERT_TRUE(sender.Send(receiver.Port(),
                            vgtest::BuildV2cTrap("upsring", "1.3.6.1.4.1.64950.100.2.0.3",
                                                 {{"1.3.6.1.4.1.64950.100.1.1.0", 'i', "300"},
                                                  {"1.3.6.1.4.1.64950.100.1.2.0", 's', text},
                                                  {"1.3.6.1.4.1.64950.100.1.3.0", 'i', "-129"}})));
    ASSERT_TRUE(receiver.WaitFor(1));
    const auto t = receiver.Traps()[0];
    ASSERT_TRUE(t.ok);
    EXPECT_EQ(t.version, 1);
    EXPECT_EQ(t.community, "upsring");
    EXPECT_EQ(t.pduType, 0xA7);
    ASSERT_EQ(t.varbinds.size(), 5u);
    EXPECT_EQ(t.varbinds[1].text, "1.3.6.1.4.1.64950.100.2.0.3");
    EXPECT_EQ(t.varbinds[2].integer, 300);
    EXPECT_EQ(t.varbinds[3].text, text);
    EXPECT_EQ(t.varbinds[4].integer, -129);
}

TEST(PortsTest, FreePortsAreBelowTheClientRangeAndBusyPortsRefuseASecondBind)
{
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
        SCOPED_TRACE(type);
        const int port = FreePort(type);
        ASSERT_GE(port, 10000);
        EXPECT_LT(port, 32768);
        BusyPort held(type, port);
        ASSERT_EQ(held.Port(), port);
        BusyPort second(type, port);
        EXPECT_FALSE(second.Held());
        BusyPort chosen(type);
        EXPECT_GT(chosen.Port(), 0);
    }
    const int both = FreeUdpTcpPort();
    BusyPort udp(SOCK_DGRAM, both, "0.0.0.0");
    BusyPort tcp(SOCK_STREAM, both, "0.0.0.0");
    EXPECT_TRUE(udp.Held());
    EXPECT_TRUE(tcp.Held());
}

TEST(ProcessTest, ToolsAndChildrenReportHowTheyEnded)
{
    std::string out;
    EXPECT_EQ(RunTool({"sh", "-c", "echo out; echo err >&2; exit 3"}, out), 3);
    EXPECT_EQ(out, "out\nerr\n");
    EXPECT_EQ(RunTool({"no-such-program-anywhere"}, out), -1);
    const auto from = std::chrono::steady_clock::now();
    EXPECT_EQ(RunTool({"sleep", "30"}, out, 1), -1) << "killed at the limit";
    EXPECT_LT(std::chrono::steady_clock::now() - from, std::chrono::seconds(10));

    Sandbox box("vgsupport");
    Process quick("sh", {"-c", "echo $VG_SUPPORT_TEST_VALUE; exit 5"}, {{"VG_SUPPORT_TEST_VALUE", "seen"}},
                  box.Path("quick.out"));
    EXPECT_EQ(quick.Wait(10000), 5);
    EXPECT_EQ(quick.Output(), "seen\n");

    Process slow("sleep", {"30"}, {}, box.Path("slow.out"));
    EXPECT_TRUE(slow.Running());
    const int status = slow.Stop();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);

    Child child;
    EXPECT_EQ(child.Stop(), -1);
    ASSERT_TRUE(child.Start({"sleep", "30"}, box.Path("child.out")));
    EXPECT_TRUE(child.Running());
    child.Stop();
    EXPECT_FALSE(child.Running());
}

TEST(SandboxFolder, IsRemovedWithItsFilesAtTheEnd)
{
    std::string dir;
    {
        Sandbox box("vgsupport");
        dir = box.Dir();
        box.MakeDirs({"bin", "data/deep"});
        const std::string path = box.Write("data/deep/file", "one\ntwo\n");
        EXPECT_EQ(ReadAll(path), "one\ntwo\n");
        EXPECT_EQ(ReadLines(path), (std::vector<std::string>{"one", "two"}));
        EXPECT_EQ(ReadAll(box.Path("missing")), "");
    }
    EXPECT_FALSE(std::filesystem::exists(dir));
}

TEST(WaitTest, WaitUntilAndLatch)
{
    std::atomic<int> n{0};
    Latch started;
    std::thread t([&] {
        started.CountDown();
        for (int i = 0; i < 3; ++i)
            ++n;
    });
    EXPECT_TRUE(started.Wait());
    EXPECT_TRUE(WaitUntil([&] { return n.load() == 3; }, 5000));
    t.join();
    const auto from = std::chrono::steady_clock::now();
    EXPECT_FALSE(WaitUntil([] { return false; }, 50));
    EXPECT_GE(std::chrono::steady_clock::now() - from, std::chrono::milliseconds(50));
    Latch never(2);
    never.CountDown();
    EXPECT_FALSE(never.Wait(20));
    EXPECT_FALSE(never.Done());
}

TEST(ThreadsTest, AWaitingThreadIsSeenBlockedAndARunningOneIsNot)
{
    const auto before = ThreadIds();
    std::atomic<pid_t> waiter{0};
    std::atomic<pid_t> spinner{0};
    std::atomic<bool> spin{true};
    Latch release;
    std::thread waiting([&] {
        waiter = CurrentThreadId();
        release.Wait();
    });
    std::thread spinning([&] {
        spinner = CurrentThreadId();
        while (spin.load()) {
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return waiter.load() != 0 && spinner.load() != 0; }));
    const auto started = NewThreadIds(before, ThreadIds());
    EXPECT_NE(std::find(started.begin(), started.end(), waiter.load()), started.end());
    EXPECT_NE(std::find(started.begin(), started.end(), spinner.load()), started.end());
    EXPECT_TRUE(WaitUntil([&] { return ThreadIsBlocked(waiter.load()); }));
    EXPECT_FALSE(ThreadsAreBlocked({waiter.load(), spinner.load()}));
    spin = false;
    release.CountDown();
    waiting.join();
    spinning.join();
    EXPECT_FALSE(ThreadIsBlocked(waiter.load())) << "an ended thread";
    EXPECT_FALSE(ThreadsAreBlocked({}));
}
