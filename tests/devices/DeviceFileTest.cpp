// The device file: a round trip with event rows, the INI event sections, the template, the stored
// versions of the event rows, deferred saves, rows whose agent is missing, and saves killed midway.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/core/data/BinaryFile.h"
#include "engine/core/data/DataArchive.h"
#include "platform/AtomicFile.h"
#include "tests/support/LogCapture.h"
#include "tests/devices/DeviceTestSupport.h"

using namespace devtest;

namespace {

constexpr uint32_t kShutdownFlags = kEventFlagShutdown | kEventFlagCountdown;

class DeviceFileTest : public ::testing::Test {
protected:
    ScopedLogCapture log{kLogInfo};
    Sandbox sandbox;
    TestHost host{sandbox};
    std::vector<std::unique_ptr<FakeAgent>> agents;
    std::unique_ptr<CDevices> devices;

    // An agent at that address with devices 1..count, each with the events "On Battery" and "Low
    // Battery" when answers is set.
    FakeAgent& MakeAgent(const std::string& address, int count, bool answers = true)
    {
        agents.push_back(std::make_unique<FakeAgent>(address));
        FakeAgent& agent = *agents.back();
        for (int n = 1; n <= count; ++n) {
            agent.devices.push_back(Device(static_cast<uint32_t>(n)));
            if (answers) {
                agent.SetEventCount(static_cast<uint32_t>(n), 2);
                agent.AddEventName(static_cast<uint32_t>(n), 1, "On Battery");
                agent.AddEventName(static_cast<uint32_t>(n), 2, "Low Battery");
            }
        }
        host.remote.agents.push_back(&agent);
        return agent;
    }
    void Start()
    {
        devices = std::make_unique<CDevices>(host);
        ASSERT_EQ(devices->Initialize(), 1);
    }
    void Restart(std::vector<FakeAgent*> known)
    {
        devices->Destroy();
        devices.reset();
        host.remote.agents = std::move(known);
        host.facade.deviceRows = 0; // a new engine run has a new MIB
        Start();
    }
    void TearDown() override
    {
        if (devices)
            devices->Destroy();
    }
    void WriteIni(const std::string& text)
    {
        vgplat::WriteFileAtomically(host.IniPath(), text.data(), text.size(), 0644);
    }
};

TEST_F(DeviceFileTest, DevicesAndTheirEventRowsSurviveARestart)
{
    FakeAgent& agent = MakeAgent("127.0.0.2", 2);
    Start();
    devices->Add(&agent, 1);
    ASSERT_TRUE(SetEventColumn(*devices, 2, 1, 7, kEventFlagShutdown | kEventFlagCommand));
    ASSERT_TRUE(SetEventColumn(*devices, 2, 1, 19, 90));
    ASSERT_TRUE(SetEventColumn(*devices, 2, 1, 18, 12));
    ASSERT_TRUE(SetEventText(*devices, 2, 1, 8, "/opt/ups/on-set"));
    ASSERT_TRUE(SetEventText(*devices, 2, 1, 9, "/opt/ups/on-clear"));
    const std::string name = "Server room";
    ASSERT_TRUE(devices->SetDeviceValue(2, 0, 10, kValueOctetString, name.data(), name.size()));
    // An alarm that stands at the stop must arm its row again when its agent raises it after the start.
    auto device = devices->FindRemoteDevice(&agent, 2);
    ASSERT_EQ(device->AddAlarm(1, "On Battery", 3), 1);

    // The same agent after the restart answers nothing: what comes back comes from the file.
    FakeAgent fresh("127.0.0.2");
    Restart({&fresh});
    EXPECT_EQ(fresh.requests, 0);
    EXPECT_EQ(fresh.noted, (std::vector<uint32_t>{1, 2}));
    ASSERT_EQ(devices->GetCount(), 2);
    EXPECT_EQ(devices->GetDeviceString(2, 0, 10), name);
    EXPECT_EQ(devices->GetDeviceString(2, 0, 9), "UPS-1000");
    EXPECT_EQ(devices->GetDeviceString(2, 0x30002, 4), "Low Battery");
    EXPECT_EQ(EventColumn(*devices, 2, 1, 7), kShutdownFlags | kEventFlagCommand);
    EXPECT_EQ(EventColumn(*devices, 2, 1, 19), 90u);
    EXPECT_EQ(EventColumn(*devices, 2, 1, 18), 12u);
    EXPECT_EQ(devices->GetDeviceString(2, 0x30001, 8), "/opt/ups/on-set");
    EXPECT_EQ(devices->GetDeviceString(2, 0x30001, 9), "/opt/ups/on-clear");
    EXPECT_EQ(EventColumn(*devices, 2, 1, 6), 2u);
    auto again = devices->FindRemoteDevice(&fresh, 2);
    ASSERT_TRUE(again);
    EXPECT_FALSE(again->HasPendingReactions());
    ASSERT_EQ(again->AddAlarm(1, "On Battery", 3), 1);
    EXPECT_EQ(host.timers.Count(), 3u);
    EXPECT_EQ(EventColumn(*devices, 1, 1, 7), 0u);
}

TEST_F(DeviceFileTest, IniSectionsApplyOnlyToEventTablesWithoutStoredRows)
{
    WriteIni("[RemoteEvent:On Battery]\nEnableShutdown=true\nShutdownDelay=45\nEnableExecuteCommand=true\n"
             "ExecuteCommandDelay=-3\nExecuteCommandOnSet=/opt/x\n\n[RemoteEvent:Low Battery]\nEnableShutdown=True\n"
             "ShutdownDelay=99999999999\n");
    FakeAgent& agent = MakeAgent("127.0.0.2", 1);
    Start();
    devices->Add(&agent, 1);
    EXPECT_EQ(EventColumn(*devices, 1, 1, 7), kShutdownFlags | kEventFlagCommand);
    EXPECT_EQ(EventColumn(*devices, 1, 1, 19), 45u);
    EXPECT_EQ(EventColumn(*devices, 1, 1, 18), 0u);
    EXPECT_EQ(devices->GetDeviceString(1, 0x30001, 8), "/opt/x");
    // "True" is not "true"; an out-of-range delay is not taken.
    EXPECT_EQ(EventColumn(*devices, 1, 2, 7), 0u);
    EXPECT_EQ(EventColumn(*devices, 1, 2, 19), kDefaultShutdownDelay);

    // A reaction edited over SNMP survives a restart with the INI file unchanged.
    ASSERT_TRUE(SetEventColumn(*devices, 1, 1, 7, kEventFlagCommand));
    FakeAgent fresh("127.0.0.2");
    Restart({&fresh});
    EXPECT_EQ(EventColumn(*devices, 1, 1, 7), kEventFlagCommand);

    // The sections written back: one per event name, whatever the number of devices.
    FakeAgent& second = MakeAgent("127.0.0.3", 1);
    devices->Add(&second, 2);
    std::ostringstream out;
    devices->WriteConfig(out);
    const std::string text = out.str();
    EXPECT_EQ(text,
              "[RemoteEvent:On Battery]\nEnableShutdown=false\nShutdownDelay=45\nEnableExecuteCommand=true\n"
              "ExecuteCommandDelay=0\nExecuteCommandOnSet=/opt/x\nExecuteCommandOnClear=\n"
              "[RemoteEvent:Low Battery]\nEnableShutdown=false\nShutdownDelay=15\nEnableExecuteCommand=false\n"
              "ExecuteCommandDelay=0\nExecuteCommandOnSet=\nExecuteCommandOnClear=\n");
}

TEST_F(DeviceFileTest, EventNamesThatWouldBreakTheIniFileAreNotWritten)
{
    FakeAgent& agent = MakeAgent("127.0.0.2", 1, false);
    agent.SetEventCount(1, 2);
    agent.AddEventName(1, 1, "Bad]\n[VG_Engine");
    agent.AddEventName(1, 2, "Fine");
    Start();
    devices->Add(&agent, 1);
    std::ostringstream out;
    devices->WriteConfig(out);
    EXPECT_EQ(out.str().find("VG_Engine"), std::string::npos);
    EXPECT_NE(out.str().find("[RemoteEvent:Fine]\n"), std::string::npos);
}

TEST_F(DeviceFileTest, AnEmptyFileIsSeededFromTheTemplate)
{
    // A template with one unclaimed row for a remote device of kind 0.
    {
        CDeviceAttachedTable table;
        table.ReadFileBlock("", kDeviceAttachedBlockKey);
        uint8_t row[kDeviceRowSize] = {};
        StoreWord(row, kDeviceRowSize);
        StoreWord(row + 4 * DeviceWord::kFlags, kDeviceFlagRemote);
        StoreWord(row + 4 * DeviceWord::kFamily, 0x050000);
        ASSERT_EQ(table.Add(row, 0xA1000005u), 0xA1000005u);
        CStringTable strings;
        strings.ReadFileBlock("", kStringTableBlockKey);
        CBinaryFile file;
        file.AddBlock(&table, kDeviceAttachedBlockKey);
        file.AddBlock(&strings, kStringTableBlockKey);
        ASSERT_TRUE(file.WriteSerializedFile(host.TemplatePath(), CDevices::kDeviceFileId, kEngineDataVersion));
    }
    FakeAgent& agent = MakeAgent("127.0.0.2", 2);
    Start();
    EXPECT_TRUE(fs::exists(host.DevicePath()));
    EXPECT_EQ(devices->GetCount(), 0);
    devices->Add(&agent, 1);
    // The first device claims the template row (and keeps its family code); the second gets a new one.
    auto first = devices->FindRemoteDevice(&agent, 1);
    auto second = devices->FindRemoteDevice(&agent, 2);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->GetRowKey(), 0xA1000005u);
    EXPECT_NE(second->GetRowKey(), 0xA1000005u);
    EXPECT_EQ(devices->GetDeviceString(first->GetDeviceIndex(), 0, 15), "Ferrolux");
    EXPECT_EQ(devices->GetAttachedTable().GetCount(), 2);
    CDeviceAttachedTable stored;
    ASSERT_TRUE(stored.ReadFileBlock(host.DevicePath(), kDeviceAttachedBlockKey));
    const uint8_t* claimed = stored.Find(0xA1000005u);
    ASSERT_TRUE(claimed);
    EXPECT_EQ(LoadWord(claimed + 4 * DeviceWord::kFlags) & kDeviceFlagTemplate, 0u);
}

TEST_F(DeviceFileTest, StoredEventRowsReadTheWordsTheirVersionHeld)
{
    CDeviceDataRemoteEvt table;
    ASSERT_TRUE(table.AddEventRow("On Battery", 7));
    uint8_t* row = table.Row(1);
    ASSERT_TRUE(row);
    for (int word = EventWord::kState; word < EventWord::kCount; ++word)
        CDeviceDataRemoteEvt::SetRowWord(row, word, 0x100u + static_cast<uint32_t>(word));
    CDeviceDataRemoteEvt::SetRowWord(row, EventWord::kState, 0x31u);
    CDeviceDataRemoteEvt::SetRowWord(row, EventWord::kFlags, FiredMark(kActionShutdown) | kShutdownFlags);
    std::string image;
    {
        CMemoryOutputStream stream(image);
        CDataArchive ar(&stream, CDataArchive::kStoring);
        table.Serialize(ar);
        ar.Close();
    }
    struct {
        uint32_t version;
        bool commands, index;
    } cases[] = {
        {MakeDataVersion(12, 4, 0x2F), false, false},
        {MakeDataVersion(12, 4, 0x30), true, false},
        {MakeDataVersion(12, 4, 0x38), true, true},
        {MakeDataVersion(13, 0, 0), true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        CDeviceDataRemoteEvt loaded;
        ASSERT_TRUE(loaded.LoadBlockImage(reinterpret_cast<const uint8_t*>(image.data()), image.size(), c.version));
        const uint8_t* r = loaded.Row(1);
        ASSERT_TRUE(r);
        EXPECT_EQ(CDeviceDataRemoteEvt::RowName(r), "On Battery");
        EXPECT_EQ(CDeviceDataRemoteEvt::Word(r, EventWord::kShutdownDelay), 0x116u);
        EXPECT_EQ(CDeviceDataRemoteEvt::Word(r, EventWord::kCommandDelay), c.commands ? 0x117u : 0u);
        EXPECT_EQ(CDeviceDataRemoteEvt::Word(r, EventWord::kCommandOnClear), c.commands ? 0x119u : 0u);
        EXPECT_EQ(CDeviceDataRemoteEvt::Word(r, EventWord::kEventIndex), c.index ? 0x11Au : 0u);
        // The runtime state of the last run is not carried over; the column-3 bits are.
        EXPECT_EQ(CDeviceDataRemoteEvt::Word(r, EventWord::kState), 0x30u);
        EXPECT_EQ(CDeviceDataRemoteEvt::Word(r, EventWord::kFlags), kShutdownFlags);
    }
}

TEST_F(DeviceFileTest, SavesWhileBusyWaitForTheEndOfTheStart)
{
    FakeAgent& agent = MakeAgent("127.0.0.2", 1);
    Start();
    devices->SetBusy(true);
    devices->Add(&agent, 1);
    EXPECT_FALSE(fs::exists(host.DevicePath()));
    devices->SetBusy(false);
    EXPECT_EQ(devices->Save(), 1);
    EXPECT_TRUE(fs::exists(host.DevicePath()));
    EXPECT_EQ(fs::status(host.DevicePath()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(DeviceFileTest, RowsOfAMissingAgentKeepTheirEventTables)
{
    FakeAgent& first = MakeAgent("127.0.0.2", 1);
    FakeAgent& second = MakeAgent("127.0.0.3", 1);
    Start();
    devices->Add(&first, 1);
    devices->Add(&second, 2);
    ASSERT_TRUE(SetEventColumn(*devices, 2, 1, 7, kEventFlagCommand));
    // The second agent is not known at the next start; a save then happens.
    Restart({&first});
    ASSERT_EQ(devices->GetCount(), 1);
    ASSERT_TRUE(SetEventColumn(*devices, 1, 1, 19, 33));
    FakeAgent back("127.0.0.3");
    Restart({&first, &back});
    ASSERT_EQ(devices->GetCount(), 2);
    auto device = devices->FindRemoteDevice(&back, 1);
    ASSERT_TRUE(device);
    EXPECT_EQ(EventColumn(*devices, device->GetDeviceIndex(), 1, 7), kEventFlagCommand);
    EXPECT_EQ(EventColumn(*devices, 1, 1, 19), 33u);
}

TEST_F(DeviceFileTest, BackupRestoreAndSafePoint)
{
    FakeAgent& agent = MakeAgent("127.0.0.2", 1);
    Start();
    EXPECT_EQ(devices->Backup(), 0); // no file yet
    EXPECT_EQ(devices->CreateSafePoint(), 0);
    EXPECT_TRUE(log.Has("Could not find " + host.DevicePath() + " - no safe point file created", kLogInfo));
    devices->Add(&agent, 1);
    EXPECT_EQ(devices->Backup(), 1);
    EXPECT_TRUE(fs::exists(host.GetFileName(VG_FILE_EXT_DEVICE, true)));
    EXPECT_EQ(devices->CreateSafePoint(), 1);
    EXPECT_TRUE(fs::exists(host.GetSafePointFileName(VG_FILE_EXT_DEVICE)));
    fs::remove(host.DevicePath());
    EXPECT_EQ(devices->Restore(), 1);
    EXPECT_TRUE(fs::exists(host.DevicePath()));
}

// What a device file must hold whenever it loads: two devices of the first agent with both event rows,
// and either no or one device of the second. While it loads, the host knows only agents that answer
// nothing; it gets its own list back after, so it never keeps pointers to this function's agents.
void ExpectLoadsRight(TestHost& host, const std::string& round)
{
    FakeAgent first("127.0.0.2");
    FakeAgent second("127.0.0.3");
    // Puts the host's own list back however this function ends, after the loaded devices are gone.
    struct RestoreAgents {
        TestHost& host;
        const std::vector<FakeAgent*> known;
        ~RestoreAgents() { host.remote.agents = known; }
    } restore{host, host.remote.agents};
    host.remote.agents = {&first, &second};
    host.facade.deviceRows = 0;
    CDevices loaded(host);
    ASSERT_EQ(loaded.Initialize(), 1) << round;
    ASSERT_TRUE(loaded.GetCount() == 2 || loaded.GetCount() == 3) << round << ": " << loaded.GetCount();
    for (int index = 1; index <= 2; ++index) {
        EXPECT_EQ(loaded.GetDeviceString(index, 0x30001, 4), "On Battery") << round;
        EXPECT_EQ(loaded.GetDeviceString(index, 0x30002, 4), "Low Battery") << round;
        EXPECT_EQ(EventColumn(loaded, index, 1, 19), 77u) << round;
    }
    EXPECT_EQ(first.requests + second.requests, 0) << round;
    loaded.Destroy();
}

TEST_F(DeviceFileTest, AKilledSaveNeverLeavesAFileThatLoadsWrong)
{
    FakeAgent& first = MakeAgent("127.0.0.2", 2);
    FakeAgent& second = MakeAgent("127.0.0.3", 1);
    Start();
    devices->Add(&first, 1);
    for (int index = 1; index <= 2; ++index)
        ASSERT_TRUE(SetEventColumn(*devices, index, 1, 19, 77));
    devices->Destroy();
    devices.reset();

    std::mt19937 random(4711);
    for (int round = 0; round < 25; ++round) {
        // The child finds both agents by address in the file it loads.
        ASSERT_EQ(host.remote.agents, (std::vector<FakeAgent*>{&first, &second}));
        host.facade.deviceRows = 0;
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // The second agent's device comes and goes, each change saved, until killed.
            CDevices list(host);
            list.Initialize();
            for (;;) {
                list.Add(&second, 2);
                list.RemoveAgentDevices(2);
            }
        }
        ::usleep(static_cast<useconds_t>(2000 + random() % 30000));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        // Only the kill sent here: a child that crashed or ended on its own fails the test.
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "round " << round << ": child wait status " << std::showbase << std::hex << status;
        ExpectLoadsRight(host, "round " + std::to_string(round));
        if (HasFailure())
            return;
    }
    host.remote.agents.clear();
}

} // namespace
