// The UPS-MIB's scalars and alarm cells against a server whose devices answer what the test sets: texts
// cut to their RFC 1628 sizes, enumerations that never read 0, the alarm identifiers and their rows.

#include "engine/agent/UpsMib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "support/TestSupport.h"
#include "tests/core/ServerTestSupport.h"
#include "engine/core/devices/WellKnownAlarms.h"
#include "engine/core/server/ServerEx.h"

namespace {

class AnsweringDevices : public IDeviceManager {
public:
    int GetValue(uint32_t key, int, EngineValue& value, uint32_t) override
    {
        auto it = values.find(key);
        if (it == values.end())
            return 0;
        value = it->second;
        return 1;
    }
    int GetAlarmValue(uint32_t key, uint32_t row, EngineValue& value) override
    {
        auto it = alarms.find({key, row});
        if (it == alarms.end())
            return 0;
        value = it->second;
        return 1;
    }
    std::map<uint32_t, EngineValue> values;
    std::map<std::pair<uint32_t, uint32_t>, EngineValue> alarms;
};

class UpsMibTest : public ::testing::Test {
protected:
    servertest::TestInstall install;
    servertest::CallLog calls;
    AnsweringDevices* devices = nullptr;
    MibRowCounts rows;

    void SetUp() override
    {
        vgtest::Log();
        ServerOptions options = install.Options(calls);
        auto answering = std::make_unique<AnsweringDevices>();
        devices = answering.get();
        options.devices = std::move(answering);
        ASSERT_NE(CreateServerInstance(std::move(options)), nullptr);
    }
    void TearDown() override { CServer::DeleteInstance(); }

    SnmpValue Get(MibGroup& group, const std::string& oid, int* status = nullptr)
    {
        MibGroup::Target target;
        EXPECT_EQ(group.find_exact(MakeOid(oid.c_str()), target), MibGroup::Found::Object) << oid;
        SnmpValue out;
        int result = -1;
        if (target.leaf)
            result = target.leaf->get_request(MibRequest{0x0100007F, target.instance, target.index, true}, out);
        if (status)
            *status = result;
        return out;
    }
};

} // namespace

TEST_F(UpsMibTest, ScalarsKeepTheirSizesAndEnumerations)
{
    const std::string longText(100, 'm');
    devices->values[0x85030009] = EngineValue::Text(longText); // upsIdentManufacturer
    devices->values[0x8503000A] = EngineValue::Text(longText); // upsIdentModel
    devices->values[0x85080001] = EngineValue::Integer(0xFFFFFFFFu); // upsInputLineBads
    ups_mib group(rows);
    const std::string u = "1.3.6.1.2.1.33.1.";
    EXPECT_EQ(Get(group, u + "1.1.0").bytes, longText.substr(0, 31));
    EXPECT_EQ(Get(group, u + "1.2.0").bytes, longText.substr(0, 63));
    // Nothing answers the status and the output source: their "unknown" and "other".
    EXPECT_EQ(Get(group, u + "2.1.0").integer, 1);
    EXPECT_EQ(Get(group, u + "4.1.0").integer, 1);
    devices->values[0x85070001] = EngineValue::Integer(3);
    EXPECT_EQ(Get(group, u + "2.1.0").integer, 3);
    const SnmpValue bads = Get(group, u + "3.1.0");
    EXPECT_EQ(bads.type, kSnmpCounter32);
    EXPECT_EQ(bads.integer, 0xFFFFFFFFLL);

    // A value outside the object's range is never served: an enumeration reads its "unknown", a
    // reading without one has no instance. So has a reading the device does not answer.
    const struct {
        const char* object;
        uint32_t key;
        int64_t answer; // -1: not answered
        int status;
        int64_t value;
    } cases[] = {
        {"2.1.0", 0x85070001, 9, kSnmpErrNoError, 1},         // upsBatteryStatus 1..4
        {"4.1.0", 0x85090001, 5, kSnmpErrNoError, 5},         // upsOutputSource 1..7
        {"4.1.0", 0x85090001, 8, kSnmpErrNoError, 1},
        {"2.2.0", 0x85070002, -1, kMibNoInstance, 0},         // upsSecondsOnBattery
        {"2.2.0", 0x85070002, 0, kSnmpErrNoError, 0},
        {"2.3.0", 0x85070003, -1, kMibNoInstance, 0},         // upsEstimatedMinutesRemaining 1..
        {"2.3.0", 0x85070003, 0, kMibNoInstance, 0},
        {"2.3.0", 0x85070003, 17, kSnmpErrNoError, 17},
        {"2.4.0", 0x85070004, 101, kMibNoInstance, 0},        // upsEstimatedChargeRemaining 0..100
        {"2.4.0", 0x85070004, 100, kSnmpErrNoError, 100},
        {"2.6.0", 0x85070006, 0xFFFFFFF6, kSnmpErrNoError, -10}, // upsBatteryCurrent, an Integer32
        {"4.2.0", 0x85090002, 0x80000000, kMibNoInstance, 0}, // upsOutputFrequency 0..
        {"5.1.0", 0x85090081, -1, kMibNoInstance, 0},         // upsBypassFrequency
    };
    for (const auto& c : cases) {
        devices->values.erase(c.key);
        if (c.answer >= 0)
            devices->values[c.key] = EngineValue::Integer(static_cast<uint32_t>(c.answer));
        int status = -1;
        const SnmpValue value = Get(group, u + c.object, &status);
        EXPECT_EQ(status, c.status) << c.object << " " << c.answer;
        if (status == kSnmpErrNoError) {
            EXPECT_EQ(value.integer, c.value) << c.object << " " << c.answer;
        }
    }
}

// upsAlarmDescr names the well-known alarm of a description, whatever its letter case, blanks and
// punctuation; a description that names none is a general fault.
TEST(UpsWellKnownAlarms, DescriptionsNameTheirAlarm)
{
    const struct {
        const char* description;
        uint32_t number;
    } cases[] = {
        {"On Battery", 2},         {"Low Battery", 3},         {"Battery low", 3},    {"ON_BATTERY", 2},
        {"upsAlarmOnBattery", 2},  {"Replace Battery", 1},     {"Battery Depleted", 4}, {"Overload", 8},
        {"Output Overload", 8},    {"On Bypass", 9},           {"Over Temperature", 5}, {"Fan Failure", 16},
        {"Shutdown Imminent", 23}, {"Test In Progress", 24},   {"Offline", 20},       {"Communications Lost", 20},
        {"Configuration", 18},     {"General Fault", 18},      {"Battery", 18},       {"", 18},
        {"On Battery Soon", 18},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WellKnownAlarmNumber(c.description), c.number) << c.description;
        SnmpOid expected = {1, 3, 6, 1, 2, 1, 33, 1, 6, 3, c.number};
        EXPECT_EQ(UpsWellKnownAlarm(c.description), expected) << c.description;
    }
}

TEST_F(UpsMibTest, AlarmCellsNameTheirAlarmByRow)
{
    ASSERT_EQ(rows.upsAlarms.Add(), 1u);
    ASSERT_EQ(rows.upsAlarms.Add(), 2u);
    ASSERT_EQ(rows.upsAlarms.Add(), 3u);
    rows.upsAlarms.Remove(2);
    for (int i = 0; i < 3; ++i)
        rows.engineAlarms.Add();
    rows.engineAlarms.Remove(2);
    devices->alarms[{0x8301000C, 1}] = EngineValue::Text("Offline");
    devices->alarms[{0x8301000C, 3}] = EngineValue::Text("Battery low");
    devices->alarms[{0x8301000D, 3}] = EngineValue::Integer(4242);
    EngineValue id;
    id.type = kValueObjectId;
    const uint32_t words[] = {1, 3, 6, 1, 4, 1, 64950, 7};
    id.bytes.assign(reinterpret_cast<const char*>(words), sizeof words);
    devices->alarms[{0x8301000B, 3}] = id;
    ups_mib ups(rows);
    mervane_ups_mib enterprise(rows, nullptr);
    const std::string u = "1.3.6.1.2.1.33.1.6.";
    EXPECT_EQ(Get(ups, u + "1.0").integer, 2);
    EXPECT_EQ(Get(ups, u + "1.0").type, kSnmpGauge32);
    EXPECT_EQ(Get(ups, u + "2.1.2.1").oid, (SnmpOid{1, 3, 6, 1, 2, 1, 33, 1, 6, 3, 20}));
    EXPECT_EQ(Get(ups, u + "2.1.2.3").oid, (SnmpOid{1, 3, 6, 1, 2, 1, 33, 1, 6, 3, 3})) << "low battery";
    const SnmpValue time = Get(ups, u + "2.1.3.3");
    EXPECT_EQ(time.type, kSnmpTimeTicks);
    EXPECT_EQ(time.integer, 4242);
    // The removed row is gone; the next walk step from row 1 is row 3.
    MibGroup::Target target;
    EXPECT_EQ(ups.find_exact(MakeOid((u + "2.1.1.2").c_str()), target), MibGroup::Found::NoSuchInstance);
    ASSERT_TRUE(ups.find_next(MakeOid((u + "2.1.1.1").c_str()), false, target));
    EXPECT_EQ(OidToString(target.instance), u + "2.1.1.3");

    // The enterprise table: the alarm's own identifier, or zeroDotZero for an alarm without one.
    const std::string e = "1.3.6.1.4.1.64950.100.1.6.2.1.";
    EXPECT_EQ(Get(enterprise, e + "2.3").oid, (SnmpOid{1, 3, 6, 1, 4, 1, 64950, 7}));
    EXPECT_EQ(Get(enterprise, e + "2.1").oid, (SnmpOid{0, 0}));
    EXPECT_EQ(Get(enterprise, e + "4.3").bytes, "Battery low");
    EXPECT_EQ(Get(enterprise, e + "3.3").integer, 4242);
}
