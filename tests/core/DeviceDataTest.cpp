// The device blocks of the device extension file: attached devices, device records and their tagged
// sub-blocks.

#include <gtest/gtest.h>

#include <cstring>

#include "engine/core/data/BinaryFile.h"
#include "engine/core/data/DeviceAttachedTable.h"
#include "engine/core/data/DeviceData.h"
#include "engine/core/data/DeviceDataEntry.h"
#include "engine/core/data/StringTable.h"
#include "tests/core/DataFileTestSupport.h"

using vgtest::Image;
using vgtest::MakeDataFile;
using vgtest::WordAt;

namespace {

constexpr uint32_t kAttached = kDeviceAttachedBlockKey;

// A sub-block: a table {20, tag, 20, 24 n, n} of n rows {24, key, 0, 0, a, b}.
std::string SubBlock(uint32_t tag, uint32_t rows, uint32_t seed)
{
    Image b;
    b.W(20).W(tag).W(20).W(24 * rows).W(rows);
    for (uint32_t i = 1; i <= rows; ++i)
        b.W(24).W(tag + i).W(0).W(0).W(seed + i).W(seed * 2 + i);
    return b.Str();
}

void SetImage(CDataHeader& header, const std::string& image)
{
    auto block = CDataHeader::AllocateBlock(image.size());
    std::memcpy(block.get(), image.data(), image.size());
    header.ReplaceBlock(std::move(block), image.size());
}

std::string BlockOf(const CDataHeader& header)
{
    return std::string(reinterpret_cast<const char*>(header.GetBlock()), header.GetSize());
}

// A 76-byte attached row; word i = base + i for the fields, with the given key, word 4 and flag word.
std::string Row(uint32_t key, uint32_t field4, uint32_t flags, uint32_t base, uint32_t size = 76)
{
    Image r;
    r.W(size).W(key).W(0).W(0).W(field4);
    for (uint32_t i = 5; i < size / 4; ++i)
        r.W(i == 9 ? flags : base + i);
    return r.Str();
}

std::string AttachedBlock(const std::vector<std::string>& rows)
{
    std::string body;
    for (const std::string& row : rows)
        body += row;
    return Image().W(20).W(kAttached).W(20).W(static_cast<uint32_t>(body.size())).W(static_cast<uint32_t>(rows.size())).Str() + body;
}

class DeviceDataTest : public vgtest::SandboxTest {
protected:
    // Writes a device extension file of the attached table, the device data and a string table.
    void Save(CDeviceAttachedTable& attached, CDeviceData& data, const std::string& path)
    {
        CStringTable strings;
        strings.ReadFileBlock(Path("none"), kStringTableBlockKey);
        CBinaryFile file;
        file.AddBlock(&attached, kAttached);
        file.AddBlock(&data, kDeviceDataBlockKey);
        file.AddBlock(&strings, kStringTableBlockKey);
        ASSERT_TRUE(file.WriteSerializedFile(path, kDeviceExtensionFileId, kEngineDataVersion));
    }
};

TEST_F(DeviceDataTest, RecordWithOnlyTheEventTable)
{
    CDeviceDataEntry events;
    std::string sub = SubBlock(kDeviceDataEventTag, 20, 7);
    ASSERT_EQ(sub.size(), 500u);
    SetImage(events, sub);

    DeviceDataItem item;
    item.descriptors[2].owner = &events;
    CDeviceData data;
    EXPECT_EQ(data.AddDevice(&item, 0xA1000005, true), 0xA1000005u);
    ASSERT_TRUE(data.BuildBlock(kDeviceDataBlockKey));
    ASSERT_EQ(data.GetSize(), 20 + 132 + 500);
    std::string block = BlockOf(data);
    EXPECT_EQ(WordAt(block, 12), 632u);
    EXPECT_EQ(WordAt(block, 16), 1u);
    EXPECT_EQ(WordAt(block, 20 + 4), 0xA1000005u);
    EXPECT_EQ(WordAt(block, 20 + 12), 612u);
    EXPECT_EQ(WordAt(block, 20 + 16), 7u);
    const uint32_t offsets[] = {112, 96, 80, 564, 548, 532, 516};
    const uint32_t lengths[] = {0, 0, 500, 0, 0, 0, 0};
    for (uint32_t k = 0; k < 7; ++k) {
        size_t d = 40 + 16 * k;
        EXPECT_EQ(WordAt(block, d), 16u);
        EXPECT_EQ(WordAt(block, d + 4), 0x81000000u + (k << 24));
        EXPECT_EQ(WordAt(block, d + 8), offsets[k]) << k;
        EXPECT_EQ(WordAt(block, d + 12), lengths[k]) << k;
    }
    EXPECT_EQ(block.substr(152), sub);

    // Round trip: the sub-block comes back from the file; the owner's later changes are not in it.
    CDeviceAttachedTable attached;
    attached.ReadFileBlock(Path("none"), kAttached);
    Save(attached, data, Path("dev.dat"));
    SetImage(events, SubBlock(kDeviceDataEventTag, 2, 99));
    CDeviceDataEntry back;
    ASSERT_TRUE(back.ReadFileBlock(Path("dev.dat"), 0xA1000005, kDeviceDataEventTag));
    EXPECT_EQ(BlockOf(back), sub);
    EXPECT_EQ(back.GetLastKey(), kDeviceDataEventTag + 20);
    EXPECT_EQ(back.GetVersion(), kEngineDataVersion);
    ASSERT_NE(back.GetAt(19), nullptr);
    EXPECT_EQ(CDataHeader::EntryWord(back.GetAt(19), 4), 7u + 20);
    EXPECT_EQ(back.GetAt(20), nullptr);
}

TEST_F(DeviceDataTest, MissingRecordOrTagIsNotLocated)
{
    CDeviceDataEntry events;
    SetImage(events, SubBlock(kDeviceDataEventTag, 1, 1));
    DeviceDataItem item;
    item.descriptors[2].owner = &events;
    CDeviceData data;
    data.AddDevice(&item, 0xA1000001, true);
    ASSERT_TRUE(data.BuildBlock(kDeviceDataBlockKey));
    CDeviceAttachedTable attached;
    attached.ReadFileBlock(Path("none"), kAttached);
    Save(attached, data, Path("dev.dat"));

    struct Case {
        uint32_t record, tag;
    } cases[] = {{0xA1000002, kDeviceDataEventTag}, {0xA1000001, 0x84000000}, {0xA1000001, 0x88000000}};
    for (const Case& c : cases) {
        Log().Clear();
        CDeviceDataEntry entry;
        EXPECT_FALSE(entry.ReadFileBlock(Path("dev.dat"), c.record, c.tag));
        EXPECT_FALSE(entry.HasBlock());
        char expected[96];
        std::snprintf(expected, sizeof expected, "Key was not located (%u) hex (0x%04x)", c.tag, c.tag);
        EXPECT_TRUE(Log().Contains(kLogError, expected)) << expected;
    }
    Log().Clear();
    CDeviceDataEntry entry;
    EXPECT_FALSE(entry.ReadFileBlock(Path("dev.dat"), 0xA1000002, kDeviceDataEventTag));
    EXPECT_TRUE(Log().Contains(kLogError,
                          "[CDeviceDataEntry::ReadFileBlock]: Key was not located (2197815296) hex (0x83000000)"));
    EXPECT_FALSE(entry.ReadFileBlock(Path("missing.dat"), 0xA1000001, kDeviceDataEventTag));
}

// Hostile device-data blocks: each read answers false without hanging or reading outside.
TEST_F(DeviceDataTest, DamagedDeviceDataIsRefused)
{
    auto file = [](const std::string& block) {
        return MakeDataFile(kDeviceExtensionFileId, kEngineDataVersion, {{kDeviceDataBlockKey, block}});
    };
    std::string sub = SubBlock(kDeviceDataEventTag, 1, 1);
    auto record = [&](uint32_t key, uint32_t headSize, uint32_t length, uint32_t descriptors, uint32_t offset,
                      uint32_t subLength) {
        Image r;
        r.W(headSize).W(key).W(20).W(length).W(descriptors);
        for (uint32_t k = 0; k < 7; ++k)
            r.W(16).W(0x81000000 + (k << 24)).W(k == 2 ? offset : 112 - 16 * k).W(k == 2 ? subLength : 0);
        return r.Str() + sub;
    };
    auto block = [](const std::string& records, uint32_t count) {
        return Image().W(20).W(kDeviceDataBlockKey).W(20).W(static_cast<uint32_t>(records.size())).W(count).Str() + records;
    };
    const uint32_t L = 112 + static_cast<uint32_t>(sub.size());
    const uint32_t subSize = static_cast<uint32_t>(sub.size());
    struct Case {
        const char* name;
        std::string content;
    } cases[] = {
        {"record of size zero", file(block(record(0xA1000009, 0, 0, 7, 80, subSize), 1000000))},
        {"record length past the block", file(block(record(0xA1000001, 20, 0xFFFFFF00, 7, 80, subSize), 1))},
        {"descriptor count past the record", file(block(record(0xA1000001, 20, 50, 0xFFFFFFFF, 80, subSize), 1))},
        {"sub-block offset outside", file(block(record(0xA1000001, 20, L, 7, 0xFFFFFFF0, subSize), 1))},
        {"sub-block length outside", file(block(record(0xA1000001, 20, L, 7, 80, 0x7FFFFFFF), 1))},
        {"sub-block shorter than a head", file(block(record(0xA1000001, 20, L, 7, 80, 8), 1))},
        {"record count past the block", file(block("", 5))},
        {"block head size outside", file(Image().W(0xFFFF).W(kDeviceDataBlockKey).W(20).W(0).W(1).Str())},
        {"block shorter than its head", file(Image().W(20).W(kDeviceDataBlockKey).Str())},
        {"not a data file", std::string("hello, this is not a data file at all")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(Path("bad.dat"), c.content);
        CDeviceDataEntry entry;
        EXPECT_FALSE(entry.ReadFileBlock(Path("bad.dat"), 0xA1000001, kDeviceDataEventTag));
        EXPECT_FALSE(entry.HasBlock());
    }
    // The well-formed record of the same builder loads.
    WriteFile(Path("good.dat"), file(block(record(0xA1000001, 20, L, 7, 80, subSize), 1)));
    CDeviceDataEntry entry;
    EXPECT_TRUE(entry.ReadFileBlock(Path("good.dat"), 0xA1000001, kDeviceDataEventTag));
    EXPECT_EQ(BlockOf(entry), sub);
}

TEST_F(DeviceDataTest, AttachedRowsLoadByDataVersion)
{
    std::string rows = AttachedBlock({Row(kAttached + 1, 4, 1, 1000), Row(kAttached + 2, 4, 2, 2000)});
    struct Case {
        uint32_t version;
        uint32_t firstZero; // first word left unread
    } cases[] = {{MakeDataVersion(12, 4, 39), 13}, {MakeDataVersion(12, 4, 40), 18}, {MakeDataVersion(12, 4, 48), 18},
                 {MakeDataVersion(12, 4, 49), 19}, {MakeDataVersion(12, 4, 50), 19}, {kEngineDataVersion, 19},
                 {MakeDataVersion(13, 0, 0), 19},  {MakeDataVersion(11, 5, 0), 19}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        WriteFile(Path("dev.dat"), MakeDataFile(kDeviceExtensionFileId, c.version, {{kAttached, rows}}));
        CDeviceAttachedTable table;
        ASSERT_TRUE(table.ReadFileBlock(Path("dev.dat"), kAttached));
        ASSERT_EQ(table.GetCount(), 2);
        EXPECT_EQ(table.GetLastKey(), kAttached + 2);
        for (int r = 0; r < 2; ++r) {
            const uint8_t* row = table.GetAt(r);
            ASSERT_NE(row, nullptr);
            EXPECT_EQ(CDataHeader::EntryWord(row, 12), 1000u * (r + 1) + 12);
            for (uint32_t w = 13; w < 19; ++w)
                EXPECT_EQ(CDataHeader::EntryWord(row, w), w < c.firstZero ? 1000u * (r + 1) + w : 0u) << w;
        }
    }
}

TEST_F(DeviceDataTest, AttachedTableCountsAndResizes)
{
    CDeviceAttachedTable table;
    ASSERT_TRUE(table.ReadFileBlock(Path("missing.dat"), kAttached));
    EXPECT_EQ(table.GetSize(), 20);
    EXPECT_EQ(table.GetLastKey(), kAttached);
    EXPECT_FALSE(table.NeedsResize());
    std::string row = Row(0, 4, 1, 100);
    EXPECT_EQ(table.Add(reinterpret_cast<uint8_t*>(row.data()), kDataKeyNew), kAttached + 1);
    EXPECT_EQ(table.Add(reinterpret_cast<uint8_t*>(row.data()), kDataKeyNew), kAttached + 2);
    EXPECT_EQ(table.GetCount(), 2);
    // Replacing does not count; with the caller's flag the caller keeps the count.
    EXPECT_EQ(table.Add(reinterpret_cast<uint8_t*>(row.data()), kAttached + 1), kAttached + 1);
    EXPECT_EQ(table.GetCount(), 2);
    bool replaced = true;
    EXPECT_EQ(table.Add(reinterpret_cast<uint8_t*>(row.data()), kAttached + 7, &replaced), kAttached + 7);
    EXPECT_FALSE(replaced);
    EXPECT_EQ(table.GetCount(), 2);
    table.SetWord(4, 3);
    EXPECT_TRUE(table.Remove(kAttached + 1));
    EXPECT_FALSE(table.Remove(kAttached + 1));
    EXPECT_EQ(table.GetCount(), 2);
    EXPECT_EQ(CDataHeader::EntryWord(table.GetAt(0), 1), kAttached + 2);

    // Old 52-byte rows are re-padded to 76.
    std::string old = AttachedBlock({Row(kAttached + 1, 4, 1, 100, 52), Row(kAttached + 2, 4, 1, 200, 52)});
    WriteFile(Path("old.dat"), MakeDataFile(kDeviceExtensionFileId, MakeDataVersion(12, 4, 39), {{kAttached, old}}));
    CDeviceAttachedTable loaded;
    ASSERT_TRUE(loaded.ReadFileBlock(Path("old.dat"), kAttached));
    ASSERT_TRUE(loaded.NeedsResize());
    ASSERT_TRUE(loaded.Resize(20, 76, loaded.GetCount()));
    EXPECT_FALSE(loaded.NeedsResize());
    EXPECT_EQ(loaded.GetSize(), 20 + 2 * 76);
    EXPECT_EQ(CDataHeader::EntryWord(loaded.GetAt(1), 12), 212u);
    EXPECT_EQ(CDataHeader::EntryWord(loaded.GetAt(1), 13), 0u);
}

TEST_F(DeviceDataTest, TemplateRowsAreClaimedOnce)
{
    std::string templ = AttachedBlock({Row(kAttached + 1, 77, 0x2, 500), Row(kAttached + 2, 88, 0x2, 600)});
    WriteFile(Path("tpl.dat"), MakeDataFile(kDeviceExtensionFileId, kEngineDataVersion, {{kAttached, templ}}));
    CDeviceAttachedTable table;
    ASSERT_TRUE(table.ReadFileBlock(Path("dev.dat"), kAttached));
    ASSERT_TRUE(table.SeedFromTemplate(Path("dev.dat"), Path("tpl.dat"), kAttached));
    EXPECT_EQ(ReadFile(Path("dev.dat")), ReadFile(Path("tpl.dat")));
    ASSERT_EQ(table.GetCount(), 2);
    EXPECT_TRUE(CDataHeader::EntryWord(table.GetAt(0), 9) & CDeviceAttachedTable::kTemplateRowBit);
    EXPECT_FALSE(table.SeedFromTemplate(Path("dev.dat"), Path("tpl.dat"), kAttached)); // has rows

    std::string device = Row(0, 88, 0x2, 9000);
    EXPECT_EQ(table.Add(reinterpret_cast<uint8_t*>(device.data()), kDataKeyNew), kAttached + 2);
    const uint8_t* claimed = table.Find(kAttached + 2);
    EXPECT_EQ(CDataHeader::EntryWord(claimed, 9), 0x2u);
    for (int w : {6, 7, 8, 11, 12})
        EXPECT_EQ(CDataHeader::EntryWord(claimed, w), 9000u + w);
    EXPECT_EQ(CDataHeader::EntryWord(claimed, 5), 605u); // not taken from the new row
    EXPECT_EQ(table.GetCount(), 2);
    // A second device of that kind gets a new row; another kind does not claim row 1.
    EXPECT_EQ(table.Add(reinterpret_cast<uint8_t*>(device.data()), kDataKeyNew), kAttached + 3);
    std::string other = Row(0, 77, 0x3, 1);
    EXPECT_EQ(table.Add(reinterpret_cast<uint8_t*>(other.data()), kDataKeyNew), kAttached + 4);
    EXPECT_EQ(table.GetCount(), 4);

    // Claimed rows are saved like any other; the unclaimed template row keeps its mark.
    CDeviceData none;
    Save(table, none, Path("dev.dat"));
    CDeviceAttachedTable back;
    ASSERT_TRUE(back.ReadFileBlock(Path("dev.dat"), kAttached));
    EXPECT_EQ(BlockOf(back), BlockOf(table));
    EXPECT_EQ(back.GetCount(), 4);
    EXPECT_EQ(back.GetLastKey(), kAttached + 4);
    EXPECT_TRUE(CDataHeader::EntryWord(back.Find(kAttached + 1), 9) & CDeviceAttachedTable::kTemplateRowBit);
    EXPECT_FALSE(CDataHeader::EntryWord(back.Find(kAttached + 2), 9) & CDeviceAttachedTable::kTemplateRowBit);

    // A template that cannot be copied leaves the table empty.
    CDeviceAttachedTable empty;
    ASSERT_TRUE(empty.ReadFileBlock(Path("none.dat"), kAttached));
    EXPECT_FALSE(empty.SeedFromTemplate(Path("x.dat"), Path("no-template.dat"), kAttached));
    EXPECT_EQ(empty.GetCount(), 0);
}

TEST_F(DeviceDataTest, DamagedAttachedTablesStartEmpty)
{
    struct Case {
        const char* name;
        std::string block;
    } cases[] = {
        {"rows of two sizes", AttachedBlock({Row(kAttached + 1, 1, 1, 1), Row(kAttached + 2, 1, 1, 1, 52)})},
        {"row shorter than 52 bytes", AttachedBlock({Row(kAttached + 1, 1, 1, 1, 40)})},
        {"duplicate keys", AttachedBlock({Row(kAttached + 1, 1, 1, 1), Row(kAttached + 1, 1, 1, 1)})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(Path("dev.dat"), MakeDataFile(kDeviceExtensionFileId, kEngineDataVersion, {{kAttached, c.block}}));
        Log().Clear();
        CDeviceAttachedTable table;
        ASSERT_TRUE(table.ReadFileBlock(Path("dev.dat"), kAttached));
        EXPECT_EQ(table.GetCount(), 0);
        EXPECT_EQ(table.GetLastKey(), kAttached);
        EXPECT_TRUE(Log().Contains(kLogError, "is damaged"));
    }
}

TEST_F(DeviceDataTest, DeviceDataOwnsItsItemsWhenAsked)
{
    // Owned by CDeviceData: the item and its bytes are freed with it (the leak checker sees the rest).
    auto* item = new DeviceDataItem;
    auto* bytes = new uint8_t[40]();
    std::memcpy(bytes, SubBlock(0x85000000, 0, 0).data(), 20);
    item->descriptors[4] = {bytes, 20, nullptr};
    CDeviceData data;
    EXPECT_EQ(data.AddDevice(item, 0xA1000003, false), 0xA1000003u);
    ASSERT_TRUE(data.BuildBlock(kDeviceDataBlockKey));
    EXPECT_EQ(data.GetSize(), 20 + 132 + 20);
    CDeviceData none;
    EXPECT_FALSE(none.BuildBlock(kDeviceDataBlockKey));
    EXPECT_FALSE(none.HasBlock());
}

} // namespace
