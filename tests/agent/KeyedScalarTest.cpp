// The keyed scalars against a real server: what a GET asks, what a SET hands over, the requester
// address, the refusals of the check step, and the groups' order.

#include "engine/agent/EngineScalarGroups.h"
#include "engine/agent/KeyedScalars.h"
#include "engine/agent/MibRowCounts.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

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

// The scalar groups as the enterprise MIB defines them (E = 1.3.6.1.4.1.64950): instance OID under E,
// syntax, access and engine key, in OID order.
constexpr const char* kE = "1.3.6.1.4.1.64950";
constexpr unsigned char I = kSnmpInteger;
constexpr unsigned char S = kSnmpOctetString;
constexpr unsigned char A = kSnmpIpAddress;
constexpr bool RO = false;
constexpr bool RW = true;

struct Object {
    const char* oid;
    unsigned char syntax;
    bool writable;
    uint32_t key;
};

const Object kEngineDataObjects[] = { // 73 objects
    {"10.1.1.0", I, RO, 10}, {"10.1.2.1.0", A, RO, 0x85010007}, {"10.1.2.2.0", I, RO, 11},
    {"10.1.2.3.0", S, RO, 0x85010003}, {"10.1.2.4.0", I, RW, 1}, {"10.1.2.5.0", I, RW, 4}, {"10.1.2.6.0", S, RO, 20},
    {"10.1.2.7.1.0", I, RW, 35}, {"10.1.2.7.2.0", I, RW, 36}, {"10.1.2.7.3.0", I, RW, 37},
    {"10.1.2.7.4.0", S, RW, 38}, {"10.1.2.7.5.0", I, RW, 21}, {"10.1.2.8.0", I, RW, 39}, {"10.1.2.9.0", I, RO, 15},
    {"10.1.2.10.0", S, RO, 42}, {"10.1.2.11.0", I, RW, 49}, {"10.1.2.12.0", I, RW, 30}, {"10.1.2.14.0", I, RW, 67},
    {"10.1.2.15.0", S, RW, 17}, {"10.1.2.17.0", I, RO, 27}, {"10.1.2.18.1.0", I, RO, 70},
    {"10.1.2.18.2.0", I, RO, 71}, {"10.1.2.18.3.0", I, RO, 72}, {"10.1.2.18.4.0", I, RO, 73},
    {"10.1.2.18.5.0", I, RO, 74}, {"10.1.2.19.0", A, RW, 29}, {"10.1.3.1.0", I, RW, 5}, {"10.1.3.2.1.0", I, RW, 18},
    {"10.1.4.1.0", I, RO, 6}, {"10.1.4.2.0", I, RW, 7}, {"10.1.5.1.0", I, RW, 2}, {"10.1.5.2.0", I, RW, 3},
    {"10.1.5.3.1.0", I, RW, 22}, {"10.1.5.3.2.0", S, RW, 23}, {"10.1.5.3.3.0", I, RW, 24}, {"10.1.5.4.0", I, RW, 40},
    {"10.1.6.1.0", S, RW, 8}, {"10.1.6.2.0", S, RW, 9}, {"10.1.6.3.0", I, RW, 25}, {"10.1.6.4.0", I, RW, 32},
    {"10.1.6.5.0", S, RW, 33}, {"10.1.6.6.0", S, RW, 34}, {"10.1.7.1.0", S, RW, 16},
    {"10.1.9.1.0", I, RO, 0x8501000B}, {"10.1.10.1.0", I, RO, 0x8501000A}, {"10.1.11.1.0", S, RW, 51},
    {"10.1.11.2.0", I, RW, 52}, {"10.1.11.3.0", S, RW, 53}, {"10.1.11.4.0", I, RW, 54}, {"10.1.11.5.0", I, RW, 55},
    {"10.1.12.1.0", S, RW, 59}, {"10.1.12.2.0", I, RW, 60}, {"10.1.12.3.0", S, RW, 61}, {"10.1.12.4.0", S, RW, 62},
    {"10.1.12.5.0", I, RW, 63}, {"10.1.12.6.0", I, RW, 64}, {"10.1.12.7.0", I, RW, 65}, {"10.1.12.8.0", I, RW, 66},
    {"10.1.12.9.0", I, RW, 68}, {"10.1.12.10.0", I, RW, 69}, {"10.1.13.1.0", I, RO, 57}, {"10.1.13.2.0", I, RW, 58},
    {"10.1.13.3.0", I, RW, 26}, {"10.1.13.4.0", I, RW, 28}, {"10.1.13.5.0", S, RW, 75},
    {"10.1.13.6.1.1.0", I, RW, 83}, {"10.1.13.6.1.2.0", I, RW, 84}, {"10.1.13.6.2.1.0", I, RW, 85},
    {"10.1.13.6.2.2.0", I, RW, 86}, {"10.1.13.7.0", I, RW, 92}, {"10.1.13.8.0", I, RW, 93},
    {"10.1.13.9.0", S, RW, 94}, {"10.1.13.10.0", S, RW, 95},
};
const Object kEngineLogDataObjects[] = { // 13 objects
    {"10.4.1.1.0", I, RO, 13}, {"10.4.1.2.0", I, RW, 43}, {"10.4.1.3.0", I, RW, 44}, {"10.4.1.4.0", I, RW, 45},
    {"10.4.1.5.0", I, RW, 46}, {"10.4.2.1.0", I, RW, 14}, {"10.4.2.2.0", I, RW, 47}, {"10.4.2.3.0", I, RW, 48},
    {"10.4.2.4.1.0", I, RW, 87}, {"10.4.2.4.2.0", I, RW, 88}, {"10.4.2.4.3.0", I, RW, 89},
    {"10.4.2.4.4.0", I, RW, 90}, {"10.4.2.4.5.0", I, RW, 91},
};
const Object kEngineShutdownObjects[] = { // 1 objects
    {"10.5.1.0", I, RO, 19},
};
const Object kEngineConfigTimeStampObjects[] = { // 5 objects
    {"10.7.1.0", S, RO, 78}, {"10.7.2.0", S, RO, 79}, {"10.7.3.0", S, RO, 80}, {"10.7.4.0", S, RO, 81},
    {"10.7.5.0", S, RO, 82},
};
const Object kDevConsoleObjects[] = { // 24 objects
    {"11.1.0", I, RW, 0x85020006}, {"11.2.1.1.0", I, RW, 0x85020015}, {"11.2.1.2.0", I, RW, 0x85020016},
    {"11.2.1.3.1.0", I, RW, 0x85020017}, {"11.2.1.3.2.0", I, RW, 0x85020018}, {"11.2.1.3.3.0", S, RW, 0x85020019},
    {"11.2.1.3.4.0", S, RW, 0x8502001A}, {"11.2.1.3.5.0", S, RW, 0x8502001B}, {"11.2.1.3.6.0", S, RW, 0x8502001C},
    {"11.2.2.1.0", I, RW, 0x85020007}, {"11.2.2.2.0", I, RW, 0x85020008}, {"11.2.2.3.1.0", I, RW, 0x85020009},
    {"11.2.2.3.2.0", I, RW, 0x8502000A}, {"11.2.2.3.3.0", S, RW, 0x8502000B}, {"11.2.2.3.4.0", S, RW, 0x8502000C},
    {"11.2.2.3.5.0", I, RW, 0x8502000D}, {"11.2.2.3.6.0", I, RW, 0x8502000E}, {"11.3.1.1.0", I, RW, 0x8502000F},
    {"11.3.1.2.0", I, RW, 0x85020010}, {"11.3.2.1.0", I, RW, 0x85020012}, {"11.3.2.2.0", I, RW, 0x85020011},
    {"11.3.2.3.0", I, RW, 0x85020013}, {"11.3.2.4.0", S, RW, 0x85020014}, {"11.4.0", I, RW, 0x85020011},
};

uint32_t KeyOf(MibLeaf* leaf)
{
    if (auto* number = dynamic_cast<mervane_keyed_intoid*>(leaf))
        return number->key;
    if (auto* text = dynamic_cast<mervane_keyed_stroid*>(leaf))
        return text->key;
    if (auto* address = dynamic_cast<mervane_keyed_adroid*>(leaf))
        return address->key;
    return 0xFFFFFFFFu; // not a keyed scalar of these groups
}

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

    // Every object of every group, as the enterprise MIB defines it: a walk of the group meets exactly
    // these, in this order, each with its syntax, access and engine key.
    struct GroupCase {
        MibGroup* group;
        const char* root;
        const Object* objects;
        size_t count;
    };
    mervane_enginelogdata_mib log;
    mervane_engineshutdowndata_mib shutdown;
    mervane_engineconfigtimestamp_mib stamps;
    mervane_devconsole_mib console;
    GroupCase groups[] = {{&engine, "10.1", kEngineDataObjects, std::size(kEngineDataObjects)},
                          {&log, "10.4", kEngineLogDataObjects, std::size(kEngineLogDataObjects)},
                          {&shutdown, "10.5", kEngineShutdownObjects, std::size(kEngineShutdownObjects)},
                          {&stamps, "10.7", kEngineConfigTimeStampObjects, std::size(kEngineConfigTimeStampObjects)},
                          {&console, "11", kDevConsoleObjects, std::size(kDevConsoleObjects)}};
    for (const auto& g : groups) {
        SCOPED_TRACE(g.group->get_name());
        std::vector<std::string> walked;
        MibGroup::Target t;
        for (SnmpOid at = MakeOid((std::string(kE) + "." + g.root).c_str()); g.group->find_next(at, false, t); at = t.instance)
            walked.push_back(OidToString(t.instance));
        std::vector<std::string> expected;
        for (size_t i = 0; i < g.count; ++i)
            expected.push_back(std::string(kE) + "." + g.objects[i].oid);
        EXPECT_EQ(walked, expected);
        for (size_t i = 0; i < g.count; ++i) {
            const Object& object = g.objects[i];
            const std::string oid = std::string(kE) + "." + object.oid;
            ASSERT_EQ(g.group->find_exact(MakeOid(oid.c_str()), t), MibGroup::Found::Object) << oid;
            EXPECT_EQ(t.leaf->get_syntax(), object.syntax) << oid;
            EXPECT_EQ(t.leaf->get_access(), object.writable ? MibAccess::ReadWrite : MibAccess::ReadOnly) << oid;
            EXPECT_EQ(KeyOf(t.leaf), object.key) << oid;
        }
    }
    // The trap port's alias shares its key.
    MibGroup::Target port, alias;
    ASSERT_EQ(console.find_exact(MakeOid("1.3.6.1.4.1.64950.11.3.2.2.0"), port), MibGroup::Found::Object);
    ASSERT_EQ(console.find_exact(MakeOid("1.3.6.1.4.1.64950.11.4.0"), alias), MibGroup::Found::Object);
    EXPECT_EQ(dynamic_cast<mervane_keyed_intoid*>(port.leaf)->key, dynamic_cast<mervane_keyed_intoid*>(alias.leaf)->key);
}
