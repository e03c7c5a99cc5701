// The data-file format, the block and entry operations and the string table.

#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>

#include "engine/core/data/BinaryFile.h"
#include "engine/core/data/DataArchive.h"
#include "engine/core/data/DataHeader.h"
#include "engine/core/data/StringTable.h"
#include "tests/core/DataFileTestSupport.h"

using vgtest::Image;
using vgtest::MakeDataFile;
using vgtest::WordAt;

namespace {

constexpr uint32_t kKey = kStringTableBlockKey;

// A block header that holds whatever block a test gives it.
class RawBlock : public CDataHeader {
public:
    void Set(const std::string& image)
    {
        auto block = AllocateBlock(image.size());
        std::memcpy(block.get(), image.data(), image.size());
        ReplaceBlock(std::move(block), image.size());
    }
    std::string Bytes() const { return std::string(reinterpret_cast<const char*>(GetBlock()), GetSize()); }
    using CDataHeader::CheckBlock;
};

// A table of fixed rows: head {20, key, 20, bytes, count}, rows {size, key, 0, 0, fill...}.
std::string TableOfRows(uint32_t key, const std::vector<uint32_t>& rowKeys, uint32_t rowSize)
{
    Image block;
    block.W(20).W(key).W(20).W(rowSize * static_cast<uint32_t>(rowKeys.size())).W(static_cast<uint32_t>(rowKeys.size()));
    for (uint32_t rowKey : rowKeys) {
        block.W(rowSize).W(rowKey).W(0).W(0);
        for (uint32_t i = 4; i < rowSize / 4; ++i)
            block.W(rowKey * 100 + i);
    }
    return block.Str();
}

std::string Entry(uint32_t key, const std::string& data)
{
    Image e;
    const uint32_t size = static_cast<uint32_t>(data.size());
    const uint32_t padded = (size + 3) & ~3u;
    e.W(16).W(key).W(size).W(padded).Bytes(data).Bytes(std::string(padded - data.size(), '\0'));
    return e.Str();
}

std::string StringBlock(const std::vector<std::pair<uint32_t, std::string>>& texts)
{
    std::string entries;
    for (const auto& [key, text] : texts)
        entries += Entry(key, text + std::string(1, '\0'));
    Image head;
    head.W(20).W(kKey).W(20).W(static_cast<uint32_t>(entries.size())).W(static_cast<uint32_t>(texts.size()));
    return head.Str() + entries;
}

class DataFileTest : public vgtest::SandboxTest {};

TEST_F(DataFileTest, FileLayoutLeavesOutHeadersWithoutBlock)
{
    RawBlock first, empty, third;
    Image record;
    record.W(48).W(0xA2000000).W(0).W(0);
    for (int i = 4; i < 12; ++i)
        record.W(i);
    first.Set(record.Str());
    third.Set(Image().W(20).W(0x06000000).W(20).W(0).W(0).Str());

    CBinaryFile file;
    file.AddBlock(&first, 0xA2000000);
    file.AddBlock(&empty, 0xA1000000);
    file.AddBlock(&third, 0x06000000);
    ASSERT_TRUE(file.WriteSerializedFile(Path("f.dat"), 0x24780203, kEngineDataVersion));

    std::string bytes = ReadFile(Path("f.dat"));
    ASSERT_EQ(bytes.size(), 128u);
    EXPECT_EQ(WordAt(bytes, 0), 28u);
    EXPECT_EQ(WordAt(bytes, 4), 0x24780203u);
    EXPECT_EQ(WordAt(bytes, 8), 28u);
    EXPECT_EQ(WordAt(bytes, 12), 32u);
    EXPECT_EQ(WordAt(bytes, 16), 2u);
    EXPECT_EQ(WordAt(bytes, 20), kEngineDataVersion);
    EXPECT_EQ(WordAt(bytes, 24), 0u);
    // Directory: {16, key, offset, length} twice.
    EXPECT_EQ(WordAt(bytes, 28), 16u);
    EXPECT_EQ(WordAt(bytes, 32), 0xA2000000u);
    EXPECT_EQ(WordAt(bytes, 36), 32u);
    EXPECT_EQ(WordAt(bytes, 40), 48u);
    EXPECT_EQ(WordAt(bytes, 48), 0x06000000u);
    EXPECT_EQ(WordAt(bytes, 52), 80u);
    EXPECT_EQ(WordAt(bytes, 56), 20u);
    EXPECT_EQ(bytes.substr(60, 48), record.Str());
    EXPECT_EQ(WordAt(bytes, 108 + 4), 0x06000000u);

    RawBlock back;
    ASSERT_TRUE(back.ReadFileBlock(Path("f.dat"), 0x06000000));
    EXPECT_EQ(back.Bytes(), third.Bytes());
    EXPECT_EQ(back.GetVersion(), kEngineDataVersion);
    ASSERT_TRUE(back.ReadFileBlock(Path("f.dat"), 0xA2000000));
    EXPECT_EQ(back.Bytes(), record.Str());

    struct stat st {};
    ASSERT_EQ(::stat(Path("f.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(DataFileTest, FileIdFamilyDecidesAcceptance)
{
    std::string block = StringBlock({{kKey + 1, "x"}});
    for (uint32_t id : {0x24780203u, 0x24780000u, 0x2478FFFFu}) {
        WriteFile(Path("a.dat"), MakeDataFile(id, kEngineDataVersion, {{kKey, block}}));
        CStringTable table;
        ASSERT_TRUE(table.ReadFileBlock(Path("a.dat"), kKey));
        EXPECT_EQ(table.GetCount(), 1) << std::hex << id;
    }
    Log().Clear();
    WriteFile(Path("a.dat"), MakeDataFile(0x24790203, kEngineDataVersion, {{kKey, block}}));
    CStringTable table;
    ASSERT_TRUE(table.ReadFileBlock(Path("a.dat"), kKey));
    EXPECT_EQ(table.GetCount(), 0);
    EXPECT_TRUE(Log().Contains(kLogError, "[CMasterFileTable::Read]: Data file specified is not a Mervane file"));
}

TEST_F(DataFileTest, MissingKeyStartsAnEmptyTable)
{
    WriteFile(Path("a.dat"), MakeDataFile(0x24780203, kEngineDataVersion, {}));
    RawBlock raw;
    raw.SetLastKey(77);
    EXPECT_FALSE(raw.ReadFileBlock(Path("a.dat"), kKey));
    EXPECT_FALSE(raw.HasBlock());
    EXPECT_EQ(raw.GetLastKey(), kKey);
    EXPECT_TRUE(Log().Contains(kLogDebug, "[DataHeader::ReadFileBlock]: Key was not located (100663296) hex (0x6000000)"));

    for (const std::string& path : {Path("a.dat"), Path("missing.dat")}) {
        CStringTable table;
        ASSERT_TRUE(table.ReadFileBlock(path, kKey));
        ASSERT_TRUE(table.HasBlock());
        EXPECT_EQ(table.GetSize(), 20);
        EXPECT_EQ(table.AddString("first"), kKey + 1);
    }
}

TEST_F(DataFileTest, StringEntriesArePaddedAndKeyed)
{
    CStringTable table;
    ASSERT_TRUE(table.ReadFileBlock(Path("missing.dat"), kKey));
    EXPECT_EQ(table.AddString("ab"), kKey + 1);
    EXPECT_EQ(table.AddString("abcde"), kKey + 2);
    ASSERT_EQ(table.GetSize(), 64);
    EXPECT_EQ(table.GetWord(3), 44u);
    EXPECT_EQ(table.GetWord(4), 2u);
    const uint8_t* b = table.GetBlock();
    EXPECT_EQ(LoadWord(b + 20), 16u);
    EXPECT_EQ(LoadWord(b + 28), 3u);
    EXPECT_EQ(LoadWord(b + 32), 4u);
    EXPECT_EQ(LoadWord(b + 40 + 8), 6u);
    EXPECT_EQ(LoadWord(b + 40 + 12), 8u);
    EXPECT_EQ(std::memcmp(b + 56, "abcde\0\0\0", 8), 0);

    // The same text again gives the first key and no growth.
    EXPECT_EQ(table.AddString("ab"), kKey + 1);
    EXPECT_EQ(table.GetSize(), 64);
    EXPECT_EQ(table.FindByString("abcde"), kKey + 2);
    EXPECT_EQ(table.FindByString("ABCDE"), 0u);
}

TEST_F(DataFileTest, TextsCompareByLengthAndBytes)
{
    CStringTable table;
    ASSERT_TRUE(table.ReadFileBlock(Path("missing.dat"), kKey));
    // Bytes with an inner NUL are not the text before it.
    uint32_t blob = table.AddBytes("ab\0cd", 5);
    EXPECT_NE(blob, 0u);
    EXPECT_EQ(table.FindByString("ab"), 0u);
    uint32_t text = table.AddString("ab");
    EXPECT_NE(text, blob);
    EXPECT_EQ(table.FindByString("ab"), text);
    EXPECT_EQ(table.AddBytes("ab\0cd", 5), blob);
    // A text that is a prefix of a stored one is a different text.
    uint32_t longer = table.AddString("abc");
    EXPECT_NE(longer, text);
    EXPECT_EQ(table.GetCount(), 3);
}

TEST_F(DataFileTest, ReplacingAMiddleTextKeepsTheNextWhole)
{
    CStringTable table;
    ASSERT_TRUE(table.ReadFileBlock(Path("missing.dat"), kKey));
    uint32_t a = table.AddString("one");
    uint32_t b = table.AddString("two");
    uint32_t c = table.AddString("three");
    EXPECT_EQ(table.AddString("a much longer second text", b), b);
    EXPECT_EQ(table.GetCount(), 3);
    EXPECT_EQ(table.GetText(a), "one");
    EXPECT_EQ(table.GetText(b), "a much longer second text");
    EXPECT_EQ(table.GetText(c), "three");
    EXPECT_EQ(table.GetWord(3), static_cast<uint32_t>(table.GetSize() - 20));
}

TEST_F(DataFileTest, GetStringAnswersTextsUpTo127Characters)
{
    CStringTable table;
    ASSERT_TRUE(table.ReadFileBlock(Path("missing.dat"), kKey));
    std::string t127(127, 'x'), t128(128, 'y');
    uint32_t k127 = table.AddString(t127);
    uint32_t k128 = table.AddString(t128);
    std::string out = "junk";
    table.GetString(k127, out);
    EXPECT_EQ(out, t127);
    table.GetString(k128, out);
    EXPECT_EQ(out, "");
    table.GetString(kKey + 99, out);
    EXPECT_EQ(out, "");
    EXPECT_EQ(table.GetText(k128), t128);

    char buffer[200];
    uint32_t size = 10;
    EXPECT_FALSE(table.GetBytes(k127, buffer, size));
    EXPECT_EQ(size, 128u);
    size = sizeof buffer;
    EXPECT_TRUE(table.GetBytes(k127, buffer, size));
    EXPECT_EQ(size, 128u);
    EXPECT_EQ(std::string(buffer), t127);

    const char* text = nullptr;
    uint32_t length = 0;
    ASSERT_TRUE(table.GetStringPtr(k128, text, length));
    EXPECT_EQ(length, 128u);
    EXPECT_EQ(std::string(text, length), t128);
    EXPECT_FALSE(table.GetStringPtr(kKey + 99, text, length));
}

TEST_F(DataFileTest, GetAtStopsAtTheCount)
{
    RawBlock table;
    table.Set(TableOfRows(0xA40C0000, {}, 52));
    EXPECT_EQ(table.GetAt(0), nullptr);
    table.Set(TableOfRows(0xA40C0000, {0xA40C0001, 0xA40C0002}, 52));
    ASSERT_NE(table.GetAt(1), nullptr);
    EXPECT_EQ(CDataHeader::EntryWord(table.GetAt(1), 1), 0xA40C0002u);
    EXPECT_EQ(table.GetAt(2), nullptr);
    EXPECT_EQ(table.GetAt(-1), nullptr);
    EXPECT_EQ(CDataHeader::EntryWord(table.Find(0xA40C0002), 4), 0xA40C0002u * 100 + 4);
}

TEST_F(DataFileTest, ResizePadsRowsFromTheBlocksOwnCount)
{
    RawBlock table;
    table.Set(TableOfRows(0xA40C0000, {0xA40C0001, 0xA40C0002, 0xA40C0003}, 40));
    EXPECT_TRUE(table.IsLayoutDifferent(20, 52));
    // The count argument is never trusted: 7 must not read past the three rows.
    ASSERT_TRUE(table.Resize(20, 52, 7));
    ASSERT_EQ(table.GetSize(), 176);
    EXPECT_FALSE(table.IsLayoutDifferent(20, 52));
    EXPECT_EQ(table.GetWord(3), 156u);
    EXPECT_EQ(table.GetWord(4), 3u);
    const uint8_t* b = table.GetBlock();
    for (int row = 0; row < 3; ++row) {
        const uint8_t* r = b + 20 + 52 * row;
        EXPECT_EQ(LoadWord(r), 52u);
        EXPECT_EQ(LoadWord(r + 4), 0xA40C0001u + row);
        EXPECT_EQ(LoadWord(r + 36), (0xA40C0001u + row) * 100 + 9);
        for (int i = 40; i < 52; ++i)
            EXPECT_EQ(r[i], 0) << row << " " << i;
    }
    EXPECT_TRUE(table.CheckBlock());

    // An old head of 16 bytes: the rows move to the new head.
    Image old;
    old.W(16).W(0xA1000000).W(16).W(2 * 24);
    for (uint32_t k : {1u, 2u})
        old.W(24).W(0xA1000000 + k).W(0).W(0).W(k).W(k + 10);
    table.Set(old.Str());
    ASSERT_TRUE(table.Resize(20, 32, 2));
    EXPECT_EQ(table.GetSize(), 84);
    EXPECT_EQ(table.GetWord(2), 20u);
    EXPECT_EQ(table.GetWord(4), 2u);
    ASSERT_NE(table.GetAt(1), nullptr);
    EXPECT_EQ(CDataHeader::EntryWord(table.GetAt(1), 5), 12u);
    EXPECT_TRUE(table.CheckBlock());
}

TEST_F(DataFileTest, ResizeOfARecordKeepsItsWords)
{
    RawBlock record;
    record.Set(Image().W(24).W(0xA2000000).W(0).W(0).W(5).W(6).Str());
    ASSERT_TRUE(record.Resize(188));
    EXPECT_EQ(record.GetSize(), 188);
    EXPECT_EQ(record.GetWord(0), 188u);
    EXPECT_EQ(record.GetWord(5), 6u);
    EXPECT_EQ(record.GetWord(46), 0u);
}

TEST_F(DataFileTest, AddInsertsInKeyOrderAndReplaces)
{
    RawBlock table;
    table.Set(TableOfRows(0xA40C0000, {0xA40C0001, 0xA40C0002, 0xA40C0003}, 24));
    table.SetLastKey(0xA40C0003);
    Image row;
    row.W(24).W(0).W(9).W(0).W(1).W(2);
    std::string bytes = row.Str();
    bool replaced = true;
    EXPECT_EQ(table.Add(reinterpret_cast<uint8_t*>(bytes.data()), kDataKeyNew, &replaced), 0xA40C0004u);
    EXPECT_FALSE(replaced);
    EXPECT_EQ(CDataHeader::EntryWord(table.GetAt(3), 1), 0xA40C0004u);
    EXPECT_EQ(CDataHeader::EntryWord(table.GetAt(3), 2), 0u);
    EXPECT_EQ(table.Add(reinterpret_cast<uint8_t*>(bytes.data()), 0xA40C0002, &replaced), 0xA40C0002u);
    EXPECT_TRUE(replaced);
    EXPECT_EQ(table.CountEntries(), 4);
    EXPECT_EQ(CDataHeader::EntryWord(table.GetAt(1), 4), 1u);
    EXPECT_EQ(table.GetWord(3), static_cast<uint32_t>(table.GetSize() - 20));
    EXPECT_TRUE(table.Remove(0xA40C0001));
    EXPECT_FALSE(table.Remove(0xA40C0001));
    EXPECT_EQ(CDataHeader::EntryWord(table.GetAt(0), 1), 0xA40C0002u);
    EXPECT_EQ(table.GetWord(3), 3u * 24);

    // Without a block the header keeps its own copy: the caller's memory stays the caller's.
    RawBlock list;
    {
        std::string temp = row.Str();
        EXPECT_EQ(list.Add(reinterpret_cast<uint8_t*>(temp.data()), 5), 5u);
        temp.assign(temp.size(), '\x7f');
    }
    ASSERT_EQ(list.GetCount(), 1);
    EXPECT_EQ(CDataHeader::EntryWord(list.GetAt(0), 1), 5u);
    EXPECT_EQ(CDataHeader::EntryWord(list.GetAt(0), 5), 2u);
    EXPECT_TRUE(list.Remove(5));
    EXPECT_EQ(list.GetCount(), 0);
}

// A file whose last key is 0xFFFFFFFE leaves no key for a new entry: 0xFFFFFFFF is the "new" and "failed"
// answer at once. Such an add changes nothing, and the table still saves and loads.
TEST_F(DataFileTest, NoNewEntryOnceTheKeysRunOut)
{
    RawBlock table;
    table.Set(TableOfRows(0xA1000000, {0xA1000001, 0xFFFFFFFE}, 24));
    table.SetLastKey(0xFFFFFFFE);
    const std::string before = table.Bytes();
    Image row;
    row.W(24).W(0).W(0).W(0).W(1).W(2);
    std::string bytes = row.Str();
    EXPECT_EQ(table.Add(reinterpret_cast<uint8_t*>(bytes.data()), kDataKeyNew), kDataKeyFailed);
    EXPECT_EQ(table.Bytes(), before);
    EXPECT_TRUE(table.CheckBlock());
    EXPECT_EQ(table.GetLastKey(), 0xFFFFFFFEu);

    WriteFile(Path("s.dat"), MakeDataFile(0x24780203, kEngineDataVersion,
                                          {{kKey, StringBlock({{kKey + 1, "a"}, {0xFFFFFFFE, "b"}})}}));
    CStringTable strings;
    ASSERT_TRUE(strings.ReadFileBlock(Path("s.dat"), kKey));
    EXPECT_EQ(strings.AddString("c"), kDataKeyFailed);
    EXPECT_EQ(strings.GetCount(), 2);
    EXPECT_EQ(strings.FindByString("b"), 0xFFFFFFFEu);
}

TEST_F(DataFileTest, StringTableRoundTripsThroughAFile)
{
    CStringTable table;
    ASSERT_TRUE(table.ReadFileBlock(Path("missing.dat"), kKey));
    std::vector<uint32_t> keys;
    std::vector<std::string> texts = {"", "community", std::string(5000, 'L'), "p\xc3\xa4ss", std::string(4093, 'q')};
    for (const std::string& text : texts)
        keys.push_back(table.AddString(text));
    ASSERT_TRUE(table.Remove(keys[1]));
    EXPECT_EQ(table.GetCount(), 4);

    CBinaryFile file;
    file.AddBlock(&table, kKey);
    ASSERT_TRUE(file.WriteSerializedFile(Path("s.dat"), 0x24780203, kEngineDataVersion));
    CStringTable back;
    ASSERT_TRUE(back.ReadFileBlock(Path("s.dat"), kKey));
    EXPECT_EQ(back.GetCount(), 4);
    EXPECT_EQ(back.GetSize(), table.GetSize());
    EXPECT_EQ(std::memcmp(back.GetBlock(), table.GetBlock(), table.GetSize()), 0);
    EXPECT_EQ(back.GetText(keys[2]), texts[2]);
    EXPECT_EQ(back.GetText(keys[4]), texts[4]);
    EXPECT_EQ(back.GetText(keys[1]), "");
    EXPECT_EQ(back.GetLastKey(), keys.back());
    EXPECT_EQ(back.AddString("next"), keys.back() + 1);
}

TEST_F(DataFileTest, ListModeBuildsTheBlock)
{
    CStringTable table;
    uint32_t a = table.AddString("alpha");
    uint32_t b = table.AddString("beta");
    EXPECT_EQ(table.AddString("alpha"), a);
    EXPECT_EQ(table.AddString("gamma", b), 0u); // a list item already has that key
    EXPECT_EQ(table.GetCount(), 2);
    EXPECT_FALSE(table.HasBlock());
    EXPECT_EQ(table.GetText(b), "beta");
    ASSERT_TRUE(table.BuildBlock(kKey));
    EXPECT_EQ(table.GetCount(), 2);
    EXPECT_EQ(table.FindByString("beta"), b);

    // Building again keeps the texts; new items join them.
    EXPECT_TRUE(table.BuildBlock(kKey));
    EXPECT_EQ(table.GetText(a), "alpha");
    // Items made before a block was loaded join the loaded texts instead of replacing them.
    WriteFile(Path("s.dat"), MakeDataFile(0x24780203, kEngineDataVersion, {{kKey, StringBlock({{kKey + 1, "stored"}})}}));
    CStringTable late;
    uint32_t item = late.AddString("pending", kKey + 9);
    ASSERT_EQ(item, kKey + 9);
    ASSERT_TRUE(late.ReadFileBlock(Path("s.dat"), kKey));
    ASSERT_TRUE(late.BuildBlock(kKey));
    EXPECT_EQ(late.GetCount(), 2);
    EXPECT_EQ(late.GetText(kKey + 1), "stored");
    EXPECT_EQ(late.GetText(kKey + 9), "pending");
    EXPECT_EQ(late.AddString("new"), kKey + 10);

    CStringTable empty;
    EXPECT_FALSE(empty.BuildBlock(kKey));
    EXPECT_FALSE(empty.HasBlock());
}

// Damaged and hostile files: every one is refused, logged, and the table starts empty.
TEST_F(DataFileTest, DamagedStringBlocksAreRefused)
{
    std::string good = StringBlock({{kKey + 1, "one"}, {kKey + 2, "two"}});
    auto patch = [&](size_t offset, uint32_t value) {
        std::string b = good;
        for (int i = 0; i < 4; ++i)
            b[offset + i] = static_cast<char>(value >> (8 * i));
        return b;
    };
    struct Case {
        const char* name;
        std::string file;
    };
    std::string goodFile = MakeDataFile(0x24780203, kEngineDataVersion, {{kKey, good}});
    std::vector<Case> cases = {
        {"truncated file", goodFile.substr(0, goodFile.size() - 3)},
        {"header only", goodFile.substr(0, 20)},
        {"count too large", MakeDataFile(0x24780203, kEngineDataVersion, {{kKey, patch(16, 3)}})},
        {"count too small", MakeDataFile(0x24780203, kEngineDataVersion, {{kKey, patch(16, 1)}})},
        {"entry bytes past the block", MakeDataFile(0x24780203, kEngineDataVersion, {{kKey, patch(12, 4000)}})},
        {"entry of size zero", MakeDataFile(0x24780203, kEngineDataVersion, {{kKey, patch(20, 0)}})},
        {"payload past the block", MakeDataFile(0x24780203, kEngineDataVersion, {{kKey, patch(32, 0xFFFFFFF0)}})},
        {"length above padded", MakeDataFile(0x24780203, kEngineDataVersion, {{kKey, patch(28, 9)}})},
        {"keys out of order", MakeDataFile(0x24780203, kEngineDataVersion, {{kKey, patch(24, kKey + 7)}})},
        {"entry key zero", MakeDataFile(0x24780203, kEngineDataVersion, {{kKey, patch(24, 0)}})},
        {"head of another size", MakeDataFile(0x24780203, kEngineDataVersion, {{kKey, patch(0, 24)}})},
        {"block shorter than a head", MakeDataFile(0x24780203, kEngineDataVersion, {{kKey, good.substr(0, 12)}})},
    };
    // Directory damage: an offset outside the file, a huge entry count.
    std::string offsetOut = goodFile;
    offsetOut[36] = '\x7f';
    cases.push_back({"offset outside the file", offsetOut});
    std::string countHuge = goodFile;
    countHuge[16] = '\xff';
    countHuge[17] = '\xff';
    cases.push_back({"directory past the end", countHuge});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(Path("bad.dat"), c.file);
        Log().Clear();
        CStringTable table;
        ASSERT_TRUE(table.ReadFileBlock(Path("bad.dat"), kKey));
        EXPECT_EQ(table.GetCount(), 0);
        EXPECT_EQ(table.GetSize(), 20);
        EXPECT_EQ(table.AddString("fresh"), kKey + 1);
        EXPECT_GT(Log().Count(), 0u);
    }

    // A table that holds a block keeps it when a reload finds the file damaged.
    WriteFile(Path("good.dat"), goodFile);
    CStringTable held;
    ASSERT_TRUE(held.ReadFileBlock(Path("good.dat"), kKey));
    WriteFile(Path("bad.dat"), cases[2].file);
    ASSERT_TRUE(held.ReadFileBlock(Path("bad.dat"), kKey));
    EXPECT_EQ(held.GetText(kKey + 2), "two");
    EXPECT_EQ(held.AddString("three"), kKey + 3);
}

TEST_F(DataFileTest, ArchiveMovesRunsLongerThanItsBuffer)
{
    std::string sink;
    std::string payload(10000, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i * 7);
    {
        CMemoryOutputStream out(sink);
        CDataArchive ar(&out, CDataArchive::kStoring, 16); // asks for less than the minimum: gets 128
        EXPECT_TRUE(ar.WriteU32(0x01020304));
        EXPECT_TRUE(ar.WriteBytes(payload.data(), payload.size()));
        EXPECT_TRUE(ar.WriteU32(0xA1B2C3D4));
        EXPECT_TRUE(ar.Close());
    }
    ASSERT_EQ(sink.size(), payload.size() + 8);
    EXPECT_EQ(sink.substr(0, 4), std::string("\x04\x03\x02\x01", 4));

    CMemoryInputStream in(reinterpret_cast<const uint8_t*>(sink.data()), sink.size());
    CDataArchive ar(&in, CDataArchive::kLoading, 4096);
    uint32_t word = 0;
    EXPECT_TRUE(ar.ReadU32(word));
    EXPECT_EQ(word, 0x01020304u);
    std::string back(payload.size(), 'x');
    EXPECT_TRUE(ar.ReadBytes(back.data(), back.size()));
    EXPECT_EQ(back, payload);
    EXPECT_TRUE(ar.ReadU32(word));
    EXPECT_EQ(word, 0xA1B2C3D4u);
    EXPECT_FALSE(ar.IsFailed());
    // Past the end: zero, false and a failed archive.
    EXPECT_FALSE(ar.ReadU32(word));
    EXPECT_EQ(word, 0u);
    EXPECT_TRUE(ar.IsFailed());
}

TEST_F(DataFileTest, ArchiveFlushGivesBackTheReadAhead)
{
    std::string data = Image().W(1).W(2).W(3).Str();
    CMemoryInputStream in(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    CDataArchive ar(&in, CDataArchive::kLoading);
    uint32_t word = 0;
    ASSERT_TRUE(ar.ReadU32(word));
    EXPECT_TRUE(ar.Flush());
    EXPECT_EQ(in.Tell(), 4u);
    ASSERT_TRUE(ar.ReadU32(word));
    EXPECT_EQ(word, 2u);

    std::string out;
    CMemoryOutputStream sink(out);
    CDataArchive storing(&sink, CDataArchive::kStoring);
    Log().Clear();
    EXPECT_FALSE(storing.FillBuffer(4));
    EXPECT_TRUE(Log().Contains(kLogError, "[CDataArchive::FillBuffer] Archive is not loading"));
}

TEST_F(DataFileTest, FailedSaveKeepsTheOldFile)
{
    CStringTable table;
    ASSERT_TRUE(table.ReadFileBlock(Path("missing.dat"), kKey));
    table.AddString("old");
    CBinaryFile file;
    file.AddBlock(&table, kKey);
    ASSERT_TRUE(file.WriteSerializedFile(Path("s.dat"), 0x24780203, kEngineDataVersion));
    std::string before = ReadFile(Path("s.dat"));

    // A folder that does not exist, and a target that is a folder.
    Log().Clear();
    EXPECT_FALSE(file.WriteSerializedFile(Path("nope/s.dat"), 0x24780203, kEngineDataVersion));
    EXPECT_TRUE(Log().Contains(kLogError, "[CBinaryFile::WriteSerializedFile]: Data file \""));
    ASSERT_EQ(::mkdir(Path("dir.dat").c_str(), 0755), 0);
    EXPECT_FALSE(file.WriteSerializedFile(Path("dir.dat"), 0x24780203, kEngineDataVersion));
    EXPECT_EQ(ReadFile(Path("s.dat")), before);
}

} // namespace
