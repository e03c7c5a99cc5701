// The console registry: settings texts and ranges, registration, the selected device, the console file
// (reload, upgrade of older layouts, damaged files), backups.

#include "engine/base/Helpers.h"
#include "tests/core/ConsolesTestSupport.h"

using namespace consoletest;

namespace {

const uint32_t kA = Ip(10, 0, 0, 5);
const uint32_t kB = Ip(10, 0, 0, 6);
const uint32_t kC = Ip(10, 0, 0, 7);

std::string Field(const std::vector<uint8_t>& row, int word, size_t size)
{
    const char* text = reinterpret_cast<const char*>(row.data() + 4 * word);
    return std::string(text, strnlen(text, size));
}

} // namespace

TEST(ConsoleTextTest, DatesAndTimesAreFixedWidthFields)
{
    struct Case {
        const char* text;
        bool date;
        bool valid;
    };
    const Case cases[] = {
        {"20250131", true, true},   {"19900101", true, true},   {"20381231", true, true},
        {"20390101", true, false},  {"19891231", true, false},  {"2025013", true, false},
        {"202501311", true, false}, {"20251301", true, false},  {"20250001", true, false},
        {"20250132", true, false},  {"20250100", true, false},  {"20251x01", true, false},
        {"2025011a", true, false},  {" 2025011", true, false},  {"", true, false},
        {"000000", false, true},    {"235959", false, true},    {"235960", false, false},
        {"236000", false, false},   {"240000", false, false},   {"2359", false, false},
        {"23595", false, false},    {"2359590", false, false},  {"23a959", false, false},
        {"1 0000", false, false},
    };
    for (const Case& c : cases) {
        const size_t length = std::strlen(c.text);
        EXPECT_EQ(c.date ? IsValidDateText(c.text, length) : IsValidTimeText(c.text, length), c.valid) << c.text;
    }
    EXPECT_FALSE(IsValidDateText(nullptr, 8));
    EXPECT_FALSE(IsValidTimeText(nullptr, 6));
    // The length given counts, not the NUL.
    EXPECT_FALSE(IsValidDateText("20250131", 7));
    EXPECT_FALSE(IsValidDateText(std::string("\0" "0250131", 8).data(), 8));
}

class ConsoleSettingsTest : public ConsolesTest {};

TEST_F(ConsoleSettingsTest, IntegerSettingsKeepTheirRanges)
{
    struct Case {
        uint32_t key;
        int32_t value;
        uint32_t readKey; // 0: read row word `word`
        int word;
        uint32_t expected;
    };
    const Case cases[] = {
        {0x8502000A, 0, 0x8502000A, 0, 50},       {0x8502000A, 1001, 0x8502000A, 0, 50},
        {0x8502000A, -1, 0x8502000A, 0, 50},      {0x8502000A, 1, 0x8502000A, 0, 1},
        {0x8502000A, 1000, 0x8502000A, 0, 1000},  {0x85020018, 5000, 0, 10, 1000},
        {0x85020018, 0, 0, 10, 50},               {0x85020018, -5, 0, 10, 50},
        {0x85020018, 7, 0, 10, 7},                {0x8502000D, 3, 0x8502000D, 0, 1},
        {0x8502000D, 64, 0x8502000D, 0, 64},      {0x8502000D, 16, 0x8502000D, 0, 16},
        {0x8502000D, 128, 0x8502000D, 0, 1},      {0x8502000E, 0x1F, 0x8502000E, 0, 0xF},
        {0x85020009, 0x1234, 0x85020009, 0, 0x34}, {0x85020009, 0x1234, 0, 6, 0x3400},
        {0x85020017, 0x177, 0, 6, 0x77},          {0x85020017, 0x177, 0x85020017, 0, 0},
        {0x85020011, 17500, 0x85020011, 0, 17500}, {0x85020011, 17500, 0, 25, 17500},
        {0x85020013, 4000, 0x85020013, 0, 4000},  {0x85020013, 4000, 0, 26, 4000},
        {0x85020006, 2, 0x85020006, 0, 2},        {0x85020006, 5, 0x85020006, 0, 1},
        {0x8502000F, 9, 0x8502000F, 0, 0},        {0x85020007, 1, 0x85020007, 0, 0},
    };
    Make();
    uint32_t address = Ip(10, 1, 0, 1);
    for (const Case& c : cases) {
        // A fresh console for each case, so that the defaults are the starting point.
        ++address;
        SCOPED_TRACE(testing::Message() << std::hex << "key 0x" << c.key << " value " << std::dec << c.value);
        SetInt(c.key, address, static_cast<uint32_t>(c.value));
        if (c.readKey) {
            EXPECT_EQ(GetInt(c.readKey, address), c.expected);
        } else {
            std::vector<uint8_t> row;
            ASSERT_TRUE(consoles->CopyRow(address, row));
            EXPECT_EQ(RowWord(row, c.word), c.expected);
        }
    }
}

TEST_F(ConsoleSettingsTest, TextSettingsAreStoredOnlyInTheirForm)
{
    struct Case {
        uint32_t key;
        const char* text;
        int word;       // the row field
        size_t size;    // its bytes
        const char* expected;
    };
    const Case cases[] = {
        {0x8502000B, "20250131", 19, 12, "20250131"}, {0x8502000B, "20390101", 19, 12, ""},
        {0x8502000B, "2025013", 19, 12, ""},          {0x8502000B, "20251x01", 19, 12, ""},
        {0x8502000C, "20380119", 22, 12, "20380119"}, {0x85020019, "19900101", 11, 12, "19900101"},
        {0x8502001A, "20250230", 14, 12, "20250230"}, {0x8502001A, "2025-2-3", 14, 12, ""},
        {0x8502001B, "235959", 28, 8, "235959"},      {0x8502001B, "235960", 28, 8, ""},
        {0x8502001C, "000000", 30, 8, "000000"},      {0x8502001C, "240000", 30, 8, ""},
        {0x8502001C, "2359", 30, 8, ""},
    };
    Make();
    uint32_t address = Ip(10, 2, 0, 1);
    for (const Case& c : cases) {
        ++address;
        SCOPED_TRACE(testing::Message() << std::hex << "key 0x" << c.key << " text " << c.text);
        SetText(c.key, address, c.text);
        std::vector<uint8_t> row;
        ASSERT_TRUE(consoles->CopyRow(address, row));
        EXPECT_EQ(Field(row, c.word, c.size), c.expected);
    }
    // The two dates of the second group read back as texts; those of the first read the defaults.
    SetText(0x8502000B, kA, "20250131");
    EXPECT_EQ(GetText(0x8502000B, kA), "20250131");
    SetText(0x85020019, kA, "20250131");
    EXPECT_EQ(GetInt(0x85020019, kA), 0u);
    // A number where a text belongs, and a text where a number belongs, change nothing.
    SetInt(0x8502000B, kA, 20250101);
    EXPECT_EQ(GetText(0x8502000B, kA), "20250131");
    SetText(0x8502000A, kA, "700");
    EXPECT_EQ(GetInt(0x8502000A, kA), 50u);
}

TEST_F(ConsoleSettingsTest, CommunityBelowSixtyFourCharactersIsKept)
{
    Make();
    EXPECT_EQ(GetText(0x85020014, kA), "wendolmar");
    SetText(0x85020014, kA, "private");
    EXPECT_EQ(GetText(0x85020014, kA), "private");
    SetText(0x85020014, kA, std::string(64, 'x'));
    EXPECT_EQ(GetText(0x85020014, kA), "private");
    SetText(0x85020014, kA, std::string(63, 'y'));
    EXPECT_EQ(GetText(0x85020014, kA), std::string(63, 'y'));
    std::vector<uint8_t> row;
    ASSERT_TRUE(consoles->CopyRow(kA, row));
    EXPECT_NE(RowWord(row, 27), 0u);

    // Texts no console uses any more leave the file; one still used by another console stays.
    SetText(0x85020014, kB, "shared");
    SetText(0x85020014, kA, "shared");
    for (int i = 0; i < 50; ++i)
        SetText(0x85020014, kA, "c" + std::to_string(i));
    EXPECT_EQ(GetText(0x85020014, kB), "shared");
    consoles.reset();
    Make();
    EXPECT_EQ(consoles->Find(kA)->GetCommunity(), "c49");
    EXPECT_EQ(consoles->Find(kB)->GetCommunity(), "shared");
    std::string file;
    ASSERT_TRUE(vgplat::ReadWholeFile(FilePath(), file, 1 << 20));
    EXPECT_EQ(file.find("c48"), std::string::npos);
    EXPECT_EQ(file.find("private"), std::string::npos);
}

class ConsoleRegistrationTest : public ConsolesTest {};

TEST_F(ConsoleRegistrationTest, NewConsoleGetsItsRowThreadAndFile)
{
    host->SetDevices({0x00010001u, 0x00020003u, 0x00020004u});
    host->dataVersion = 0x0C063B00u; // a newer version seen in another file
    Make();
    EXPECT_EQ(consoles->GetCount(), 0);
    auto entry = consoles->ActivateEntry(kA);
    ASSERT_TRUE(entry);
    EXPECT_EQ(consoles->GetCount(), 1);
    EXPECT_EQ(entry->GetThreadName(), "CONSOLE_" + std::to_string(kA));
    EXPECT_EQ(entry->GetAddressText(), "10.0.0.5");
    EXPECT_TRUE(entry->IsActive());
    EXPECT_TRUE(WaitUntil([&] { return entry->IsRunning(); }, 2000));
    EXPECT_EQ(entry->GetTrapPort(), 16200);
    EXPECT_EQ(entry->GetAgentPort(), 3664);
    EXPECT_EQ(entry->GetCommunity(), "wendolmar");

    std::vector<uint8_t> row;
    ASSERT_TRUE(consoles->CopyRow(kA, row));
    ASSERT_EQ(row.size(), 128u + 36u * 3u);
    const std::pair<int, uint32_t> words[] = {{0, 128 + 36 * 3}, {1, CConsoles::kConsoleTableKey + 1}, {2, 0}, {3, 0},
                                              {4, 3}, {5, 128}, {6, 0}, {7, 1}, {8, kA}, {9, 0}, {10, 50},
                                              {17, 0}, {18, 50}, {25, 16200}, {26, 3664}, {27, 0}};
    for (const auto& w : words)
        EXPECT_EQ(RowWord(row, w.first), w.second) << "word " << w.first;
    const uint32_t keys[] = {0x00010001u, 0x00020003u, 0x00020004u};
    for (int i = 0; i < 3; ++i) {
        const int slot = 32 + 9 * i;
        EXPECT_EQ(RowWord(row, slot), 36u);
        EXPECT_EQ(RowWord(row, slot + 1), keys[i]);
        EXPECT_EQ(RowWord(row, slot + 4), 4u);
    }

    // The file holds the row as registered, written with the host's data version.
    uint32_t version = 0;
    std::vector<uint8_t> stored = StoredBlock(&version);
    EXPECT_EQ(version, 0x0C063B00u);
    ASSERT_EQ(stored.size(), 20u + row.size());
    EXPECT_EQ(LoadWord(stored.data() + 16), 1u);
    EXPECT_TRUE(std::equal(row.begin(), row.end(), stored.begin() + 20));

    // The same address again: the same entry, no second row.
    EXPECT_EQ(consoles->ActivateEntry(kA), entry);
    EXPECT_EQ(LoadWord(StoredBlock().data() + 16), 1u);
}

TEST_F(ConsoleRegistrationTest, EveryConsoleRequestRegistersButTheEngineOwnAddress)
{
    Make();
    EngineValue value;
    consoles->GetValue(0x8502000A, kA, value);
    EXPECT_EQ(value.integer, 50u);
    SetInt(0x85020011, kB, 17002);
    EXPECT_EQ(consoles->GetCount(), 2);
    EXPECT_EQ(consoles->Find(kB)->GetTrapPort(), 17002);

    EXPECT_EQ(consoles->ActivateEntry(0), nullptr);
    CConsoles unloaded(*host);
    EXPECT_EQ(unloaded.ActivateEntry(kA), nullptr);
    EXPECT_EQ(unloaded.GetCount(), 0);
    consoles->GetValue(0x8502000A, 0, value);
    EXPECT_EQ(value.integer, 0u);
    EXPECT_EQ(consoles->GetCount(), 2);
}

TEST_F(ConsoleRegistrationTest, TheNumberOfConsolesIsBounded)
{
    ScopedLogCapture log;
    ConsoleOptions options;
    options.maxConsoles = 3;
    Make(options);
    for (int i = 1; i <= 3; ++i)
        EXPECT_TRUE(consoles->ActivateEntry(Ip(10, 0, 1, i)));
    EXPECT_EQ(consoles->ActivateEntry(Ip(10, 0, 1, 4)), nullptr);
    EXPECT_EQ(consoles->ActivateEntry(Ip(10, 0, 1, 4)), nullptr);
    EXPECT_EQ(GetInt(0x8502000A, Ip(10, 0, 1, 4)), 0u);
    EXPECT_EQ(consoles->GetCount(), 3);
    EXPECT_EQ(log.Count("[CConsoles::Ping]: Console limit of 3 reached; 10.0.1.4 was not registered", kLogWarning), 1);
    EXPECT_EQ(LoadWord(StoredBlock().data() + 16), 3u);
    EXPECT_EQ(CConsoles::kMaxConsoles, 64u);
}

namespace {
// Makes sure the next contact is stamped later than the last one.
void NextMillisecond()
{
    const auto from = Clock::now();
    while (Clock::now() - from < std::chrono::milliseconds(2))
        std::this_thread::yield();
}
} // namespace

// A full registry never locks consoles out for good: a newcomer takes the row of the console silent
// longest among those gone quiet, a console on the engine's own host is never refused, and one there is
// never pushed out by a manager from elsewhere.
TEST_F(ConsoleRegistrationTest, AFullRegistryGivesTheLongestSilentRowAway)
{
    const uint32_t kOwn = Ip(127, 0, 0, 1);
    const uint32_t kNew = Ip(10, 0, 1, 9);
    struct Case {
        const char* name;
        std::vector<uint32_t> registered; // in this order, then contacted again in contactOrder
        std::vector<uint32_t> contactOrder;
        std::vector<uint32_t> quiet; // their keep-alive ran out
        uint32_t newcomer;
        uint32_t expectedVictim; // 0: the newcomer is refused
    } cases[] = {
        {"the longest silent quiet console goes", {kA, kB, kC}, {kB, kC, kA}, {kA, kB, kC}, kNew, kB},
        {"an active console is never pushed out by a remote newcomer", {kA, kB, kC}, {}, {kB}, kNew, kB},
        {"no quiet console: a remote newcomer is refused", {kA, kB, kC}, {}, {}, kNew, 0},
        {"the own host's console stays even when quiet", {kOwn, kA, kB}, {}, {kOwn}, kNew, 0},
        {"the own host is never refused", {kA, kB, kC}, {kC, kA, kB}, {}, kOwn, kC},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedLogCapture log;
        consoles.reset();
        std::filesystem::remove(FilePath());
        ConsoleOptions options;
        options.maxConsoles = 3;
        Make(options);
        for (uint32_t address : c.registered) {
            ASSERT_TRUE(consoles->ActivateEntry(address));
            NextMillisecond();
        }
        for (uint32_t address : c.contactOrder) {
            ASSERT_TRUE(consoles->ActivateEntry(address));
            NextMillisecond();
        }
        for (uint32_t address : c.quiet)
            consoles->Find(address)->Deactivate(false);
        auto victim = c.expectedVictim ? consoles->Find(c.expectedVictim) : nullptr;

        auto entry = consoles->ActivateEntry(c.newcomer);
        EXPECT_EQ(consoles->GetCount(), 3);
        EXPECT_EQ(LoadWord(StoredBlock().data() + 16), 3u) << "the file keeps three rows";
        if (!c.expectedVictim) {
            EXPECT_EQ(entry, nullptr);
            continue;
        }
        ASSERT_NE(entry, nullptr);
        EXPECT_TRUE(entry->IsActive());
        EXPECT_EQ(consoles->Find(c.expectedVictim), nullptr);
        EXPECT_FALSE(victim->IsActive());
        EXPECT_FALSE(victim->IsRunning());
        std::vector<uint8_t> row;
        EXPECT_TRUE(consoles->CopyRow(c.newcomer, row));
        EXPECT_TRUE(log.Has("[CConsoles::Ping]: Console limit of 3 reached; " + IpAddressToString(c.newcomer) +
                                " takes the row of " + IpAddressToString(c.expectedVictim),
                            kLogNotice));
    }
}

// After a restart no console has been heard from: the stored rows give way to new managers instead of
// keeping them out.
TEST_F(ConsoleRegistrationTest, StoredConsolesGiveWayAfterARestart)
{
    ConsoleOptions options;
    options.maxConsoles = 2;
    Make(options);
    ASSERT_TRUE(consoles->ActivateEntry(kA));
    ASSERT_TRUE(consoles->ActivateEntry(kB));
    consoles.reset();
    Make(options);
    ASSERT_EQ(consoles->GetCount(), 2);
    ASSERT_NE(consoles->ActivateEntry(kC), nullptr);
    EXPECT_EQ(consoles->Find(kA), nullptr) << "the first stored row goes first";
    EXPECT_NE(consoles->Find(kB), nullptr);
    consoles.reset();
    Make(options);
    EXPECT_EQ(consoles->GetCount(), 2);
    EXPECT_NE(consoles->Find(kC), nullptr) << "the new console was saved";
}

TEST_F(ConsoleRegistrationTest, SelectedDeviceFollowsTheDeviceCount)
{
    Make();
    EXPECT_EQ(consoles->GetSelectedDevice(kA), 1); // not a console
    SetInt(0x85020006, kA, 2);
    EXPECT_EQ(consoles->GetSelectedDevice(kA), 2);
    host->SetDevices({0x00010001u});
    EXPECT_EQ(consoles->GetSelectedDevice(kA), 1);
    std::vector<uint8_t> row;
    ASSERT_TRUE(consoles->CopyRow(kA, row));
    EXPECT_EQ(RowWord(row, 7), 1u); // written back
    host->SetDevices({});
    EXPECT_EQ(consoles->GetSelectedDevice(kA), 0);
    host->SetDevices({0x00010001u, 0x00010002u});
    EXPECT_EQ(consoles->GetSelectedDevice(kA), 1);
}

class ConsoleFileTest : public ConsolesTest {};

TEST_F(ConsoleFileTest, ConsolesAndSettingsSurviveARestart)
{
    Make();
    SetInt(0x85020011, kA, 17001);
    SetText(0x85020014, kA, "alpha");
    SetInt(0x8502000A, kA, 300);
    SetInt(0x85020011, kB, 17002);
    SetInt(0x85020009, kB, 0x20);
    consoles.reset();

    Make();
    auto entries = consoles->GetEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]->GetThreadName(), "CONSOLE_0");
    EXPECT_EQ(entries[1]->GetThreadName(), "CONSOLE_1");
    for (const auto& entry : entries) {
        EXPECT_FALSE(entry->IsActive());
        EXPECT_FALSE(entry->IsRunning());
    }
    EXPECT_EQ(entries[0]->GetAddress(), kA);
    EXPECT_EQ(entries[0]->GetTrapPort(), 17001);
    EXPECT_EQ(entries[0]->GetCommunity(), "alpha");
    EXPECT_EQ(entries[1]->GetTrapPort(), 17002);
    EXPECT_EQ(entries[1]->GetCommunity(), "wendolmar");

    // Contact reactivates the loaded entry; nothing registers twice.
    EXPECT_EQ(GetInt(0x8502000A, kA), 300u);
    EXPECT_EQ(GetInt(0x85020009, kB), 0x20u);
    EXPECT_TRUE(entries[0]->IsActive());
    EXPECT_EQ(consoles->GetCount(), 2);
    // A new console after the loaded ones gets the next key.
    consoles->ActivateEntry(Ip(10, 0, 0, 7));
    std::vector<uint8_t> row;
    ASSERT_TRUE(consoles->CopyRow(Ip(10, 0, 0, 7), row));
    EXPECT_EQ(RowWord(row, 1), CConsoles::kConsoleTableKey + 3);
}

TEST_F(ConsoleFileTest, OldLayoutIsUpgradedAndSaved)
{
    // Rows of 112 fixed bytes (before the time texts), slots of two and of six value words.
    auto first = MakeOldRow(CConsoles::kConsoleTableKey + 1, kA, 112, {{7, 8}, {1, 2, 3, 4, 5, 6}});
    auto second = MakeOldRow(CConsoles::kConsoleTableKey + 2, kB, 112, {});
    StoreWord(first.data() + 4 * 11, 0x30323032); // "2020" of a date text
    WriteFile(MakeDataFile(kConsoleExtensionFileId, MakeDataVersion(12, 4, 39),
                           {{CConsoles::kConsoleTableKey, MakeTable(CConsoles::kConsoleTableKey, {first, second})}}));
    Make();
    ASSERT_EQ(consoles->GetCount(), 2);

    uint32_t version = 0;
    std::vector<uint8_t> block = StoredBlock(&version);
    EXPECT_EQ(version, 0x0C043B00u);
    ASSERT_EQ(block.size(), 20u + (128 + 2 * 36) + 128);
    EXPECT_EQ(LoadWord(block.data() + 12), block.size() - 20);
    EXPECT_EQ(LoadWord(block.data() + 16), 2u);
    const uint8_t* row = block.data() + 20;
    EXPECT_EQ(LoadWord(row), 128u + 72u);
    EXPECT_EQ(LoadWord(row + 4 * 5), 128u);
    EXPECT_EQ(LoadWord(row + 4 * 8), kA);
    EXPECT_EQ(LoadWord(row + 4 * 25), 17000u + 5u);
    EXPECT_EQ(LoadWord(row + 4 * 11), 0x30323032u);
    EXPECT_EQ(LoadWord(row + 4 * 28), 0u); // the time texts start empty
    const uint8_t* slot = row + 128;
    const uint32_t expected[2][9] = {{36, 0x00010001u, 0, 0, 4, 7, 8, 0, 0}, {36, 0x00010002u, 0, 0, 4, 1, 2, 3, 4}};
    for (int s = 0; s < 2; ++s)
        for (int w = 0; w < 9; ++w)
            EXPECT_EQ(LoadWord(slot + 36 * s + 4 * w), expected[s][w]) << "slot " << s << " word " << w;
    EXPECT_EQ(LoadWord(row + 200), 128u); // the second row

    // The upgraded file loads as it is, without another upgrade.
    consoles.reset();
    ScopedLogCapture log;
    Make();
    EXPECT_EQ(consoles->GetCount(), 2);
    EXPECT_EQ(consoles->GetEntries()[0]->GetTrapPort(), 17005);
    for (const auto& line : log.Lines())
        EXPECT_EQ(line.message.find("damaged"), std::string::npos) << line.message;
}

TEST_F(ConsoleFileTest, EndOfRowsMarkerEndsTheLoad)
{
    auto marker = CurrentRow(CConsoles::kConsoleTableKey + 2, kB, 1);
    StoreWord(marker.data() + 16, 0xFFFFFFFFu);
    WriteFile(MakeDataFile(
        kConsoleExtensionFileId, kEngineDataVersion,
        {{CConsoles::kConsoleTableKey,
          MakeTable(CConsoles::kConsoleTableKey, {CurrentRow(CConsoles::kConsoleTableKey + 1, kA, 1), marker,
                                                  CurrentRow(CConsoles::kConsoleTableKey + 3, Ip(10, 0, 0, 9), 1)})}}));
    Make();
    auto entries = consoles->GetEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1]->GetAddress(), kB);
    std::vector<uint8_t> row;
    ASSERT_TRUE(consoles->CopyRow(kB, row));
    EXPECT_EQ(RowWord(row, 4), 0u);
    EXPECT_EQ(row.size(), 128u);
}

TEST_F(ConsoleFileTest, DamagedFilesAreRefusedWithoutACrash)
{
    using Rows = std::vector<std::vector<uint8_t>>;
    const uint32_t key = CConsoles::kConsoleTableKey;
    auto good = [&](uint32_t k) { return CurrentRow(key + k, kA + (k << 24), 1); };
    struct Case {
        const char* name;
        std::function<std::vector<uint8_t>()> block;
    };
    const Case cases[] = {
        {"row count above the rows",
         [&] {
             auto b = MakeTable(key, Rows{good(1)});
             StoreWord(b.data() + 16, 2);
             return b;
         }},
        {"row size past the block",
         [&] {
             auto r = good(1);
             StoreWord(r.data(), 4000);
             return MakeTable(key, Rows{r});
         }},
        {"slot count that does not fit",
         [&] {
             auto r = good(1);
             StoreWord(r.data() + 16, 0x7FFFFFFF);
             return MakeTable(key, Rows{r});
         }},
        {"slot value count past the slot",
         [&] {
             auto r = good(1);
             StoreWord(r.data() + 128 + 16, 1000);
             return MakeTable(key, Rows{r});
         }},
        {"slot size past the row",
         [&] {
             auto r = good(1);
             StoreWord(r.data() + 128, 400);
             return MakeTable(key, Rows{r});
         }},
        {"fixed part too small",
         [&] {
             auto r = good(1);
             StoreWord(r.data() + 20, 8);
             return MakeTable(key, Rows{r});
         }},
        {"fixed part past the row",
         [&] {
             auto r = good(1);
             StoreWord(r.data() + 20, 400);
             return MakeTable(key, Rows{r});
         }},
        {"row keys out of order", [&] { return MakeTable(key, Rows{good(2), good(1)}); }},
        {"rows bytes past the block",
         [&] {
             auto b = MakeTable(key, Rows{good(1)});
             StoreWord(b.data() + 12, 5000);
             return b;
         }},
        {"zero-size row",
         [&] {
             auto r = good(1);
             StoreWord(r.data(), 0);
             return MakeTable(key, Rows{r});
         }},
        {"head shorter than a table head",
         [&] {
             auto b = MakeTable(key, Rows{good(1)});
             StoreWord(b.data(), 12);
             StoreWord(b.data() + 8, 12);
             return b;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        consoles.reset();
        WriteFile(MakeDataFile(kConsoleExtensionFileId, kEngineDataVersion, {{key, c.block()}}));
        ScopedLogCapture log;
        Make();
        EXPECT_EQ(consoles->GetCount(), 0);
        bool logged = false;
        for (const auto& line : log.Lines())
            logged = logged || (line.level == kLogError && line.message.find("is damaged") != std::string::npos);
        EXPECT_TRUE(logged);
        // The registry works on: a contact registers and the file is written whole again.
        EXPECT_TRUE(consoles->ActivateEntry(kB));
        EXPECT_EQ(LoadWord(StoredBlock().data() + 16), 1u);
    }

    // Files cut short, of another system, or not data files at all.
    std::string whole = MakeDataFile(kConsoleExtensionFileId, kEngineDataVersion, {{key, MakeTable(key, Rows{good(1)})}});
    std::string other = whole;
    StoreWord(reinterpret_cast<uint8_t*>(other.data()) + 4, 0x12340205);
    for (const std::string& content : {whole.substr(0, whole.size() - 7), whole.substr(0, 40), other,
                                       std::string("not a data file")}) {
        consoles.reset();
        WriteFile(content);
        Make();
        EXPECT_EQ(consoles->GetCount(), 0);
    }
}

TEST_F(ConsoleFileTest, BackupRestoreAndSafePointCopyTheFile)
{
    Make();
    EXPECT_EQ(consoles->Backup(), 0); // no file yet
    EXPECT_EQ(consoles->CreateSafePoint(), 0);
    consoles->ActivateEntry(kA);
    EXPECT_EQ(consoles->Backup(), 1);
    EXPECT_EQ(consoles->CreateSafePoint(), 1);
    consoles->ActivateEntry(kB);
    EXPECT_EQ(LoadWord(StoredBlock().data() + 16), 2u);
    EXPECT_EQ(consoles->Restore(), 1);
    EXPECT_EQ(LoadWord(StoredBlock().data() + 16), 1u);
    std::string safe, file;
    ASSERT_TRUE(vgplat::ReadWholeFile(host->GetConsoleSafePointPath(), safe, 1 << 20));
    ASSERT_TRUE(vgplat::ReadWholeFile(FilePath(), file, 1 << 20));
    EXPECT_EQ(safe, file);
    EXPECT_EQ(std::filesystem::status(FilePath()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST(ConsoleTableTest, ParsedBlocksNeverReadPastTheirEnd)
{
    // Every cut of a valid block is refused, never walked past its end (ASan watches the copies).
    auto block = MakeTable(CConsoles::kConsoleTableKey,
                           {CurrentRow(CConsoles::kConsoleTableKey + 1, Ip(1, 2, 3, 4), 2),
                            MakeOldRow(CConsoles::kConsoleTableKey + 2, Ip(1, 2, 3, 5), 112, {{1}})});
    std::vector<uint8_t> out;
    std::string why;
    ASSERT_TRUE(CConsoleTable::ParseStoredBlock(block.data(), block.size(), out, why)) << why;
    for (size_t size = 0; size < block.size(); ++size) {
        std::vector<uint8_t> cut(block.begin(), block.begin() + static_cast<long>(size));
        EXPECT_FALSE(CConsoleTable::ParseStoredBlock(cut.data(), cut.size(), out, why)) << size;
    }
}
