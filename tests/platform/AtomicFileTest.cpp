#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/AtomicFile.h"

namespace {

class AtomicFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vg_atomic_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf " + m_dir).c_str()); }
    int EntryCount()
    {
        int n = 0;
        DIR* d = ::opendir(m_dir.c_str());
        while (dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
        return n;
    }
    std::string m_dir;
};

} // namespace

TEST_F(AtomicFileTest, SaveReplacesWholeAndAppliesTheMode)
{
    std::string path = m_dir + "/file.dat", text;
    ASSERT_TRUE(vgplat::WriteFileAtomically(path, "first", 5, 0600));
    ASSERT_TRUE(vgplat::WriteFileAtomically(path, "second", 6, 0600));
    ASSERT_TRUE(vgplat::ReadWholeFile(path, text, 100));
    EXPECT_EQ(text, "second");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(EntryCount(), 1) << "no temporary file is left behind";
}

TEST_F(AtomicFileTest, AnUncommittedSaveLeavesTheOldFile)
{
    std::string path = m_dir + "/file.dat", text;
    ASSERT_TRUE(vgplat::WriteFileAtomically(path, "old", 3, 0644));
    {
        vgplat::AtomicFile file(path);
        ASSERT_TRUE(file.Open());
        ASSERT_TRUE(file.Write("half", 4));
    }
    ASSERT_TRUE(vgplat::ReadWholeFile(path, text, 100));
    EXPECT_EQ(text, "old");
    EXPECT_EQ(EntryCount(), 1);

    std::string error;
    EXPECT_FALSE(vgplat::WriteFileAtomically(m_dir + "/missing/x", "a", 1, 0644, &error));
    EXPECT_NE(error.find("mkostemp"), std::string::npos) << error;
    EXPECT_FALSE(vgplat::ReadWholeFile(path, text, 2)) << "larger than allowed";
}

TEST_F(AtomicFileTest, CopyKeepsAnExistingTargetWhenAsked)
{
    std::string from = m_dir + "/from", to = m_dir + "/to", text;
    ASSERT_TRUE(vgplat::WriteFileAtomically(from, "template", 8, 0600));
    ASSERT_TRUE(vgplat::WriteFileAtomically(to, "live", 4, 0600));
    EXPECT_FALSE(vgplat::CopyFileAtomically(from, to, true));
    ASSERT_TRUE(vgplat::ReadWholeFile(to, text, 100));
    EXPECT_EQ(text, "live");
    EXPECT_TRUE(vgplat::CopyFileAtomically(from, to, false));
    ASSERT_TRUE(vgplat::ReadWholeFile(to, text, 100));
    EXPECT_EQ(text, "template");
    EXPECT_EQ(EntryCount(), 2);
}
