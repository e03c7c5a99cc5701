#include "engine/core/settings/DeviceEngineTable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "engine/core/config/ConfigFileInterface.h"
#include "engine/core/data/StringTable.h"
#include "tests/core/DataFileTestSupport.h"
#include "tests/core/RecordingHooks.h"

using cfgtest::RecordingHooks;
using vgtest::Image;

namespace {

class EngineRecordTest : public vgtest::SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        m_strings.ReadFileBlock(Path("none.dat"), kStringTableBlockKey);
    }
    void TearDown() override
    {
        genericConfigFileInterface::SetEngineIniPath("");
        SandboxTest::TearDown();
    }
    void UseIni(const std::string& content)
    {
        WriteFile(Path("vgconfig.ini"), content);
        genericConfigFileInterface::SetEngineIniPath(Path("vgconfig.ini"));
    }
    // A new record: the file named holds no record block.
    void Create(CDeviceEngineTable& table) { ASSERT_TRUE(table.ReadFileBlock(Path("missing.dat"), kEngineConfigBlockKey)); }

    RecordingHooks m_hooks;
    CStringTable m_strings;
};

// A stored record of bytes/4 words: word i holds 0x10000 + i (head words as a record has them).
std::string StoredRecord(uint32_t bytes, uint32_t headSize)
{
    Image image;
    image.W(headSize).W(kEngineConfigBlockKey).W(0).W(0);
    for (uint32_t i = 4; i < bytes / 4; ++i)
        image.W(0x10000 + i);
    return image.Str();
}

} // namespace

TEST_F(EngineRecordTest, NewRecordTakesDefaultsAndImportsTheEngineSection)
{
    UseIni("[VG_Engine]\n"
           "EnableBroadcast=true\n"          // not exactly "1": cleared
           "EnableAutoDiscovery=1\n"
           "enablelocalbroadcast=1\n"        // keys ignore letter case
           "DataLogAppend=1\n"
           "ShutdownRequired=all\n"          // not exactly "All": One
           "RemoteSnmpRetries=3 tries\n"
           "RemoteSnmpTimeout=none\n"
           "SMTPPort=-5\n"
           "RemoteMaxNodes=7\n"
           "SMTPServer=mail.example.com\n"
           "SMTPPassword=s=cret\n"
           "EngineIPAddress=10.1.2.3\n"
           "Unknown=1\n"
           "[IPAddresses]\nEventLogMaxSize=5\n");
    m_hooks.hibernate = true;
    m_hooks.engineAddress = 0x0302010A; // 10.1.2.3: matches the imported address
    CDeviceEngineTable table(&m_hooks, &m_strings);
    Create(table);

    EXPECT_EQ(table.GetSize(), 188);
    EXPECT_EQ(table.GetWord(0), 188u);
    EXPECT_EQ(table.GetWord(1), kEngineConfigBlockKey);
    // The new record's EnableBroadcast (bit 26) is cleared by the value true.
    EXPECT_EQ(table.GetWord(EngineWord::kOptions), kOptionNewRecord | kOptionEnableHibernation | kOptionEnableAutoDiscovery);
    EXPECT_EQ(table.GetWord(EngineWord::kFlags), 0x21u | kFlagEnableLocalBroadcast | kFlagDataLogAppend |
                                                     kFlagEngineAddressChecked);
    EXPECT_EQ(table.GetWord(EngineWord::kActionMask), 0xFFFFu);
    EXPECT_EQ(table.GetWord(EngineWord::kRemoteSnmpRetries), 3u);
    EXPECT_EQ(table.GetWord(EngineWord::kRemoteSnmpTimeout), 0u); // no range checks
    EXPECT_EQ(table.GetWord(EngineWord::kSmtpPort), static_cast<uint32_t>(-5));
    EXPECT_EQ(table.GetWord(EngineWord::kRemoteMaxNodes), 7u);
    EXPECT_EQ(m_hooks.maxNodes, std::vector<uint32_t> {7});
    EXPECT_EQ(table.GetWord(EngineWord::kEventLogMaxSize), 1000u); // the key of another section
    EXPECT_EQ(table.GetWord(EngineWord::kEngineIpAddress), 0x0302010Au);
    EXPECT_EQ(table.GetText(EngineWord::kSmtpServer), "mail.example.com");
    EXPECT_EQ(table.GetText(EngineWord::kSmtpPassword), "s=cret");
    for (int i : {17, 18, 29, 30, 46})
        EXPECT_EQ(table.GetWord(i), CDeviceEngineTable::DefaultWord(i)) << i;

    // A different current address replaces the stored one and clears bit 12.
    m_hooks.engineAddress = 0x0100007F;
    table.CheckEngineIpAddress();
    EXPECT_EQ(table.GetWord(EngineWord::kEngineIpAddress), 0x0100007Fu);
    EXPECT_FALSE(table.GetWord(EngineWord::kFlags) & kFlagEngineAddressChecked);
}

TEST_F(EngineRecordTest, InvalidEngineAddressAndMissingIniKeepDefaults)
{
    UseIni("[VG_Engine]\nEngineIPAddress=10.1.2\n");
    CDeviceEngineTable table(&m_hooks, &m_strings);
    Create(table);
    EXPECT_EQ(table.GetWord(EngineWord::kEngineIpAddress), 0u);

    genericConfigFileInterface::SetEngineIniPath(Path("absent.ini"));
    CDeviceEngineTable second(nullptr, &m_strings); // no server: no hibernation, no address check
    Create(second);
    for (int i = 0; i < EngineWord::kCount; ++i)
        EXPECT_EQ(second.GetWord(i), CDeviceEngineTable::DefaultWord(i)) << i;
}

// Which words a record of each data version holds; the rest take their New values.
TEST_F(EngineRecordTest, VersionRulesOfTheStoredRecord)
{
    struct Case {
        uint32_t version;
        int lastLoaded; // words 4..lastLoaded come from the file
        bool bit5;
        bool bit11;
    };
    const Case cases[] = {
        {MakeDataVersion(12, 4, 20), 16, false, true},  {MakeDataVersion(12, 4, 23), 18, false, true},
        {MakeDataVersion(12, 4, 40), 31, false, true},  {MakeDataVersion(12, 4, 41), 41, true, false},
        {MakeDataVersion(12, 4, 45), 41, true, false},  {MakeDataVersion(12, 4, 48), 41, false, false},
        {MakeDataVersion(12, 4, 49), 42, false, false}, {MakeDataVersion(12, 4, 55), 42, false, false},
        {MakeDataVersion(12, 4, 56), 46, false, false}, {MakeDataVersion(12, 4, 59), 46, false, false},
        {MakeDataVersion(13, 0, 0), 46, true, false},   {MakeDataVersion(11, 5, 0), 46, true, false},
    };
    const std::string stored = StoredRecord(188, 188);
    for (const Case& c : cases) {
        CDeviceEngineTable table(nullptr, &m_strings);
        ASSERT_TRUE(table.LoadBlockImage(reinterpret_cast<const uint8_t*>(stored.data()), stored.size(), c.version));
        for (int i = 4; i < EngineWord::kCount; ++i) {
            if (i == EngineWord::kFlags)
                continue;
            uint32_t expected = i <= c.lastLoaded ? 0x10000u + i : CDeviceEngineTable::DefaultWord(i);
            EXPECT_EQ(table.GetWord(i), expected) << std::hex << c.version << " word " << std::dec << i;
        }
        uint32_t flags = table.GetWord(EngineWord::kFlags);
        EXPECT_EQ(flags & ~(kFlagDisableAutoDiscoveryAtStartup | kFlagOldDataFile), 0x1000Fu);
        EXPECT_EQ(bool(flags & kFlagDisableAutoDiscoveryAtStartup), c.bit5) << std::hex << c.version;
        EXPECT_EQ(bool(flags & kFlagOldDataFile), c.bit11) << std::hex << c.version;
    }
}

TEST_F(EngineRecordTest, ShortOrLyingRecordsNeverOverflowAndGrowWithDefaults)
{
    struct Case {
        uint32_t bytes;
        uint32_t headWord;
    };
    // A 25-word record of the newest version; one whose head claims 188 bytes; one of 19 words; one
    // of 51 words (cut back to 47) and one of 190 bytes.
    const Case cases[] = {{100, 100}, {100, 188}, {76, 76}, {204, 204}, {190, 188}};
    for (const Case& c : cases) {
        std::string stored = StoredRecord(c.bytes & ~3u, c.headWord);
        stored.resize(c.bytes, '\x7F');
        CDeviceEngineTable table(nullptr, &m_strings);
        ASSERT_TRUE(table.LoadBlockImage(reinterpret_cast<const uint8_t*>(stored.data()), stored.size(),
                                         kEngineDataVersion));
        EXPECT_EQ(table.GetWord(0), c.bytes) << "the head tells what was loaded";
        ASSERT_EQ(table.FixRecordSize(), 1);
        EXPECT_EQ(table.GetSize(), 188);
        EXPECT_EQ(table.GetWord(0), 188u);
        const int loadedWords = static_cast<int>(std::min<uint32_t>(c.bytes, 188) / 4);
        for (int i = 4; i < EngineWord::kCount; ++i) {
            if (i == EngineWord::kFlags)
                continue;
            uint32_t expected = i < loadedWords ? 0x10000u + i : CDeviceEngineTable::DefaultWord(i);
            EXPECT_EQ(table.GetWord(i), expected) << c.bytes << " word " << i;
        }
    }
    // A record of less than its head is refused.
    std::string tiny = Image().W(12).W(kEngineConfigBlockKey).W(0).Str();
    CDeviceEngineTable table(nullptr, &m_strings);
    EXPECT_FALSE(table.LoadBlockImage(reinterpret_cast<const uint8_t*>(tiny.data()), tiny.size(), kEngineDataVersion));
    EXPECT_FALSE(table.HasBlock());
}

TEST_F(EngineRecordTest, CommunityIsHandedToTheFacadeOnLoad)
{
    CDeviceEngineTable table(&m_hooks, &m_strings);
    Create(table);
    EXPECT_TRUE(m_hooks.communities.empty());
    ASSERT_TRUE(table.SetText(EngineWord::kCommunity, "private", 7));
    ASSERT_TRUE(table.ReadFileBlock(Path("missing.dat"), kEngineConfigBlockKey)); // keeps the record it holds
    EXPECT_EQ(m_hooks.communities, std::vector<std::string> {"private"});
}

TEST_F(EngineRecordTest, ExportWritesTheEngineSectionInOrder)
{
    CDeviceEngineTable table(&m_hooks, &m_strings);
    Create(table);
    table.ModifyWord(EngineWord::kOptions, 0, kOptionEnableBroadcast | kOptionShutdownRequiredAll);
    table.ModifyWord(EngineWord::kFlags, kFlagDisableAutoDiscoveryAtStartup, kFlagEventLogAppend);
    table.SetWord(EngineWord::kRemoteTrapPort, 1162);
    table.SetText(EngineWord::kSmtpFrom, "ups@example.com", 15);
    table.SetText(EngineWord::kSmtpServer, "mail", 4);
    std::ostringstream out;
    table.WriteConfigurationValues(out);
    EXPECT_EQ(out.str(), "[VG_Engine]\n"
                         "DataLogAppend=0\nDataLogDuration=7\nDataLogInterval=300\nDataLogTextFile=0\n"
                         "EnableAutoDiscovery=0\nDisableAutoDiscoveryAtStartup=0\nEnableBroadcast=1\n"
                         "EnableHibernation=0\nEnableLocalBroadcast=1\nEnableNetworkBroadcast=0\n"
                         "EnableShutdownTimer=0\nEventLogAppend=1\nEventLogTextFile=0\nAutoUpdateTrapMinutes=0\n"
                         "RemoteLoopbackDelay=2\nRemoteThreadCount=25\nRemoteTrapPort=1162\nRemoteMaxNodes=2\n"
                         "RemoteSnmpRetries=1\nRemoteSnmpTimeout=15\nRemoteOfflinePollCycles=10\n"
                         "ShutdownRequired=All\nSMTPAuthenticationRequired=0\nSMTPFrom=ups@example.com\n"
                         "SMTPPort=25\nSMTPServer=mail\nWriteExtendedValues=0\n\n");

    // What was exported imports into a new record as the same words.
    UseIni(out.str());
    CDeviceEngineTable copy(&m_hooks, &m_strings);
    Create(copy);
    for (int i : {4, 12, 15, 17, 18, 27, 29, 30, 43, 44, 45, 46})
        EXPECT_EQ(copy.GetWord(i), table.GetWord(i)) << i;
    EXPECT_EQ(copy.GetText(EngineWord::kSmtpFrom), "ups@example.com");

    // A cap of 250 is left out. A text that would not read back is refused where it enters; one that
    // came with a damaged file is left out of the export and logged.
    table.SetWord(EngineWord::kRemoteMaxNodes, kRemoteMaxNodesUnlisted);
    EXPECT_FALSE(table.SetText(EngineWord::kSmtpLogin, "a\n[VG_Remote]", 13));
    EXPECT_FALSE(table.SetText(EngineWord::kSmtpFrom, "x#y", 3));
    EXPECT_FALSE(table.SetText(EngineWord::kSmtpServer, " mail", 5));
    EXPECT_EQ(table.GetText(EngineWord::kSmtpFrom), "ups@example.com");
    EXPECT_TRUE(table.SetText(EngineWord::kText11, "free # text", 11)); // not exported
    table.SetWord(EngineWord::kSmtpLogin, m_strings.AddString("a\n[VG_Remote]"));
    table.SetWord(EngineWord::kSmtpPassword, m_strings.AddString("pass#word"));
    std::ostringstream second;
    table.WriteConfigurationValues(second);
    EXPECT_EQ(second.str().find("RemoteMaxNodes="), std::string::npos);
    EXPECT_EQ(second.str().find("SMTPLogin="), std::string::npos);
    EXPECT_EQ(second.str().find("SMTPPassword="), std::string::npos);
    EXPECT_TRUE(Log().Contains(kLogWarning, "SMTPLogin left out"));
}

TEST_F(EngineRecordTest, CriticalStateBacksUpFirstAndSavesWhenCleared)
{
    CDeviceEngineTable table(&m_hooks, &m_strings);
    Create(table);
    table.BeginCritical(kCriticalAgentAdding);
    table.BeginCritical(kCriticalAgentRemoving); // already critical: no second backup
    table.BeginCritical(kCriticalAgentAdding);   // already set: nothing at all
    EXPECT_EQ(m_hooks.calls, (std::vector<std::string> {"backup", "save", "save"}));
    EXPECT_EQ(table.GetCriticalState(), kCriticalAgentAdding | kCriticalAgentRemoving);
    EXPECT_EQ(table.GetWord(EngineWord::kFlags) & 0xFFFFFF, 0x21u | kFlagEngineAddressChecked);

    m_hooks.calls.clear();
    table.EndCritical(kCriticalAgentAdding); // a bit is left: no save
    EXPECT_TRUE(m_hooks.calls.empty());
    table.EndCritical(0x70000000);
    EXPECT_EQ(m_hooks.calls, std::vector<std::string> {"save"});
    EXPECT_EQ(table.GetCriticalState(), 0u);
}

TEST_F(EngineRecordTest, DiscoveryTextsAndBroadcastSwitch)
{
    CDeviceEngineTable table(&m_hooks, &m_strings);
    Create(table);
    std::string text = "stale";
    EXPECT_FALSE(table.GetDiscoveryAddresses(text));
    EXPECT_EQ(text, "");
    table.SetText(EngineWord::kDiscoveryAddresses, "10.0.0.1-10.0.0.9", 17);
    table.SetText(EngineWord::kDiscoveryCommunities, "public,private", 14);
    EXPECT_TRUE(table.GetDiscoveryAddresses(text));
    EXPECT_EQ(text, "10.0.0.1-10.0.0.9");
    EXPECT_TRUE(table.GetDiscoveryCommunities(text));
    EXPECT_EQ(text, "public,private");

    table.DisableBroadcast();
    EXPECT_EQ(m_hooks.engineValues, (std::vector<std::pair<uint32_t, int32_t>> {{5, 2}}));
    table.ModifyWord(EngineWord::kOptions, kOptionBroadcastValueMask, 3u << 12); // variable 5 = 3 sets bit 13
    table.DisableBroadcast();
    EXPECT_EQ(m_hooks.engineValues.size(), 1u);
}

// Request threads flip option and flag bits while the remote-agent manager sets and clears critical
// bits: no update may be lost.
TEST(EngineConfigThreads, BitChangesAreNeverLost)
{
    CStringTable strings;
    RecordingHooks hooks;
    CDeviceEngineTable table(&hooks, &strings);
    ASSERT_TRUE(table.ReadFileBlock("/nonexistent/vgusrext.dat", kEngineConfigBlockKey));
    const uint32_t options = table.GetWord(EngineWord::kOptions);
    const uint32_t flags = table.GetWord(EngineWord::kFlags);
    std::atomic<int> lost {0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            const int word = t % 2 ? EngineWord::kOptions : EngineWord::kFlags;
            const uint32_t bit = 1u << (t % 2 ? 28 + t / 2 : 13 + t / 2);
            for (int i = 0; i < 3000; ++i) {
                table.ModifyWord(word, 0, bit);
                if (!(table.GetWord(word) & bit))
                    ++lost;
                table.ModifyWord(word, bit, 0);
                if (table.GetWord(word) & bit)
                    ++lost;
            }
        });
    threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
            table.BeginCritical(kCriticalAgentFirstPoll);
            table.EndCritical(kCriticalAgentFirstPoll);
        }
    });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(lost.load(), 0);
    EXPECT_EQ(table.GetWord(EngineWord::kOptions), options);
    EXPECT_EQ(table.GetWord(EngineWord::kFlags), flags);
    EXPECT_EQ(hooks.Count("backup"), 200);
}
