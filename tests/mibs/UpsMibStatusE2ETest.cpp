// The standard UPS-MIB as a UPS-MIB client (a UPS monitor, a monitoring plug-in, a metrics exporter)
// reads it from the real engine watching a simulated UPS agent: the power objects follow the alarms of
// the UPS the engine answers for, and no object ever reads outside its RFC 1628 range.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>

#include "MibRig.h"

using mibrig::Rig;
using mibrig::Varbind;
using vgtest::WaitUntil;

namespace {

const std::string kU = "1.3.6.1.2.1.33.1.";
const std::string kOutputSource = kU + "4.1.0";
const std::string kBatteryStatus = kU + "2.1.0";
const std::string kSecondsOnBattery = kU + "2.2.0";

// The value's number ("INTEGER: 5", "Gauge32: 2", "Timeticks: (42) 0:00:00.42"); -1 for none.
long long Number(const std::string& value)
{
    const size_t open = value.find('(');
    const size_t colon = value.find(": ");
    const char* at = open != std::string::npos ? value.c_str() + open + 1
                     : colon != std::string::npos ? value.c_str() + colon + 2
                                                  : nullptr;
    return at ? std::strtoll(at, nullptr, 10) : -1;
}

// Every scalar the walk returns and every alarm cell, against its RFC 1628 syntax and range.
void ExpectEveryObjectInRange(const std::vector<Varbind>& walk)
{
    struct Range {
        std::string type;
        long long low;
        long long high;
    };
    const long long kMax = 2147483647;
    const std::map<std::string, Range> ranges = {
        {kU + "1.1.0", {"STRING", 0, 31}},  {kU + "1.2.0", {"STRING", 0, 63}},   {kU + "1.3.0", {"STRING", 0, 63}},
        {kU + "1.4.0", {"STRING", 0, 63}},  {kU + "1.5.0", {"STRING", 0, 63}},   {kU + "1.6.0", {"STRING", 0, 63}},
        {kU + "2.1.0", {"INTEGER", 1, 4}},  {kU + "2.2.0", {"INTEGER", 0, kMax}}, {kU + "2.3.0", {"INTEGER", 1, kMax}},
        {kU + "2.4.0", {"INTEGER", 0, 100}}, {kU + "2.5.0", {"INTEGER", 0, kMax}}, {kU + "3.1.0", {"Counter32", 0, 4294967295LL}},
        {kU + "3.2.0", {"INTEGER", 0, kMax}}, {kU + "4.1.0", {"INTEGER", 1, 7}}, {kU + "4.2.0", {"INTEGER", 0, kMax}},
        {kU + "4.3.0", {"INTEGER", 0, kMax}}, {kU + "5.1.0", {"INTEGER", 0, kMax}}, {kU + "5.2.0", {"INTEGER", 0, kMax}},
        {kU + "6.1.0", {"Gauge32", 0, 4294967295LL}},
    };
    for (const Varbind& vb : walk) {
        std::string object = vb.oid;
        if (object.rfind(kU + "6.2.1.", 0) == 0) {
            // upsAlarmTable: upsAlarmId PositiveInteger, upsAlarmDescr a well-known alarm, upsAlarmTime.
            const char column = object[(kU + "6.2.1.").size()];
            if (column == '1')
                EXPECT_GE(Number(vb.value), 1) << vb.oid;
            else if (column == '2')
                EXPECT_EQ(vb.value.rfind("OID: .1.3.6.1.2.1.33.1.6.3.", 0), 0u) << vb.oid << " = " << vb.value;
            else
                EXPECT_EQ(vb.value.rfind("Timeticks: ", 0), 0u) << vb.oid << " = " << vb.value;
            continue;
        }
        auto it = ranges.find(object);
        if (it == ranges.end()) {
            // upsBatteryCurrent and upsBatteryTemperature (any Integer32), or a table that must stay empty.
            EXPECT_TRUE(object == kU + "2.6.0" || object == kU + "2.7.0") << "unexpected " << vb.oid << " = " << vb.value;
            continue;
        }
        const Range& r = it->second;
        if (r.type == "STRING") {
            const bool text = vb.value == "\"\"" || vb.value.rfind("STRING: ", 0) == 0;
            EXPECT_TRUE(text) << vb.oid << " = " << vb.value;
            const size_t quotes = vb.value == "\"\"" ? 0 : vb.value.size() - std::string("STRING: \"\"").size();
            EXPECT_LE(static_cast<long long>(quotes), r.high) << vb.oid;
            continue;
        }
        EXPECT_EQ(vb.value.substr(0, vb.value.find(':')), r.type) << vb.oid << " = " << vb.value;
        const long long n = Number(vb.value);
        EXPECT_GE(n, r.low) << vb.oid << " = " << vb.value;
        EXPECT_LE(n, r.high) << vb.oid << " = " << vb.value;
    }
}

bool Present(const std::vector<Varbind>& walk, const std::string& oid)
{
    for (const Varbind& vb : walk)
        if (vb.oid == oid)
            return true;
    return false;
}

} // namespace

TEST(UpsMibStatusE2E, PowerObjectsFollowTheAlarmsOfTheHostsUps)
{
    Rig rig;
    ASSERT_TRUE(rig.Start("127.0.0.81")) << rig.Engine().LogText();

    // On mains: normal output, a normal battery, no time on battery; what the engine cannot know (the
    // minutes left, the charge, the frequencies) is no instance and is left out of the walk.
    EXPECT_EQ(rig.Get(kOutputSource), "INTEGER: 3");
    EXPECT_EQ(rig.Get(kBatteryStatus), "INTEGER: 2");
    EXPECT_EQ(rig.Get(kSecondsOnBattery), "INTEGER: 0");
    for (const std::string& unknown : {kU + "2.3.0", kU + "2.4.0", kU + "3.1.0", kU + "4.2.0", kU + "5.1.0"})
        EXPECT_NE(rig.Get(unknown).find("No Such Instance"), std::string::npos) << unknown << ": " << rig.LastOutput();
    std::vector<Varbind> walk = rig.Walk("1.3.6.1.2.1.33");
    ASSERT_TRUE(Present(walk, kOutputSource)) << rig.LastOutput();
    EXPECT_FALSE(Present(walk, kU + "2.3.0"));
    ExpectEveryObjectInRange(walk);

    // The card goes on battery, then its battery runs low.
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(rig.Agent().Send("alarm 12 1 1 On Battery"));
    ASSERT_TRUE(WaitUntil([&] { return rig.Get(kOutputSource) == "INTEGER: 5"; }, 15000)) << rig.Engine().LogText();
    EXPECT_EQ(rig.Get(kBatteryStatus), "INTEGER: 2") << "on battery is not a low battery";
    // upsSecondsOnBattery counts from the alarm: never more than the time since the card raised it.
    ASSERT_TRUE(WaitUntil([&] { return Number(rig.Get(kSecondsOnBattery)) >= 2; }, 15000));
    const long long seconds = Number(rig.Get(kSecondsOnBattery));
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - sent);
    EXPECT_LE(seconds, elapsed.count() + 1);
    ASSERT_TRUE(rig.Agent().Send("alarm 13 1 2 Low Battery"));
    ASSERT_TRUE(WaitUntil([&] { return rig.Get(kBatteryStatus) == "INTEGER: 3"; }, 15000)) << rig.Engine().LogText();
    EXPECT_EQ(rig.Get(kOutputSource), "INTEGER: 5");
    EXPECT_GE(Number(rig.Get(kSecondsOnBattery)), seconds);
    walk = rig.Walk("1.3.6.1.2.1.33");
    ASSERT_TRUE(Present(walk, kU + "6.2.1.2.1") || Present(walk, kU + "6.2.1.2.2")) << rig.LastOutput();
    ExpectEveryObjectInRange(walk);

    // Mains come back: the low battery goes first, then the output source, and the time is 0 again.
    ASSERT_TRUE(rig.Agent().Send("clear 13"));
    ASSERT_TRUE(WaitUntil([&] { return rig.Get(kBatteryStatus) == "INTEGER: 2"; }, 15000));
    EXPECT_EQ(rig.Get(kOutputSource), "INTEGER: 5");
    ASSERT_TRUE(rig.Agent().Send("clear 12"));
    ASSERT_TRUE(WaitUntil([&] { return rig.Get(kOutputSource) == "INTEGER: 3"; }, 15000));
    EXPECT_EQ(rig.Get(kSecondsOnBattery), "INTEGER: 0");
}
