// The engine's tables through the whole engine, driven with net-snmp's tools: the trap-destination table's
// RowStatus with the error statuses a manager receives, and walks of the whole tree.

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/snmp/SnmpTypes.h"
#include "tests/e2e/EngineProcess.h"
#include "tests/mibtables/SmallDataFolder.h"
#include "tests/mibtables/WalkSupport.h"

using namespace e2e;
using mibtest::Line;
using mibtest::SetAll;
using mibtest::SmallDataFolder;
using mibtest::Varbind;
using mibtest::Walk;

namespace {

SnmpOid OidOf(const std::string& text)
{
    SnmpOid oid;
    ParseOid(text.c_str(), oid);
    return oid;
}

} // namespace

TEST(MibTablesE2E, TrapDestinationRowStatusAnswersTheExactStatuses)
{
    EngineInstall engine;
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    auto column = [](int c, int r) { return E("14.2.2.1." + std::to_string(c) + "." + std::to_string(r)); };

    // Three destinations, made the console's way.
    ASSERT_EQ(engine.Set(column(2, 2), "i", "5"), "commitFailed"); // not the next row
    for (int r = 1; r <= 3; ++r) {
        ASSERT_EQ(engine.Set(column(2, r), "i", "5"), "") << r;
        ASSERT_EQ(engine.Set(column(3, r), "a", "10.1.2." + std::to_string(2 + r)), "") << r;
        ASSERT_EQ(engine.Set(column(4, r), "s", "dest" + std::to_string(r)), "") << r;
        ASSERT_EQ(engine.Set(column(5, r), "s", "public"), "") << r;
        ASSERT_EQ(engine.Set(column(6, r), "i", std::to_string(4000 + r)), "") << r;
        ASSERT_EQ(engine.Set(column(2, r), "i", "1"), "") << r;
    }
    EXPECT_EQ(engine.Get(column(3, 1)), "IpAddress: 10.1.2.3");
    EXPECT_EQ(engine.Get(column(2, 3)), "INTEGER: 1");

    struct Case {
        std::string oid;
        std::string type;
        std::string value;
        std::string status;
    } cases[] = {
        {column(2, 3), "i", "4", "commitFailed"},        // createAndGo of an existing row
        {column(2, 5), "i", "5", "commitFailed"},        // past the next row
        {column(2, 1), "i", "3", "commitFailed"},        // notReady
        {column(2, 1), "i", "7", "wrongValue"},          // no RowStatus value
        {column(2, 9), "i", "0", "wrongValue"},          // nor at a missing row
        {column(2, 0), "i", "5", "noCreation"},          // row 0
        {column(2, 256), "i", "5", "noCreation"},        // beyond what the keys hold
        {column(2, 4) + ".1", "i", "5", "noCreation"},   // not a row index
        {column(4, 9), "s", "x", "noCreation"},          // only RowStatus creates rows
        {column(1, 1), "i", "2", "notWritable"},
        {column(6, 1), "s", "4000", "wrongType"},
        {column(4, 1), "s", std::string(256, 'n'), "wrongLength"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(engine.Set(c.oid, c.type, c.value), c.status) << c.oid << " " << c.value;
    EXPECT_EQ(Walk(engine, E("14.2.2.1.1"), false).size(), 3u);

    // Destroying row 1: the engine moves the others down, the table keeps rows 1 and 2, and the row
    // that moved up keeps its own status.
    ASSERT_EQ(engine.Set(column(2, 1), "i", "6"), "");
    const std::vector<Line> addresses = Walk(engine, E("14.2.2.1.3"), false);
    ASSERT_EQ(addresses.size(), 2u);
    EXPECT_EQ(addresses[0].value, "IpAddress: 10.1.2.4");
    EXPECT_EQ(addresses[1].value, "IpAddress: 10.1.2.5");
    EXPECT_EQ(engine.Get(column(2, 1)), "INTEGER: 1");
    EXPECT_EQ(engine.Get(column(4, 1)), "STRING: \"dest2\"");
    EXPECT_EQ(engine.Set(column(2, 3), "i", "6"), "commitFailed");
    // The row count follows: the next creation is at 3 again.
    EXPECT_EQ(engine.Set(column(2, 3), "i", "5"), "");
}

// A destroy happens with its whole request or not at all: a request that fails at another write,
// before or after the destroy, keeps the row (in memory and on disk), and the request's other writes
// reach the rows they named, since the destroy, which moves the later rows down, comes last.
TEST(MibTablesE2E, DestroyTakesEffectOnlyWithItsWholeRequest)
{
    EngineInstall engine;
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    auto destination = [](int c, int r) { return E("14.2.2.1." + std::to_string(c) + "." + std::to_string(r)); };
    auto remote = [](int c, int r) { return E("10.6.2.1." + std::to_string(c) + "." + std::to_string(r)); };
    for (int r = 1; r <= 3; ++r)
        ASSERT_EQ(engine.AddTrapDestination(r, "10.1.2." + std::to_string(2 + r), "dest" + std::to_string(r), 4000 + r),
                  "");
    // A remote-agent row that never became an agent (it is destroyed at once, not queued; being
    // disabled, it is not kept over a restart).
    ASSERT_EQ(engine.Set(remote(2, 1), "i", "5"), "");
    ASSERT_EQ(engine.Set(remote(3, 1), "s", "127.0.0.40"), "");
    auto names = [&] {
        std::vector<std::string> out;
        for (const Line& l : Walk(engine, E("14.2.2.1.4"), false))
            out.push_back(l.value.substr(std::string("STRING: ").size()));
        return out;
    };
    auto remotes = [&] {
        std::vector<std::string> out;
        for (const Line& l : Walk(engine, E("10.6.2.1.3"), false))
            out.push_back(l.value.substr(std::string("STRING: ").size()));
        return out;
    };
    auto destroy = [&](int r) { return Varbind{destination(2, r), "i", "6"}; };
    auto rename = [&](int r, const std::string& name) { return Varbind{destination(4, r), "s", name}; };
    const Varbind refused = {remote(2, 5), "i", "5"}; // not the next row: fails at its write
    const Varbind destroyRemote = {remote(2, 1), "i", "6"};
    using Names = std::vector<std::string>;
    const Names all = {"\"dest1\"", "\"dest2\"", "\"dest3\""};
    const Names agent = {"\"127.0.0.40\""};
    struct Step {
        const char* what;
        std::vector<Varbind> varbinds;
        const char* status;
        Names destinations;
        Names remoteRows;
    } steps[] = {
        {"destroy, then a failing write", {destroy(1), rename(2, "x"), refused}, "commitFailed", all, agent},
        {"a failing write, then destroy", {refused, rename(2, "x"), destroy(1)}, "commitFailed", all, agent},
        {"both tables' destroys and a failing write", {destroyRemote, destroy(3), refused}, "commitFailed", all, agent},
        // The rename of row 1 goes with the row; row 3's reaches the third destination, now row 2.
        {"destroy with writes to its row and a later one",
         {rename(1, "gone"), destroy(1), rename(3, "third")},
         "",
         {"\"dest2\"", "\"third\""},
         agent},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        EXPECT_EQ(SetAll(engine, step.varbinds), step.status);
        EXPECT_EQ(names(), step.destinations);
        EXPECT_EQ(remotes(), step.remoteRows);
    }
    ASSERT_TRUE(engine.Kill());
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    EXPECT_EQ(names(), (Names{"\"dest2\"", "\"third\""}));
    // Two destroys of one table in one request: each removes the row it named.
    ASSERT_EQ(engine.AddTrapDestination(3, "10.1.2.9", "dest9", 4009), "");
    EXPECT_EQ(SetAll(engine, {destroy(1), destroy(3)}), "");
    EXPECT_EQ(names(), (Names{"\"third\""}));
}

// A SET whose save fails is answered with commitFailed and leaves the value it would have replaced,
// on every kind of object the engine takes SETs on; the old values are still there after a restart.
TEST(MibTablesE2E, SetsWhoseSaveFailsAreRefusedAndChangeNothing)
{
    EngineInstall engine;
    SmallDataFolder data(engine.Path("data"));
    if (!data.Mounted())
        GTEST_SKIP() << "a tmpfs cannot be mounted here";
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    auto destination = [](int c, int r) { return E("14.2.2.1." + std::to_string(c) + "." + std::to_string(r)); };
    auto remote = [](int c) { return E("10.6.2.1." + std::to_string(c) + ".1"); };
    ASSERT_EQ(engine.AddTrapDestination(1, "10.1.2.3", "dest1", 4001), "");
    ASSERT_EQ(engine.AddTrapDestination(2, "10.1.2.4", "dest2", 4002), "");
    ASSERT_EQ(engine.Set(E("10.4.2.1.0"), "i", "555"), "");
    ASSERT_EQ(engine.Set(E("11.3.2.2.0"), "i", "5001"), ""); // this manager's console: its trap port
    // An active remote agent (nobody answers at its address: it only has to be stored).
    ASSERT_EQ(SetAll(engine, {{remote(2), "i", "5"}}), "");
    ASSERT_EQ(SetAll(engine, {{remote(3), "s", "127.0.0.41"},
                              {remote(5), "s", "cardrw"},
                              {remote(6), "i", std::to_string(vgtest::FreePort(SOCK_DGRAM))}}),
              "");
    ASSERT_EQ(engine.Set(remote(2), "i", "1"), "") << engine.LogText();

    struct Case {
        const char* what;
        std::vector<Varbind> varbinds;
        std::string oid;  // read back afterwards
        std::string value;
    } cases[] = {
        {"a setting", {{E("10.4.2.1.0"), "i", "777"}}, E("10.4.2.1.0"), "INTEGER: 555"},
        {"a console's trap port", {{E("11.3.2.2.0"), "i", "5002"}}, E("11.3.2.2.0"), "INTEGER: 5001"},
        {"a trap destination's name", {{destination(4, 2), "s", "renamed"}}, destination(4, 2), "STRING: \"dest2\""},
        {"a remote agent's community", {{remote(5), "s", "other"}}, remote(5), "STRING: \"cardrw\""},
        {"a trap destination's destroy", {{destination(2, 1), "i", "6"}}, destination(4, 1), "STRING: \"dest1\""},
        {"a destroy with a setting",
         {{destination(2, 1), "i", "6"}, {E("10.4.2.1.0"), "i", "777"}},
         destination(4, 2),
         "STRING: \"dest2\""},
    };
    ASSERT_TRUE(data.Fill());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(SetAll(engine, c.varbinds), "commitFailed");
        EXPECT_EQ(engine.Get(c.oid), c.value);
        EXPECT_EQ(engine.Get(E("10.4.2.1.0")), "INTEGER: 555");
        EXPECT_EQ(Walk(engine, E("14.2.2.1.1"), false).size(), 2u);
    }
    // With room again, the next SET is saved.
    data.Empty();
    EXPECT_EQ(engine.Set(destination(4, 2), "s", "second"), "");
    ASSERT_TRUE(engine.Kill());
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    EXPECT_EQ(engine.Get(E("10.4.2.1.0")), "INTEGER: 555");
    EXPECT_EQ(engine.Get(E("11.3.2.2.0")), "INTEGER: 5001");
    EXPECT_EQ(engine.Get(destination(4, 1)), "STRING: \"dest1\"");
    EXPECT_EQ(engine.Get(destination(4, 2)), "STRING: \"second\"");
    EXPECT_EQ(engine.Get(remote(5)), "STRING: \"cardrw\"");
    engine.Stop();
}

TEST(MibTablesE2E, WalksOfTheWholeTreeGoForwardAcrossEveryBorder)
{
    EngineInstall engine;
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    ASSERT_EQ(engine.Set(E("14.2.2.1.2.1"), "i", "5"), "");

    bool walkOk = false;
    bool bulkOk = false;
    const std::vector<Line> walk = Walk(engine, "1.3", false, &walkOk);
    ASSERT_TRUE(walkOk);
    const std::vector<Line> bulk = Walk(engine, "1.3", true, &bulkOk);
    ASSERT_TRUE(bulkOk);
    ASSERT_EQ(walk.size(), bulk.size());
    for (size_t i = 0; i < walk.size(); ++i) {
        ASSERT_EQ(walk[i].oid, bulk[i].oid) << i;
        if (i > 0) {
            ASSERT_LT(OidOf(walk[i - 1].oid), OidOf(walk[i].oid)) << walk[i].oid;
        }
    }

    // Every table and count of the engine is visited, in order, with nothing from the empty tables.
    std::vector<std::string> names;
    for (const Line& l : walk)
        names.push_back(l.oid);
    auto at = [&](const std::string& oid) {
        auto it = std::find(names.begin(), names.end(), oid);
        return it == names.end() ? -1 : static_cast<int>(it - names.begin());
    };
    for (const char* tail : {"10.1.9.1.0", "10.1.10.1.0", "10.3.1.0", "10.6.1.0", "14.1.1.0", "14.2.1.0",
                             "14.2.2.1.1.1", "14.2.2.1.8.1", "17.1.0"}) {
        EXPECT_GE(at(E(tail)), 0) << tail;
    }
    EXPECT_EQ(at(E("10.1.10.1.0")), at(E("10.1.9.1.0")) + 1);
    EXPECT_EQ(at(E("10.1.11.1.0")), at(E("10.1.10.1.0")) + 1);
    EXPECT_EQ(at(E("14.2.2.1.1.1")), at(E("14.2.1.0")) + 1);
    for (const Line& l : walk) {
        EXPECT_NE(l.oid.rfind(E("14.1.2."), 0), 0u) << l.oid;
        EXPECT_NE(l.oid.rfind(E("10.3.2."), 0), 0u) << l.oid;
    }
}
