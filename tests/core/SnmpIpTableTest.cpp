#include "engine/core/settings/SnmpIpTable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "engine/core/config/ConfigFileInterface.h"
#include "engine/core/data/StringTable.h"
#include "tests/core/DataFileTestSupport.h"
#include "tests/core/RecordingHooks.h"

using cfgtest::RecordingHooks;
using cfgtest::TrapCellOid;
using cfgtest::TrapTableOid;
using vgtest::Image;

namespace {

constexpr uint32_t kRow = kSnmpIpBlockKey;

uint32_t Key(uint32_t column, uint32_t row)
{
    return kSnmpIpBlockKey | column << 8 | row;
}

class TrapTableTest : public vgtest::SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        m_strings.ReadFileBlock(Path("none.dat"), kStringTableBlockKey);
        genericConfigFileInterface::SetEngineIniPath(Path("vgconfig.ini"));
    }
    void TearDown() override
    {
        genericConfigFileInterface::SetEngineIniPath("");
        SandboxTest::TearDown();
    }
    // A new table imported from the INI file's [IPAddresses].
    void Import(CSnmpIpTable& table, const std::string& ini)
    {
        WriteFile(Path("vgconfig.ini"), ini);
        ASSERT_TRUE(table.ReadFileBlock(Path("missing.dat"), kSnmpIpBlockKey));
    }
    bool SetInt(CSnmpIpTable& table, uint32_t column, uint32_t row, int32_t value)
    {
        return table.SetValue(Key(column, row), 0, kValueInteger, &value, sizeof value);
    }
    bool SetText(CSnmpIpTable& table, uint32_t column, uint32_t row, const std::string& text)
    {
        return table.SetValue(Key(column, row), 0, kValueOctetString, text.data(), text.size());
    }

    RecordingHooks m_hooks;
    CStringTable m_strings;
};

// A stored row of rowSize bytes (at least 40): flags, address, name key, community key, port.
std::string StoredRow(uint32_t rowSize, uint32_t key, uint32_t flags, uint32_t address, uint32_t port)
{
    Image row;
    row.W(rowSize).W(key).W(0).W(0).W(flags).W(address).W(0).W(0).W(port).W(0);
    while (row.Size() < rowSize)
        row.W(0xEEEEEEEE);
    return row.Str();
}

std::string StoredTable(uint32_t headSize, const std::vector<std::string>& rows)
{
    std::string body;
    for (const auto& row : rows)
        body += row;
    Image head;
    head.W(headSize).W(kSnmpIpBlockKey).W(headSize).W(static_cast<uint32_t>(body.size())).W(static_cast<uint32_t>(rows.size()));
    while (head.Size() < headSize)
        head.W(0);
    return head.Str() + body;
}

} // namespace

TEST_F(TrapTableTest, ImportOfTheAddressesSection)
{
    CSnmpIpTable table(&m_hooks, &m_strings);
    Import(table, "[IPAddresses]\n"
                  "IP=10.0.0.7,Station,162,public\n"
                  "ip=10.0.0.7,Again,163,public\n"          // known address
                  "IP=10.0.0.8,NoCommunity,162,\n"         // empty community
                  "IP=10.0.0.9,My Vigilon box,162,public\n" // name holds Vigilon
                  "IP=10.0.0.10,Short,162\n"                // fewer than three commas
                  "IP=10.0.0,Bad,162,public\n"              // not a strict address
                  "IP=10.0.0.11x,Bad,162,public\n"
                  "IP=" + std::string(300, '1') + ",x,1,c\n"
                  "Other=10.0.0.12,Key,162,public\n"
                  "IP= 10.0.0.13 ,,abc,a,b\n"               // no name, no port, community with commas
                  "[VG_Engine]\nIP=10.0.0.14,Elsewhere,162,public\n");
    ASSERT_EQ(table.GetCount(), 2);
    EXPECT_EQ(table.GetValue(Key(1, 1), 0).integer, 1u);
    EXPECT_EQ(table.GetValue(Key(2, 1), 0).integer, 1u);
    EngineValue address = table.GetValue(Key(3, 1), 0);
    EXPECT_EQ(address.type, kValueIpAddress);
    EXPECT_EQ(address.integer, 0x0700000Au);
    EXPECT_EQ(table.GetValue(Key(4, 1), 0).bytes, "Station");
    EXPECT_EQ(table.GetValue(Key(5, 1), 0).bytes, "public");
    EXPECT_EQ(table.GetValue(Key(6, 1), 0).integer, 162u);
    EXPECT_EQ(table.GetValue(Key(7, 1), 0).integer, 0u);
    EXPECT_EQ(table.GetRowWord(2, TrapDestinationWord::kName), 0u);
    EXPECT_EQ(table.GetValue(Key(4, 2), 0).bytes, "");
    EXPECT_EQ(table.GetValue(Key(5, 2), 0).bytes, "a,b");
    EXPECT_EQ(table.GetValue(Key(6, 2), 0).integer, 0u);
    EXPECT_EQ(table.GetRowWord(2, TrapDestinationWord::kKey), kRow + 2);
    EXPECT_EQ(table.FindByAddress(0x0D00000A), kRow + 2);
    EXPECT_EQ(m_hooks.rowCounts, std::vector<int> {2});
    EXPECT_TRUE(Log().Contains(kLogWarning, "IP line of 306 characters skipped"));
    EXPECT_EQ(m_hooks.Count("save"), 0); // the load's caller saves
}

TEST_F(TrapTableTest, LoadDropsDisabledRowsAndRepadsOldRows)
{
    // Rows of an older layout (40 bytes, a 24-byte head): 1 enabled, 2 disabled, 3 enabled with the
    // version nibble 2, 4 disabled.
    const std::string stored = StoredTable(24, {StoredRow(40, kRow + 1, 0x01, 0x0100000A, 162),
                                                StoredRow(40, kRow + 2, 0x00, 0x0200000A, 163),
                                                StoredRow(40, kRow + 3, 0x21, 0x0300000A, 164),
                                                StoredRow(40, kRow + 4, 0x20, 0x0400000A, 165)});
    WriteFile(Path("vgusrext.dat"), vgtest::MakeDataFile(kUserExtensionFileId, MakeDataVersion(12, 4, 40),
                                                         {{kSnmpIpBlockKey, stored}}));
    CSnmpIpTable table(&m_hooks, &m_strings);
    ASSERT_TRUE(table.ReadFileBlock(Path("vgusrext.dat"), kSnmpIpBlockKey));

    // After: a 20-byte head, the enabled rows renumbered 1 and 2, each 52 bytes with a zero tail.
    auto padded = [](std::string row) {
        row.replace(0, 4, Image().W(52).Str());
        return row + std::string(12, '\0');
    };
    const std::string expected = StoredTable(20, {padded(StoredRow(40, kRow + 1, 0x01, 0x0100000A, 162)),
                                                  padded(StoredRow(40, kRow + 2, 0x21, 0x0300000A, 164))});
    ASSERT_EQ(table.GetSize(), 124);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(table.GetBlock()), 124), expected);
    EXPECT_EQ(table.GetLastKey(), kRow + 2);
    EXPECT_EQ(table.GetValue(Key(7, 2), 0).integer, 2u);
    ASSERT_EQ(m_hooks.listChanged.size(), 1u);
    EXPECT_EQ(m_hooks.listChanged[0].oid, TrapTableOid());
    EXPECT_EQ(m_hooks.listChanged[0].value, 6);
    EXPECT_EQ(m_hooks.rowCounts, std::vector<int> {2});

    // A damaged table (count that does not match its rows) is refused and replaced by a new one.
    std::string damaged = StoredTable(20, {StoredRow(52, kRow + 1, 1, 1, 1)});
    damaged.replace(16, 4, Image().W(3).Str());
    WriteFile(Path("bad.dat"), vgtest::MakeDataFile(kUserExtensionFileId, kEngineDataVersion, {{kSnmpIpBlockKey, damaged}}));
    CSnmpIpTable fresh(&m_hooks, &m_strings);
    ASSERT_TRUE(fresh.ReadFileBlock(Path("bad.dat"), kSnmpIpBlockKey));
    EXPECT_EQ(fresh.GetCount(), 0);
    EXPECT_EQ(fresh.GetSize(), 20);
}

TEST_F(TrapTableTest, SetsSaveAndAnnounceOnlyEnabledRows)
{
    CSnmpIpTable table(&m_hooks, &m_strings);
    Import(table, "[IPAddresses]\nIP=10.0.0.7,Station,162,public\n");
    ASSERT_EQ(table.AddEmptyRow(), kRow + 2);
    m_hooks.calls.clear();

    // Disabling an enabled row and any change of a disabled row: neither saved nor announced.
    EXPECT_TRUE(SetInt(table, 2, 1, 2));
    EXPECT_EQ(table.GetValue(Key(2, 1), 0).integer, 2u);
    EXPECT_TRUE(SetInt(table, 6, 2, 1162));
    EXPECT_TRUE(m_hooks.calls.empty());

    // Enabling saves and sends a ListChangedTrap with 0.
    EXPECT_TRUE(SetInt(table, 2, 2, 4));
    EXPECT_EQ(m_hooks.calls, (std::vector<std::string> {"save", "listChanged"}));
    EXPECT_EQ(m_hooks.listChanged.back().value, 0);
    EXPECT_EQ(table.GetValue(Key(6, 2), 0).integer, 1162u);

    // Other columns of an enabled row: saved, and announced with the SET's value on the cell's OID.
    m_hooks.calls.clear();
    EXPECT_TRUE(SetInt(table, 7, 2, 0x123)); // the version keeps its 4 bits
    EXPECT_EQ(table.GetValue(Key(7, 2), 0).integer, 3u);
    EXPECT_EQ(table.GetRowWord(2, TrapDestinationWord::kFlags), 0x31u);
    EXPECT_TRUE(SetInt(table, 3, 2, 0x0100007F));
    EXPECT_TRUE(SetText(table, 5, 2, "private"));
    EXPECT_TRUE(SetText(table, 8, 2, "free text # anything"));
    EXPECT_EQ(m_hooks.Count("save"), 4);
    ASSERT_EQ(m_hooks.valueChanged.size(), 4u);
    EXPECT_EQ(m_hooks.valueChanged[0].oid, TrapCellOid(7, 2));
    EXPECT_EQ(m_hooks.valueChanged[2].oid, TrapCellOid(5, 2));
    EXPECT_EQ(m_hooks.valueChanged[2].type, kValueOctetString);
    EXPECT_EQ(m_hooks.valueChanged[2].data, "private");
    EXPECT_EQ(table.GetValue(Key(5, 2), 0).bytes, "private");
    EXPECT_EQ(table.GetValue(Key(8, 2), 0).bytes, "free text # anything");

    // Row numbers outside the table, columns outside 2-8 and unknown row states change nothing.
    m_hooks.calls.clear();
    EXPECT_FALSE(SetInt(table, 6, 3, 1));
    EXPECT_FALSE(SetInt(table, 6, 0, 1));
    EXPECT_FALSE(SetInt(table, 9, 2, 1));
    EXPECT_FALSE(SetInt(table, 1, 2, 1));
    EXPECT_EQ(table.GetValue(Key(6, 3), 0).integer, 0u);
    EXPECT_EQ(table.GetValue(Key(9, 2), 0).integer, 0u);
    EXPECT_TRUE(SetInt(table, 2, 2, 7));
    EXPECT_EQ(table.GetValue(Key(2, 2), 0).integer, 1u);
}

TEST_F(TrapTableTest, TextsThatWouldNotReadBackAreRefused)
{
    CSnmpIpTable table(&m_hooks, &m_strings);
    Import(table, "[IPAddresses]\nIP=10.0.0.7,Station,162,public\n");
    m_hooks.calls.clear();
    struct Case {
        uint32_t column;
        std::string text;
        bool accepted;
    };
    const Case cases[] = {
        {4, "Operator desk", true}, {4, "a,b", false},       {4, "x#y", false},  {4, "line\nbreak", false},
        {4, " lead", false},        {5, "comm,unity", true}, {5, "cr\r", false}, {5, "trail ", false},
        {5, std::string("n\0l", 3), false}, {4, "", true},
    };
    for (const Case& c : cases) {
        std::string before = table.GetValue(Key(c.column, 1), 0).bytes;
        EXPECT_EQ(SetText(table, c.column, 1, c.text), c.accepted) << c.text;
        EXPECT_EQ(table.GetValue(Key(c.column, 1), 0).bytes, c.accepted ? c.text : before) << c.text;
    }
    EXPECT_EQ(m_hooks.Count("save"), 3);
    EXPECT_TRUE(Log().Contains(kLogWarning, "text for column 4 of row 1 refused"));
}

TEST_F(TrapTableTest, RemoveRenumbersAndAddStopsAt255Rows)
{
    CSnmpIpTable table(&m_hooks, &m_strings);
    Import(table, "[IPAddresses]\nIP=10.0.0.1,a,1,c\nIP=10.0.0.2,b,2,c\nIP=10.0.0.3,c,3,c\n");
    m_hooks.calls.clear();
    EXPECT_FALSE(table.RemoveByIndex(4));
    EXPECT_TRUE(table.RemoveByIndex(2));
    EXPECT_EQ(m_hooks.calls, (std::vector<std::string> {"save", "listChanged"}));
    EXPECT_EQ(m_hooks.listChanged.back().value, 6);
    ASSERT_EQ(table.GetCount(), 2);
    EXPECT_EQ(table.GetRowWord(2, TrapDestinationWord::kKey), kRow + 2);
    EXPECT_EQ(table.GetValue(Key(6, 2), 0).integer, 3u);
    EXPECT_EQ(table.GetLastKey(), kRow + 2);
    EXPECT_EQ(table.AddEmptyRow(), kRow + 3);
    EXPECT_EQ(table.GetValue(Key(2, 3), 0).integer, 2u); // born disabled

    while (table.GetCount() < kMaxTrapDestinations)
        ASSERT_NE(table.AddEmptyRow(), kDataKeyFailed);
    EXPECT_EQ(table.GetLastKey(), kRow + 255);
    EXPECT_EQ(table.AddEmptyRow(), kDataKeyFailed);
    EXPECT_EQ(table.GetCount(), 255);
}

TEST_F(TrapTableTest, ExportRoundTripsAndLeavesOutUnsafeRows)
{
    CSnmpIpTable empty(&m_hooks, &m_strings);
    Import(empty, "");
    std::ostringstream none;
    empty.WriteConfigurationValues(none);
    EXPECT_EQ(none.str(), "[IPAddresses]\n\n");

    CSnmpIpTable table(&m_hooks, &m_strings);
    Import(table, "[IPAddresses]\nIP=10.0.0.7,Station,162,public\nIP=192.168.1.20,,0,a,b\n");
    table.AddEmptyRow(); // disabled rows are exported too
    std::ostringstream out;
    table.WriteConfigurationValues(out);
    EXPECT_EQ(out.str(), "[IPAddresses]\nIP=10.0.0.7,Station,162,public\nIP=192.168.1.20,,0,a,b\n"
                         "IP=0.0.0.0,,0,\n\n");

    // A name that entered through a damaged file and would break the line is left out.
    uint32_t bad = m_strings.AddString("x#y");
    table.SetRowWord(1, TrapDestinationWord::kName, bad);
    std::ostringstream guarded;
    table.WriteConfigurationValues(guarded);
    EXPECT_EQ(guarded.str(), "[IPAddresses]\nIP=192.168.1.20,,0,a,b\nIP=0.0.0.0,,0,\n\n");
    EXPECT_TRUE(Log().Contains(kLogWarning, "row 1 left out"));

    // The export imports into the same rows (the empty community is skipped on import).
    CStringTable strings;
    strings.ReadFileBlock(Path("none.dat"), kStringTableBlockKey);
    CSnmpIpTable copy(&m_hooks, &strings);
    Import(copy, out.str());
    ASSERT_EQ(copy.GetCount(), 2);
    for (uint32_t column = 3; column <= 6; ++column)
        for (uint32_t row = 1; row <= 2; ++row) {
            EXPECT_EQ(copy.GetValue(Key(column, row), 0).integer, table.GetValue(Key(column, row), 0).integer);
            EXPECT_EQ(copy.GetValue(Key(column, row), 0).bytes, row == 1 && column == 4
                                                                     ? "Station"
                                                                     : table.GetValue(Key(column, row), 0).bytes);
        }
}

TEST_F(TrapTableTest, PortsOutsideTheWordRangeReadBackAsStored)
{
    // A negative port is kept as its 32-bit word; the export writes that word, which imports unchanged.
    CSnmpIpTable table(&m_hooks, &m_strings);
    Import(table, "[IPAddresses]\nIP=10.0.0.7,A,-16,c\nIP=10.0.0.8,B,99999999999,c\n");
    std::ostringstream first;
    table.WriteConfigurationValues(first);
    EXPECT_EQ(first.str(), "[IPAddresses]\nIP=10.0.0.7,A,4294967280,c\nIP=10.0.0.8,B,4294967295,c\n\n");

    CStringTable strings;
    strings.ReadFileBlock(Path("none.dat"), kStringTableBlockKey);
    CSnmpIpTable again(&m_hooks, &strings);
    Import(again, first.str());
    std::ostringstream second;
    again.WriteConfigurationValues(second);
    EXPECT_EQ(second.str(), first.str());
}

// Manager SETs on the rows while rows are added and removed: no torn rows, no lost count.
TEST(TrapTableThreads, SetsWhileRowsComeAndGo)
{
    CStringTable strings;
    strings.ReadFileBlock("/nonexistent/vgusrext.dat", kStringTableBlockKey);
    RecordingHooks hooks;
    CSnmpIpTable table(&hooks, &strings);
    genericConfigFileInterface::SetEngineIniPath("");
    ASSERT_TRUE(table.ReadFileBlock("/nonexistent/vgusrext.dat", kSnmpIpBlockKey));
    for (int i = 0; i < 10; ++i)
        table.AddEmptyRow();
    std::atomic<bool> stop {false};
    std::vector<std::thread> setters;
    for (int t = 0; t < 3; ++t)
        setters.emplace_back([&, t] {
            for (int i = 0; !stop; ++i) {
                uint32_t row = 1 + (i + t) % 10;
                int32_t value = (i % 2) ? 1 : 2;
                table.SetValue(Key(2, row), 0, kValueInteger, &value, 4);
                std::string community = "c" + std::to_string(t);
                table.SetValue(Key(5, row), 0, kValueOctetString, community.data(), community.size());
                table.GetValue(Key(5, row), 0);
                table.GetValue(Key(3, row), 0);
            }
        });
    for (int i = 0; i < 200; ++i) {
        ASSERT_NE(table.AddEmptyRow(), kDataKeyFailed);
        ASSERT_TRUE(table.RemoveByIndex(1 + i % 5));
    }
    stop = true;
    for (auto& thread : setters)
        thread.join();
    ASSERT_EQ(table.GetCount(), 10);
    for (uint32_t row = 1; row <= 10; ++row)
        EXPECT_EQ(table.GetRowWord(row, TrapDestinationWord::kKey), kSnmpIpBlockKey + row);
}
