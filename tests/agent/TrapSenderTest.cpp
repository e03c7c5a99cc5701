// The trap sender's record: destinations, notification id, varbinds, refusals, the debug record, and a
// real trap through the SNMP thread.

#include "engine/agent/MervaneSnmp.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/AgentHost.h"
#include "support/TestSupport.h"
#include "tests/support/TrapReceiver.h"

namespace {

const std::vector<uint32_t> kE = {1, 3, 6, 1, 4, 1, 64950};

std::vector<uint32_t> EOid(std::initializer_list<uint32_t> tail)
{
    std::vector<uint32_t> oid = kE;
    oid.insert(oid.end(), tail);
    return oid;
}

TrapVarbind IntVarbind(std::vector<uint32_t> oid, int32_t value, int syntax = kTrapSyntaxInteger)
{
    TrapVarbind vb;
    vb.oid = std::move(oid);
    vb.syntax = syntax;
    vb.integer = value;
    return vb;
}

TrapVarbind TextVarbind(std::vector<uint32_t> oid, std::string text)
{
    TrapVarbind vb;
    vb.oid = std::move(oid);
    vb.syntax = kTrapSyntaxOctetString;
    vb.octets = std::move(text);
    return vb;
}

TrapData ConsoleRecord(const std::string& peer, int port)
{
    TrapData t;
    t.engine = "vgagent12";
    t.version = 0;
    t.peername = peer;
    t.port = port;
    t.community = "wendolmar";
    t.trapOid = EOid({15, 0, 1001, 0});
    t.agent = "enginehost.example";
    t.type = 6;
    t.specific = 1001;
    t.varbinds.push_back(IntVarbind(EOid({10, 4, 2, 1, 0}), 50));
    return t;
}

// A sender whose queue is a vector, with a scripted resolver.
struct Fixture {
    std::vector<SnmpTrap> posted;
    std::map<std::string, uint32_t> names;
    std::vector<std::string> lookedUp;
    mervane_trap_sender sender{
        [this](SnmpTrap t) { posted.push_back(std::move(t)); return true; },
        [] { return std::string("00:11:22:33:44:55"); },
        [this](const std::string& name, uint32_t& address) {
            lookedUp.push_back(name);
            auto it = names.find(name);
            if (it == names.end())
                return false;
            address = it->second;
            return true;
        }};
};

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a | b << 8 | c << 16 | d << 24; }

} // namespace

TEST(TrapSender, DestinationsAndTheLoopbackRewrite)
{
    vgtest::Log();
    struct Case {
        const char* peer;
        const char* agent;
        int result;
        const char* sentTo;   // nullptr: nothing queued
        const char* peerAfter;
    } cases[] = {
        {"0.0.0.0", "enginehost.example", kTrapHanded, nullptr, "0.0.0.0"},
        {"127.0.0.1", "enginehost.example", kTrapHanded, "127.0.0.9", "enginehost.example"},
        {"127.0.0.1", "nowhere.example", kTrapHanded, "127.0.0.1", "nowhere.example"},
        {"127.0.0.1", "", kTrapHanded, "127.0.0.1", ""},
        {"127.0.0.3", "enginehost.example", kTrapHanded, "127.0.0.3", "127.0.0.3"},
        {"console.example", "enginehost.example", kTrapHanded, "127.0.0.7", "console.example"},
        {"nowhere.example", "enginehost.example", kTrapBadAddress, nullptr, "nowhere.example"},
        {"300.1.1.1", "enginehost.example", kTrapBadAddress, nullptr, "300.1.1.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.peer + std::string(" / ") + c.agent);
        Fixture f;
        f.names = {{"enginehost.example", Ip(127, 0, 0, 9)}, {"console.example", Ip(127, 0, 0, 7)}};
        TrapData record = ConsoleRecord(c.peer, 0x10000 + 3665);
        record.agent = c.agent;
        vgtest::Log();
        EXPECT_EQ(f.sender.sendtrap(record), c.result);
        EXPECT_EQ(record.peername, c.peerAfter);
        if (c.sentTo) {
            ASSERT_EQ(f.posted.size(), 1u);
            EXPECT_EQ(f.posted[0].peer, c.sentTo);
            EXPECT_EQ(f.posted[0].port, 3665); // the low 16 bits
        } else {
            EXPECT_TRUE(f.posted.empty());
        }
    }
    EXPECT_TRUE(vgtest::Log().Contains(
        "mervane_trap_sender::sendtrap(): address not valid [pData->peername = nowhere.example]"));
}

TEST(TrapSender, NotificationIdVarbindsAndTheMacLast)
{
    Fixture f;
    TrapData record = ConsoleRecord("127.0.0.5", 3665);
    record.varbinds.push_back(IntVarbind(EOid({10, 1, 2, 19, 0}), static_cast<int32_t>(Ip(127, 0, 0, 5)),
                                         kTrapSyntaxIpAddress));
    record.varbinds.push_back(TextVarbind(EOid({10, 1, 6, 1, 0}), "smtp.example"));
    TrapVarbind oidValue;
    oidValue.oid = EOid({10, 2, 2});
    oidValue.syntax = kTrapSyntaxObjectId;
    oidValue.objectId = {1, 3, 6, 1};
    record.varbinds.push_back(oidValue);
    TrapVarbind odd;
    odd.oid = EOid({10, 9, 9, 0});
    odd.syntax = 99;
    record.varbinds.push_back(odd);

    ASSERT_EQ(f.sender.sendtrap(record), kTrapHanded);
    ASSERT_EQ(f.posted.size(), 1u);
    const SnmpTrap& t = f.posted[0];
    EXPECT_EQ(t.version, 0);
    EXPECT_EQ(t.enterprise, kE);
    EXPECT_EQ(t.generic, 6);
    EXPECT_EQ(t.specific, 1001);
    EXPECT_EQ(t.trapOid, EOid({15, 0, 1001})); // the trailing 0 dropped
    EXPECT_EQ(t.community, "wendolmar");
    ASSERT_EQ(t.varbinds.size(), 6u);
    EXPECT_EQ(t.varbinds[0].value.type, kSnmpInteger);
    EXPECT_EQ(t.varbinds[0].value.integer, 50);
    EXPECT_EQ(t.varbinds[1].value.type, kSnmpInteger); // syntax 64 travels as Integer32
    EXPECT_EQ(static_cast<uint32_t>(t.varbinds[1].value.integer), Ip(127, 0, 0, 5));
    EXPECT_EQ(t.varbinds[2].value.bytes, "smtp.example");
    EXPECT_EQ(t.varbinds[3].value.oid, (SnmpOid{1, 3, 6, 1}));
    EXPECT_EQ(t.varbinds[4].value.type, kSnmpNull); // an unknown syntax goes with an empty value
    EXPECT_EQ(t.varbinds[5].oid, EOid({10, 1, 2, 6, 0}));
    EXPECT_EQ(t.varbinds[5].value.bytes, "00:11:22:33:44:55");

    // A trap OID that does not end in 0 is used whole; version 1 makes an SNMPv2c notification.
    TrapData v2 = ConsoleRecord("127.0.0.5", 3665);
    v2.version = 1;
    v2.trapOid = EOid({15, 0, 1002});
    ASSERT_EQ(f.sender.sendtrap(v2), kTrapHanded);
    EXPECT_EQ(f.posted.back().version, 1);
    EXPECT_EQ(f.posted.back().trapOid, EOid({15, 0, 1002}));
    // Any other version is SNMPv1.
    TrapData other = ConsoleRecord("127.0.0.5", 3665);
    other.version = 7;
    ASSERT_EQ(f.sender.sendtrap(other), kTrapHanded);
    EXPECT_EQ(f.posted.back().version, 0);
}

TEST(TrapSender, RefusedRecordsAreLoggedAndSendNothing)
{
    Fixture f;
    TrapData full = ConsoleRecord("127.0.0.5", 3665);
    full.varbinds.assign(31, IntVarbind(EOid({10, 4, 2, 1, 0}), 1));
    EXPECT_EQ(f.sender.sendtrap(full), kTrapHanded);
    ASSERT_EQ(f.posted.size(), 1u);
    EXPECT_EQ(f.posted[0].varbinds.size(), 32u);

    struct Case {
        const char* name;
        void (*change)(TrapData&);
        const char* logged;
    } cases[] = {
        {"32 varbinds", [](TrapData& t) { t.varbinds.assign(32, IntVarbind(EOid({10, 4, 2, 1, 0}), 1)); },
         "more than 31 varbinds (32)"},
        {"no trap OID", [](TrapData& t) { t.trapOid.clear(); }, "no trap OID"},
        {"SNMPv3 target", [](TrapData& t) { t.version = 3; }, "SNMPv3 trap targets are not supported"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TrapData record = ConsoleRecord("0.0.0.0", 3665); // refused before the destination is looked at
        c.change(record);
        f.posted.clear();
        EXPECT_EQ(f.sender.sendtrap(record), kTrapRefused);
        EXPECT_TRUE(f.posted.empty());
        EXPECT_TRUE(vgtest::Log().Contains(c.logged));
    }
}

TEST(TrapSender, DebugRecordText)
{
    TrapData record = ConsoleRecord("127.0.0.1", 3665);
    record.varbinds.push_back(TextVarbind(EOid({10, 1, 6, 1, 0}), "abc"));
    record.varbinds.push_back(TextVarbind(EOid({10, 1, 6, 2, 0}), std::string("\0x", 2)));
    record.varbinds.push_back(TextVarbind(EOid({10, 1, 6, 5, 0}), ""));
    TrapVarbind oidValue;
    oidValue.oid = {1, 3};
    oidValue.syntax = kTrapSyntaxObjectId;
    oidValue.objectId = {1, 300};
    record.varbinds.push_back(oidValue);
    TrapVarbind noValue = IntVarbind({1, 4}, 9);
    noValue.hasValue = false;
    record.varbinds.push_back(noValue);

    AppLogRecord r = TrapDebugRecord(record);
    EXPECT_EQ(r.Title(), "Sending Trap to 127.0.0.1:3665; community=wendolmar, engine=vgagent12, version=0, "
                         "agent=enginehost.example, type=6, specific=1001, varbind count=6");
    EXPECT_EQ(r.Lines(), (std::vector<std::string>{
                             "Trap OID length=11; OID=1.3.6.1.4.1.64950.15.0.1001.0",
                             "[VB#0: OID Length=12, OID=1.3.6.1.4.1.64950.10.4.2.1.0, type=2, length=4, value=32 00 00 00]",
                             "[VB#1: OID Length=12, OID=1.3.6.1.4.1.64950.10.1.6.1.0, type=4, length=3, value=abc]",
                             "[VB#2: OID Length=12, OID=1.3.6.1.4.1.64950.10.1.6.2.0, type=4, length=2, value=00 78]",
                             "[VB#3: OID Length=12, OID=1.3.6.1.4.1.64950.10.1.6.5.0, type=4]",
                             "[VB#4: OID Length=2, OID=1.3, type=6, length=2, value=01 00 00 00 2c 01 00 00]",
                             "[VB#5: OID Length=2, OID=1.4, type=2]",
                         }));
    TrapData noOid = record;
    noOid.trapOid.clear();
    EXPECT_EQ(TrapDebugRecord(noOid).Lines().front().rfind("[VB#0", 0), 0u);
}

TEST(TrapSender, RealTrapThroughTheSnmpThread)
{
    auto& host = vgtest::AgentHost::Get();
    ASSERT_EQ(host.Result().status, 0);
    traptest::TrapReceiver receiver;
    mervane_trap_sender sender([&](SnmpTrap t) { return host.Thread().PostTrap(std::move(t)); },
                               [] { return std::string("00.00.00.00.00.00"); });
    TrapData record = ConsoleRecord("127.0.0.1", receiver.Port());
    record.agent = "localhost";
    record.varbinds.push_back(IntVarbind(EOid({10, 1, 2, 19, 0}), static_cast<int32_t>(Ip(10, 1, 2, 3)),
                                         kTrapSyntaxIpAddress));
    record.varbinds.push_back(TextVarbind(EOid({10, 1, 6, 1, 0}), "smtp"));
    ASSERT_EQ(sender.sendtrap(record), kTrapHanded);
    ASSERT_TRUE(receiver.WaitFor(1));
    auto t = receiver.Traps()[0];
    ASSERT_TRUE(t.ok);
    EXPECT_EQ(t.version, 0);
    EXPECT_EQ(t.pduType, 0xA4);
    EXPECT_EQ(t.community, "wendolmar");
    EXPECT_EQ(t.enterprise, "1.3.6.1.4.1.64950");
    EXPECT_EQ(t.generic, 6);
    EXPECT_EQ(t.specific, 1001);
    ASSERT_EQ(t.varbinds.size(), 4u);
    EXPECT_EQ(t.varbinds[0].oid, "1.3.6.1.4.1.64950.10.4.2.1.0");
    EXPECT_EQ(t.varbinds[0].integer, 50);
    EXPECT_EQ(t.varbinds[1].type, 0x02);
    EXPECT_EQ(static_cast<uint32_t>(t.varbinds[1].integer), Ip(10, 1, 2, 3));
    EXPECT_EQ(t.varbinds[2].text, "smtp");
    EXPECT_EQ(t.varbinds[3].oid, "1.3.6.1.4.1.64950.10.1.2.6.0");
    EXPECT_EQ(t.varbinds[3].text, "00.00.00.00.00.00");

    // While the agent is paused (its own socket not read), traps still go out.
    host.Thread().SetPaused(true);
    TrapData again = ConsoleRecord("127.0.0.1", receiver.Port());
    again.agent = "localhost";
    EXPECT_EQ(sender.sendtrap(again), kTrapHanded);
    EXPECT_TRUE(receiver.WaitFor(2));
    host.Thread().SetPaused(false);
}
