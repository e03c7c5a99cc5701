// Trap processing's decoding: the road each trap OID takes (sub-identifier boundaries included), the
// varbind counts, the alarm a trap raises or clears, the device selection and the forwarded-trap text.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/remote/TrapProcessing.h"

namespace {

const std::string E = "1.3.6.1.4.1.64950";

struct Vb {
    std::string oid;
    std::string value;
};

RemoteTrapRecord Record(const std::string& trapOid, const std::vector<Vb>& varbinds)
{
    RemoteTrapRecord r;
    RemoteTrapRecord::SetText(r.trapOid, trapOid);
    SnmpOid oid;
    if (ParseOid(trapOid.c_str(), oid) && !oid.empty())
        r.specific = oid.back();
    for (const Vb& v : varbinds) {
        RemoteTrapVarbind vb;
        SnmpOid o = MakeOid(v.oid.c_str());
        vb.SetOid(o.data(), o.size());
        RemoteTrapRecord::SetText(vb.value, v.value);
        r.varbinds.push_back(vb);
    }
    return r;
}

// n plain varbinds with the given values (OIDs without meaning).
std::vector<Vb> Values(const std::vector<std::string>& values)
{
    std::vector<Vb> out;
    for (size_t i = 0; i < values.size(); ++i)
        out.push_back({E + ".999." + std::to_string(i + 1), values[i]});
    return out;
}

TEST(TrapDecode, RoutesAlarmsAndCountsByTrapOid)
{
    const std::vector<std::string> seven = {"12", "x", "On Battery", "2", "", "", "1"};
    const std::vector<std::string> six = {"5", "On Battery", "1", "", "", "2"};
    const struct {
        const char* name;
        std::string trapOid;
        std::vector<std::string> values;
        TrapRoute route;
        bool add;
        uint32_t id, device, value;
        int eventType;
        std::string description;
    } cases[] = {
        {"alarm added", E + ".100.2.0.3", seven, TrapRoute::Alarm, true, 12, 2, 1, 1, "On Battery"},
        {"alarm added, other form", E + ".100.2.3.0", seven, TrapRoute::Alarm, true, 12, 2, 1, 1, "On Battery"},
        {"alarm removed", E + ".100.2.0.4", seven, TrapRoute::Alarm, false, 12, 2, 0, 0, "On Battery"},
        {"E.100.2 by specific 3", E + ".100.2.7.3", seven, TrapRoute::Alarm, true, 12, 2, 1, 1, "On Battery"},
        {"E.100.2 by specific 4 reports the value", E + ".100.2.7.4", seven, TrapRoute::Alarm, false, 12, 2, 0, 1,
         "On Battery"},
        {"E.100.2 other specific", E + ".100.2.7.9", seven, TrapRoute::None, false, 0, 0, 0, 0, ""},
        {"E.100.20 is not E.100.2", E + ".100.20.0.3", seven, TrapRoute::None, false, 0, 0, 0, 0, ""},
        {"alarm added, 4 varbinds: the value reads 0", E + ".100.2.0.3", {"12", "x", "On Battery", "2"},
         TrapRoute::Alarm, true, 12, 2, 0, 0, "On Battery"},
        {"alarm added, 3 varbinds", E + ".100.2.0.3", {"12", "x", "On Battery"}, TrapRoute::None, false, 0, 0, 0, 0, ""},
        {"UPS-MIB alarm with a value raises", "1.3.6.1.2.1.33.1.6.3.2", six, TrapRoute::Alarm, true, 5, 1, 2, 2,
         "On Battery"},
        {"UPS-MIB alarm with value 0 clears", "1.3.6.1.2.1.33.1.6.3.2", {"5", "On Battery", "1", "", "", "0"},
         TrapRoute::Alarm, false, 5, 1, 0, 0, "On Battery"},
        {"UPS-MIB alarm, 5 varbinds", "1.3.6.1.2.1.33.1.6.3.2", {"5", "On Battery", "1", "", ""}, TrapRoute::None,
         false, 0, 0, 0, 0, ""},
        {"1.3.6.1.2.1.33.1.6.30 is not a well-known alarm", "1.3.6.1.2.1.33.1.6.30.2", six, TrapRoute::None, false, 0,
         0, 0, 0, ""},
        {"E.0.0 as the UPS-MIB alarms", E + ".0.0.4", six, TrapRoute::Alarm, true, 5, 1, 2, 2, "On Battery"},
        {"engine trap 1010", E + ".15.1010", {"a", "b", "02:00:00:00:00:09"}, TrapRoute::Engine, false, 0, 0, 0, 0, ""},
        {"engine trap 1012 is ignored", E + ".15.1012", {"a", "b", "02:00:00:00:00:09"}, TrapRoute::None, false, 0, 0,
         0, 0, ""},
        {"E.150 is not an engine trap", E + ".150.1010", {"a", "b", "c"}, TrapRoute::None, false, 0, 0, 0, 0, ""},
        {"engine trap without its MAC varbind", E + ".15.1010", {"a", "b"}, TrapRoute::None, false, 0, 0, 0, 0, ""},
        {"status trap", E + ".1.4.1.4.0.4", {"a", "b", "02:00:00:00:00:09"}, TrapRoute::Status, false, 0, 0, 0, 0, ""},
        {"not a dotted OID", "1.3.x", seven, TrapRoute::None, false, 0, 0, 0, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TrapDecision d = DecodeTrap(Record(c.trapOid, Values(c.values)));
        ASSERT_EQ(d.route, c.route);
        if (c.route != TrapRoute::Alarm)
            continue;
        EXPECT_EQ(d.alarm.add, c.add);
        EXPECT_EQ(d.alarm.id, c.id);
        EXPECT_EQ(d.alarm.device, c.device);
        EXPECT_EQ(d.alarm.value, c.value);
        EXPECT_EQ(d.alarm.eventType, c.eventType);
        EXPECT_EQ(d.alarm.description, c.description);
    }
}

TEST(TrapDecode, GenerationFourAlarmTrapReadsTheAlarmRowByPrefix)
{
    const std::string col = E + ".1.3.2.1.";
    std::vector<Vb> vbs = {
        {col + "1.7", "31"},   {col + "2.7", "ignored"}, {col + "4.7", E + ".1.1.1"}, {col + "5.7", E + ".1.1.1.1.1.3"},
        {col + "6.7", "On Battery"}, {col + "7.7", "2"}, {col + "8.7", "1"},
    };
    TrapDecision d = DecodeTrap(Record(E + ".1.4.1.1.0.1", vbs));
    ASSERT_EQ(d.route, TrapRoute::Alarm);
    EXPECT_TRUE(d.alarm.add);
    EXPECT_EQ(d.alarm.id, 31u);
    EXPECT_EQ(d.alarm.device, 3u);
    EXPECT_EQ(d.alarm.value, 2u);
    EXPECT_EQ(d.alarm.description, "On Battery");

    // State 2 clears with value 0 (logged as information).
    vbs[6].value = "2";
    d = DecodeTrap(Record(E + ".1.4.1.2.0.1", vbs));
    ASSERT_EQ(d.route, TrapRoute::Alarm);
    EXPECT_FALSE(d.alarm.add);
    EXPECT_EQ(d.alarm.eventType, 0);

    // A column OID of another width (E.1.3.2.10) is no alarm column; six varbinds are not enough.
    std::vector<Vb> other = vbs;
    other[4].oid = E + ".1.3.2.10.6.7";
    EXPECT_EQ(DecodeTrap(Record(E + ".1.4.1.1.0.1", other)).alarm.description, "");
    vbs.pop_back();
    EXPECT_EQ(DecodeTrap(Record(E + ".1.4.1.1.0.1", vbs)).route, TrapRoute::None);

    // A row reference that names no device is marked for the drop.
    std::vector<Vb> noRow = {{col + "1.7", "31"}, {col + "4.7", E + ".1.1.1"}, {col + "5.7", "x"},
                             {col + "6.7", "a"},  {col + "7.7", "1"},          {col + "8.7", "1"}, {col + "3.7", ""}};
    d = DecodeTrap(Record(E + ".1.4.1.1.0.1", noRow));
    EXPECT_TRUE(d.alarm.unknownDevice);
}

TEST(TrapDecode, MacComesFromTheFirstNonEmptyMacVarbindOnItsBoundary)
{
    EXPECT_EQ(TrapMac(Record(E + ".100.2.0.3", {{E + ".10.1.2.6.0", ""}, {E + ".1.2.1.1.4.0", "02:00:00:00:00:07"}})),
              "02:00:00:00:00:07");
    EXPECT_EQ(TrapMac(Record(E + ".100.2.0.3", {{E + ".10.1.2.60.0", "02:00:00:00:00:07"}})), "");
    EXPECT_EQ(TrapMac(Record(E + ".100.2.0.3", {})), "");
}

TEST(TrapDecode, DeviceSelection)
{
    const struct {
        uint32_t status, selection, device;
        bool excluded;
    } cases[] = {
        {0, 0x0302, 1, false},  // selection inactive
        {1, 0x0302, 2, false}, {1, 0x0302, 3, false}, {1, 0x0302, 1, true},
        {1, 0x0000, 7, false},  // a selection of 0 means every device
        {1, 0x0002, 2, false}, {1, 0x0002, 5, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsDeviceExcludedBySelection(c.status, c.selection, c.device), c.excluded)
            << c.status << " " << c.selection << " " << c.device;
}

TEST(TrapDecode, ForwardedTrapText)
{
    const uint32_t requester = 0x0500007F;  // 127.0.0.5
    auto r = ParseForwardedTrap(requester, E + ".100.2.0.3|3|2|1.3.6.1.2|i|12|1.3.6.1.3|s|On Battery");
    ASSERT_TRUE(r);
    EXPECT_STREQ(r->sender, "127.0.0.5");
    EXPECT_STREQ(r->community, "");
    EXPECT_EQ(r->specific, 3u);
    ASSERT_EQ(r->varbinds.size(), 2u);
    EXPECT_EQ(r->varbinds[1].oidLength, 5u);
    EXPECT_STREQ(r->varbinds[1].value, "On Battery");

    const struct {
        const char* name;
        std::string text;
    } refused[] = {
        {"announces 2 varbinds, carries 1", E + ".100.2.0.3|3|2|1.3.6.1.2|i|12"},
        {"a varbind OID that is not one", E + ".100.2.0.3|3|1|1..3|i|12"},
        {"more varbinds than the record holds", E + ".100.2.0.3|3|7|1.3|i|1|1.3|i|1|1.3|i|1|1.3|i|1|1.3|i|1|1.3|i|1|1.3|i|1"},
        {"a negative count", E + ".100.2.0.3|3|-1"},
    };
    for (const auto& c : refused)
        EXPECT_FALSE(ParseForwardedTrap(requester, c.text)) << c.name;

    // A field too long for its buffer stays empty; the record is still made.
    r = ParseForwardedTrap(requester, E + ".100.2.0.3|3|1|1.3.6|s|" + std::string(64, 'v'));
    ASSERT_TRUE(r);
    EXPECT_STREQ(r->varbinds[0].value, "");
    const char* text = "ab|cdef|";
    const char* cursor = text;
    char small[4];
    EXPECT_TRUE(ReadTrapTokenField(cursor, small, sizeof small));
    EXPECT_STREQ(small, "ab");
    EXPECT_FALSE(ReadTrapTokenField(cursor, small, sizeof small));
    EXPECT_STREQ(small, "");
    EXPECT_FALSE(ReadTrapTokenField(cursor, small, sizeof small));  // exhausted
}

}  // namespace
