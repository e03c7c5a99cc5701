// The keyed scalars against a real server: what a GET asks, what a SET hands over, the requester
// address, the refusals of the check step, and the groups' order.

#include "engine/agent/EngineScalarGroups.h"
#include "engine/agent/KeyedScalars.h"
#include "engine/agent/MibRowCounts.h"

#include <gtest/gtest.h>

#include "engine/core/server/ServerEx.h"
#include "support/TestSupport.h"
#include "tests/core/ServerTestSupport.h"

using namespace servertest;

namespace {

constexpr uint32_t kEngineAddress = 0x0900007Fu; // 127.0.0.9
constexpr uint32_t kRequester = 0x0400007Fu;     // 127.0.0.4

class KeyedScalarTest : public ::testing::Test {
protected:
    TestInstall install;
    CallLog calls;

    void SetUp() override
    {
        vgtest::Log();
        CServer* server = CreateServerInstance(install.Options(calls, kEngineAddress));
        ASSERT_TRUE(server->Start(0, 0, 3665, "wendolmar"));
        ASSERT_TRUE(WaitUntil([&] { return server->IsStarted(); }));
    }
    void TearDown() override { CServer::DeleteInstance(); }

    static MibRequest From(uint32_t requester) { return MibRequest{requester, {}, {}, true}; }
    static SnmpValue Get(MibLeaf& leaf, uint32_t requester = kRequester)
    {
        SnmpValue out;
        EXPECT_EQ(leaf.get_request(From(requester), out), kSnmpErrNoError);
        return out;
    }
    // The check step, then (when it passes) the commit, as the framework drives a SET.
    static int Set(MibLeaf& leaf, const SnmpValue& value, uint32_t requester = kRequester)
    {
        int status = leaf.prepare_set_request(From(requester), value);
        if (status != kSnmpErrNoError)
            return status;
        return leaf.commit_set_request(From(requester), value);
    }
};

} // namespace

TEST_F(KeyedScalarTest, IntegerScalarsReadAndWriteThroughTheServer)
{
    mervane_keyed_intoid constant("1.3.6.1.4.1.64950.10.4.1.1.0", MibAccess::ReadOnly, 13);
    EXPECT_EQ(Get(constant).integer, 1000);
    EXPECT_EQ(Get(constant).type, kSnmpInteger);

    mervane_keyed_intoid zero("1.3.6.1.4.1.64950.33.1.0", MibAccess::ReadOnly, 0);
    EXPECT_EQ(Get(zero).integer, 0);

    mervane_keyed_intoid eventLogMax("1.3.6.1.4.1.64950.10.4.2.1.0", MibAccess::ReadWrite, 14);
    struct Case {
        int32_t written;
        int32_t reads;
    } clamps[] = {{50, 100}, {30000, 20000}, {500, 500}};
    for (const auto& c : clamps) {
        EXPECT_EQ(Set(eventLogMax, SnmpValue::Integer(c.written)), kSnmpErrNoError);
        EXPECT_EQ(Get(eventLogMax).integer, c.reads);
    }

    // A write the server ignores still succeeds and changes nothing.
    mervane_keyed_intoid ignored("1.3.6.1.4.1.64950.10.1.2.4.0", MibAccess::ReadWrite, 1);
    EXPECT_EQ(Set(ignored, SnmpValue::Integer(77)), kSnmpErrNoError);
    EXPECT_EQ(Get(ignored).integer, 0);

    // The check step refuses another syntax and read-only objects.
    EXPECT_EQ(Set(eventLogMax, SnmpValue::Octets("500")), kSnmpErrWrongType);
    EXPECT_EQ(Set(constant, SnmpValue::Integer(5)), kSnmpErrNotWritable);

    // The requester reaches the server: the activation GET registers that address.
    mervane_keyed_intoid activation("1.3.6.1.4.1.64950.10.1.1.0", MibAccess::ReadOnly, 10);
    calls.Clear();
    EXPECT_EQ(Get(activation, kRequester).integer, 1);
    EXPECT_TRUE(calls.Has("consoles.Activate " + std::to_string(kRequester)));
}

TEST_F(KeyedScalarTest, TextScalarsAnswerTextsOnly)
{
    mervane_keyed_stroid version("1.3.6.1.4.1.64950.10.1.2.3.0", MibAccess::ReadOnly, 0x85010003);
    EXPECT_EQ(Get(version).bytes, "12.04.0059");
    EXPECT_EQ(Get(version).type, kSnmpOctetString);

    // A key that answers a number reads as an empty text.
    mervane_keyed_stroid numberKey("1.3.6.1.4.1.64950.10.1.2.9.0", MibAccess::ReadOnly, 15);
    EXPECT_EQ(Get(numberKey).bytes, "");

    mervane_keyed_stroid text16("1.3.6.1.4.1.64950.10.1.7.1.0", MibAccess::ReadWrite, 16);
    EXPECT_EQ(Set(text16, SnmpValue::Octets(std::string("ab\0cd", 5))), kSnmpErrNoError);
    EXPECT_EQ(Get(text16).bytes, "ab"); // up to the first NUL

    const std::string longest(255, 'x');
    EXPECT_EQ(Set(text16, SnmpValue::Octets(longest)), kSnmpErrNoError);
    EXPECT_EQ(Get(text16).bytes, longest);
    EXPECT_EQ(Set(text16, SnmpValue::Octets(std::string(256, 'y'))), kSnmpErrWrongLength);
    EXPECT_EQ(Get(text16).bytes, longest);
    EXPECT_EQ(Set(text16, SnmpValue::Integer(1)), kSnmpErrWrongType);
    EXPECT_EQ(Set(version, SnmpValue::Octets("1")), kSnmpErrNotWritable);
}

TEST_F(KeyedScalarTest, AddressAndGaugeScalars)
{
    mervane_keyed_adroid engineIp("1.3.6.1.4.1.64950.10.1.2.1.0", MibAccess::ReadOnly, 0x85010007);
    EXPECT_EQ(Get(engineIp, kRequester).type, kSnmpIpAddress);
    EXPECT_EQ(static_cast<uint32_t>(Get(engineIp, kRequester).integer), kEngineAddress);
    EXPECT_EQ(static_cast<uint32_t>(Get(engineIp, 0x0100000Au).integer), kEngineAddress);

    // The configured address reads as the engine's own while it is 0, and a write reaches the server.
    mervane_keyed_adroid configured("1.3.6.1.4.1.64950.10.1.2.19.0", MibAccess::ReadWrite, 29);
    EXPECT_EQ(static_cast<uint32_t>(Get(configured).integer), kEngineAddress);
    EXPECT_EQ(Set(configured, SnmpValue::IpAddress(0x0300007Fu)), kSnmpErrNoError);
    EXPECT_EQ(static_cast<uint32_t>(Get(configured).integer), 0x0300007Fu);
    EXPECT_EQ(Set(configured, SnmpValue::Integer(5)), kSnmpErrWrongType);

    AlarmRows alarms;
    mervane_keyed_gaugeoid count("1.3.6.1.2.1.33.1.6.1.0", MibAccess::ReadOnly, kUpsAlarmCountKey, &alarms);
    mervane_keyed_gaugeoid other("1.3.6.1.2.1.33.1.6.9.0", MibAccess::ReadOnly, 0x83010001, &alarms);
    alarms.Add();
    alarms.Add();
    EXPECT_EQ(Get(count).type, kSnmpGauge32);
    EXPECT_EQ(Get(count).integer, 2);
    EXPECT_EQ(Get(other).integer, 0);
}

TEST(KeyedScalarsWithoutServer, ReadEmptyAndIgnoreWrites)
{
    ASSERT_EQ(CServer::Instance(), nullptr);
    mervane_keyed_intoid number("1.3.6.1.4.1.64950.10.4.1.1.0", MibAccess::ReadWrite, 13);
    mervane_keyed_stroid text("1.3.6.1.4.1.64950.10.1.2.3.0", MibAccess::ReadWrite, 0x85010003);
    mervane_keyed_adroid address("1.3.6.1.4.1.64950.10.1.2.1.0", MibAccess::ReadWrite, 0x85010007);
    SnmpValue out;
    MibRequest request;
    EXPECT_EQ(number.get_request(request, out), kSnmpErrNoError);
    EXPECT_EQ(out.integer, 0);
    EXPECT_EQ(text.get_request(request, out), kSnmpErrNoError);
    EXPECT_EQ(out.bytes, "");
    EXPECT_EQ(address.get_request(request, out), kSnmpErrNoError);
    EXPECT_EQ(out.integer, 0);
    EXPECT_EQ(number.commit_set_request(request, SnmpValue::Integer(1)), kSnmpErrNoError);
    EXPECT_EQ(text.commit_set_request(request, SnmpValue::Octets("x")), kSnmpErrNoError);
}

TEST(EngineScalarGroups, WalkOrderAndObjectKinds)
{
    mervane_enginedata_mib engine;
    MibGroup::Target target;
    ASSERT_TRUE(engine.find_next(MakeOid("1.3.6.1.4.1.64950.10.1"), false, target));
    EXPECT_EQ(OidToString(target.instance), "1.3.6.1.4.1.64950.10.1.1.0");
    ASSERT_TRUE(engine.find_next(MakeOid("1.3.6.1.4.1.64950.10.1.9.1.0"), false, target));
    EXPECT_EQ(OidToString(target.instance), "1.3.6.1.4.1.64950.10.1.10.1.0");
    SnmpOid from = target.instance;
    ASSERT_TRUE(engine.find_next(from, false, target));
    EXPECT_EQ(OidToString(target.instance), "1.3.6.1.4.1.64950.10.1.11.1.0");
    ASSERT_TRUE(engine.find_next(MakeOid("1.3.6.1.4.1.64950.10.1.13.9.0"), false, target));
    EXPECT_EQ(OidToString(target.instance), "1.3.6.1.4.1.64950.10.1.13.10.0");
    from = target.instance;
    EXPECT_FALSE(engine.find_next(from, false, target));

    // Every object of every group is served, with its syntax and access; the alias shares its key.
    struct GroupCase {
        MibGroup* group;
        KeyedScalarTable table;
        size_t count;
    };
    mervane_enginelogdata_mib log;
    mervane_engineshutdowndata_mib shutdown;
    mervane_engineconfigtimestamp_mib stamps;
    mervane_devconsole_mib console;
    GroupCase groups[] = {{&engine, EngineDataScalars(), 73},
                          {&log, EngineLogDataScalars(), 13},
                          {&shutdown, EngineShutdownScalars(), 1},
                          {&stamps, EngineConfigTimeStampScalars(), 5},
                          {&console, DevConsoleScalars(), 24}};
    for (const auto& g : groups) {
        SCOPED_TRACE(g.group->get_name());
        EXPECT_EQ(g.table.count, g.count);
        for (size_t i = 0; i < g.table.count; ++i) {
            const KeyedScalarSpec& entry = g.table.specs[i];
            MibGroup::Target t;
            ASSERT_EQ(g.group->find_exact(MakeOid(entry.oid), t), MibGroup::Found::Object) << entry.oid;
            EXPECT_EQ(t.leaf->get_syntax(), entry.syntax) << entry.oid;
            EXPECT_EQ(t.leaf->get_access(), entry.writable ? MibAccess::ReadWrite : MibAccess::ReadOnly) << entry.oid;
        }
    }
    MibGroup::Target port, alias;
    ASSERT_EQ(console.find_exact(MakeOid("1.3.6.1.4.1.64950.11.3.2.2.0"), port), MibGroup::Found::Object);
    ASSERT_EQ(console.find_exact(MakeOid("1.3.6.1.4.1.64950.11.4.0"), alias), MibGroup::Found::Object);
    EXPECT_EQ(dynamic_cast<mervane_keyed_intoid*>(port.leaf)->key, dynamic_cast<mervane_keyed_intoid*>(alias.leaf)->key);
}
