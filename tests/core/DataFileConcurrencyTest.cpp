// The data-file locks under several threads (also run under ThreadSanitizer).

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "engine/core/data/BinaryFile.h"
#include "engine/core/data/StringTable.h"
#include "tests/core/DataFileTestSupport.h"
#include "tests/support/Threads.h"
#include "tests/support/Wait.h"

namespace {

class DataFileConcurrency : public vgtest::SandboxTest {};

TEST_F(DataFileConcurrency, SameTextFromManyThreadsIsStoredOnce)
{
    CStringTable table;
    ASSERT_TRUE(table.ReadFileBlock(Path("none"), kStringTableBlockKey));
    constexpr int kThreads = 6, kTexts = 40;
    std::vector<std::vector<uint32_t>> keys(kThreads, std::vector<uint32_t>(kTexts));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kTexts; ++i)
                keys[t][i] = table.AddString("text " + std::to_string(i));
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(table.GetCount(), kTexts);
    for (int t = 1; t < kThreads; ++t)
        EXPECT_EQ(keys[t], keys[0]);
    for (int i = 0; i < kTexts; ++i)
        EXPECT_EQ(table.GetText(keys[0][i]), "text " + std::to_string(i));
}

// The header's scoped reader lock holds a writer off until its scope ends, and gives the lock back then.
TEST_F(DataFileConcurrency, TheScopedHeaderLockHoldsWritersOffUntilItsScopeEnds)
{
    CStringTable table;
    ASSERT_TRUE(table.ReadFileBlock(Path("none"), kStringTableBlockKey));
    std::atomic<uint32_t> key{0};
    std::atomic<pid_t> writerId{0};
    std::thread writer;
    {
        DataHeaderLock reader(table, DataHeaderLock::kRead);
        ASSERT_TRUE(reader.owns());
        writer = std::thread([&] {
            writerId = vgtest::CurrentThreadId();
            key = table.AddString("written after the reader");
        });
        ASSERT_TRUE(vgtest::WaitUntil([&] { return key.load() != 0 || vgtest::ThreadIsBlocked(writerId.load()); }));
        EXPECT_EQ(key.load(), 0u) << "the writer waits for the reader";
    }
    if (!vgtest::WaitUntil([&] { return key.load() != 0; }, 10000)) {
        ADD_FAILURE() << "the reader lock outlived its scope";
        table.ReadUnlock();
    }
    writer.join();
    EXPECT_EQ(table.GetText(key.load()), "written after the reader");
}

TEST_F(DataFileConcurrency, SavesWhileTheTableChangesAlwaysLoad)
{
    CStringTable table;
    ASSERT_TRUE(table.ReadFileBlock(Path("none"), kStringTableBlockKey));
    uint32_t fixed = table.AddString("always here");
    std::atomic<bool> stop{false};
    std::atomic<int> changes{0};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i, ++changes) {
            uint32_t key = table.AddString("changing " + std::to_string(i) + std::string(i % 50, 'x'));
            if (i % 3 == 0)
                table.Remove(key);
        }
    });
    std::thread reader([&] {
        std::string text;
        while (!stop) {
            table.GetString(fixed, text);
            ASSERT_EQ(text, "always here");
            std::this_thread::yield();
        }
    });
    // (A writer waits for readers in 100 ms steps, so a few saves take a while.)
    for (int i = 0; i < 12; ++i) {
        for (int seen = changes; changes < seen + 5;)
            std::this_thread::yield();
        std::string image;
        CBinaryFile file;
        file.AddBlock(&table, kStringTableBlockKey);
        ASSERT_TRUE(file.BuildImage(kUserExtensionFileId, kEngineDataVersion, image));
        CMasterFileTable parsed;
        ASSERT_EQ(parsed.Parse(image), CMasterFileTable::Result::kOk);
        const DataFileDirectoryEntry* entry = parsed.FindBlock(kStringTableBlockKey);
        ASSERT_NE(entry, nullptr);
        ASSERT_TRUE(parsed.IsInside(*entry));
        EXPECT_EQ(uint64_t{28} + 16 + entry->length, image.size());
        CStringTable back;
        ASSERT_TRUE(back.LoadBlockImage(parsed.BlockData(*entry), entry->length, kEngineDataVersion)) << i;
        EXPECT_EQ(back.GetText(fixed), "always here");
    }
    stop = true;
    writer.join();
    reader.join();
}

} // namespace
