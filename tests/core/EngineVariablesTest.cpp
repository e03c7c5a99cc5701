// The engine variables by key: GET answers, SET effects (stored, clamped, refused), what is saved,
// what goes to the system queue and what is announced to the consoles.

#include <ctime>
#include <optional>

#include <gtest/gtest.h>

#include "engine/core/server/ServerEx.h"
#include "tests/support/LogCapture.h"
#include "tests/core/ServerTestSupport.h"

using namespace servertest;

namespace {

class EngineVariablesTest : public ::testing::Test {
protected:
    ScopedLogCapture log;
    TestInstall install;
    CallLog calls;
    std::unique_ptr<CServerEx> server;

    void SetUp() override
    {
        ServerOptions options = install.Options(calls, 0x0A00007F /* 127.0.0.10 */);
        server = std::make_unique<CServerEx>(options);
        ASSERT_TRUE(server->Start(0, 2, 3665, "public"));
        ASSERT_TRUE(WaitUntil([&] { return server->IsStarted(); }));
    }
    void TearDown() override { server->Destroy(); }

    std::string Get(uint32_t key, uint32_t requester = 0, uint32_t length = 0, int* type = nullptr)
    {
        EngineValue value;
        EXPECT_EQ(server->GetValue(key, requester, value, length), 1);
        if (type)
            *type = value.type;
        return ValueText(value);
    }
    std::vector<std::string> Traps()
    {
        std::vector<std::string> traps;
        for (const auto& c : calls.Calls())
            if (c.rfind("trap ", 0) == 0)
                traps.push_back(c);
        return traps;
    }
};

EngineValue Int(uint32_t v)
{
    return EngineValue::Integer(v);
}
EngineValue Text(const std::string& t)
{
    return EngineValue::Text(t);
}

TEST_F(EngineVariablesTest, SetsStoreClampOrRefuseThenSaveAndAnnounce)
{
    const std::string userFile = install.Path("data/vgusrext.dat");
    const std::string community127(127, 'c'), community128(128, 'c');
    struct Case {
        uint32_t var;
        EngineValue value;
        bool accepted;
        std::optional<std::string> get; // the GET answer afterwards
        bool saved;
        std::vector<std::string> traps;
        std::vector<std::string> alsoCalled;
        uint32_t requester = 0;
    } cases[] = {
        // A new record has EnableBroadcast set: the first SET of 5 clears it and says so first.
        {5, Int(7), true, "3", true, {"trap 1001 E.10.1.2.7.5.0=2", "trap 1001 E.10.1.3.1.0=7"}, {}},
        {21, Int(0), true, "2", true, {"trap 1001 E.10.1.2.7.5.0=0"}, {}},
        {5, Int(3), true, "3", true, {"trap 1001 E.10.1.3.1.0=3"}, {}},
        {44, Int(5), true, "7", true, {"trap 1001 E.10.4.1.3.0=5"}, {}},
        {44, Int(30), true, "30", true, {"trap 1001 E.10.4.1.3.0=30"}, {}},
        {14, Int(50), true, "100", true, {"trap 1001 E.10.4.2.1.0=50"}, {}},
        {14, Int(30000), true, "20000", true, {"trap 1001 E.10.4.2.1.0=30000"}, {}},
        {14, Text("500"), false, "20000", false, {}, {}},
        {2, Int(3), true, "2", true, {"trap 1001 E.10.1.5.1.0=3"}, {}},
        {2, Int(1), true, "1", true, {"trap 1001 E.10.1.5.1.0=1"}, {}},
        {4, Int(1), true, "1", true, {"trap 1001 E.10.1.2.5.0=1"}, {}},
        {7, Int(1), true, "2", true, {"trap 1001 E.10.1.4.2.0=1"}, {}}, // no hibernation on this host
        {18, Int(2), true, "2", true, {"trap 1001 E.10.1.3.2.1.0=2"}, {}},
        {18, Int(4), true, "2", true, {"trap 1001 E.10.1.3.2.1.0=4"}, {}},
        {25, Int(2525), true, "2525", true, {"trap 1001 E.10.1.6.3.0=2525"}, {}},
        {26, Int(0), true, "1", true, {}, {}},
        {28, Int(40), true, "40", true, {}, {}},
        {40, Int(2), true, "2", true, {"trap 1001 E.10.1.5.4.0=2"}, {}},
        {8, Text("mail.example.com"), true, "\"mail.example.com\"", true,
         {"trap 1001 E.10.1.6.1.0=\"mail.example.com\""}, {}},
        {8, Text("mail\n[VG_Engine]"), false, "\"mail.example.com\"", false, {}, {}},
        {34, Text("pass#word"), false, "\"\"", false, {}, {}},
        {34, Int(5), false, "\"\"", false, {}, {}},
        {51, Text("10.0.0.1-10.0.0.9"), true, "\"10.0.0.1-10.0.0.9\"", true,
         {"trap 1001 E.10.1.11.1.0=\"10.0.0.1-10.0.0.9\""}, {}},
        {17, Text("secret"), true, "\"secret\"", true, {}, {"snmp.SetCommunity secret"}},
        {17, Text(community128), false, "\"secret\"", false, {}, {}},
        {17, Text(community127), true, "\"" + community127 + "\"", true, {}, {"snmp.SetCommunity " + community127}},
        {27, Int(5), true, "0", false, {}, {}},
        {30, Int(9), true, "0", false, {}, {}},
        {58, Int(1162), true, "0", false, {}, {}},
        {92, Int(1), true, "2", false, {}, {}},
        {63, Int(1), true, "0", false, {}, {}},
        {3, Int(1), true, "0", false, {}, {}},
        {55, Int(1), true, "2", true, {"trap 1001 E.10.1.11.5.0=1"}, {"remote.SetDiscoveryRequested 0"}},
        {54, Int(2), true, "2", true, {"trap 1001 E.10.1.11.4.0=2"}, {}},
        {75, Text("00:11:22:33:44:55"), true, "\"\"", true, {}, {"remote.Relocate 127.0.0.1 00:11:22:33:44:55"},
         0x0100007F},
        {82, Text("release-7"), true, "\"release-7\"", false, {}, {}},
        {82, Text(std::string(128, 'v')), false, "\"release-7\"", false, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("variable " + std::to_string(c.var) + " = " + ValueText(c.value));
        const ino_t before = Inode(userFile);
        calls.Clear();
        EXPECT_EQ(server->SetValue(c.var, c.requester, c.value), c.accepted);
        EXPECT_EQ(Inode(userFile) != before, c.saved);
        EXPECT_EQ(Traps(), c.traps);
        for (const auto& call : c.alsoCalled)
            EXPECT_TRUE(calls.Has(call)) << call;
        if (c.var == 17 && !c.accepted) {
            EXPECT_EQ(calls.Calls(), std::vector<std::string>{});
        }
        if (c.get) {
            EXPECT_EQ(Get(c.var), *c.get);
        }
    }
    EXPECT_EQ(server->GetCommunity(), community127);

    // What was saved is what a fresh load reads.
    CUserExtension saved;
    saved.ResolvePaths(AppConfig(install.Path("bin/vgnsa")));
    ASSERT_EQ(saved.Load(), 1);
    EXPECT_EQ(saved.GetEngineTable().GetWord(EngineWord::kEventLogMaxSize), 20000u);
    EXPECT_EQ(saved.GetEngineTable().GetWord(EngineWord::kDataLogDuration), 30u);
    EXPECT_EQ(saved.GetEngineTable().GetText(EngineWord::kSmtpServer), "mail.example.com");
}

TEST_F(EngineVariablesTest, SetsThatPostWorkToTheSystemQueue)
{
    // 54 = 1: the discovery request; without a scanner the queue records why and clears the flag.
    calls.Clear();
    EXPECT_TRUE(server->SetIntValue(54, 0, 1));
    EXPECT_TRUE(log.Has("Adding Remote Discovery Task to System Queue", kLogInfo));
    // The server's own threads may record calls of theirs meanwhile: the order is what counts.
    const int requested = calls.IndexOf("remote.SetDiscoveryRequested 1");
    EXPECT_GE(requested, 0);
    EXPECT_TRUE(WaitUntil([&] { return calls.Has("remote.SetDiscoveryRequested 0"); }));
    EXPECT_LT(requested, calls.IndexOf("remote.SetDiscoveryRequested 0"));
    EXPECT_LT(calls.IndexOf("remote.RecordDiscoveryErrors Could not create the network scan object.  Aborting "
                            "discovery"),
              calls.IndexOf("remote.SetDiscoveryRequested 0"));
    EXPECT_EQ(Traps(), (std::vector<std::string>{"trap 1001 E.10.1.11.4.0=1"}));

    // 67: the INI rewrite, whole and private.
    const std::string ini = install.Path("vgconfig.ini");
    server->SetIntValue(25, 0, 2626);
    calls.Clear();
    const ino_t before = Inode(install.Path("data/vgusrext.dat"));
    EXPECT_TRUE(server->SetIntValue(67, 0, 1));
    EXPECT_EQ(Inode(install.Path("data/vgusrext.dat")), before); // nothing saved
    EXPECT_TRUE(Traps().empty());
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(ini); }));
    EXPECT_EQ(fs::status(ini).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    std::string content;
    vgplat::ReadWholeFile(ini, content, 1 << 20);
    EXPECT_NE(content.find("[VG_Engine]\n"), std::string::npos);
    EXPECT_NE(content.find("SMTPPort=2626\n"), std::string::npos);
    EXPECT_NE(content.find("[IPAddresses]\n"), std::string::npos);
    EXPECT_NE(content.find("[ConfigFileVersion]\n"), std::string::npos);
    EXPECT_LT(content.find("[VG_Engine]"), content.find("[IPAddresses]"));
    EXPECT_LT(content.find("[IPAddresses]"), content.find("[ConfigFileVersion]"));
}

TEST_F(EngineVariablesTest, GetAnswersConstantsAndDispatchesByGroup)
{
    struct Case {
        uint32_t key;
        std::string answer;
        int type;
    } cases[] = {
        {1, "0", kValueInteger},
        {6, "2", kValueInteger},
        {11, "1", kValueInteger},
        {12, "13", kValueInteger},
        {13, "1000", kValueInteger},
        {15, "65535", kValueInteger},
        {19, "0", kValueInteger},
        {20, "\"00.00.00.00.00.00\"", kValueOctetString},
        {22, "0", kValueInteger},
        {23, "\"\"", kValueOctetString},
        {29, std::to_string(0x0A00007F), kValueIpAddress}, // word 31 holds the address found at creation
        {42, "\"00.00.0000.00\"", kValueOctetString},
        {54, "2", kValueInteger},
        {55, "2", kValueInteger},
        {57, "2", kValueInteger},
        {64, "2", kValueInteger},
        {67, "0", kValueInteger},
        {70, "0", kValueInteger},
        {93, "2", kValueInteger},
        {94, "\"INADDR_ANY:162\"", kValueOctetString},
        {95, "\"\"", kValueOctetString},
        {0x85010003, "\"12.04.0059\"", kValueOctetString},
        {0x85010005, "0", kValueInteger},
        {0x85010007, std::to_string(0x0A00007F), kValueIpAddress},
        {0x85010009, "0", kValueInteger},
        {0x010D0103, "3", kValueInteger},
        {0x010D0203, "\"\"", kValueOctetString},
        {0x010D0303, "0", kValueInteger},
        {0xA6040101, "0", kValueInteger},
        {0xA40C0101, "0", kValueInteger}, // no trap-destination row 1
        {0x87060001, "77", kValueInteger}, // a device key: the devices answer
        {0x82000005, "77", kValueInteger}, // a writable device item in group 0x00
    };
    for (const auto& c : cases) {
        int type = 0;
        EXPECT_EQ(Get(c.key, 0, 0, &type), c.answer) << std::hex << c.key;
        EXPECT_EQ(type, c.type) << std::hex << c.key;
    }

    calls.Clear();
    EXPECT_EQ(Get(10, 0x0200007F), "1"); // registers the requester as a console
    EXPECT_EQ(Get(0x8301000B, 0, 4), "5"); // the alarm row travels in the length word
    EXPECT_EQ(calls.Calls(), (std::vector<std::string>{"consoles.Activate 33554559",
                                                       "devices.GetAlarmValue " + std::to_string(0x8301000B) + " 4"}));

    server->SetCountdownTime(std::time(nullptr) + 90);
    const int left = std::stoi(Get(19));
    EXPECT_GE(left, 88);
    EXPECT_LE(left, 90);
    server->SetCountdownTime(std::time(nullptr) - 5);
    EXPECT_EQ(Get(19), "0");
}

TEST_F(EngineVariablesTest, RowsAndSetRouting)
{
    calls.Clear();
    // A device item in group 0x0C goes to the devices, not to the trap destinations.
    EXPECT_TRUE(server->SetIntValue(0x820C0101, 0, 1));
    EXPECT_TRUE(server->SetIntValue(0x85030101, 0, 1));
    EXPECT_EQ(calls.Calls(), (std::vector<std::string>{"devices.SetValue " + std::to_string(0x820C0101) + " 1",
                                                       "devices.SetValue " + std::to_string(0x85030101) + " 1"}));

    EXPECT_EQ(server->AddRow(0x80001), 0xFFFFFFFFu);
    EXPECT_EQ(server->DeleteRow(0x80001), 0);
    EXPECT_EQ(server->AddRow(0x70001), 0xA40C0001u);
    EXPECT_EQ(Get(0xA40C0101), "1");
    EXPECT_EQ(server->AddRow(0x90001), 0xFFFFFFFFu); // no remote-agent table yet
    calls.Clear();
    EXPECT_EQ(server->DeleteRow(3), 1);
    EXPECT_EQ(server->DeleteRow(0x90002), 1);
    EXPECT_EQ(server->DeleteRow(0x70001), 1);
    EXPECT_EQ(Get(0xA40C0101), "0");
    EXPECT_EQ(calls.IndexOf("devices.DeleteByIndex 3"), 0);
    EXPECT_EQ(calls.IndexOf("remote.QueueForRemoval 2"), 1);

    // After variable 5 was set to 3, the broadcast can no longer be switched off from inside.
    server->SetIntValue(5, 0, 3);
    server->SetIntValue(21, 0, 1);
    server->GetEngineConfig()->DisableBroadcast();
    EXPECT_EQ(Get(21), "1");

    // A changed engine address drops the check of the old one.
    server->GetEngineConfig()->ModifyWord(EngineWord::kFlags, 0, kFlagEngineAddressChecked);
    EXPECT_TRUE(server->SetValue(29, 0, EngineValue::Integer(0x0900000A, kValueIpAddress)));
    EXPECT_EQ(server->GetEngineConfig()->GetWord(EngineWord::kFlags) & kFlagEngineAddressChecked, 0u);
    int type = 0;
    EXPECT_EQ(Get(29, 0, 0, &type), std::to_string(0x0900000A));
    EXPECT_EQ(type, kValueIpAddress);
}

} // namespace

namespace {

// What the server cannot store, decided before a SET applies anything; each refused value is also
// refused by SetValue itself, so the check never answers for a value that would be stored.
TEST_F(EngineVariablesTest, ValuesThatCannotBeStoredAreKnownBeforehand)
{
    using S = CServer::Storable;
    const uint32_t trapName = 0xA40C0000u | 4 << 8 | 1, trapCommunity = 0xA40C0000u | 5 << 8 | 1;
    struct Case {
        uint32_t key;
        std::string text;
        S expected;
    } cases[] = {
        {17, std::string(127, 'c'), S::kYes},         {17, std::string(128, 'c'), S::kWrongLength},
        {8, "mail.example", S::kYes},                  {8, "#x", S::kWrongValue},
        {8, " lead", S::kWrongValue},                  {34, "pass#word", S::kWrongValue},
        {16, "#free text", S::kYes},                   {82, std::string(127, 'v'), S::kYes},
        {82, std::string(128, 'v'), S::kWrongLength},  {0x85020014u, std::string(63, 'k'), S::kYes},
        {0x85020014u, std::string(64, 'k'), S::kWrongLength},
        {trapName, "a,b", S::kWrongValue},             {trapName, "name", S::kYes},
        {trapCommunity, "#c", S::kWrongValue},         {trapCommunity, "public", S::kYes},
        {8u, std::string("ab\0#", 4), S::kYes}, // a text ends at its NUL
        // but a community is a secret: refused, not cut
        {17u, std::string("ab\0#", 4), S::kWrongValue},
        {53u, std::string("ab\0cd", 5), S::kWrongValue},
        {0x85020014u, std::string("ab\0cd", 5), S::kWrongValue},
        {trapCommunity, std::string("ab\0cd", 5), S::kWrongValue},
        {0xA8100000u | 5 << 12 | 1, std::string("ab\0cd", 5), S::kWrongValue},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.key) + " " + c.text.substr(0, 12));
        EXPECT_EQ(server->CheckStorable(c.key, kValueOctetString, c.text.data(), c.text.size()), c.expected);
        if (c.expected != S::kYes && (c.key < 0x100 || c.key == 0x85020014u)) {
            const std::string before = Get(c.key);
            server->SetValue(c.key, 0, Text(c.text));
            EXPECT_EQ(Get(c.key), before);
        }
    }
    // Integers are the MIB's to check.
    const uint32_t number = 5;
    EXPECT_EQ(server->CheckStorable(17, kValueInteger, &number, sizeof number), S::kYes);
}

} // namespace
