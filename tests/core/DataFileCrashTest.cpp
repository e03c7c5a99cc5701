// Saves that are cut short: a process killed in the middle of a save, and a save that runs out of room.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/core/data/BinaryFile.h"
#include "engine/core/data/StringTable.h"
#include "tests/core/DataFileTestSupport.h"

namespace {

// A string table whose texts all carry one tag, large enough that a save takes a while.
void Fill(CStringTable& table, const std::string& tag, int count)
{
    table.ReadFileBlock("", kStringTableBlockKey);
    for (int i = 0; i < count; ++i)
        table.AddString(tag + "-" + std::to_string(i) + std::string(200 + (i * 37) % 300, tag[0]));
}

bool Save(CStringTable& table, const std::string& path)
{
    CBinaryFile file;
    file.AddBlock(&table, kStringTableBlockKey);
    return file.WriteSerializedFile(path, kUserExtensionFileId, kEngineDataVersion);
}

std::string Loaded(const std::string& path)
{
    CStringTable table;
    table.ReadFileBlock(path, kStringTableBlockKey);
    return std::string(reinterpret_cast<const char*>(table.GetBlock()), table.GetSize());
}

class DataFileCrashTest : public vgtest::SandboxTest {};

TEST_F(DataFileCrashTest, KilledSaveLeavesTheOldOrTheNewFile)
{
    CStringTable oldTable, newTable;
    Fill(oldTable, "old", 400);
    Fill(newTable, "new", 700);
    const std::string path = Path("vgusrext.dat");
    ASSERT_TRUE(Save(oldTable, path));
    const std::string oldImage = Loaded(path);
    ASSERT_TRUE(Save(newTable, path));
    const std::string newImage = Loaded(path);
    ASSERT_NE(oldImage, newImage);
    ASSERT_GT(oldImage.size(), 20u);

    std::mt19937 random(12345);
    int sawOld = 0, sawNew = 0;
    for (int round = 0; round < 60; ++round) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Saves the two contents in turn until killed.
            for (unsigned i = 0;; ++i)
                Save(i % 2 ? oldTable : newTable, path);
        }
        ::usleep(static_cast<useconds_t>(1000 + random() % 25000));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));

        std::string image = Loaded(path);
        bool isOld = image == oldImage, isNew = image == newImage;
        ASSERT_TRUE(isOld || isNew) << "round " << round << ": torn file of " << image.size() << " bytes";
        sawOld += isOld;
        sawNew += isNew;
    }
    EXPECT_EQ(sawOld + sawNew, 60);
    // Temporary files of killed saves are left beside the target, never in its place.
    for (const auto& entry : std::filesystem::directory_iterator(m_dir))
        EXPECT_TRUE(entry.path().filename() == "vgusrext.dat" ||
                    entry.path().filename().string().rfind("vgusrext.dat.tmp.", 0) == 0)
            << entry.path();
}

TEST_F(DataFileCrashTest, SaveThatRunsOutOfRoomFailsAndKeepsTheOldFile)
{
    CStringTable small, large;
    Fill(small, "small", 5);
    Fill(large, "large", 2000);
    const std::string path = Path("vgusrext.dat");
    ASSERT_TRUE(Save(small, path));
    const std::string before = ReadFile(path);

    // In a child, a file-size limit plays the full disk.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {static_cast<rlim_t>(before.size() + 4096), static_cast<rlim_t>(before.size() + 4096)};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        bool saved = Save(large, path);
        ::_exit(saved ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the save reported success";
    EXPECT_EQ(ReadFile(path), before);
    for (const auto& entry : std::filesystem::directory_iterator(m_dir))
        EXPECT_EQ(entry.path().filename(), "vgusrext.dat");
}

} // namespace
