// The remote-agent table, its engine-key columns, the INI import and export, and the remote extension
// file.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "engine/core/config/ConfigFileInterface.h"
#include "engine/core/data/BinaryFile.h"
#include "engine/core/data/DataFile.h"
#include "engine/base/Helpers.h"
#include "engine/remote/RemoteAgentStore.h"
#include "platform/AtomicFile.h"
#include "support/TestSupport.h"

namespace {

uint32_t Key(uint32_t column, uint32_t row)
{
    return kRemoteRowKeyBase | column << 12 | row;
}

class FakeTableOwner : public IRemoteTableOwner {
public:
    bool HasEntry(uint32_t rowKey) override { return entries.count(rowKey) != 0; }
    bool AddAgent(const RemoteAgentRow& row, uint32_t snmpIndex) override
    {
        adds.push_back({row.key, snmpIndex});
        if (!acceptAdds)
            return false;
        entries.insert(row.key);
        return true;
    }
    int SaveDataFile() override
    {
        ++saves;
        return 1;
    }
    bool LookUpMac(const std::string& address, std::string& mac) override
    {
        auto it = arp.find(address);
        if (it == arp.end())
            return false;
        mac = it->second;
        return true;
    }
    void QueueForwardedTrap(uint32_t requester, const std::string& text) override { forwarded.push_back({requester, text}); }
    void SendListChanged(int32_t value) override { listChanged.push_back(value); }
    void OnActivationFailed(uint32_t rowNumber) override { failedActivations.push_back(rowNumber); }

    bool acceptAdds = true;
    std::set<uint32_t> entries;
    std::vector<std::pair<uint32_t, uint32_t>> adds;
    int saves = 0;
    std::map<std::string, std::string> arp;
    std::vector<std::pair<uint32_t, std::string>> forwarded;
    std::vector<int32_t> listChanged;
    std::vector<uint32_t> failedActivations;
};

class RemoteTableTest : public ::testing::Test {
protected:
    RemoteTableTest() : m_store(Paths(), &m_owner) {}
    RemoteStorePaths Paths()
    {
        RemoteStorePaths p;
        p.data = m_dir.Path() + "/vgrmtext.dat";
        p.backup = m_dir.Path() + "/vgrmtext.bak";
        p.templateFile = m_dir.Path() + "/vgrmttpl.dat";
        p.safePoint = m_dir.Path() + "/vgrmtext.safe";
        return p;
    }
    CRemoteAgentTable& Table() { return m_store.Table(); }
    void Load()
    {
        bool relaid = false;
        ASSERT_TRUE(m_store.Load(relaid));
    }
    // A row with an address, community and MAC, enabled or not.
    uint32_t AddAgentRow(const std::string& address, bool enabled, uint32_t version = 0)
    {
        RemoteAgentRow row;
        row.flags = (enabled ? kRemoteRowEnabled : 0) | version << 4;
        row.address = Table().AddText(address);
        row.community = Table().AddText("public");
        row.mac = Table().AddText("02:00:00:00:00:0" + address.substr(address.size() - 1));
        row.port = 161;
        row.trapPort = 162;
        return Table().AddRow(row);
    }
    bool SetInt(uint32_t key, int32_t value) { return Table().SetValue(key, 0, kValueInteger, &value, sizeof value); }
    bool SetText(uint32_t key, const std::string& text)
    {
        return Table().SetValue(key, 0, kValueOctetString, text.data(), text.size());
    }

    vgtest::TempDir m_dir;
    FakeTableOwner m_owner;
    CRemoteAgentStore m_store;
};

TEST_F(RemoteTableTest, ColumnsAnswerTheirRowAndPresetsOutsideTheTable)
{
    Load();
    AddAgentRow("127.0.0.2", false, 1);
    AddAgentRow("127.0.0.3", true);
    EXPECT_EQ(Table().GetValue(Key(1, 2), 0).integer, 2u);
    EXPECT_EQ(Table().GetValue(Key(2, 1), 0).integer, 2u) << "a row not enabled is notInService";
    EXPECT_EQ(Table().GetValue(Key(2, 2), 0).integer, 1u);
    EXPECT_EQ(Table().GetValue(Key(3, 1), 0).bytes, "127.0.0.2");
    EXPECT_EQ(Table().GetValue(Key(4, 1), 0).integer, 1u);
    EXPECT_EQ(Table().GetValue(Key(10, 2), 0).bytes, "02:00:00:00:00:03");
    EXPECT_EQ(Table().GetValue(Key(9, 1), 0).type, kValueOctetString) << "no text is still a string";
    for (uint32_t key : {Key(1, 3), Key(3, 3), Key(13, 1), Key(3, 0)}) {
        EngineValue v = Table().GetValue(key, 0);
        EXPECT_EQ(v.type, kValueInteger) << std::hex << key;
        EXPECT_EQ(v.integer, 0u);
        EXPECT_EQ(v.Length(), 4u);
    }
    EngineValue forwarded = Table().GetValue(kRemoteForwardedTrapKey, 0);
    EXPECT_EQ(forwarded.type, kValueOctetString);
    EXPECT_EQ(forwarded.Length(), 0u);
}

TEST_F(RemoteTableTest, RefusedSetsChangeNothing)
{
    Load();
    AddAgentRow("127.0.0.2", true);
    const int savesBefore = m_owner.saves;
    EXPECT_FALSE(SetInt(Key(4, 1), 3)) << "SNMP version codes are 0-2";
    EXPECT_FALSE(SetInt(Key(4, 1), -1));
    EXPECT_FALSE(SetText(Key(5, 1), std::string(64, 'c'))) << "community longer than 63";
    EXPECT_FALSE(SetText(Key(5, 1), "a#b")) << "would not read back from the INI file";
    EXPECT_FALSE(SetText(Key(3, 1), "not an address"));
    EXPECT_FALSE(SetText(Key(3, 1), "127.0.0.1234567890"));
    EXPECT_FALSE(SetText(Key(10, 1), "02:00:00:00:00"));
    EXPECT_FALSE(SetText(Key(11, 1), std::string(256, 'n')));
    EXPECT_FALSE(SetInt(Key(8, 1), 5)) << "the status code is read-only";
    EXPECT_FALSE(SetInt(Key(6, 2), 5)) << "no row 2";
    EXPECT_EQ(m_owner.saves, savesBefore);
    EXPECT_EQ(Table().GetValue(Key(5, 1), 0).bytes, "public");
    EXPECT_EQ(Table().GetValue(Key(3, 1), 0).bytes, "127.0.0.2");
    EXPECT_EQ(Table().GetValue(Key(4, 1), 0).integer, 0u);

    EXPECT_TRUE(SetInt(Key(4, 1), 1));
    EXPECT_TRUE(SetText(Key(5, 1), std::string(63, 'c')));
    EXPECT_EQ(m_owner.saves, savesBefore + 2) << "changes of an enabled row are saved";
}

TEST_F(RemoteTableTest, AddressSetLearnsTheMacByArp)
{
    Load();
    AddAgentRow("127.0.0.2", false);
    m_owner.arp["127.0.0.9"] = "02:00:00:00:00:99";
    EXPECT_TRUE(SetText(Key(3, 1), "127.0.0.9"));
    EXPECT_EQ(Table().GetValue(Key(10, 1), 0).bytes, "02:00:00:00:00:99");
    // No answer by ARP (loopback): the MAC stays.
    EXPECT_TRUE(SetText(Key(3, 1), "127.0.0.8"));
    EXPECT_EQ(Table().GetValue(Key(10, 1), 0).bytes, "02:00:00:00:00:99");
    EXPECT_EQ(m_owner.saves, 0) << "a disabled row is not saved";
}

TEST_F(RemoteTableTest, DeviceSelectionAnnouncesOnlyForEnabledRows)
{
    Load();
    AddAgentRow("127.0.0.2", false);
    AddAgentRow("127.0.0.3", true);
    EXPECT_TRUE(SetInt(Key(12, 1), 0x0201));
    EXPECT_EQ(Table().GetValue(Key(12, 1), 0).integer, 0x0201u);
    EXPECT_TRUE(m_owner.listChanged.empty());
    EXPECT_EQ(m_owner.saves, 0);
    EXPECT_TRUE(SetInt(Key(12, 2), 1));
    EXPECT_EQ(m_owner.listChanged, std::vector<int32_t>{6});
    EXPECT_EQ(m_owner.saves, 1);
}

TEST_F(RemoteTableTest, ActivatingAMonitoredRowOnlyEnablesIt)
{
    Load();
    const uint32_t key = AddAgentRow("127.0.0.2", false);
    m_owner.entries.insert(key);
    EXPECT_TRUE(SetInt(Key(2, 1), 1));
    EXPECT_EQ(Table().GetCount(), 1) << "the row of a monitored agent must stay";
    EXPECT_EQ(Table().GetValue(Key(2, 1), 0).integer, 1u);
    EXPECT_TRUE(m_owner.adds.empty());
    EXPECT_EQ(m_owner.saves, 1);
}

TEST_F(RemoteTableTest, ActivationAddsTheAgentOrRemovesTheRow)
{
    Load();
    AddAgentRow("127.0.0.2", false);
    EXPECT_TRUE(SetInt(Key(2, 1), 4));
    ASSERT_EQ(m_owner.adds.size(), 1u);
    EXPECT_EQ(m_owner.adds[0].second, 1u) << "the row number is the agent's SNMP index";
    EXPECT_EQ(m_owner.saves, 1);

    // The row is saved enabled before its agent is added; a refused add saves it away again.
    AddAgentRow("127.0.0.3", false);
    m_owner.acceptAdds = false;
    EXPECT_FALSE(SetInt(Key(2, 2), 1));
    EXPECT_EQ(Table().GetCount(), 1);
    EXPECT_EQ(m_owner.failedActivations, std::vector<uint32_t>{2});
    EXPECT_EQ(m_owner.saves, 3);

    // Values 2, 3 and 5 disable; others change nothing.
    EXPECT_TRUE(SetInt(Key(2, 1), 7));
    EXPECT_EQ(Table().GetValue(Key(2, 1), 0).integer, 1u);
    EXPECT_TRUE(SetInt(Key(2, 1), 2));
    EXPECT_EQ(Table().GetValue(Key(2, 1), 0).integer, 2u);
}

TEST_F(RemoteTableTest, RemovingRenumbersTheLaterRows)
{
    Load();
    AddAgentRow("127.0.0.2", true);
    AddAgentRow("127.0.0.3", true);
    ASSERT_TRUE(Table().Remove(kRemoteRowKeyBase + 1));
    RemoteAgentRow row;
    ASSERT_TRUE(Table().GetRow(1, row));
    EXPECT_EQ(row.key, kRemoteRowKeyBase + 1);
    EXPECT_EQ(Table().CopyText(row.address), "127.0.0.3");
    EXPECT_EQ(Table().GetLastKey(), kRemoteRowKeyBase + 1);
    EXPECT_FALSE(Table().Remove(kRemoteRowKeyBase + 5));
    ASSERT_TRUE(Table().Remove(kRemoteRowKeyBase + 1));
    EXPECT_EQ(Table().GetLastKey(), kRemoteRowKeyBase);
    EXPECT_EQ(Table().AddEmptyRow(), kRemoteRowKeyBase + 1);
}

TEST_F(RemoteTableTest, ForwardedTrapTextGoesToTheOwner)
{
    Load();
    const std::string text = "1.3.6.1.4.1.64950.100.2|3|0";
    EXPECT_TRUE(Table().SetValue(kRemoteForwardedTrapKey, 0x0100007F, kValueOctetString, text.data(), text.size()));
    ASSERT_EQ(m_owner.forwarded.size(), 1u);
    EXPECT_EQ(m_owner.forwarded[0].first, 0x0100007Fu);
    EXPECT_EQ(m_owner.forwarded[0].second, text);
}

TEST_F(RemoteTableTest, FileRoundTripsAndIsPrivate)
{
    Load();
    AddAgentRow("127.0.0.2", true, 1);
    AddAgentRow("127.0.0.3", false);
    ASSERT_TRUE(SetText(Key(11, 1), "ups-one"));
    ASSERT_TRUE(m_store.Save());
    struct stat st {};
    ASSERT_EQ(stat(m_store.Paths().data.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the file holds communities";

    FakeTableOwner owner;
    CRemoteAgentStore again(Paths(), &owner);
    bool relaid = true;
    ASSERT_TRUE(again.Load(relaid));
    EXPECT_FALSE(relaid);
    EXPECT_TRUE(again.Table().IsLoadedFromFile());
    ASSERT_EQ(again.Table().GetCount(), 2);
    EXPECT_EQ(again.Table().GetValue(Key(11, 1), 0).bytes, "ups-one");
    EXPECT_EQ(again.Table().GetValue(Key(4, 1), 0).integer, 1u);
    EXPECT_EQ(again.Table().GetValue(Key(2, 2), 0).integer, 2u);
    EXPECT_EQ(again.Table().GetLastKey(), kRemoteRowKeyBase + 2);

    EXPECT_EQ(again.Backup(), 1);
    EXPECT_EQ(again.CreateSafePoint(), 1);
    EXPECT_EQ(std::remove(m_store.Paths().data.c_str()), 0);
    EXPECT_EQ(again.CreateSafePoint(), 0);
    EXPECT_EQ(again.Restore(), 1);
    EXPECT_TRUE(FileExists(m_store.Paths().data.c_str()));
}

// A file as written before build 40: 36-byte rows (words 0-8).
void WriteOldFile(const std::string& path, uint32_t version, uint32_t rowSize)
{
    CStringTable strings;
    strings.ReadFileBlock(path + ".none", kRemoteStringBlockKey);
    const uint32_t address = strings.AddString(std::string("127.0.0.2"), kDataKeyNew);
    CDataHeader table;
    // The block holds at least the nine words written below, whatever size the row claims.
    const size_t size = kTableHeadSize + (rowSize < 36 ? 36 : rowSize);
    std::unique_ptr<uint8_t[]> block = CDataHeader::AllocateBlock(size);
    CDataHeader::StoreTableHead(block.get(), kRemoteTableBlockKey, size, 1);
    uint8_t* row = block.get() + kTableHeadSize;
    StoreWord(row, rowSize);
    StoreWord(row + 4, kRemoteRowKeyBase + 1);
    StoreWord(row + 16, 0x10);   // SNMPv1
    StoreWord(row + 20, address);
    StoreWord(row + 28, 161);
    StoreWord(row + 32, 162);
    for (uint32_t w = 9; 4 * w + 4 <= rowSize; ++w)
        StoreWord(row + 4 * w, 0xDEAD0000u + w);  // not the file's data at that version
    table.ReplaceBlock(std::move(block), size);
    CBinaryFile file;
    file.AddBlock(&table, kRemoteTableBlockKey);
    file.AddBlock(&strings, kRemoteStringBlockKey);
    ASSERT_TRUE(file.WriteSerializedFile(path, kRemoteFileId, version));
}

TEST_F(RemoteTableTest, ASaveWhileBusyWaitsAndTheMibRowsLeaveOutTheLeavingAgents)
{
    Load();
    AddAgentRow("127.0.0.2", true);
    AddAgentRow("127.0.0.3", true);
    struct stat st {};
    ASSERT_TRUE(m_store.SaveUnlessBusy(true));
    EXPECT_NE(stat(m_store.Paths().data.c_str(), &st), 0) << "nothing is written while the engine is busy";
    EXPECT_TRUE(m_store.IsSaveDue());
    ASSERT_TRUE(m_store.SaveUnlessBusy(false));
    EXPECT_EQ(stat(m_store.Paths().data.c_str(), &st), 0);
    EXPECT_FALSE(m_store.IsSaveDue());

    std::vector<uint32_t> published;
    auto publish = [&](uint32_t rows) { published.push_back(rows); };
    for (uint32_t leaving : {0u, 1u, 3u})
        m_store.SyncMibRows([leaving] { return leaving; }, publish);
    EXPECT_EQ(published, (std::vector<uint32_t>{2, 1, 0}));
}

TEST_F(RemoteTableTest, OldFileIsReLaidWithTheNewWordsZero)
{
    const struct {
        uint32_t version;
        uint32_t rowSize;
        bool relaid;
    } cases[] = {
        {MakeDataVersion(12, 4, 39), 36, true},
        {MakeDataVersion(12, 4, 39), 52, false},  // 52 bytes, but words 9-12 are not this version's
    };
    for (const auto& c : cases) {
        WriteOldFile(Paths().data, c.version, c.rowSize);
        FakeTableOwner owner;
        CRemoteAgentStore store(Paths(), &owner);
        bool relaid = false;
        ASSERT_TRUE(store.Load(relaid));
        EXPECT_EQ(relaid, c.relaid) << c.rowSize;
        EXPECT_FALSE(store.Table().NeedsResize());
        RemoteAgentRow row;
        ASSERT_TRUE(store.Table().GetRow(1, row));
        EXPECT_EQ(row.entrySize, 52u);
        EXPECT_EQ(row.VersionCode(), 1u);
        EXPECT_EQ(row.trapPort, 162u);
        EXPECT_EQ(store.Table().CopyText(row.address), "127.0.0.2");
        EXPECT_EQ(row.versionText, 0u);
        EXPECT_EQ(row.mac, 0u);
        EXPECT_EQ(row.serverName, 0u);
        EXPECT_EQ(row.deviceSelection, 0u);
        EXPECT_EQ(store.Table().GetVersion(), kRemoteDataVersion);
        ASSERT_TRUE(store.Save());
        // The rewritten file carries the current version.
        std::string image;
        ASSERT_TRUE(vgplat::ReadWholeFile(Paths().data, image, 1 << 20));
        EXPECT_EQ(LoadWord(reinterpret_cast<const uint8_t*>(image.data()) + 20), kRemoteDataVersion);
    }
}

TEST_F(RemoteTableTest, DamagedRowSizesLoadAsAnEmptyTable)
{
    for (uint32_t rowSize : {8u, 20u, 37u}) {
        WriteOldFile(Paths().data, kRemoteDataVersion, rowSize);
        FakeTableOwner owner;
        CRemoteAgentStore store(Paths(), &owner);
        bool relaid = false;
        ASSERT_TRUE(store.Load(relaid)) << rowSize;
        EXPECT_EQ(store.Table().GetCount(), 0) << rowSize;
        EXPECT_FALSE(store.Table().IsLoadedFromFile());
    }
}

class RemoteIniTest : public RemoteTableTest {
protected:
    void WriteIni(const std::string& text)
    {
        const std::string path = m_dir.Path() + "/vgconfig.ini";
        std::ofstream(path) << text;
        genericConfigFileInterface::SetEngineIniPath(path);
    }
    ~RemoteIniTest() override { genericConfigFileInterface::SetEngineIniPath(std::string()); }
};

TEST_F(RemoteIniTest, ImportReadsTwoSectionsAndNeedsAMac)
{
    Load();
    WriteIni("[VG_Remote]\nserver=127.0.0.2\nSNMPMacAddress=00:00:00:00:00:00\nSNMPVersion=1\n"
             "SNMPCommunity=ups\nSNMPPort=1161\nSNMPTrapPort=1162\n"
             "[VG_Remote_2]\nServer=127.0.0.3\nSNMPMacAddress=00:00:00:00:00:00\n"
             "[VG_Remote_3]\nServer=127.0.0.4\nSNMPMacAddress=02:00:00:00:00:04\n");
    m_owner.arp["127.0.0.2"] = "02:00:00:00:00:02";  // 127.0.0.3 has no ARP answer
    vgtest::Log().Clear();
    Table().SetConfigurationValues();
    ASSERT_EQ(Table().GetCount(), 1);
    EXPECT_TRUE(vgtest::Log().Contains("failed to find MAC address for 127.0.0.3"));
    EXPECT_EQ(Table().GetValue(Key(3, 1), 0).bytes, "127.0.0.2");
    EXPECT_EQ(Table().GetValue(Key(10, 1), 0).bytes, "02:00:00:00:00:02");
    EXPECT_EQ(Table().GetValue(Key(5, 1), 0).bytes, "ups");
    EXPECT_EQ(Table().GetValue(Key(4, 1), 0).integer, 1u);
    EXPECT_EQ(Table().GetValue(Key(6, 1), 0).integer, 1161u);
    EXPECT_EQ(Table().GetValue(Key(7, 1), 0).integer, 1162u);
    EXPECT_EQ(Table().GetValue(Key(2, 1), 0).integer, 1u) << "an imported agent is monitored: active";
    ASSERT_EQ(m_owner.adds.size(), 1u);
    EXPECT_EQ(m_owner.adds[0].second, 0u) << "an import asks for a new MIB row";
    EXPECT_EQ(m_owner.saves, 1);

    // The imported agent's columns are kept like any other's: every acknowledged SET is saved.
    ASSERT_TRUE(SetText(Key(11, 1), "Rack 4 UPS"));
    EXPECT_EQ(m_owner.saves, 2);
    ASSERT_TRUE(SetInt(Key(12, 1), 3));
    EXPECT_EQ(m_owner.saves, 3);
    EXPECT_EQ(m_owner.listChanged, (std::vector<int32_t>{6})) << "its selection is announced";
    ASSERT_TRUE(SetInt(Key(7, 1), 2162));
    EXPECT_EQ(m_owner.saves, 4);
}

TEST_F(RemoteIniTest, RefusedAddTakesTheImportedRowAway)
{
    Load();
    WriteIni("[VG_Remote]\nServer=127.0.0.2\nSNMPMacAddress=02:00:00:00:00:02\n");
    m_owner.acceptAdds = false;
    Table().SetConfigurationValues();
    EXPECT_EQ(Table().GetCount(), 0);
}

TEST_F(RemoteIniTest, ExportReadsBackAndKeepsTheVersion)
{
    std::ostringstream out;
    CRemoteAgentTable::WriteSection(out, 1, "127.0.0.2", "02:00:00:00:00:02", 1, "ups", 1161, 0x10000 | 162);
    CRemoteAgentTable::WriteSection(out, 2, "127.0.0.3", "02:00:00:00:00:03", 2, "public", 161, 162);
    CRemoteAgentTable::WriteSection(out, 3, "127.0.0.4", "02:00:00:00:00:04", 0, "public", 161, 162);
    const std::string text = out.str();
    EXPECT_NE(text.find("[VG_Remote]\nServer=127.0.0.2\nSNMPMacAddress=02:00:00:00:00:02\nSNMPVersion=1\n"
                        "SNMPCommunity=ups\nSNMPPort=1161\nSNMPTrapPort=162\n[VG_Remote_2]\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[VG_Remote_3]\n"), std::string::npos);
    Load();
    WriteIni(text);
    Table().SetConfigurationValues();
    ASSERT_EQ(Table().GetCount(), 2) << "only the first two sections are imported";
    EXPECT_EQ(Table().GetValue(Key(4, 1), 0).integer, 1u);
    EXPECT_EQ(Table().GetValue(Key(7, 1), 0).integer, 162u);
    EXPECT_EQ(Table().GetValue(Key(3, 2), 0).bytes, "127.0.0.3");
}

TEST_F(RemoteIniTest, ImportIsSkippedForATableFromTheFile)
{
    Load();
    AddAgentRow("127.0.0.2", true);
    ASSERT_TRUE(m_store.Save());
    FakeTableOwner owner;
    CRemoteAgentStore again(Paths(), &owner);
    bool relaid = false;
    ASSERT_TRUE(again.Load(relaid));
    WriteIni("[VG_Remote]\nServer=127.0.0.5\nSNMPMacAddress=02:00:00:00:00:05\n");
    again.Table().SetConfigurationValues();
    EXPECT_EQ(again.Table().GetCount(), 1);
}

}  // namespace
