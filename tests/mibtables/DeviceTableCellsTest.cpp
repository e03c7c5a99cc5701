// The device tables' own decisions against a stand-in device list: decimal texts, nested row order with
// the probed control-data rows, who may write the command columns, the masked flags column, the
// schedule and load-group RowStatus, the load-current text, and the facade's rebuild of the item
// counts after a deletion.

#include "engine/agent/DeviceItemTables.h"
#include "engine/agent/MervaneSnmp.h"
#include "engine/agent/TableRows.h"
#include "engine/agent/UpsMib.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <map>
#include <tuple>

#include "support/TestSupport.h"
#include "tests/core/ServerTestSupport.h"
#include "engine/core/server/ServerEx.h"

namespace {

uint32_t Bits(float value)
{
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Values by (device, item, column); writes are kept and listed.
class FakeDevices : public DeviceItemAccess {
public:
    int32_t GetInt(int device, uint32_t item, uint32_t column) override
    {
        auto it = ints.find({device, item, column});
        return it == ints.end() ? 0 : it->second;
    }
    std::string GetText(int device, uint32_t item, uint32_t column) override
    {
        auto it = texts.find({device, item, column});
        return it == texts.end() ? std::string() : it->second;
    }
    bool SetInt(int device, uint32_t item, uint32_t column, int32_t value) override
    {
        writes.push_back(std::to_string(device) + "/" + std::to_string(item) + "/" + std::to_string(column) + "=" +
                         std::to_string(value));
        ints[{device, item, column}] = value;
        return true;
    }
    bool SetText(int device, uint32_t item, uint32_t column, const std::string& text) override
    {
        writes.push_back(std::to_string(device) + "/" + std::to_string(item) + "/" + std::to_string(column) + "=" +
                         text);
        texts[{device, item, column}] = text;
        return true;
    }
    bool GetKeyValue(uint32_t key, int device, EngineValue& value) override
    {
        auto it = keys.find({key, device});
        if (it == keys.end())
            return false;
        value = it->second;
        return true;
    }

    std::map<std::tuple<int, uint32_t, uint32_t>, int32_t> ints;
    std::map<std::tuple<int, uint32_t, uint32_t>, std::string> texts;
    std::map<std::pair<uint32_t, int>, EngineValue> keys;
    std::vector<std::string> writes;
};

MibRequest At(SnmpOid index, uint32_t requester = 0x0100007F, bool authenticated = false)
{
    MibRequest request;
    request.requester = requester;
    request.index = std::move(index);
    request.authenticated = authenticated;
    return request;
}

// The check step, then the commit, as the framework drives a SET of an existing row.
int Set(MibTable& table, uint32_t column, const MibRequest& request, const SnmpValue& value)
{
    MibLeaf* leaf = table.find_column(column);
    int status = leaf->prepare_set_request(request, value);
    if (status != kSnmpErrNoError)
        return status;
    return leaf->commit_set_request(request, value);
}

std::string Text(MibTable& table, uint32_t column, const SnmpOid& index)
{
    SnmpValue out;
    table.find_column(column)->get_request(At(index), out);
    return out.bytes;
}

} // namespace

TEST(DeviceTableValues, DecimalTextsAreBoundedWhateverTheValue)
{
    struct Case {
        uint32_t bits;
        int32_t places;
        std::string text;
    } cases[] = {
        {Bits(12.5f), 2, "12.50"},
        {Bits(12.5f), 1, "12.5"},
        {Bits(12.5f), 0, "12"},
        {Bits(-0.25f), 3, "-0.250"},
        {Bits(230.0f), -4, "230"},          // places below 0 count as 0
        {Bits(1.5f), 1000, "1.500000"},     // and above 6 as 6
        {Bits(3.4028235e38f), 2, "3.40e+38"}, // a value whose digits do not fit
        {Bits(-1e10f), 6, "-1.000000e+10"},
        {Bits(123456.0f), 2, "123456.00"},
        {0x7FC00000u, 1, "nan"},
        {0x7F800000u, 1, "inf"},
    };
    for (const Case& c : cases) {
        const std::string text = FormatDecimalText(c.bits, c.places);
        EXPECT_EQ(text, c.text) << std::hex << c.bits << " places " << std::dec << c.places;
        EXPECT_LE(text.size(), kDecimalTextLimit);
    }
}

TEST(DeviceTableValues, LoadCurrentTextsInTenths)
{
    struct Case {
        const char* text;
        int32_t tenths;
    } cases[] = {{"4.27", 42}, {" 12", 120}, {"0.09", 0}, {"-1.25", -12}, {"amps", 0},
                 {"", 0},      {"1e400", 0}, {"3e9", INT32_MAX}, {"nan", 0}};
    for (const Case& c : cases)
        EXPECT_EQ(LoadCurrentTenths(c.text), c.tenths) << c.text;
}

TEST(DeviceTableRows, NestedIndexesFollowOidOrderAndSkipEmptyDevices)
{
    // Device 1 has two items, device 2 none, device 3 one.
    struct Counts {
        static uint32_t Limit(const void*, const SnmpOid& prefix)
        {
            if (prefix.empty())
                return 3;
            return prefix[0] == 1 ? 2 : prefix[0] == 3 ? 1 : 0;
        }
    };
    struct Case {
        SnmpOid after;
        bool inclusive;
        SnmpOid next; // empty: none
    } cases[] = {
        {{}, false, {1, 1}},      {{1}, false, {1, 1}},   {{1, 1}, true, {1, 1}}, {{1, 1}, false, {1, 2}},
        {{1, 2}, false, {3, 1}},  {{1, 2, 9}, true, {3, 1}}, {{2}, true, {3, 1}},  {{0, 7}, false, {1, 1}},
        {{3, 1}, false, {}},      {{4}, false, {}},       {{0xFFFFFFFFu}, false, {}},
    };
    for (const Case& c : cases) {
        SnmpOid index;
        const bool found = NextNestedIndex(2, c.after, c.inclusive, nullptr, Counts::Limit, nullptr, index);
        EXPECT_EQ(found, !c.next.empty()) << OidToString(c.after);
        if (found) {
            EXPECT_EQ(index, c.next) << OidToString(c.after);
        }
    }
    EXPECT_TRUE(HasNestedIndex(2, {3, 1}, nullptr, Counts::Limit, nullptr));
    EXPECT_FALSE(HasNestedIndex(2, {2, 1}, nullptr, Counts::Limit, nullptr));
    EXPECT_FALSE(HasNestedIndex(2, {1}, nullptr, Counts::Limit, nullptr));
    EXPECT_FALSE(HasNestedIndex(2, {1, 0}, nullptr, Counts::Limit, nullptr));
}

class DeviceTableCells : public ::testing::Test {
protected:
    MibRowCounts rows;
    FakeDevices devices;
    DeviceMibHost host;

    void SetUp() override
    {
        host.access = &devices;
        rows.devices.SetCount(2);
    }
};

TEST_F(DeviceTableCells, ControlDataRowsAreTheDataItemsWithATextAndVariablesShowDecimals)
{
    DeviceItems items;
    items.controls = 1;
    items.variables = 1;
    rows.deviceItems.Set(2, items);
    devices.texts[{2, 0x50001, 1u << 16 | 4}] = "on";
    devices.texts[{2, 0x50001, 3u << 16 | 4}] = "off";
    devices.ints[{2, 0x50001, 3u << 16 | 6}] = 66;
    mvn_devctldtatable_entry data(rows, host);
    SnmpOid index;
    std::vector<SnmpOid> found;
    for (SnmpOid after; data.next_row(after, false, index); after = index)
        found.push_back(index);
    EXPECT_EQ(found, (std::vector<SnmpOid>{{2, 1, 1}, {2, 1, 3}}));
    SnmpValue value;
    data.find_column(6)->get_request(At({2, 1, 3}), value);
    EXPECT_EQ(value.integer, 66); // data item 3 goes into the column argument

    devices.ints[{2, 0x20001, 9}] = 2;
    devices.ints[{2, 0x20001, 10}] = static_cast<int32_t>(Bits(12.5f));
    mvn_devvartable_entry variables(rows, host);
    EXPECT_EQ(Text(variables, 10, {2, 1}), "12.50");
    EXPECT_EQ(Text(variables, 10, {1, 1}), ""); // device 1 registered no variables
}

TEST_F(DeviceTableCells, CommandsAreWrittenOnlyByThisHostOrAnAuthenticatedManager)
{
    DeviceItems items;
    items.events = 2;
    rows.deviceItems.Set(1, items);
    mvn_devevttable_entry events(rows, host);
    const SnmpValue command = SnmpValue::Octets("/usr/local/bin/notify");
    struct Case {
        uint32_t requester;
        bool authenticated;
        int status;
    } cases[] = {
        {0x0100007F, false, kSnmpErrNoError},  // 127.0.0.1
        {0x0907007F, false, kSnmpErrNoError},  // 127.0.7.9
        {0x0302010A, false, kSnmpErrNoAccess}, // 10.1.2.3 over SNMPv1/v2c or v3 without authentication
        {0x0302010A, true, kSnmpErrNoError},   // the same manager over SNMPv3 with authentication
        {0, false, kSnmpErrNoAccess},          // not over IPv4
    };
    for (uint32_t column : {8u, 9u}) {
        for (const Case& c : cases) {
            devices.writes.clear();
            EXPECT_EQ(Set(events, column, At({1, 2}, c.requester, c.authenticated), command), c.status)
                << column << " from " << std::hex << c.requester;
            EXPECT_EQ(devices.writes.empty(), c.status != kSnmpErrNoError);
        }
    }
    // Other text columns take any manager's write.
    EXPECT_EQ(Set(events, 10, At({1, 2}, 0x0302010A), SnmpValue::Octets("x")), kSnmpErrNoError);

    // The action flags keep 16 bits.
    devices.writes.clear();
    EXPECT_EQ(Set(events, 7, At({1, 2}), SnmpValue::Integer(0x7FFF0008)), kSnmpErrNoError);
    EXPECT_EQ(devices.writes, std::vector<std::string>{"1/196610/7=8"});
    // A row the device did not register takes nothing.
    EXPECT_EQ(events.find_column(19)->commit_set_request(At({1, 3}), SnmpValue::Integer(5)), kSnmpErrCommitFailed);
    EXPECT_EQ(Set(events, 8, At({1, 2}), SnmpValue::Octets(std::string(256, 'x'))), kSnmpErrWrongLength);
}

TEST_F(DeviceTableCells, DelaysTheRowsCannotHoldAreRefusedWithWrongValue)
{
    DeviceItems items;
    items.events = 1;
    rows.deviceItems.Set(1, items);
    mvn_devevttable_entry events(rows, host);
    struct Case {
        int32_t seconds;
        int status;
    } cases[] = {
        {0, kSnmpErrNoError},
        {static_cast<int32_t>(kMaxReactionDelay), kSnmpErrNoError},
        {static_cast<int32_t>(kMaxReactionDelay) + 1, kSnmpErrWrongValue},
        {INT32_MAX, kSnmpErrWrongValue},
        {-1, kSnmpErrWrongValue},
        {INT32_MIN, kSnmpErrWrongValue},
    };
    for (uint32_t column : {18u, 19u}) {
        for (const Case& c : cases) {
            devices.writes.clear();
            EXPECT_EQ(Set(events, column, At({1, 1}), SnmpValue::Integer(c.seconds)), c.status)
                << column << " = " << c.seconds;
            // A refused delay never reaches the device: the old value stays.
            EXPECT_EQ(devices.writes.empty(), c.status != kSnmpErrNoError) << column << " = " << c.seconds;
        }
    }
}

TEST_F(DeviceTableCells, ScheduleAndLoadGroupRowStatus)
{
    servertest::TestInstall install;
    servertest::CallLog calls;
    vgtest::Log();
    ASSERT_NE(CreateServerInstance(install.Options(calls)), nullptr);

    DeviceItems items;
    items.schedules = static_cast<int>(kMaxSchedules);
    items.loadGroups = 1;
    rows.deviceItems.Set(1, items);
    items.schedules = 3;
    rows.deviceItems.Set(2, items);
    mvn_devschedtable_entry schedules(rows, host);
    mvn_devlodgrptable_entry groups(rows, host);
    auto status = [](MibTable& table, SnmpOid index, int32_t value) {
        MibLeaf* leaf = table.find_column(2);
        const int check = leaf->prepare_set_request(At(index), SnmpValue::Integer(value));
        if (check != kSnmpErrNoError)
            return check;
        return leaf->set(At(index), SnmpValue::Integer(value));
    };
    struct Case {
        MibTable* table;
        SnmpOid index;
        int32_t value;
        int status;
    } cases[] = {
        {&schedules, {1, 65}, kRowCreateAndGo, kSnmpErrNoSuchName}, // 64 schedules already
        {&schedules, {2, 4}, kRowCreateAndGo, kSnmpErrGenErr},      // the engine refuses
        {&schedules, {2, 3}, kRowCreateAndGo, kSnmpErrReadOnly},
        {&schedules, {2, 5}, kRowCreateAndWait, kSnmpErrNoSuchName},
        {&schedules, {3, 1}, kRowActive, kSnmpErrNoSuchName},       // no device 3
        {&schedules, {2, 3}, kRowDestroy, kSnmpErrGenErr},
        {&schedules, {2, 3}, kRowNotInService, kSnmpErrNoError},
        {&schedules, {2, 3}, 9, kSnmpErrWrongValue},
        {&groups, {1, 0}, kRowActive, kSnmpErrReadOnly},
        {&groups, {1, 0}, kRowDestroy, kSnmpErrReadOnly},
        {&groups, {1, 1}, kRowDestroy, kSnmpErrGenErr},
        {&groups, {1, 1}, kRowNotReady, kSnmpErrReadOnly},
    };
    for (const Case& c : cases)
        EXPECT_EQ(status(*c.table, c.index, c.value), c.status) << OidToString(c.index) << " " << c.value;
    EXPECT_EQ(devices.writes, std::vector<std::string>{"2/720899/2=2"}); // 0xB0003, column 2
    // A creation undone (its SET failed elsewhere) is the engine's destroy, which this engine refuses.
    EXPECT_EQ(groups.find_column(2)->undo_creation(At({1, 1})), kSnmpErrGenErr);
    CServer::DeleteInstance();
}

TEST(FacadeDeviceRows, RemovingADeviceRebuildsTheItemCountsOfTheNewNumbering)
{
    MibRowCounts rows;
    // Three devices with 1, 2 and 3 events; the device list has deleted device 1, so the devices report
    // themselves under their new numbers when the facade asks.
    std::map<int, DeviceItems> reported;
    SnmpFacadeHost host;
    host.deviceItems = [&](int count) {
        std::map<int, DeviceItems> now;
        for (int d = 1; d <= count; ++d)
            now[d] = reported[d];
        return now;
    };
    CMervaneSnmp facade(host, rows);
    for (int d = 1; d <= 3; ++d) {
        ASSERT_EQ(facade.SnmpAddDevice(), d);
        ASSERT_EQ(facade.SnmpRegisterDeviceData(d, 0, 0, d, d == 1 ? 4 : 2, 0, 0), 0);
    }
    EXPECT_EQ(rows.upsLoads.Count(), 4u);
    reported[1].events = 2;
    reported[1].loads = 2;
    reported[2].events = 3;
    facade.SnmpRemoveDevice();
    EXPECT_EQ(rows.devices.Count(), 2u);
    EXPECT_EQ(rows.deviceItems.Get(1).events, 2);
    EXPECT_EQ(rows.deviceItems.Get(2).events, 3);
    EXPECT_EQ(rows.deviceItems.Get(3).events, 0);
    // The UPS group shows the new device 1's loads.
    EXPECT_EQ(rows.upsLoads.Count(), 2u);
}

TEST(MibTableThreads, WalksStayInOrderWhileTheFacadeAddsAndRemovesDevices)
{
    MibRowCounts rows;
    FakeDevices devices; // only read while the threads run
    for (int d = 1; d <= 4; ++d)
        devices.ints[{d, 0, kColumnEventCount}] = d;
    SnmpFacadeHost facadeHost;
    facadeHost.deviceItems = [&](int count) { return ReadAllDeviceItems(devices, count); };
    CMervaneSnmp facade(facadeHost, rows);
    DeviceMibHost host;
    host.access = &devices;
    mvn_devevttable_entry events(rows, host);

    std::atomic<bool> done{false};
    std::thread engine([&] {
        for (int round = 0; round < 300; ++round) {
            for (int d = 1; d <= 4; ++d) {
                const int index = facade.SnmpAddDevice();
                facade.SnmpRegisterDeviceData(index, 0, 0, d, 0, 0, 0);
            }
            for (int d = 0; d < 4; ++d)
                facade.SnmpRemoveDevice();
        }
        done = true;
    });
    int walks = 0;
    bool ordered = true;
    while ((!done || walks == 0) && ordered) {
        SnmpOid after;
        SnmpOid index;
        while (ordered && events.next_row(after, false, index)) {
            ordered = after < index && index.size() == 2 && index[0] <= 4 && index[1] <= index[0];
            SnmpValue value;
            events.find_column(1)->get_request(At(index), value);
            after = index;
        }
        ++walks;
    }
    engine.join();
    EXPECT_TRUE(ordered);
    EXPECT_EQ(rows.devices.Count(), 0u);
    EXPECT_EQ(rows.deviceItems.Get(1).events, 0);
}
