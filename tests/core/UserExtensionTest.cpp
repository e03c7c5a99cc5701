#include "engine/core/settings/UserExtension.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <atomic>
#include <iterator>
#include <sstream>
#include <thread>

#include "engine/core/config/ConfigFileInterface.h"
#include "tests/core/DataFileTestSupport.h"
#include "tests/core/RecordingHooks.h"

using cfgtest::RecordingHooks;
using vgtest::Image;
using vgtest::MakeDataFile;
using vgtest::WordAt;

namespace {

class UserExtensionTest : public vgtest::SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        genericConfigFileInterface::SetEngineIniPath(Path("vgconfig.ini"));
    }
    void TearDown() override
    {
        genericConfigFileInterface::SetEngineIniPath("");
        SandboxTest::TearDown();
    }
    // A user extension object over the sandbox's files, saving through its hooks.
    struct Engine {
        explicit Engine(UserExtensionTest& test) : extension(&hooks)
        {
            hooks.extension = &extension;
            extension.SetPaths(test.Path("vgusrext.dat"), test.Path("vgusrext.bak"), test.Path("vgusrtpl.dat"),
                               test.Path("vgusrext.safepoint"));
        }
        RecordingHooks hooks;
        CUserExtension extension;
    };
    std::string File() const { return ReadFile(Path("vgusrext.dat")); }
    static uint32_t Mode(const std::string& path)
    {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
    }
};

// A new settings record as it is stored: 47 words, with flags in word 15.
std::string DefaultRecord(uint32_t flags)
{
    const uint32_t words[] = {
        188, 0xA2000000, 0, 0, 0x04400000, 0xFFFF, 0, 0, // 0-7: head size, key, 0, 0, options, action mask
        0, 0, 0, 0, 25, 0, 0, flags,                     // 8-15: SMTP port 25 in word 12
        0, 300, 7, 0, 0, 0, 0, 0,                        // 16-23: data-log interval and duration
        0, 0, 0, 0, 0, 2, 25, 0,                         // 24-31: loopback delay 2, thread count 25
        0, 0, 0, 0, 0, 0, 0, 0,                          // 32-39
        0, 0, 1000, 2, 1, 15, 10,                        // 40-46: event-log size, remote cap, retries, time-out,
                                                         // offline poll cycles
    };
    static_assert(std::size(words) == EngineWord::kCount);
    Image record;
    for (uint32_t word : words)
        record.W(word);
    return record.Str();
}

// A golden file of tests/core/golden: whitespace-separated 32-bit words (hex or decimal), "#" to the end
// of a line a comment; the bytes they stand for, little-endian.
std::string Golden(const std::string& name)
{
    std::istringstream lines(vgtest::ReadText(std::string(VG_SOURCE_DIR) + "/tests/core/golden/" + name));
    Image image;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line.substr(0, line.find('#')));
        for (std::string word; words >> word;)
            image.W(static_cast<uint32_t>(std::stoul(word, nullptr, 0)));
    }
    return image.Str();
}

std::string EmptyTable(uint32_t key)
{
    return Image().W(20).W(key).W(20).W(0).W(0).Str();
}

} // namespace

TEST_F(UserExtensionTest, FreshFileHasTheExactLayout)
{
    Engine engine(*this);
    ASSERT_EQ(engine.extension.Load(), 1);

    Image expected;
    expected.W(28).W(0x24780203).W(28).W(48).W(3).W(0x0C043B00).W(0);
    expected.W(16).W(0xA2000000).W(48).W(188);
    expected.W(16).W(0x06000000).W(236).W(20);
    expected.W(16).W(0xA40C0000).W(256).W(20);
    // The record: 188, key, 0, 0, 0x04400000, 0xFFFF, ..., word 15 = 0x21 and the address-check bit
    // (no engine address, none stored).
    expected.Bytes(DefaultRecord(0x21 | kFlagEngineAddressChecked));
    expected.Bytes(EmptyTable(0x06000000));
    expected.Bytes(EmptyTable(0xA40C0000));
    ASSERT_EQ(expected.Size(), 304u);
    EXPECT_EQ(File(), expected.Str());
    EXPECT_EQ(WordAt(File(), 76 + 4 * 4), 0x04400000u);
    EXPECT_EQ(Mode(Path("vgusrext.dat")), 0600u);
    EXPECT_EQ(engine.hooks.rowCounts, std::vector<int> {0});
}

TEST_F(UserExtensionTest, NewFileImportsTheIniAndRoundTrips)
{
    WriteFile(Path("vgconfig.ini"), "[VG_Engine]\nSMTPServer=mail\nSMTPPassword=secret\nRemoteSnmpTimeout=30\n"
                                    "[IPAddresses]\nIP=10.0.0.7,Station,162,public\nIP=10.0.0.8,,1162,private\n");
    std::string first;
    {
        Engine engine(*this);
        ASSERT_EQ(engine.extension.Load(), 1);
        first = File();
        EXPECT_EQ(engine.extension.GetSnmpIpTable().GetCount(), 2);
    }
    // A different INI no longer matters: the file has its blocks.
    WriteFile(Path("vgconfig.ini"), "[VG_Engine]\nSMTPServer=other\n[IPAddresses]\nIP=10.0.0.9,x,1,y\n");
    Engine engine(*this);
    ASSERT_EQ(engine.extension.Load(), 1);
    EXPECT_EQ(File(), first);
    CDeviceEngineTable& record = engine.extension.GetEngineTable();
    EXPECT_EQ(record.GetText(EngineWord::kSmtpServer), "mail");
    EXPECT_EQ(record.GetText(EngineWord::kSmtpPassword), "secret");
    EXPECT_EQ(record.GetWord(EngineWord::kRemoteSnmpTimeout), 30u);
    CSnmpIpTable& traps = engine.extension.GetSnmpIpTable();
    ASSERT_EQ(traps.GetCount(), 2);
    EXPECT_EQ(traps.GetValue(kSnmpIpBlockKey | 5 << 8 | 2, 0).bytes, "private");
    EXPECT_EQ(traps.GetValue(kSnmpIpBlockKey | 6 << 8 | 2, 0).integer, 1162u);
    // Texts live once in the string table.
    EXPECT_EQ(engine.extension.GetStringTable().GetCount(), 5);
}

TEST_F(UserExtensionTest, TemplateIsCopiedOnlyOverAMissingFile)
{
    std::string record = DefaultRecord(0x21);
    record.replace(4 * EngineWord::kRemoteThreadCount, 4, Image().W(9).Str());
    std::string templ = MakeDataFile(0x24780203, kEngineDataVersion,
                                     {{0xA2000000, record}, {0x06000000, EmptyTable(0x06000000)}});
    WriteFile(Path("vgusrtpl.dat"), templ);
    WriteFile(Path("vgconfig.ini"), "[VG_Engine]\nRemoteThreadCount=40\n");
    {
        Engine engine(*this);
        ASSERT_EQ(engine.extension.Load(), 1);
        EXPECT_EQ(engine.extension.GetEngineTable().GetWord(EngineWord::kRemoteThreadCount), 9u);
        EXPECT_EQ(Mode(Path("vgusrext.dat")), 0600u);
        engine.extension.GetEngineTable().SetWord(EngineWord::kRemoteThreadCount, 11);
        ASSERT_EQ(engine.extension.Save(), 1);
    }
    Engine engine(*this);
    ASSERT_EQ(engine.extension.Load(), 1);
    EXPECT_EQ(engine.extension.GetEngineTable().GetWord(EngineWord::kRemoteThreadCount), 11u);
    EXPECT_EQ(ReadFile(Path("vgusrtpl.dat")), templ);
}

// Golden before and after: a file of 12.04.0040 with a 32-word record, a text and 40-byte rows, and the
// same file as this engine saves it after the load.
TEST_F(UserExtensionTest, OldFileIsUpgradedOnLoad)
{
    const std::string before = Golden("vgusrext-12.04.0040.words");
    ASSERT_EQ(before.size(), 348u); // 28 + 48 + 128 + 44 + 100: the golden file was read whole
    WriteFile(Path("vgusrext.dat"), before);
    Engine engine(*this);
    ASSERT_EQ(engine.extension.Load(), 1);
    EXPECT_EQ(engine.hooks.communities, std::vector<std::string> {"public"});
    EXPECT_EQ(File(), Golden("vgusrext-12.04.0040-upgraded.words"));
    EXPECT_EQ(engine.extension.GetEngineTable().GetWord(EngineWord::kRemoteSnmpRetries), 1u);
    EXPECT_EQ(engine.extension.GetEngineTable().GetWord(EngineWord::kRemoteSnmpTimeout), 15u);
}

TEST_F(UserExtensionTest, UncleanStopKeepsTheSettingsAndClearsTheCriticalState)
{
    WriteFile(Path("vgconfig.ini"), "[IPAddresses]\nIP=10.0.0.1,a,1,c\n");
    {
        Engine engine(*this);
        ASSERT_EQ(engine.extension.Load(), 1);
        // The remote-agent manager starts a change (backup, bit set, save), and two trap destinations
        // are added, each saved, before the process dies.
        engine.extension.GetEngineTable().BeginCritical(kCriticalAgentAdding);
        ASSERT_EQ(engine.hooks.calls.front(), "backup");
        int32_t on = 1;
        for (int i = 0; i < 2; ++i) {
            uint32_t key = engine.extension.GetSnmpIpTable().AddEmptyRow();
            engine.extension.GetSnmpIpTable().SetValue(kSnmpIpBlockKey | 2 << 8 | (key & 0xFF), 0, 2, &on, 4);
        }
        ASSERT_EQ(engine.extension.GetSnmpIpTable().GetCount(), 3);
    }
    Engine engine(*this);
    ASSERT_EQ(engine.extension.LoadWithRecovery(), 1);
    // The other files' backups go back; this one keeps what was acknowledged meanwhile.
    EXPECT_EQ(engine.hooks.Count("restore"), 1);
    EXPECT_EQ(engine.extension.GetEngineTable().GetCriticalState(), 0u);
    EXPECT_EQ(engine.extension.GetSnmpIpTable().GetCount(), 3);
    // The MIB hears the count of each load.
    EXPECT_EQ(engine.hooks.rowCounts, (std::vector<int> {3, 3}));

    Engine again(*this);
    ASSERT_EQ(again.extension.LoadWithRecovery(), 1);
    EXPECT_EQ(again.hooks.Count("restore"), 0);
    EXPECT_EQ(again.extension.GetEngineTable().GetCriticalState(), 0u);
}

TEST_F(UserExtensionTest, BackupRestoreAndSafePoint)
{
    Engine engine(*this);
    EXPECT_EQ(engine.extension.Backup(), 0);
    EXPECT_EQ(engine.extension.Restore(), 0);
    EXPECT_EQ(engine.extension.CreateSafePoint(), 0);
    EXPECT_TRUE(Log().Contains(kLogInfo, "no safe point file created"));
    ASSERT_EQ(engine.extension.Load(), 1);
    const std::string saved = File();
    EXPECT_EQ(engine.extension.Backup(), 1);
    EXPECT_EQ(engine.extension.CreateSafePoint(), 1);
    EXPECT_TRUE(Log().Contains(kLogInfo, "to create safepoint file was successful"));
    EXPECT_EQ(ReadFile(Path("vgusrext.safepoint")), saved);
    EXPECT_EQ(Mode(Path("vgusrext.bak")), 0600u);
    EXPECT_EQ(Mode(Path("vgusrext.safepoint")), 0600u);

    engine.extension.GetEngineTable().SetWord(EngineWord::kSmtpPort, 2525);
    ASSERT_EQ(engine.extension.Save(), 1);
    EXPECT_NE(File(), saved);
    EXPECT_EQ(engine.extension.Restore(), 1);
    EXPECT_EQ(File(), saved);

    // A save that cannot be made answers 0.
    CUserExtension lost;
    lost.SetPaths(Path("no/such/folder/vgusrext.dat"), "", "", "");
    ASSERT_EQ(lost.Load(), 1);
    EXPECT_EQ(lost.Save(), 0);
}

// Request threads change settings and save while the system queue saves too: every file on disk is
// whole, and the last save holds every change.
class UserExtensionThreads : public UserExtensionTest {};

TEST_F(UserExtensionThreads, ConcurrentChangesAndSaves)
{
    Engine engine(*this);
    ASSERT_EQ(engine.extension.Load(), 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                std::string text = "server-" + std::to_string(t) + "-" + std::to_string(i);
                engine.extension.GetEngineTable().SetText(EngineWord::kSmtpServer + (t % 2), text.data(), text.size());
                engine.extension.GetEngineTable().ModifyWord(EngineWord::kFlags, 0, 1u << (16 + t));
                engine.extension.Save();
            }
        });
    for (auto& thread : threads)
        thread.join();
    ASSERT_EQ(engine.extension.Save(), 1);
    Engine reader(*this);
    ASSERT_EQ(reader.extension.Load(), 1);
    EXPECT_EQ(reader.extension.GetEngineTable().GetWord(EngineWord::kFlags) & 0xF0000, 0xF0000u);
    EXPECT_EQ(reader.extension.GetEngineTable().GetText(EngineWord::kSmtpServer),
              engine.extension.GetEngineTable().GetText(EngineWord::kSmtpServer));
}

// A damaged string block is refused; the texts it held are gone, and the keys that named them must
// not come to name texts added later.
TEST_F(UserExtensionTest, TextKeysOfARefusedStringBlockAreDropped)
{
    std::string record = DefaultRecord(0x21);
    record.replace(4 * EngineWord::kSmtpServer, 4, Image().W(0x06000001).Str());
    Image strings; // its count says 2, it holds one entry
    strings.W(20).W(0x06000000).W(20).W(24).W(2).W(16).W(0x06000001).W(5).W(8).Bytes(std::string("mail\0\0\0\0", 8));
    WriteFile(Path("vgusrext.dat"), MakeDataFile(0x24780203, kEngineDataVersion,
                                                 {{0xA2000000, record}, {0x06000000, strings.Str()}}));
    WriteFile(Path("vgconfig.ini"), "[IPAddresses]\nIP=10.0.0.7,Station,162,public\n");
    Engine engine(*this);
    ASSERT_EQ(engine.extension.Load(), 1);
    EXPECT_EQ(engine.extension.GetEngineTable().GetWord(EngineWord::kSmtpServer), 0u);
    EXPECT_EQ(engine.extension.GetEngineTable().GetText(EngineWord::kSmtpServer), "");
    EXPECT_EQ(engine.extension.GetSnmpIpTable().GetValue(kSnmpIpBlockKey | 5 << 8 | 1, 0).bytes, "public");
    EXPECT_TRUE(Log().Contains(kLogWarning, "settings word 9 names the missing text 0x06000001"));
}

namespace {

TEST_F(UserExtensionTest, ReplacedAndRemovedTextsLeaveTheFile)
{
    Engine engine(*this);
    ASSERT_EQ(engine.extension.Load(), 1);
    CDeviceEngineTable& record = engine.extension.GetEngineTable();
    CSnmpIpTable& traps = engine.extension.GetSnmpIpTable();
    ASSERT_NE(traps.AddEmptyRow(), kDataKeyFailed);
    ASSERT_TRUE(traps.SetValue(kSnmpIpBlockKey | 2 << 8 | 1, 0, kValueInteger, "\x01\0\0\0", 4)); // enabled
    // Two words sharing one text: the text stays while either refers to it.
    ASSERT_TRUE(record.SetText(EngineWord::kSmtpFrom, "shared", 6));
    ASSERT_TRUE(record.SetText(EngineWord::kSmtpLogin, "shared", 6));
    size_t size = 0;
    for (int round = 0; round < 60; ++round) {
        const std::string text(255, static_cast<char>('a' + round % 26));
        const std::string numbered = std::to_string(round) + text.substr(3);
        ASSERT_TRUE(record.SetText(EngineWord::kSmtpServer, numbered.data(), numbered.size()));
        ASSERT_TRUE(traps.SetValue(kSnmpIpBlockKey | 8 << 8 | 1, 0, kValueOctetString, text.data(), text.size()));
        ASSERT_EQ(engine.extension.Save(), 1);
        if (round == 0)
            size = File().size();
        ASSERT_EQ(File().size(), size) << "round " << round;
    }
    ASSERT_TRUE(record.SetText(EngineWord::kSmtpFrom, "", 0));
    ASSERT_EQ(engine.extension.Save(), 1);
    EXPECT_EQ(record.GetText(EngineWord::kSmtpLogin), "shared");
    // The server's text, the destination's text and the shared one.
    EXPECT_EQ(engine.extension.GetStringTable().GetCount(), 3);
    ASSERT_TRUE(traps.Remove(kSnmpIpBlockKey | 1));
    ASSERT_EQ(engine.extension.Save(), 1);
    EXPECT_EQ(engine.extension.GetStringTable().GetCount(), 2);

    Engine reloaded(*this);
    ASSERT_EQ(reloaded.extension.Load(), 1);
    EXPECT_EQ(reloaded.extension.GetEngineTable().GetText(EngineWord::kSmtpServer).substr(0, 2), "59");
    EXPECT_EQ(reloaded.extension.GetEngineTable().GetText(EngineWord::kSmtpLogin), "shared");
    EXPECT_EQ(reloaded.extension.GetStringTable().GetCount(), 2);
}

// A writer between adding its text and storing the key must not lose the text to a save's sweep.
TEST_F(UserExtensionThreads, TextsBeingStoredSurviveConcurrentSaves)
{
    Engine engine(*this);
    ASSERT_EQ(engine.extension.Load(), 1);
    CDeviceEngineTable& record = engine.extension.GetEngineTable();
    std::atomic<bool> done{false};
    std::thread saver([&] {
        while (!done.load())
            engine.extension.Save();
    });
    bool intact = true;
    for (int i = 0; i < 300 && intact; ++i) {
        const std::string text = "server-" + std::to_string(i);
        record.SetText(EngineWord::kSmtpServer, text.data(), text.size());
        intact = record.GetText(EngineWord::kSmtpServer) == text;
    }
    done = true;
    saver.join();
    EXPECT_TRUE(intact);
}

TEST_F(UserExtensionThreads, HeldSavesAreWrittenOnceAtTheRelease)
{
    Engine engine(*this);
    ASSERT_EQ(engine.extension.Load(), 1);
    CDeviceEngineTable& record = engine.extension.GetEngineTable();
    const uint64_t before = engine.extension.GetSavesWritten();
    CUserExtension::HoldSaves();
    for (int i = 0; i < 100; ++i) {
        const std::string text = "held-" + std::to_string(i);
        ASSERT_TRUE(record.SetText(EngineWord::kSmtpServer, text.data(), text.size()));
        EXPECT_EQ(engine.extension.Save(), 1);
    }
    EXPECT_EQ(engine.extension.GetSavesWritten(), before);
    // Another thread's save is written at once, and the critical state too.
    std::thread([&] { EXPECT_EQ(engine.extension.Save(), 1); }).join();
    EXPECT_EQ(engine.extension.GetSavesWritten(), before + 1);
    record.BeginCritical(kCriticalAgentAdding);
    EXPECT_EQ(engine.extension.GetSavesWritten(), before + 2);
    record.SetText(EngineWord::kSmtpServer, "held-last", 9);
    engine.extension.Save();
    EXPECT_TRUE(CUserExtension::ReleaseSaves());
    EXPECT_EQ(engine.extension.GetSavesWritten(), before + 3);
    // Released: saves are written again, and nothing was left held.
    EXPECT_TRUE(CUserExtension::ReleaseSaves());
    EXPECT_EQ(engine.extension.GetSavesWritten(), before + 3);
    EXPECT_EQ(engine.extension.Save(), 1);
    EXPECT_EQ(engine.extension.GetSavesWritten(), before + 4);

    Engine reloaded(*this);
    ASSERT_EQ(reloaded.extension.Load(), 1);
    EXPECT_EQ(reloaded.extension.GetEngineTable().GetText(EngineWord::kSmtpServer), "held-last");
}

} // namespace
