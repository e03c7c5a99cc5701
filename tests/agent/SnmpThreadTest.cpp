// The SNMP thread under engine-like load: traps from several threads, client requests to a remote
// agent (net-snmp's snmpd), managers walking our agent, pause, and the work hooks. Also run under
// ThreadSanitizer.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "engine/snmp/SnmpThread.h"
#include "support/AgentHost.h"
#include "support/TestSupport.h"
#include "tests/support/TrapDaemon.h"
#include "tests/support/Threads.h"

namespace {

using vgtest::Enterprise;

// Counts the datagrams that reach a UDP port of 127.0.0.1.
class DatagramCounter {
public:
    DatagramCounter()
    {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        int size = 4 * 1024 * 1024;
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        struct sockaddr_in sin = {};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<struct sockaddr*>(&sin), sizeof sin);
        socklen_t length = sizeof sin;
        getsockname(m_fd, reinterpret_cast<struct sockaddr*>(&sin), &length);
        m_port = ntohs(sin.sin_port);
        struct timeval tv = {0, 100000};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        m_thread = std::thread([this] {
            char buf[2048];
            while (m_run.load()) {
                if (recv(m_fd, buf, sizeof buf, 0) > 0)
                    m_count.fetch_add(1);
            }
        });
    }
    ~DatagramCounter()
    {
        m_run.store(false);
        m_thread.join();
        close(m_fd);
    }
    uint16_t Port() const { return static_cast<uint16_t>(m_port); }
    int Count() const { return m_count.load(); }
    bool WaitFor(int n, int ms)
    {
        for (int waited = 0; waited < ms && Count() < n; waited += 20)
            usleep(20000);
        return Count() >= n;
    }

private:
    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_run{true};
    std::atomic<int> m_count{0};
    std::thread m_thread;
};

// net-snmp's snmpd on a free loopback port as the remote agent of the client requests.
class RemoteAgent {
public:
    RemoteAgent()
    {
        m_port = vgtest::FreePort(SOCK_DGRAM);
        std::ofstream(m_dir.Path() + "/remote.conf") << "rocommunity public 127.0.0.1\n"
                                                        "rwcommunity private 127.0.0.1\n"
                                                        "sysLocation testlab\n";
        m_child.Start({"snmpd", "-f", "-Lo", "-C", "-c", m_dir.Path() + "/remote.conf", "-I", "-smux", "-p",
                       m_dir.Path() + "/remote.pid", "udp:127.0.0.1:" + std::to_string(m_port)},
                      m_dir.Path() + "/remote.log", {{"SNMP_PERSISTENT_DIR", m_dir.Path()}, {"MIBS", ""}});
        // Ready once it answers.
        for (int i = 0; i < 100; ++i) {
            std::string out;
            vgtest::RunTool({"snmpget", "-v2c", "-c", "public", "-t", "1", "-r", "0", Peer(), "1.3.6.1.2.1.1.6.0"},
                            out);
            if (out.find("testlab") != std::string::npos) {
                m_ready = true;
                break;
            }
            usleep(100000);
        }
    }
    std::string Peer() const { return "udp:127.0.0.1:" + std::to_string(m_port); }
    uint16_t Port() const { return static_cast<uint16_t>(m_port); }
    bool Ready() const { return m_ready; }

private:
    vgtest::TempDir m_dir;
    vgtest::Child m_child;
    int m_port = 0;
    bool m_ready = false;
};

// A manager walking our agent over and over in a child process each time.
class Walker {
public:
    explicit Walker(const std::string& peer)
    {
        m_thread = std::thread([this, peer] {
            while (m_run.load()) {
                std::string out;
                int rc = vgtest::RunTool({"snmpbulkwalk", "-v2c", "-c", "gimbal", "-On", "-t", "3", "-r", "0", peer,
                                          "1.3.6.1"},
                                         out);
                bool ok = rc == 0 && out.find(Enterprise("99.2.0")) != std::string::npos &&
                          out.find("1.3.6.1.6.3.16.1") != std::string::npos;
                (ok ? m_good : m_bad).fetch_add(1);
            }
        });
    }
    ~Walker() { Stop(); }
    void Stop()
    {
        m_run.store(false);
        if (m_thread.joinable())
            m_thread.join();
    }
    int Good() const { return m_good.load(); }
    int Bad() const { return m_bad.load(); }

private:
    std::atomic<bool> m_run{true};
    std::atomic<int> m_good{0};
    std::atomic<int> m_bad{0};
    std::thread m_thread;
};

SnmpTrap MakeTrap(int version, uint16_t port, int specific)
{
    SnmpTrap trap;
    trap.version = version;
    trap.peer = "127.0.0.1";
    trap.port = port;
    trap.community = "gimbal";
    trap.enterprise = MakeOid("1.3.6.1.4.1.64950");
    trap.generic = 6;
    trap.specific = specific;
    if (version == 1)
        trap.trapOid = MakeOid(("1.3.6.1.4.1.64950.15.0." + std::to_string(specific)).c_str());
    trap.varbinds.push_back({MakeOid("1.3.6.1.4.1.64950.10.1.2.6.0"), SnmpValue::Octets("00:11:22:33:44:55")});
    trap.varbinds.push_back({MakeOid("1.3.6.1.4.1.64950.1.0"), SnmpValue::Integer(specific)});
    return trap;
}

SnmpClientRequest MakeGet(uint16_t port, const char* oid)
{
    SnmpClientRequest request;
    request.command = SnmpCommand::Get;
    request.version = 1;
    request.peer = "127.0.0.1";
    request.port = port;
    request.community = "public";
    request.timeoutMs = 2000;
    request.retries = 1;
    request.varbinds.push_back({MakeOid(oid), SnmpValue()});
    return request;
}

class SnmpThreadLoad : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(vgtest::AgentHost::Get().Result().status, 0); }
    SnmpThread& Thread() { return vgtest::AgentHost::Get().Thread(); }
};

TEST_F(SnmpThreadLoad, TrapsAndClientRequestsFromManyThreadsWhileManagersWalk)
{
    auto& host = vgtest::AgentHost::Get();
    RemoteAgent remote;
    ASSERT_TRUE(remote.Ready());
    DatagramCounter receiver;
    Walker walkerA(host.Peer()), walkerB(host.Peer());

    constexpr int kTrapThreads = 4, kTrapsEach = 100;
    constexpr int kClientThreads = 4, kRequestsEach = 25;
    std::atomic<int> posted{0}, answered{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kTrapThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kTrapsEach; ++i) {
                if (Thread().PostTrap(MakeTrap(i % 2, receiver.Port(), 1000 + t)))
                    posted.fetch_add(1);
                if (i % 10 == 0)
                    usleep(1000);
            }
        });
    }
    for (int t = 0; t < kClientThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRequestsEach; ++i) {
                if (i % 5 == 4) {
                    // A SET, read back by the next GET of this thread's own object is not needed: the
                    // answer carries the value.
                    SnmpClientRequest set = MakeGet(remote.Port(), "1.3.6.1.2.1.1.4.0");
                    set.command = SnmpCommand::Set;
                    set.community = "private";
                    set.varbinds[0].value = SnmpValue::Octets("thread" + std::to_string(t));
                    SnmpClientResult r = Thread().Request(set);
                    bool ok = r.status == SnmpClientStatus::Ok && r.errorStatus == 0 && r.varbinds.size() == 1 &&
                              r.varbinds[0].value.bytes == "thread" + std::to_string(t);
                    (ok ? answered : wrong).fetch_add(1);
                    continue;
                }
                SnmpClientRequest get = MakeGet(remote.Port(), i % 2 ? "1.3.6.1.2.1.1.6.0" : "1.3.6.1.2.1.1.6");
                if (i % 2 == 0)
                    get.command = SnmpCommand::GetNext;
                SnmpClientResult r = Thread().Request(get);
                bool ok = r.status == SnmpClientStatus::Ok && r.errorStatus == 0 && r.varbinds.size() == 1 &&
                          OidToString(r.varbinds[0].oid) == "1.3.6.1.2.1.1.6.0" &&
                          r.varbinds[0].value.type == kSnmpOctetString && r.varbinds[0].value.bytes == "testlab";
                (ok ? answered : wrong).fetch_add(1);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(posted.load(), kTrapThreads * kTrapsEach);
    EXPECT_TRUE(receiver.WaitFor(kTrapThreads * kTrapsEach, 10000)) << receiver.Count();
    EXPECT_EQ(answered.load(), kClientThreads * kRequestsEach);
    EXPECT_EQ(wrong.load(), 0);
    // Let every manager finish at least one whole walk during or after the load.
    for (int i = 0; i < 200 && (walkerA.Good() + walkerB.Good()) < 2; ++i)
        usleep(50000);
    walkerA.Stop();
    walkerB.Stop();
    EXPECT_GE(walkerA.Good() + walkerB.Good(), 2);
    EXPECT_EQ(walkerA.Bad() + walkerB.Bad(), 0);
}

TEST_F(SnmpThreadLoad, TrapContentsAsAReceiverSeesThem)
{
    int port = vgtest::FreePort(SOCK_DGRAM);
    vgtest::TrapDaemon trapd;
    ASSERT_TRUE(trapd.Start(port, "TRAP %N %w %q|%v\n"));
    SnmpTrap v1 = MakeTrap(0, static_cast<uint16_t>(port), 1001);
    v1.varbinds.push_back({MakeOid("1.3.6.1.4.1.64950.2.0"), SnmpValue::IpAddress(0x0403020A)});
    v1.varbinds.push_back({MakeOid("1.3.6.1.4.1.64950.3.0"), SnmpValue::ObjectId(MakeOid("1.3.6.1.4.1.64950.7"))});
    EXPECT_EQ(Thread().SendTrap(v1), 0);
    SnmpTrap v2 = MakeTrap(1, static_cast<uint16_t>(port), 1002);
    EXPECT_EQ(Thread().SendTrap(v2), 0);
    SnmpTrap cold = MakeTrap(1, static_cast<uint16_t>(port), 0);
    cold.trapOid.clear();
    cold.generic = 0;  // coldStart, derived
    EXPECT_EQ(Thread().SendTrap(cold), 0);
    SnmpTrap bad = MakeTrap(0, static_cast<uint16_t>(port), 1);
    bad.peer = "not a host!";
    EXPECT_EQ(Thread().SendTrap(bad), 1);

    trapd.WaitFor("1.3.6.1.6.3.1.1.5.1");
    trapd.Stop();
    const std::string text = trapd.Log();
    EXPECT_NE(text.find("TRAP .1.3.6.1.4.1.64950 6 .1001|.1.3.6.1.4.1.64950.10.1.2.6.0 = STRING: \"00:11:22:33:44:55\"\t"
                        ".1.3.6.1.4.1.64950.1.0 = INTEGER: 1001\t.1.3.6.1.4.1.64950.2.0 = IpAddress: 10.2.3.4\t"
                        ".1.3.6.1.4.1.64950.3.0 = OID: .1.3.6.1.4.1.64950.7"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.4.1.64950.15.0.1002\t"
                        ".1.3.6.1.4.1.64950.10.1.2.6.0 = STRING: \"00:11:22:33:44:55\""),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.6.3.1.1.5.1"), std::string::npos) << text;
}

TEST_F(SnmpThreadLoad, SlowRemoteAgentDoesNotHoldUpOurAnswers)
{
    auto& host = vgtest::AgentHost::Get();
    int silentPort = vgtest::FreePort(SOCK_DGRAM);
    int silent = socket(AF_INET, SOCK_DGRAM, 0);  // bound, never answers
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons(static_cast<uint16_t>(silentPort));
    bind(silent, reinterpret_cast<struct sockaddr*>(&sin), sizeof sin);

    std::atomic<bool> done{false};
    SnmpClientResult slow;
    std::thread waiter([&] {
        SnmpClientRequest request = MakeGet(static_cast<uint16_t>(silentPort), "1.3.6.1.2.1.1.1.0");
        request.timeoutMs = 1500;
        request.retries = 1;
        slow = Thread().Request(request);
        done.store(true);
    });
    // The slow request is on the wire (its first attempt reached the silent agent) before ours starts.
    pollfd arrived{silent, POLLIN, 0};
    ASSERT_EQ(poll(&arrived, 1, 10000), 1);
    auto start = std::chrono::steady_clock::now();
    std::string out;
    vgtest::RunTool({"snmpget", "-v2c", "-c", "gimbal", "-t", "1", "-r", "0", host.Peer(), Enterprise("99.2.0")}, out);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_NE(out.find("hello"), std::string::npos) << out;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 900);
    EXPECT_FALSE(done.load());
    waiter.join();
    EXPECT_EQ(slow.status, SnmpClientStatus::Timeout) << slow.error;
    close(silent);

    // A caller that stops waiting early gets WaitTimeout; the request still ends on the SNMP thread.
    SnmpClientRequest request = MakeGet(static_cast<uint16_t>(silentPort), "1.3.6.1.2.1.1.1.0");
    request.timeoutMs = 500;
    request.retries = 0;
    EXPECT_EQ(Thread().Request(request, 50).status, SnmpClientStatus::WaitTimeout);
    SnmpClientRequest bad = request;
    bad.peer = "no such host!";
    EXPECT_EQ(Thread().Request(bad).status, SnmpClientStatus::Failed);
}

TEST_F(SnmpThreadLoad, PauseHoldsAgentRequestsButNotTrapsOrClientWork)
{
    auto& host = vgtest::AgentHost::Get();
    RemoteAgent remote;
    ASSERT_TRUE(remote.Ready());
    DatagramCounter receiver;
    Thread().SetPaused(true);
    std::string out;
    int rc = vgtest::RunTool({"snmpget", "-v2c", "-c", "gimbal", "-t", "1", "-r", "0", host.Peer(), Enterprise("99.2.0")},
                             out);
    EXPECT_NE(rc, 0) << out;
    EXPECT_EQ(Thread().SendTrap(MakeTrap(0, receiver.Port(), 5)), 0);
    EXPECT_TRUE(receiver.WaitFor(1, 3000));
    SnmpClientResult r = Thread().Request(MakeGet(remote.Port(), "1.3.6.1.2.1.1.6.0"));
    EXPECT_EQ(r.status, SnmpClientStatus::Ok);
    Thread().SetPaused(false);
    rc = vgtest::RunTool({"snmpget", "-v2c", "-c", "gimbal", "-t", "1", "-r", "1", host.Peer(), Enterprise("99.2.0")}, out);
    EXPECT_EQ(rc, 0) << out;
}

TEST_F(SnmpThreadLoad, HooksRunOnTheLoopThread)
{
    std::atomic<int> onLoop{0};
    EXPECT_TRUE(Thread().Call([&] { onLoop.store(Thread().IsLoopThread() ? 1 : 2); }, 5000));
    EXPECT_EQ(onLoop.load(), 1);
    EXPECT_FALSE(Thread().IsLoopThread());
    // A throwing task is caught; the loop goes on.
    EXPECT_TRUE(Thread().Post([] { throw std::runtime_error("task failure for the test"); }));
    std::atomic<bool> ran{false};
    EXPECT_TRUE(Thread().Call([&] { ran.store(true); }, 5000));
    EXPECT_TRUE(ran.load());
    EXPECT_TRUE(vgtest::Log().Contains("task failure for the test"));
    // On the loop thread a client request would wait for the loop itself: refused at once.
    SnmpClientResult inner;
    EXPECT_TRUE(Thread().Call([&] { inner = Thread().Request(MakeGet(1, "1.3.6.1")); }, 5000));
    EXPECT_EQ(inner.status, SnmpClientStatus::Failed);
}

// A program without an agent (the console) runs an SNMP thread for its client requests alone.
TEST_F(SnmpThreadLoad, ClientOnlyProgram)
{
    auto& host = vgtest::AgentHost::Get();
    std::string out;
    int rc = vgtest::RunTool({VG_TEST_AGENT, "client", std::to_string(host.Port()), Enterprise("99.2.0")}, out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("CLIENT 0 hello"), std::string::npos) << out;
}

// A thread that has stopped taking work releases every waiter.
TEST(SnmpThreadShutdown, WaitersEndWhenTheThreadStops)
{
    SnmpThread thread;  // its loop never runs
    std::atomic<int> result{-1};
    std::atomic<bool> called{true};
    std::atomic<pid_t> requesterId{0};
    std::atomic<pid_t> callerId{0};
    std::thread requester([&] {
        requesterId = vgtest::CurrentThreadId();
        SnmpClientResult r = thread.Request(MakeGet(161, "1.3.6.1.2.1.1.1.0"), 20000);
        result.store(static_cast<int>(r.status));
    });
    std::thread caller([&] {
        callerId = vgtest::CurrentThreadId();
        called.store(thread.Call([] {}, 20000));
    });
    // Both wait inside their calls before the stop (a call after it would end at once, proving nothing).
    ASSERT_TRUE(vgtest::WaitUntil([&] {
        return vgtest::ThreadIsBlocked(requesterId.load()) && vgtest::ThreadIsBlocked(callerId.load());
    }));
    EXPECT_EQ(result.load(), -1);
    auto start = std::chrono::steady_clock::now();
    thread.Shutdown();
    requester.join();
    caller.join();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count(), 5);
    EXPECT_EQ(result.load(), static_cast<int>(SnmpClientStatus::Stopped));
    EXPECT_FALSE(called.load());
    EXPECT_FALSE(thread.PostTrap(MakeTrap(0, 162, 1)));
    EXPECT_EQ(thread.Request(MakeGet(161, "1.3.6.1")).status, SnmpClientStatus::Stopped);
}

TEST(SnmpThreadShutdown, QueueIsBounded)
{
    vgtest::Log();
    SnmpThread thread;  // its loop never runs
    size_t accepted = 0;
    for (size_t i = 0; i < SnmpThread::kMaxQueuedWork + 5; ++i)
        accepted += thread.PostTrap(MakeTrap(0, 162, 1)) ? 1 : 0;
    EXPECT_EQ(accepted, SnmpThread::kMaxQueuedWork);
    EXPECT_TRUE(vgtest::Log().Contains("work refused"));
    thread.Shutdown();
}

}  // namespace
