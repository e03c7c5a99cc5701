// The engine against hostile managers: SNMPv3 users at every security level, values it cannot store,
// SET requests of many varbinds, floods of bad packets and oversize requests.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "tests/e2e/EngineProcess.h"

using namespace e2e;

namespace {

// The SNMPv3 options of a user at a level (the user's own passwords).
std::vector<std::string> V3(const std::string& user, const std::string& level)
{
    struct Keys {
        const char* user;
        const char* auth;
        const char* authPass;
        const char* priv;
        const char* privPass;
    } keys[] = {
        {"unsecureUser", "", "", "", ""},
        {"MD5", "MD5", "GravelOrchidTundraX", "", ""},
        {"SHA", "SHA", "CobaltFernQuiverMap", "", ""},
        {"MD5DES", "MD5", "DuneSparrowKettleMinor", "DES", "BristleHarborMangoVeil"},
        {"SHADES", "SHA", "HazelRiverPocketStones", "DES", "FlintMeadowCopperLarks"},
    };
    std::vector<std::string> args = {"-v3", "-u", user, "-l", level};
    for (const Keys& k : keys) {
        if (user != k.user)
            continue;
        if (level != "noAuthNoPriv")
            args.insert(args.end(), {"-a", k.auth, "-A", k.authPass});
        if (level == "authPriv")
            args.insert(args.end(), {"-x", k.priv, "-X", k.privPass});
    }
    return args;
}

std::string Tool(const std::string& tool, const std::vector<std::string>& security, const EngineInstall& engine,
                 const std::vector<std::string>& rest, int* rc = nullptr)
{
    std::vector<std::string> argv = {tool, "-On", "-t", "1", "-r", "0"};
    argv.insert(argv.end(), security.begin(), security.end());
    argv.push_back(engine.Peer());
    argv.insert(argv.end(), rest.begin(), rest.end());
    std::string out;
    int code = vgtest::RunTool(argv, out);
    if (rc)
        *rc = code;
    return out;
}

// BER: a tag with its definite length.
std::string Tlv(unsigned char tag, const std::string& body)
{
    std::string out(1, static_cast<char>(tag));
    const size_t n = body.size();
    if (n < 128) {
        out += static_cast<char>(n);
    } else if (n < 256) {
        out += "\x81";
        out += static_cast<char>(n);
    } else {
        out += "\x82";
        out += static_cast<char>(n >> 8);
        out += static_cast<char>(n & 0xFF);
    }
    return out + body;
}

std::string EncodedOid(const std::vector<uint32_t>& arcs)
{
    std::string out(1, static_cast<char>(arcs[0] * 40 + arcs[1]));
    for (size_t i = 2; i < arcs.size(); ++i) {
        std::string part(1, static_cast<char>(arcs[i] & 0x7F));
        for (uint32_t v = arcs[i] >> 7; v; v >>= 7)
            part.insert(part.begin(), static_cast<char>(0x80 | (v & 0x7F)));
        out += part;
    }
    return Tlv(0x06, out);
}

// A GET over SNMPv2c, encoded by hand: a flood needs no tool per packet, and the tools refuse more than
// 128 names in one request.
std::string V2cGetPacket(const std::string& community, int requestId, const std::vector<uint32_t>& oid, int count = 1)
{
    std::string list;
    for (int i = 0; i < count; ++i)
        list += Tlv(0x30, EncodedOid(oid) + std::string("\x05\x00", 2));
    std::string pdu = Tlv(0x02, std::string(1, static_cast<char>(requestId & 0x7F))) +
                      std::string("\x02\x01\x00\x02\x01\x00", 6) + Tlv(0x30, list);
    return Tlv(0x30, std::string("\x02\x01\x01", 3) + Tlv(0x04, community) + Tlv(0xA0, pdu));
}

const std::vector<uint32_t> kSysUpTime = {1, 3, 6, 1, 2, 1, 1, 3, 0};

class Flood {
public:
    explicit Flood(int port)
    {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        m_to.sin_family = AF_INET;
        m_to.sin_port = htons(static_cast<uint16_t>(port));
        m_to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~Flood() { close(m_fd); }
    void Send(const std::string& packet)
    {
        sendto(m_fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&m_to), sizeof m_to);
    }
    // The error status of the next answer within timeoutMs; -1 when none came.
    int AnswerStatus(int timeoutMs)
    {
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::string buffer(70000, '\0');
        ssize_t n = recv(m_fd, &buffer[0], buffer.size(), 0);
        if (n <= 0)
            return -1;
        buffer.resize(static_cast<size_t>(n));
        // message { version, community, response { request id, error status, ... } }
        size_t at = 0;
        auto enter = [&](bool into) {
            ++at;  // tag
            size_t length = static_cast<unsigned char>(buffer[at++]);
            if (length & 0x80) {
                size_t bytes = length & 0x7F;
                length = 0;
                while (bytes--)
                    length = length << 8 | static_cast<unsigned char>(buffer[at++]);
            }
            if (!into)
                at += length;
        };
        enter(true);
        enter(false);
        enter(false);
        enter(true);
        enter(false);
        return at + 2 < buffer.size() ? static_cast<unsigned char>(buffer[at + 2]) : -1;
    }

private:
    int m_fd = -1;
    sockaddr_in m_to{};
};

TEST(HostileInputE2E, SnmpV3UsersAreServedOnlyWithTheirCredentials)
{
    EngineInstall engine;
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    const std::string sysDescr = "1.3.6.1.2.1.1.1.0", version = E("10.1.2.3.0"), interval = E("10.4.2.1.0");
    struct Case {
        const char* user;
        const char* level;
        bool readsSystem, readsEngine, writes;
    } cases[] = {
        {"unsecureUser", "noAuthNoPriv", true, false, false},
        {"MD5", "noAuthNoPriv", false, false, false},
        {"MD5", "authNoPriv", true, true, true},
        {"SHA", "noAuthNoPriv", false, false, false},
        {"SHA", "authNoPriv", true, true, true},
        {"MD5DES", "noAuthNoPriv", false, false, false},
        {"MD5DES", "authNoPriv", false, false, false},
        {"MD5DES", "authPriv", true, true, true},
        {"SHADES", "noAuthNoPriv", false, false, false},
        {"SHADES", "authNoPriv", false, false, false},
        {"SHADES", "authPriv", true, true, true},
    };
    int value = 200;
    std::string readCommunity = "gimbal";
    auto check = [&](const Case& c) {
        SCOPED_TRACE(std::string(c.user) + " " + c.level);
        const auto security = V3(c.user, c.level);
        int rc = 0;
        std::string out = Tool("snmpget", security, engine, {sysDescr}, &rc);
        EXPECT_EQ(rc == 0 && out.find("Vigilon v12.04.0059") != std::string::npos, c.readsSystem) << out;
        out = Tool("snmpget", security, engine, {version}, &rc);
        EXPECT_EQ(rc == 0 && out.find("STRING: \"12.04.0059\"") != std::string::npos, c.readsEngine) << out;
        value += 100;
        out = Tool("snmpset", security, engine, {interval, "i", std::to_string(value)}, &rc);
        const bool wrote = rc == 0 && out.find("INTEGER: " + std::to_string(value)) != std::string::npos;
        EXPECT_EQ(wrote, c.writes) << out;
        EXPECT_EQ(engine.Get(interval, readCommunity) == "INTEGER: " + std::to_string(value), c.writes);
        if (!c.writes)
            value -= 100;
    };
    for (const Case& c : cases)
        check(c);
    // With a community of its own the engine still serves no one without credentials.
    ASSERT_EQ(engine.Set(E("10.1.2.15.0"), "s", "s3cret"), "");
    readCommunity = "s3cret";
    check(cases[0]);
    check(cases[2]);
}

TEST(HostileInputE2E, ValuesThatCannotBeStoredAreRefusedAndTheOldOnesStay)
{
    EngineInstall engine;
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    ASSERT_EQ(engine.Set(E("10.1.6.1.0"), "s", "mail.example"), "");
    ASSERT_EQ(engine.Set(E("10.1.6.5.0"), "s", "login"), "");
    struct Case {
        std::string oid;
        std::string value;
        const char* error;
        const char* reads;  // afterwards, with the community in force
    } cases[] = {
        {E("10.1.2.15.0"), std::string(128, 'c'), "wrongLength", "\"\""},
        {E("10.1.2.15.0"), std::string(200, 'c'), "wrongLength", "\"\""},
        {E("10.1.6.1.0"), "#comment", "wrongValue", "STRING: \"mail.example\""},
        {E("10.1.6.1.0"), " leading", "wrongValue", "STRING: \"mail.example\""},
        {E("10.1.6.1.0"), "trailing ", "wrongValue", "STRING: \"mail.example\""},
        {E("10.1.6.5.0"), "a#b", "wrongValue", "STRING: \"login\""},
        {E("11.3.2.4.0"), std::string(64, 'k'), "wrongLength", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.oid + " " + c.value.substr(0, 12));
        EXPECT_EQ(engine.Set(c.oid, "s", c.value), c.error);
        if (c.reads) {
            EXPECT_EQ(engine.Get(c.oid), c.reads);
        }
    }
    // The defaults are still in force: the long community never was.
    EXPECT_EQ(engine.Get(E("10.1.2.3.0"), "gimbal"), "STRING: \"12.04.0059\"");
    // A community that fits is taken.
    EXPECT_EQ(engine.Set(E("10.1.2.15.0"), "s", std::string(127, 'c')), "");
    EXPECT_EQ(engine.Get(E("10.1.2.3.0"), std::string(127, 'c')), "STRING: \"12.04.0059\"");
}

// Communities are secrets: one with a NUL in it is refused whole (stored, it would be its first part
// only), and a remote agent's community reads as empty to a manager that may only read.
TEST(HostileInputE2E, CommunitiesWithANulAreRefusedAndRemoteOnesHiddenFromReaders)
{
    EngineInstall engine;
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    const std::string row = E("10.6.2.1.2.1"), community = E("10.6.2.1.5.1");
    ASSERT_EQ(engine.Set(row, "i", "5"), "");
    ASSERT_EQ(engine.Set(community, "s", "cardrw"), "");
    EXPECT_EQ(engine.Get(community, "wendolmar"), "STRING: \"cardrw\"");
    EXPECT_EQ(engine.Get(community, "gimbal"), "\"\"");
    // The other columns of the row stay readable; a walk hides the community too.
    EXPECT_EQ(engine.Get(E("10.6.2.1.2.1"), "gimbal"), "INTEGER: 2");
    std::string walk = Tool("snmpwalk", {"-v2c", "-c", "gimbal"}, engine, {E("10.6.2.1.5")});
    EXPECT_EQ(walk.find("cardrw"), std::string::npos) << walk;
    walk = Tool("snmpwalk", {"-v2c", "-c", "wendolmar"}, engine, {E("10.6.2.1.5")});
    EXPECT_NE(walk.find("cardrw"), std::string::npos) << walk;

    // "ab", NUL, "cd".
    const std::string withNul = "6162006364";
    ASSERT_EQ(engine.Set(E("14.2.2.1.2.1"), "i", "5"), "");
    const struct {
        std::string oid;
        const char* reads; // afterwards, with wendolmar
    } cases[] = {
        {community, "STRING: \"cardrw\""},
        {E("10.1.2.15.0"), "\"\""},
        {E("10.1.11.3.0"), nullptr},
        {E("14.2.2.1.5.1"), nullptr},
        {E("11.3.2.4.0"), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.oid);
        EXPECT_EQ(engine.Set(c.oid, "x", withNul), "wrongValue");
        if (c.reads) {
            EXPECT_EQ(engine.Get(c.oid), c.reads);
        }
    }
    // The defaults are still in force.
    EXPECT_EQ(engine.Get(E("10.1.2.3.0"), "gimbal"), "STRING: \"12.04.0059\"");
    // A NUL-free community of the same bytes is taken.
    EXPECT_EQ(engine.Set(community, "x", "61626364"), "");
    EXPECT_EQ(engine.Get(community), "STRING: \"abcd\"");
}

// A SET is applied whole or not at all: a request whose remote-agent creation is refused at its
// write changes none of its other varbinds, whichever comes first, and creates no row.
TEST(HostileInputE2E, FailingMultiVarbindSetChangesNothing)
{
    EngineInstall engine;
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    auto destination = [](int c) { return E("14.2.2.1." + std::to_string(c) + ".1"); };
    ASSERT_EQ(engine.AddTrapDestination(1, "127.0.0.30", "pager", 4162), "");
    ASSERT_EQ(engine.Set(E("10.4.2.1.0"), "i", "555"), "");
    const std::vector<std::string> security = {"-v2c", "-c", "wendolmar"};
    // Row 5 is not the next row: the creation fails when it is written.
    const std::vector<std::string> refused = {E("10.6.2.1.2.5"), "i", "5"};
    const std::vector<std::string> changes = {destination(4), "s", "renamed", E("10.4.2.1.0"), "i", "777"};
    for (bool refusedFirst : {true, false}) {
        SCOPED_TRACE(refusedFirst ? "refused first" : "refused last");
        std::vector<std::string> args = refusedFirst ? refused : changes;
        const std::vector<std::string>& rest = refusedFirst ? changes : refused;
        args.insert(args.end(), rest.begin(), rest.end());
        int rc = 0;
        const std::string out = Tool("snmpset", security, engine, args, &rc);
        EXPECT_NE(rc, 0);
        EXPECT_NE(out.find("commitFailed"), std::string::npos) << out;
        EXPECT_EQ(engine.Get(destination(4)), "STRING: \"pager\"");
        EXPECT_EQ(engine.Get(E("10.4.2.1.0")), "INTEGER: 555");
        EXPECT_EQ(engine.Get(E("10.6.1.0")), "INTEGER: 0");
    }
    // And so it stays on disk.
    ASSERT_TRUE(engine.Kill());
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    EXPECT_EQ(engine.Get(destination(4)), "STRING: \"pager\"");
    EXPECT_EQ(engine.Get(E("10.4.2.1.0")), "INTEGER: 555");
}

TEST(HostileInputE2E, ManyVarbindsSaveOnceBeforeTheAnswerAndSurviveKill)
{
    EngineInstall engine;
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    auto saves = [&] {
        const std::string log = engine.LogText();
        size_t n = 0;
        for (size_t at = log.find("[CUserExtension::Save]:"); at != std::string::npos;
             at = log.find("[CUserExtension::Save]:", at + 1))
            ++n;
        return n;
    };
    const size_t before = saves();
    std::vector<std::string> args = {"-v2c", "-c", "wendolmar"};
    std::vector<std::string> rest;
    for (int i = 0; i < 100; ++i)
        rest.insert(rest.end(), {E("10.1.6.1.0"), "s", "server-" + std::to_string(i) + std::string(150, 'x')});
    rest.insert(rest.end(), {E("10.4.2.1.0"), "i", "777"});
    auto started = std::chrono::steady_clock::now();
    auto set = std::async(std::launch::async, [&] {
        int rc = 0;
        std::string out = Tool("snmpset", args, engine, rest, &rc);
        return std::make_pair(rc, out);
    });
    // A read meanwhile is answered too.
    int getRc = 0;
    const std::string got = Tool("snmpget", args, engine, {E("10.1.2.3.0")}, &getRc);
    auto [rc, out] = set.get();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_EQ(rc, 0) << out.substr(0, 300);
    EXPECT_EQ(getRc, 0) << got;
    EXPECT_LT(seconds, 5.0);
    EXPECT_EQ(saves() - before, 1u);

    // Acknowledged, so on disk: killed at once, the next start has the values.
    ASSERT_TRUE(engine.Kill());
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    EXPECT_EQ(engine.Get(E("10.1.6.1.0")), "STRING: \"server-99" + std::string(150, 'x') + "\"");
    EXPECT_EQ(engine.Get(E("10.4.2.1.0")), "INTEGER: 777");
}

TEST(HostileInputE2E, FloodsLeaveTheLogSmallAndTheEngineAnswering)
{
    EngineInstall engine;
    ASSERT_TRUE(engine.Start({"-l=info"})) << engine.ConsoleOutput();
    const size_t before = engine.LogText().size();
    Flood flood(engine.Port());
    for (int i = 0; i < 3000; ++i) {
        flood.Send(V2cGetPacket("nosuch" + std::to_string(i % 7), i, kSysUpTime));
        if (i % 3 == 0)
            flood.Send(std::string("\x30\x82\xff\xff garbage", 12));
        if (i % 100 == 0)
            usleep(1000);  // keeps the socket's buffer from overflowing
    }
    // Oversize requests from the read community: answers far beyond a datagram.
    ASSERT_EQ(engine.Set(E("10.1.6.1.0"), "s", std::string(255, 'x')), "");
    const std::vector<uint32_t> smtpServer = {1, 3, 6, 1, 4, 1, 64950, 10, 1, 6, 1, 0};
    for (int i = 0; i < 100; ++i) {
        flood.Send(V2cGetPacket("gimbal", i, smtpServer, 300));  // about 5 kB asking for about 80 kB
        ASSERT_EQ(flood.AnswerStatus(3000), 1) << "tooBig, request " << i;
    }
    flood.Send(V2cGetPacket("gimbal", 5, smtpServer, 200));
    EXPECT_EQ(flood.AnswerStatus(3000), 0) << "an answer that fits";
    EXPECT_EQ(engine.Get(E("10.1.2.3.0"), "gimbal"), "STRING: \"12.04.0059\"");
    const size_t grown = engine.LogText().size() - before;
    EXPECT_LT(grown, 4u * 1024) << engine.LogText().substr(before, 4000);
}

} // namespace
