#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/LogCapture.h"
#include "engine/base/Helpers.h"
#include "engine/base/PtrList.h"

TEST(StringHelpers, TrimLowerCompareSplitFormat)
{
    std::string s = "\t\r\n  \n";
    TrimString(s);
    EXPECT_EQ(s, "");
    s = "  a b \r\n";
    TrimString(s);
    EXPECT_EQ(s, "a b");

    s = "MiXeD";
    ToLowerString(s);
    EXPECT_EQ(s, "mixed");

    EXPECT_TRUE(EqualsNoCase("Offline", "oFFLINE"));
    EXPECT_FALSE(EqualsNoCase("Offline", "Offline "));

    std::vector<std::string> parts{"kept"};
    SplitString(",,a,,b,", ",", parts);
    EXPECT_EQ(parts, (std::vector<std::string>{"kept", "a", "b"}));

    std::string out = "old";
    EXPECT_EQ(FormatString(out, "%d-%s", 5, "x"), "5-x");
    FormatString(out, "%s", std::string(1024, 'y').c_str());
    EXPECT_EQ(out, "") << "a result of 1024 characters does not fit";
    FormatString(out, "%s", std::string(1023, 'y').c_str());
    EXPECT_EQ(out.size(), 1023u);
}

TEST(AddressHelpers, ValidityTable)
{
    struct Case {
        const char* text;
        bool valid;
    } cases[] = {
        {"1.0.0.1", true},          {"192.168.1.20", true},   {"255.255.255.255", true},
        {"0.1.2.3", false},         {"1.2.3.0", false},       {"256.1.1.1", false},
        {"1.2.3", false},           {"1.2.3.4.5", false},     {"1..2.3.4", false},
        {" 1.2.3.4", false},        {"1.2.3.4 ", false},      {"+1.2.3.4", false},
        {"1.2.3.4x", false},        {"a.b.c.d", false},       {"", false},
        {nullptr, false},           {"111.111.111.111", true}, {"0111.11.111.111", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        EXPECT_EQ(IsValidIpAddress(c.text), c.valid);
        // Whatever passes the check converts fully and back to the same text.
        if (c.valid) {
            EXPECT_EQ(IpAddressToString(StringToIpAddress(c.text)), c.text);
        }
    }
}

TEST(AddressHelpers, NumbersHoldTheFirstOctetLowest)
{
    uint32_t address = 10u | 0u << 8 | 0u << 16 | 1u << 24;
    char text[16];
    IpAddressToString(address, text, sizeof text);
    EXPECT_STREQ(text, "10.0.0.1");
    EXPECT_EQ(StringToIpAddress("10.0.0.1"), address);
    EXPECT_EQ(StringToIpAddress("10.0.0"), 0u);
    EXPECT_EQ(StringToIpAddress("300.0.0.1"), 0u);
    EXPECT_EQ(StringToIpAddress(nullptr), 0u);
}

TEST(AddressHelpers, SplitDottedNumbersStopsAtItsCapacity)
{
    int numbers[3] = {-1, -1, -1};
    int count = 0;
    SplitDottedNumbers("1.3.6.1.4", numbers, 3, count);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(numbers[2], 6);
    int more[8];
    SplitDottedNumbers("1.-2.x.4", more, 8, count);
    ASSERT_EQ(count, 4);
    EXPECT_EQ(more[1], -2);
    EXPECT_EQ(more[2], 0);
    SplitDottedNumbers("", more, 8, count);
    EXPECT_EQ(count, 0);
}

TEST(AddressHelpers, LocalAddressesComeFromTheInterfaces)
{
    EXPECT_TRUE(IsLocalIpAddress("127.0.0.1"));
    EXPECT_FALSE(IsLocalIpAddress("127.0.1.1")) << "the host name's alias is not an interface address";
    EXPECT_FALSE(IsLocalIpAddress("203.0.113.9"));
    EXPECT_FALSE(IsLocalIpAddress(nullptr));
}

TEST(AddressHelpers, LocalMacFailuresAreLogged)
{
    ScopedLogCapture capture;
    char mac[18];
    EXPECT_FALSE(GetLocalMacAddress("", mac, sizeof mac));
    EXPECT_TRUE(capture.Sink().Contains("[GetLocalMacAddress] invalid IP address passed"));
    EXPECT_FALSE(GetLocalMacAddress("127.0.0.1", mac, sizeof mac)) << "loopback is not an Ethernet adapter";
    EXPECT_TRUE(capture.Sink().Contains("[GetLocalMacAddress] failed to find MAC address for 127.0.0.1"));
}

namespace {

class FileHelpers : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vg_files_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf " + m_dir).c_str()); }
    std::string Path(const char* name) { return m_dir + "/" + name; }
    static void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
    static std::string Read(const std::string& path)
    {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string m_dir;
};

} // namespace

TEST_F(FileHelpers, CopyExistsDelete)
{
    Write(Path("a"), "alpha");
    EXPECT_TRUE(FileCopy(Path("a").c_str(), Path("b").c_str(), true));
    EXPECT_EQ(Read(Path("b")), "alpha");
    Write(Path("c"), "gamma");
    EXPECT_FALSE(FileCopy(Path("a").c_str(), Path("c").c_str(), true)) << "fail-if-exists keeps the target";
    EXPECT_EQ(Read(Path("c")), "gamma");
    EXPECT_TRUE(FileCopy(Path("a").c_str(), Path("c").c_str(), false));
    EXPECT_EQ(Read(Path("c")), "alpha");
    EXPECT_FALSE(FileCopy(Path("missing").c_str(), Path("d").c_str(), false));
    EXPECT_TRUE(FileExists(m_dir.c_str()));
    EXPECT_TRUE(FileDelete(Path("c").c_str()));
    EXPECT_FALSE(FileExists(Path("c").c_str()));
    EXPECT_FALSE(FileDelete(Path("c").c_str()));
    EXPECT_FALSE(FileExists(""));
}

TEST_F(FileHelpers, RenameReplacesTheTargetOrLeavesBothAlone)
{
    Write(Path("new"), "new");
    Write(Path("target"), "old");
    EXPECT_TRUE(FileRename(Path("new").c_str(), Path("target").c_str()));
    EXPECT_EQ(Read(Path("target")), "new");
    EXPECT_FALSE(FileExists(Path("new").c_str()));

    // A target that cannot be replaced: the source stays where it was.
    Write(Path("source"), "source");
    ASSERT_EQ(::mkdir(Path("dir").c_str(), 0755), 0);
    Write(Path("dir/inner"), "x");
    EXPECT_FALSE(FileRename(Path("source").c_str(), Path("dir").c_str()));
    EXPECT_EQ(Read(Path("source")), "source");
}

TEST(CPtrList, PositionsAndRemovals)
{
    int a = 1, b = 2, c = 3;
    CPtrList list;
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(list.RemoveHead(), nullptr);
    POSITION pb = list.AddTail(&b);
    list.AddHead(&a);
    list.AddTail(&c);
    EXPECT_EQ(list.GetCount(), 3);
    EXPECT_EQ(list.GetAt(list.FindIndex(1)), &b);
    EXPECT_EQ(list.FindIndex(3), nullptr);
    EXPECT_EQ(list.FindIndex(-1), nullptr);

    std::vector<void*> seen;
    for (POSITION p = list.GetHeadPosition(); p;)
        seen.push_back(list.GetNext(p));
    EXPECT_EQ(seen, (std::vector<void*>{&a, &b, &c}));

    list.InsertBefore(pb, &c);
    EXPECT_EQ(list.GetAt(list.FindIndex(1)), &c);
    list.RemoveAt(pb);
    EXPECT_EQ(list.GetCount(), 3);
    EXPECT_EQ(list.RemoveTail(), &c);
    EXPECT_EQ(list.RemoveHead(), &a);
    list.RemoveAt(list.GetHeadPosition());
    EXPECT_EQ(list.GetHeadPosition(), nullptr);
    EXPECT_EQ(list.GetTailPosition(), nullptr);
    EXPECT_EQ(list.GetCount(), 0);
    list.RemoveAt(nullptr);
}
