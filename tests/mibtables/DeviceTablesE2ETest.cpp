// The device tables and the UPS-MIB through the whole engine, with devices loaded from a stored device
// file (two stand-in agents: 127.0.0.21 with two devices of four events, 127.0.0.22 with one device of
// three events; alarms "Offline" on device 1, "On Battery" on device 2, "Low Battery" on device 3),
// driven with net-snmp's tools: walks of every table and of the whole tree, SETs of event reactions
// read back and announced to a console, the device RowStatus, and the UPS-MIB's RFC 1628 syntax.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "tests/e2e/EngineProcess.h"
#include "tests/mibtables/SmallDataFolder.h"
#include "tests/mibtables/WalkSupport.h"

using namespace e2e;
using mibtest::Get;
using mibtest::Line;
using mibtest::SetAll;
using mibtest::Varbind;
using mibtest::Walk;
using traptest::TrapReceiver;

namespace {

const char* const kStoredAgents = "agent 127.0.0.21 2 4\n"
                                  "agent 127.0.0.22 1 3\n"
                                  "alarm 1 65000 5 Offline\n"
                                  "alarm 2 77 3 On Battery\n"
                                  "alarm 3 78 4 Low Battery\n";

std::vector<std::string> Rows(const std::vector<Line>& lines, const std::string& column)
{
    std::vector<std::string> rows;
    for (const Line& l : lines)
        if (l.oid.rfind(column + ".", 0) == 0)
            rows.push_back(l.oid.substr(column.size() + 1));
    return rows;
}

std::vector<std::string> Values(const std::vector<Line>& lines, const std::string& column)
{
    std::vector<std::string> values;
    for (const Line& l : lines)
        if (l.oid.rfind(column + ".", 0) == 0)
            values.push_back(l.value);
    return values;
}

// The stand-in engine in a fresh tree: a first start adds the agents' devices and stores them, the
// second start loads them from the stored device file.
bool StartWithStoredDevices(EngineInstall& engine)
{
    std::error_code error;
    fs::copy_file(VG_STORED_DEVICES_ENGINE, engine.Path("bin/vgnsa"), fs::copy_options::overwrite_existing, error);
    std::ofstream(engine.Path("bin/stored-agents")) << kStoredAgents;
    if (error || !engine.Start())
        return false;
    for (int i = 0; i < 200 && engine.Get(E("10.2.1.0")) != "INTEGER: 3"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    engine.Stop();
    if (!fs::exists(engine.Path("data/vgdvcext.dat")) || !engine.Start())
        return false;
    for (int i = 0; i < 200; ++i) {
        if (engine.Get(E("10.2.1.0")) == "INTEGER: 3" && engine.Get("1.3.6.1.2.1.33.1.6.1.0") == "Gauge32: 3")
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

class DeviceTablesE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_engine = new EngineInstall();
        s_started = StartWithStoredDevices(*s_engine);
    }
    static void TearDownTestSuite()
    {
        delete s_engine;
        s_engine = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(s_started) << s_engine->ConsoleOutput() << s_engine->LogText(); }
    EngineInstall& Engine() { return *s_engine; }

    static EngineInstall* s_engine;
    static bool s_started;
};

EngineInstall* DeviceTablesE2E::s_engine = nullptr;
bool DeviceTablesE2E::s_started = false;

} // namespace

TEST_F(DeviceTablesE2E, WalksShowEveryDeviceAndItsEvents)
{
    bool ok = false;
    const std::vector<Line> group = Walk(Engine(), E("10.2"), true, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(Get(Engine(), E("10.2.1.0")), "INTEGER: 3");

    // The device table: rows 1..3 in every one of its 28 columns, in column order.
    for (int c = 1; c <= 28; ++c)
        EXPECT_EQ(Rows(group, E("10.2.2.1." + std::to_string(c))), (std::vector<std::string>{"1", "2", "3"})) << c;
    EXPECT_EQ(Values(group, E("10.2.2.1.1")), (std::vector<std::string>{"INTEGER: 1", "INTEGER: 2", "INTEGER: 3"}));
    EXPECT_EQ(Values(group, E("10.2.2.1.10")),
              (std::vector<std::string>{"STRING: \"UPS 1.1\"", "STRING: \"UPS 1.2\"", "STRING: \"UPS 2.1\""}));
    EXPECT_EQ(Values(group, E("10.2.2.1.9")),
              (std::vector<std::string>{"STRING: \"Model 1.1\"", "STRING: \"Model 1.2\"", "STRING: \"Model 2.1\""}));
    EXPECT_EQ(Values(group, E("10.2.2.1.12")),
              (std::vector<std::string>{"STRING: \"Rack 1\"", "STRING: \"Rack 1\"", "STRING: \"Rack 2\""}));
    EXPECT_EQ(Values(group, E("10.2.2.1.18")), (std::vector<std::string>{"INTEGER: 4", "INTEGER: 4", "INTEGER: 3"}));
    EXPECT_EQ(Values(group, E("10.2.2.1.24")), (std::vector<std::string>{"INTEGER: 1", "INTEGER: 1", "INTEGER: 2"}));
    EXPECT_EQ(Values(group, E("10.2.2.1.25")), (std::vector<std::string>{"INTEGER: 5", "INTEGER: 3", "INTEGER: 4"}));
    EXPECT_EQ(Values(group, E("10.2.2.1.14")), (std::vector<std::string>{"INTEGER: 2", "INTEGER: 2", "INTEGER: 2"}));

    // The main-load table: one row of zeros per device.
    for (int c = 1; c <= 4; ++c)
        EXPECT_EQ(Values(group, E("10.2.4.1." + std::to_string(c))),
                  (std::vector<std::string>{"INTEGER: 0", "INTEGER: 0", "INTEGER: 0"}))
            << c;

    // The event table: device.event for each of its 39 columns; the other item tables are empty.
    const std::vector<std::string> events = {"1.1", "1.2", "1.3", "1.4", "2.1", "2.2", "2.3", "2.4", "3.1", "3.2", "3.3"};
    for (int c = 1; c <= 39; ++c)
        EXPECT_EQ(Rows(group, E("10.2.3.2.1." + std::to_string(c))), events) << c;
    const std::vector<std::string> names = Values(group, E("10.2.3.2.1.4"));
    ASSERT_EQ(names.size(), events.size());
    EXPECT_EQ(names[0], "STRING: \"Offline\"");
    EXPECT_EQ(names[3], "STRING: \"Event 4\"");
    EXPECT_EQ(names[10], "STRING: \"Event 3\"");
    // Device 1 stands in "Offline": its event of that name is active.
    EXPECT_EQ(Get(Engine(), E("10.2.3.2.1.6.1.1")), "INTEGER: 1");
    EXPECT_EQ(Get(Engine(), E("10.2.3.2.1.6.2.1")), "INTEGER: 2");
    for (const char* table : {"1", "3", "4", "5", "6", "7"})
        EXPECT_TRUE(Rows(group, E(std::string("10.2.3.") + table + ".1.1")).empty()) << table;
    // Every line of the group is a device table, a count or an item table.
    EXPECT_EQ(group.size(), 1u + 28 * 3 + 4 * 3 + 39 * events.size());
}

TEST_F(DeviceTablesE2E, BulkWalkOfTheWholeTreeCrossesEveryBorderInOrder)
{
    bool walkOk = false;
    bool bulkOk = false;
    const std::vector<Line> walk = Walk(Engine(), "1.3", false, &walkOk);
    const std::vector<Line> bulk = Walk(Engine(), "1.3", true, &bulkOk);
    ASSERT_TRUE(walkOk);
    ASSERT_TRUE(bulkOk);
    ASSERT_EQ(walk.size(), bulk.size());
    std::vector<std::string> names;
    for (size_t i = 0; i < walk.size(); ++i) {
        ASSERT_EQ(walk[i].oid, bulk[i].oid) << i;
        names.push_back(walk[i].oid);
    }
    auto at = [&](const std::string& oid) {
        auto it = std::find(names.begin(), names.end(), oid);
        return it == names.end() ? -1 : static_cast<int>(it - names.begin());
    };
    // From one group to the next: the last object of each is followed by the first of the next.
    struct Border {
        std::string last;
        std::string first;
    } borders[] = {
        // upsBattery to upsInput: the readings the engine does not know are left out, the empty table too
        {"1.3.6.1.2.1.33.1.2.2.0", "1.3.6.1.2.1.33.1.3.2.0"},
        {"1.3.6.1.2.1.33.1.5.2.0", "1.3.6.1.2.1.33.1.6.1.0"},  // upsBypass to upsAlarm
        {E("10.1.13.10.0"), E("10.2.1.0")},                     // mvnEngineData to mvnDevTable
        {E("10.2.3.2.1.39.3.3"), E("10.2.4.1.1.1")},            // the event table to the main-load table
        {E("10.2.4.1.4.3"), E("10.3.1.0")},                     // mvnDevTable to the group count
        {E("10.3.1.0"), E("10.4.1.1.0")},                       // the group table has no rows
        {E("17.1.0"), E("100.1.1.1.0")},                        // syslog to mvnUps
    };
    for (const Border& b : borders) {
        ASSERT_GE(at(b.last), 0) << b.last;
        EXPECT_EQ(at(b.first), at(b.last) + 1) << b.last << " -> " << b.first;
    }
    // The UPS-MIB's alarms come after its scalars, and the enterprise alarm rows are those of the UPS-MIB.
    EXPECT_EQ(at("1.3.6.1.2.1.33.1.6.2.1.1.1"), at("1.3.6.1.2.1.33.1.6.1.0") + 1);
    EXPECT_GE(at(E("100.1.6.2.1.10.3")), 0);
}

TEST_F(DeviceTablesE2E, UpsMibObjectsKeepTheirRfcSyntax)
{
    const std::string u = "1.3.6.1.2.1.33.1.";
    struct Case {
        std::string oid;
        std::string type; // the value's type as snmpget prints it; "none": no instance (not known)
    } cases[] = {
        {u + "1.1.0", "STRING"},    {u + "1.2.0", "STRING"},    {u + "1.3.0", "STRING"},   {u + "1.4.0", "STRING"},
        {u + "1.5.0", "STRING"},    {u + "1.6.0", "STRING"},    {u + "2.1.0", "INTEGER"},  {u + "2.2.0", "INTEGER"},
        {u + "2.3.0", "none"},      {u + "2.4.0", "none"},      {u + "2.5.0", "none"},     {u + "2.6.0", "none"},
        {u + "2.7.0", "none"},      {u + "3.1.0", "none"},      {u + "3.2.0", "INTEGER"},  {u + "4.1.0", "INTEGER"},
        {u + "4.2.0", "none"},      {u + "4.3.0", "INTEGER"},   {u + "5.1.0", "none"},     {u + "5.2.0", "INTEGER"},
        {u + "6.1.0", "Gauge32"},   {u + "6.2.1.1.1", "INTEGER"}, {u + "6.2.1.2.1", "OID"}, {u + "6.2.1.3.1", "Timeticks"},
    };
    for (const Case& c : cases) {
        const std::string value = Get(Engine(), c.oid);
        if (c.type == "none") {
            EXPECT_NE(value.find("No Such Instance"), std::string::npos) << c.oid << " = " << value;
            continue;
        }
        // (An empty OCTET STRING prints as "" alone.)
        EXPECT_EQ(value == "\"\"" ? "STRING" : value.substr(0, value.find(':')), c.type) << c.oid << " = " << value;
    }
    // Device 1 stands in "Offline" alone: its battery is normal(2), its output normal(3); the agent's
    // version fits its size.
    EXPECT_EQ(Get(Engine(), u + "2.1.0"), "INTEGER: 2"); // upsBatteryStatus batteryNormal(2)
    EXPECT_EQ(Get(Engine(), u + "4.1.0"), "INTEGER: 3"); // upsOutputSource normal(3)
    EXPECT_EQ(Get(Engine(), u + "2.2.0"), "INTEGER: 0"); // upsSecondsOnBattery
    EXPECT_EQ(Get(Engine(), u + "1.4.0"), "STRING: \"12.04.0059\"");
    EXPECT_EQ(Get(Engine(), u + "1.2.0"), "STRING: \"Model 1.1\"");

    // The alarms: the well-known alarm each description names (communicationsLost for "Offline",
    // onBattery, lowBattery), and the enterprise table's description of the same row.
    EXPECT_EQ(Get(Engine(), u + "6.2.1.2.1"), "OID: .1.3.6.1.2.1.33.1.6.3.20");
    EXPECT_EQ(Get(Engine(), u + "6.2.1.2.2"), "OID: .1.3.6.1.2.1.33.1.6.3.2");
    EXPECT_EQ(Get(Engine(), u + "6.2.1.2.3"), "OID: .1.3.6.1.2.1.33.1.6.3.3");
    EXPECT_EQ(Get(Engine(), E("100.1.6.2.1.4.2")), "STRING: \"On Battery\"");
    EXPECT_EQ(Get(Engine(), E("100.1.6.2.1.8.3")), "INTEGER: 4");
    EXPECT_EQ(Get(Engine(), E("100.1.6.2.1.5.3")), "INTEGER: 3");
    EXPECT_EQ(Get(Engine(), E("100.1.6.2.1.6.1")), "STRING: \"UPS 1.1\"");
    EXPECT_EQ(Get(Engine(), E("100.1.6.1.0")), "Gauge32: 3");
    EXPECT_EQ(Get(Engine(), E("100.1.1.1.0")), "INTEGER: 0");
    const std::vector<Line> alarms = Walk(Engine(), u + "6.2");
    EXPECT_EQ(Rows(alarms, u + "6.2.1.1"), (std::vector<std::string>{"1", "2", "3"}));
    // The input, output and bypass tables have no rows.
    for (const char* table : {"3.3", "4.4", "5.3"})
        EXPECT_TRUE(Walk(Engine(), u + table).empty()) << table;
}

TEST_F(DeviceTablesE2E, EventReactionSetsReadBackAndReachTheConsoles)
{
    TrapReceiver console("127.0.0.2");
    ASSERT_EQ(Engine().Get(E("10.1.1.0"), "wendolmar", "127.0.0.2"), "INTEGER: 1");
    ASSERT_EQ(Engine().Set(E("11.3.2.2.0"), "i", std::to_string(console.Port()), "wendolmar", "127.0.0.2"), "");

    const std::string delay = E("10.2.3.2.1.19.2.3");
    ASSERT_EQ(Engine().Set(delay, "i", "95"), "");
    EXPECT_EQ(Get(Engine(), delay), "INTEGER: 95");
    // The action flags take the low 16 bits; the shutdown flag brings 0x100 with it.
    ASSERT_EQ(Engine().Set(E("10.2.3.2.1.7.2.3"), "i", std::to_string(0x10008)), "");
    EXPECT_EQ(Get(Engine(), E("10.2.3.2.1.7.2.3")), "INTEGER: 264");
    // A command from this host is taken and read back.
    ASSERT_EQ(Engine().Set(E("10.2.3.2.1.8.2.3"), "s", "/bin/true"), "");
    EXPECT_EQ(Get(Engine(), E("10.2.3.2.1.8.2.3")), "STRING: \"/bin/true\"");
    // Columns without meaning take a write and change nothing; read-only ones refuse it.
    EXPECT_EQ(Engine().Set(E("10.2.3.2.1.12.2.3"), "i", "7"), "");
    EXPECT_EQ(Get(Engine(), E("10.2.3.2.1.12.2.3")), "INTEGER: 0");
    EXPECT_EQ(Engine().Set(E("10.2.3.2.1.4.2.3"), "s", "x"), "notWritable");
    EXPECT_EQ(Engine().Set(E("10.2.3.2.1.19.2.9"), "i", "5"), "noCreation");

    bool announced = false;
    for (int i = 0; i < 100 && !announced; ++i) {
        for (const auto& t : console.Traps())
            for (const auto& vb : t.varbinds)
                announced = announced || (t.specific == 1001 && vb.oid == delay && vb.integer == 95);
        if (!announced)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(announced);

    // A device name written to the device table reads back as the device keeps it.
    ASSERT_EQ(Engine().Set(E("10.2.2.1.10.3"), "s", "Basement UPS"), "");
    EXPECT_EQ(Get(Engine(), E("10.2.2.1.10.3")), "STRING: \"Basement UPS\"");
    EXPECT_EQ(Engine().Set(E("10.2.2.1.16.3"), "s", "ignored"), "");
    EXPECT_EQ(Get(Engine(), E("10.2.2.1.16.3")), "\"\"");
    EXPECT_EQ(Engine().Set(E("10.2.2.1.25.3"), "i", "1"), "notWritable");
}

TEST(DeviceRowStatusE2E, DestroyRemovesTheDeviceAndRebuildsEveryTable)
{
    EngineInstall engine;
    ASSERT_TRUE(StartWithStoredDevices(engine)) << engine.ConsoleOutput();
    auto status = [](int r) { return E("10.2.2.1.2." + std::to_string(r)); };
    struct Case {
        std::string oid;
        std::string value;
        std::string status;
    } cases[] = {
        {status(4), "4", "commitFailed"}, // the engine creates devices itself
        {status(4), "5", "commitFailed"},
        {status(1), "4", "commitFailed"}, // an existing row
        {status(2), "3", "commitFailed"}, // notReady
        {status(9), "6", "commitFailed"}, // no such device
        {status(1), "7", "wrongValue"},
        {status(1), "0", "wrongValue"},
        {status(0), "5", "noCreation"},
        {status(70000), "5", "noCreation"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(engine.Set(c.oid, "i", c.value), c.status) << c.oid << " " << c.value;
    EXPECT_EQ(Get(engine, E("10.2.1.0")), "INTEGER: 3");
    EXPECT_EQ(Get(engine, status(1)), "INTEGER: 1");

    // A destroy in a request that fails at another write, before or after it, keeps the device, in
    // memory and in the device file.
    const Varbind refused = {E("10.6.2.1.2.5"), "i", "5"}; // not the next remote-agent row
    EXPECT_EQ(SetAll(engine, {{status(1), "i", "6"}, refused}), "commitFailed");
    EXPECT_EQ(SetAll(engine, {refused, {status(2), "i", "6"}}), "commitFailed");
    EXPECT_EQ(Get(engine, E("10.2.1.0")), "INTEGER: 3");
    ASSERT_TRUE(engine.Kill());
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    EXPECT_TRUE(vgtest::WaitUntil([&] { return Get(engine, E("10.2.1.0")) == "INTEGER: 3"; }, 10000))
        << Get(engine, E("10.2.1.0"));
    EXPECT_EQ(Get(engine, E("10.2.2.1.10.1")), "STRING: \"UPS 1.1\"");

    // Destroying device 1: the others move down, and every table follows at once.
    ASSERT_EQ(engine.Set(status(1), "i", "6"), "");
    EXPECT_EQ(Get(engine, E("10.2.1.0")), "INTEGER: 2");
    const std::vector<Line> group = Walk(engine, E("10.2"));
    EXPECT_EQ(Values(group, E("10.2.2.1.10")),
              (std::vector<std::string>{"STRING: \"UPS 1.2\"", "STRING: \"UPS 2.1\""}));
    EXPECT_EQ(Rows(group, E("10.2.4.1.1")), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(Rows(group, E("10.2.3.2.1.1")),
              (std::vector<std::string>{"1.1", "1.2", "1.3", "1.4", "2.1", "2.2", "2.3"}));
    // The device that moved up keeps its own status; nothing was written into it.
    EXPECT_EQ(Get(engine, status(1)), "INTEGER: 1");
    // The alarms of the destroyed device went with it; the others keep their row numbers.
    const std::vector<Line> alarms = Walk(engine, "1.3.6.1.2.1.33.1.6.2.1.1");
    EXPECT_EQ(Rows(alarms, "1.3.6.1.2.1.33.1.6.2.1.1"), (std::vector<std::string>{"2", "3"}));
    EXPECT_EQ(Get(engine, "1.3.6.1.2.1.33.1.6.1.0"), "Gauge32: 2");
}

// A device write whose save fails is answered with commitFailed and leaves the old value, in memory
// and in the device file: a reaction's delay and actions, a device's name.
TEST(DeviceSavesE2E, WritesWhoseSaveFailsAreRefusedAndKeepTheOldValue)
{
    EngineInstall engine;
    mibtest::SmallDataFolder data(engine.Path("data"));
    if (!data.Mounted())
        GTEST_SKIP() << "a tmpfs cannot be mounted here";
    ASSERT_TRUE(StartWithStoredDevices(engine)) << engine.ConsoleOutput();
    ASSERT_EQ(engine.Set(E("10.2.3.2.1.19.2.3"), "i", "95"), "");
    struct Case {
        std::string oid;
        std::string type;
        std::string value;
        std::string before;
    } cases[] = {
        {E("10.2.3.2.1.19.2.3"), "i", "120", ""}, // the delay of event 3 of device 2
        {E("10.2.3.2.1.7.2.3"), "i", "8", ""},    // its actions
        {E("10.2.2.1.10.3"), "s", "Basement UPS", ""},
    };
    for (Case& c : cases)
        c.before = Get(engine, c.oid);
    ASSERT_TRUE(data.Fill());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.oid);
        EXPECT_EQ(engine.Set(c.oid, c.type, c.value), "commitFailed");
        EXPECT_EQ(Get(engine, c.oid), c.before);
    }
    data.Empty();
    ASSERT_TRUE(engine.Kill());
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    ASSERT_TRUE(vgtest::WaitUntil([&] { return Get(engine, E("10.2.1.0")) == "INTEGER: 3"; }, 10000));
    for (const Case& c : cases)
        EXPECT_EQ(Get(engine, c.oid), c.before) << c.oid;
    engine.Stop();
}
