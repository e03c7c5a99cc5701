// The engine's AgentX master against local sub-agents: no registration takes over the engine's own
// objects, a flood of connections neither exhausts the engine's descriptors nor stops its saves, and a
// sub-agent's life cycle leaves the engine's objects in place. Sub-agents are played by a small AgentX
// client of the test's own and by net-snmp's snmpd in sub-agent mode.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "engine/snmp/SnmpTypes.h"
#include "tests/e2e/EngineProcess.h"

using namespace e2e;

namespace {

// A minimal AgentX sub-agent (RFC 2741, network byte order): open, register, answer GETs.
class TestSubAgent {
public:
    static constexpr int kResponse = 18;

    explicit TestSubAgent(int port)
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(static_cast<uint16_t>(port));
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~TestSubAgent()
    {
        StopServing();
        if (m_fd >= 0)
            close(m_fd);
    }

    // The session id the master gave, or -1.
    long Open(const std::string& description)
    {
        std::string payload = {5, 0, 0, 0};
        payload += Oid({1, 3, 6, 1, 4, 1, 8072, 99});
        payload += OctetString(description);
        Packet answer;
        if (!Exchange(1, payload, answer) || answer.error != 0)
            return -1;
        m_session = answer.session;
        return m_session;
    }
    // The master's answer: 0 noError, else the AgentX error; -1 no answer.
    int Register(const std::vector<uint32_t>& subtree, int priority = 127, int rangeSubid = 0, uint32_t upper = 0)
    {
        std::string payload = {5, static_cast<char>(priority), static_cast<char>(rangeSubid), 0};
        payload += Oid(subtree);
        if (rangeSubid)
            payload += U32(upper);
        Packet answer;
        return Exchange(3, payload, answer) ? answer.error : -1;
    }
    // Answers every GET with INTEGER value, on a thread of its own, until StopServing.
    void Serve(uint32_t value)
    {
        m_serving = true;
        m_thread = std::thread([this, value]() {
            while (m_serving.load()) {
                Packet request;
                if (!Read(request, 200))
                    continue;
                if (request.type != 5)
                    continue;
                // The first search range's start is the name asked for.
                const std::string& p = request.payload;
                if (p.size() < 4)
                    continue;
                const size_t count = static_cast<unsigned char>(p[0]);
                std::string answer = U32(0) + U16(0) + U16(0);
                answer += U16(2) + U16(0) + p.substr(0, 4 + 4 * count) + U32(value);
                Send(kResponse, request.session, request.transaction, request.packet, answer);
            }
        });
    }
    void StopServing()
    {
        m_serving = false;
        if (m_thread.joinable())
            m_thread.join();
    }
    bool Connected() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }

private:
    struct Packet {
        int type = 0;
        uint32_t session = 0, transaction = 0, packet = 0;
        int error = 0;
        std::string payload;
    };
    static std::string U32(uint32_t v)
    {
        v = htonl(v);
        return std::string(reinterpret_cast<const char*>(&v), 4);
    }
    static std::string U16(uint16_t v)
    {
        v = htons(v);
        return std::string(reinterpret_cast<const char*>(&v), 2);
    }
    static std::string Oid(const std::vector<uint32_t>& ids)
    {
        std::string out = {static_cast<char>(ids.size()), 0, 0, 0};
        for (uint32_t id : ids)
            out += U32(id);
        return out;
    }
    static std::string OctetString(const std::string& text)
    {
        std::string out = U32(static_cast<uint32_t>(text.size())) + text;
        while (out.size() % 4)
            out += '\0';
        return out;
    }
    bool Send(int type, uint32_t session, uint32_t transaction, uint32_t packet, const std::string& payload)
    {
        std::string data = {1, static_cast<char>(type), 0x10, 0};
        data += U32(session) + U32(transaction) + U32(packet) + U32(static_cast<uint32_t>(payload.size())) + payload;
        return send(m_fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
    }
    bool ReadAll(char* buffer, size_t length, int timeoutMs)
    {
        size_t done = 0;
        while (done < length) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0)
                return false;
            ssize_t n = recv(m_fd, buffer + done, length - done, 0);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    bool Read(Packet& packet, int timeoutMs)
    {
        unsigned char header[20];
        if (!ReadAll(reinterpret_cast<char*>(header), sizeof header, timeoutMs))
            return false;
        auto u32 = [&](int at) {
            uint32_t v;
            std::memcpy(&v, header + at, 4);
            return ntohl(v);
        };
        packet.type = header[1];
        packet.session = u32(4);
        packet.transaction = u32(8);
        packet.packet = u32(12);
        packet.payload.assign(u32(16), '\0');
        if (!packet.payload.empty() && !ReadAll(&packet.payload[0], packet.payload.size(), 5000))
            return false;
        if (packet.type == kResponse && packet.payload.size() >= 8)
            packet.error = (static_cast<unsigned char>(packet.payload[4]) << 8) | static_cast<unsigned char>(packet.payload[5]);
        return true;
    }
    bool Exchange(int type, const std::string& payload, Packet& answer)
    {
        const uint32_t id = ++m_packetId;
        if (m_fd < 0 || !Send(type, m_session < 0 ? 0 : static_cast<uint32_t>(m_session), id, id, payload))
            return false;
        while (Read(answer, 5000))
            if (answer.type == kResponse && answer.packet == id)
                return true;
        return false;
    }

    int m_fd = -1;
    long m_session = -1;
    uint32_t m_packetId = 0;
    std::atomic<bool> m_serving{false};
    std::thread m_thread;
};

constexpr int kRequestDenied = 267;

// The descriptor flags (octal, as /proc/<pid>/fdinfo shows them) of the socket at the other end of the
// loopback connection client, in any process of this user's; -1 when it is not found.
long ServerEndFlags(int client)
{
    sockaddr_in own{}, peer{};
    socklen_t ownLength = sizeof own, peerLength = sizeof peer;
    if (getsockname(client, reinterpret_cast<sockaddr*>(&own), &ownLength) != 0 ||
        getpeername(client, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0)
        return -1;
    std::ifstream table("/proc/net/tcp");
    std::string line, inode;
    std::getline(table, line);  // header
    while (inode.empty() && std::getline(table, line)) {
        unsigned localAddress = 0, localPort = 0, remoteAddress = 0, remotePort = 0;
        unsigned long node = 0;
        if (std::sscanf(line.c_str(), " %*d: %X:%X %X:%X %*X %*s %*s %*X %*d %*d %lu", &localAddress, &localPort,
                        &remoteAddress, &remotePort, &node) == 5 &&
            localAddress == peer.sin_addr.s_addr && localPort == ntohs(peer.sin_port) &&
            remoteAddress == own.sin_addr.s_addr && remotePort == ntohs(own.sin_port))
            inode = "socket:[" + std::to_string(node) + "]";
    }
    if (inode.empty())
        return -1;
    std::error_code error;
    for (const auto& process : fs::directory_iterator("/proc", error)) {
        std::error_code ignored;
        for (const auto& fd : fs::directory_iterator(process.path() / "fd", ignored)) {
            std::error_code unreadable;
            if (fs::read_symlink(fd.path(), unreadable).string() != inode)
                continue;
            std::ifstream info(process.path() / "fdinfo" / fd.path().filename());
            while (std::getline(info, line))
                if (line.rfind("flags:", 0) == 0)
                    return std::strtol(line.c_str() + 6, nullptr, 8);
        }
    }
    return -1;
}

}  // namespace

// No registration may overlap an object the engine serves itself, whatever its priority, whether it
// lies inside the engine's objects or contains them; every other subtree stays open to sub-agents.
TEST(AgentXGuardE2E, EngineObjectsAreRefusedOtherSubtreesServed)
{
    EngineInstall engine;
    const int agentx = vgtest::FreeTcpPort();
    engine.SetEnv("VG_AGENTX_PORT", std::to_string(agentx));
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    const std::string sysDescr = engine.Get("1.3.6.1.2.1.1.1.0");
    const std::string enterprise = engine.Get(E("10.4.2.1.0"));
    ASSERT_EQ(enterprise.rfind("INTEGER: ", 0), 0u) << enterprise;

    TestSubAgent impostor(agentx);
    ASSERT_TRUE(impostor.Connected());
    ASSERT_GE(impostor.Open("impostor"), 0);
    // An accepted session does not leak into the programs the engine starts.
    const long flags = ServerEndFlags(impostor.Fd());
    ASSERT_GE(flags, 0);
    EXPECT_NE(flags & O_CLOEXEC, 0) << std::oct << flags;
    struct Case {
        const char* subtree;
        int priority;
        int rangeSubid;
        uint32_t upper;
        int expected;
    };
    const Case cases[] = {
        {"1.3.6.1.4.1.64950", 1, 0, 0, kRequestDenied},           // the enterprise tree, ahead of ours
        {"1.3.6.1.4.1.64950.10.4.2.1", 127, 0, 0, kRequestDenied}, // inside it
        {"1.3.6.1.4.1", 127, 0, 0, kRequestDenied},                // around it
        {"1.3.6.1", 200, 0, 0, kRequestDenied},
        {"1.3.6.1.4.1.64900", 1, 7, 65000, kRequestDenied},        // a range across it
        {"1.3.6.1.2.1.33", 1, 0, 0, kRequestDenied},               // UPS-MIB
        {"1.3.6.1.2.1.1.1", 1, 0, 0, kRequestDenied},              // sysDescr
        {"1.3.6.1.2.1.1.9", 1, 0, 0, kRequestDenied},              // sysORTable
        {"1.3.6.1.6.3.10.2.1", 1, 0, 0, kRequestDenied},           // snmpEngine
        {"1.3.6.1.6.3.11.2.1", 1, 0, 0, kRequestDenied},           // snmpMPDStats
        {"1.3.6.1.6.3.15.1.1", 1, 0, 0, kRequestDenied},           // usmStats
        {"1.3.6.1.4.1.64900", 1, 7, 64949, 0},                     // a range that stops short of it
        {"1.3.6.1.4.1.64951", 1, 0, 0, 0},                         // the next enterprise
        {"1.3.6.1.2.1.2", 127, 0, 0, 0},                           // interfaces: nobody's
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.subtree);
        EXPECT_EQ(impostor.Register(MakeOid(c.subtree), c.priority, c.rangeSubid, c.upper), c.expected);
    }

    // The engine still answers its own objects; the sub-agent answers what it was given.
    impostor.Serve(4242);
    EXPECT_EQ(engine.Get("1.3.6.1.2.1.1.1.0"), sysDescr);
    EXPECT_EQ(engine.Get(E("10.4.2.1.0")), enterprise);
    EXPECT_EQ(engine.Get("1.3.6.1.4.1.64951.1.0"), "INTEGER: 4242");
    EXPECT_EQ(engine.Get("1.3.6.1.2.1.2.1.0"), "INTEGER: 4242");
    // A SET meant for the engine reaches the engine.
    EXPECT_EQ(engine.Set(E("10.4.2.1.0"), "i", "321"), "");
    EXPECT_EQ(engine.Get(E("10.4.2.1.0")), "INTEGER: 321");
    impostor.StopServing();

    // Each refusal is logged with who tried and what (the log limits a burst to 10 lines a minute).
    const std::string log = engine.LogText();
    EXPECT_NE(log.find("AgentX: registration of 1.3.6.1.4.1.64950 by 127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find("(uid " + std::to_string(getuid()) + "), sub-agent 1.3.6.1.4.1.8072.99 \"impostor\" refused"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("AgentX: registration of 1.3.6.1.4.1.64951 "), std::string::npos);
}

namespace {

// Connections to 127.0.0.1:port that the test holds open.
class Connections {
public:
    Connections(int port, int count)
    {
        for (int i = 0; i < count; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in sin{};
            sin.sin_family = AF_INET;
            sin.sin_port = htons(static_cast<uint16_t>(port));
            sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0)
                m_fds.push_back(fd);
            else if (fd >= 0)
                close(fd);
        }
    }
    ~Connections()
    {
        for (int fd : m_fds)
            close(fd);
    }
    size_t Size() const { return m_fds.size(); }
    // The connections the other end has closed.
    size_t Closed() const
    {
        size_t closed = 0;
        for (int fd : m_fds) {
            char byte;
            if (recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK) == 0)
                ++closed;
        }
        return closed;
    }

private:
    std::vector<int> m_fds;
};

}  // namespace

// A flood of AgentX connections under a low descriptor limit: the engine holds no more than its bound,
// closes the rest at once, and its settings and consoles still save and survive a restart meanwhile.
TEST(AgentXGuardE2E, ConnectionFloodLeavesDescriptorsForSaves)
{
    EngineInstall engine;
    const int agentx = vgtest::FreeTcpPort();
    engine.SetEnv("VG_AGENTX_PORT", std::to_string(agentx));
    engine.SetLauncher({"prlimit", "--nofile=256:256"});
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    const char* console = "127.0.0.7";
    ASSERT_EQ(engine.Get(E("10.1.1.0"), "wendolmar", console), "INTEGER: 1");

    constexpr int kOpened = 300;
    constexpr int kHeld = 128;  // the engine's bound on AgentX sessions (256 descriptors leave room for it)
    {
        Connections flood(agentx, kOpened);
        ASSERT_EQ(flood.Size(), static_cast<size_t>(kOpened));
        EXPECT_TRUE(vgtest::WaitUntil([&] { return flood.Closed() >= kOpened - kHeld; }, 20000))
            << flood.Closed() << " closed";

        EXPECT_EQ(engine.Set(E("10.4.2.1.0"), "i", "777"), "");
        EXPECT_EQ(engine.Set(E("10.4.1.2.0"), "i", "150"), "");
        EXPECT_EQ(engine.Set(E("11.3.2.2.0"), "i", "4170", "wendolmar", console), "");
        // The refused ones were closed, the held ones stay.
        EXPECT_EQ(flood.Closed(), static_cast<size_t>(kOpened - kHeld));
        const std::string log = engine.LogText();
        EXPECT_NE(log.find("AgentX: connection from 127.0.0.1:"), std::string::npos) << log;
        EXPECT_NE(log.find("refused: 128 sessions are open, at most 128"), std::string::npos);
    }
    engine.Stop();
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    EXPECT_EQ(engine.Get(E("10.4.2.1.0")), "INTEGER: 777");
    EXPECT_EQ(engine.Get(E("10.4.1.2.0")), "INTEGER: 150");
    EXPECT_EQ(engine.Get(E("11.4.0"), "wendolmar", console), "INTEGER: 4170");
}

// net-snmp's snmpd as a sub-agent that times out, registers again and closes: it asks for the same
// library objects the engine serves (sysORTable, sysORLastChange, usmStats, snmpMPDStats), is refused,
// and on its way out unregisters them; the engine keeps serving all of them.
TEST(AgentXGuardE2E, SubAgentLifeCycleLeavesEngineObjects)
{
    EngineInstall engine;
    const int agentx = vgtest::FreeTcpPort();
    engine.SetEnv("VG_AGENTX_PORT", std::to_string(agentx));
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    const std::vector<std::string> own = {"1.3.6.1.2.1.1.8.0", "1.3.6.1.2.1.1.9.1.2.1", "1.3.6.1.6.3.15.1.1.4.0",
                                          "1.3.6.1.6.3.11.2.1.3.0"};
    for (const std::string& oid : own)
        ASSERT_EQ(engine.Get(oid).find("No Such"), std::string::npos) << oid;

    const std::string state = engine.Path("subagent");
    fs::create_directories(state);
    {
        std::ofstream conf(engine.Path("subagent.conf"));
        conf << "agentXSocket tcp:127.0.0.1:" << agentx << "\nagentXPingInterval 1\nagentXTimeout 1\nagentXRetries 0\n"
             << "agentaddress udp:127.0.0.1:" << vgtest::FreeUdpPort() << "\n";
    }
    vgtest::Child subagent;
    ASSERT_TRUE(subagent.Start({"snmpd", "-f", "-Lo", "-C", "-c", engine.Path("subagent.conf"), "-X"},
                               engine.Path("subagent.out"), {{"SNMP_PERSISTENT_DIR", state}, {"MIBS", ""}}));
    const std::string ifNumber = "1.3.6.1.2.1.2.1.0";
    auto served = [&] { return engine.Get(ifNumber).rfind("INTEGER: ", 0) == 0; };
    ASSERT_TRUE(vgtest::WaitUntil(served, 20000)) << ReadText(engine.Path("subagent.out"));

    // Stopped, it times out: the master drops its session; resumed, it connects and registers again.
    ASSERT_TRUE(subagent.Pid() > 0 && kill(subagent.Pid(), SIGSTOP) == 0);
    EXPECT_EQ(SnmpGet(engine.Port(), "wendolmar", ifNumber, 6).find("INTEGER"), std::string::npos);
    kill(subagent.Pid(), SIGCONT);
    ASSERT_TRUE(vgtest::WaitUntil(served, 20000)) << ReadText(engine.Path("subagent.out"));
    subagent.Stop();
    ASSERT_TRUE(vgtest::WaitUntil([&] { return !served(); }, 20000));

    for (const std::string& oid : own)
        EXPECT_EQ(engine.Get(oid).find("No Such"), std::string::npos) << oid;
    const std::string log = engine.LogText();
    EXPECT_NE(log.find("AgentX: unregistration of 1.3.6.1.2.1.1.9 by 127.0.0.1:"), std::string::npos) << log;
}
