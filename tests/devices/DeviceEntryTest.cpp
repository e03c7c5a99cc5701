// Device entries: alarms and the event rows they drive, names and texts written over SNMP, the event
// columns, the event list read from an agent, the family names.

#include <gtest/gtest.h>

#include "tests/support/LogCapture.h"
#include "tests/devices/DeviceTestSupport.h"

using namespace devtest;

namespace {

class DeviceEntryTest : public ::testing::Test {
protected:
    ScopedLogCapture log;
    Sandbox sandbox;
    TestHost host{sandbox};
    FakeAgent agent{"127.0.0.2"};
    std::unique_ptr<CDevices> devices;
    std::shared_ptr<CDeviceEntryRemote> device;

    void SetUp() override
    {
        host.remote.agents = {&agent};
        agent.devices = {Device(1)};
        agent.SetEventCount(1, 3);
        agent.AddEventName(1, 1, "On Battery");
        agent.AddEventName(1, 2, "Offline");
        agent.AddEventName(1, 3, "Overload");
        devices = std::make_unique<CDevices>(host);
        ASSERT_EQ(devices->Initialize(), 1);
        devices->Add(&agent, 1);
        device = devices->FindRemoteDevice(&agent, 1);
        ASSERT_TRUE(device);
    }
    void TearDown() override { devices->Destroy(); }

    uint32_t Active(int row) { return EventColumn(*devices, 1, row, 6); }
};

TEST_F(DeviceEntryTest, AlarmsSetTheirRowsAndTheWorstValue)
{
    EXPECT_EQ(device->GetEventCount(), 3);
    EXPECT_EQ(devices->GetDeviceInt(1, 0, 25), 0u);
    EXPECT_EQ(device->AddAlarm(kAlarmOffline, kAlarmOfflineText, kAlarmOfflineValue), 1);
    EXPECT_EQ(device->AddAlarm(kAlarmOffline, kAlarmOfflineText, kAlarmOfflineValue), 0);
    EXPECT_EQ(device->GetAlarms().size(), 1u);
    EXPECT_EQ(device->AddAlarm(kAlarmConfiguration, kAlarmConfigurationText, kAlarmConfigurationValue), 1);
    EXPECT_EQ(devices->GetDeviceInt(1, 0, 25), 5u);
    EXPECT_EQ(Active(2), 1u);
    EXPECT_EQ(Active(1), 2u);
    EXPECT_EQ(host.consoles.Values("E.10.2.2.1.25.1").back(), 5u);
    EXPECT_EQ(device->FindAlarm(kAlarmOffline)->timeRaised, 4242u);

    // Keep the configuration alarm: only the value-7 alarm stays.
    device->RemoveAllAlarms(true, false);
    auto left = device->GetAlarms();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].value, kAlarmConfigurationValue);
    EXPECT_EQ(Active(2), 2u);
    EXPECT_EQ(devices->GetDeviceInt(1, 0, 25), 7u);
    device->RemoveAlarm(kAlarmConfiguration);
    EXPECT_EQ(devices->GetDeviceInt(1, 0, 25), 0u);
    EXPECT_EQ(host.facade.removedAlarms.size(), 2u);
    device->RemoveAlarm(12345); // absent: nothing
}

TEST_F(DeviceEntryTest, AnAlarmChangeIsAnnouncedOnce)
{
    // The alarm list and the event row of the alarm's name both change: the consoles get one notice.
    host.consoles.Clear();
    ASSERT_EQ(device->AddAlarm(kAlarmOffline, kAlarmOfflineText, kAlarmOfflineValue), 1);
    EXPECT_EQ(host.consoles.Values("E.10.2.2.1.25.1"), (std::vector<uint32_t>{kAlarmOfflineValue}));
    device->RemoveAlarm(kAlarmOffline);
    EXPECT_EQ(host.consoles.Values("E.10.2.2.1.25.1"), (std::vector<uint32_t>{kAlarmOfflineValue, 0}));
}

TEST_F(DeviceEntryTest, ARowStaysActiveWhileAnotherAlarmOfItsNameStands)
{
    ASSERT_EQ(device->AddAlarm(100, "On Battery", 3), 1);
    ASSERT_EQ(device->AddAlarm(101, "On Battery", 3), 1);
    device->RemoveAlarm(100);
    EXPECT_EQ(Active(1), 1u);
    device->RemoveAlarm(101);
    EXPECT_EQ(Active(1), 2u);
}

TEST_F(DeviceEntryTest, LongDescriptionsAreCutLikeTheRowNames)
{
    const std::string name(70, 'x');
    agent.AddEventName(1, 4, name);
    agent.SetEventCount(1, 4);
    agent.devices = {Device(1, "UPS-2000")}; // a new device reads the list again
    devices->Add(&agent, 1);
    device = devices->FindRemoteDevice(&agent, 1);
    ASSERT_EQ(device->GetEventCount(), 4);
    EXPECT_EQ(devices->GetDeviceString(1, 0x30004, 4), name.substr(0, 63));
    ASSERT_EQ(device->AddAlarm(5, name, 3), 1);
    EXPECT_EQ(device->FindAlarm(5)->description.size(), 63u);
    EXPECT_EQ(Active(4), 1u);
}

TEST_F(DeviceEntryTest, NameWritesGetTheAgentSuffixOnce)
{
    struct {
        std::string written, stored;
    } cases[] = {
        {"Device 7", "Device 7@127.0.0.2"},
        {"Device 7@127.0.0.2", "Device 7@127.0.0.2"},
        {"Probe", "Probe@127.0.0.2"},
        {"Kitchen UPS", "Kitchen UPS"},
        {std::string(300, 'n'), std::string(127, 'n')},
        {std::string("Hall\0junk", 9), "Hall"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.written.substr(0, 20));
        host.consoles.Clear();
        ASSERT_TRUE(devices->SetDeviceValue(1, 0, 10, kValueOctetString, c.written.data(), c.written.size()));
        EXPECT_EQ(devices->GetDeviceString(1, 0, 10), c.stored);
        auto notices = host.consoles.Notices();
        if (c.written == "Device 7@127.0.0.2") {
            EXPECT_TRUE(notices.empty()); // equal to the stored name: no notice
            continue;
        }
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_EQ(notices[0].oid, "E.10.2.2.1.10.1");
        EXPECT_EQ(notices[0].value.bytes, c.stored);
    }
    EXPECT_FALSE(devices->SetDeviceInt(1, 0, 10, 5));
}

TEST_F(DeviceEntryTest, EventColumnWrites)
{
    // Flags: bits 0-15 only, shutdown brings the countdown, the notice carries the whole word.
    ASSERT_TRUE(SetEventColumn(*devices, 1, 1, 7, 0xABCD0008u));
    EXPECT_EQ(EventColumn(*devices, 1, 1, 7), 0x108u);
    auto flags = host.consoles.Values("E.10.2.3.2.1.7.1.1");
    ASSERT_EQ(flags.size(), 1u);
    EXPECT_EQ(flags[0], 0x108u);
    // Delays in range only.
    EXPECT_TRUE(SetEventColumn(*devices, 1, 1, 19, 120));
    EXPECT_EQ(EventColumn(*devices, 1, 1, 19), 120u);
    EXPECT_FALSE(SetEventColumn(*devices, 1, 1, 19, 0xFFFFFFF0u));
    EXPECT_FALSE(SetEventColumn(*devices, 1, 1, 18, kMaxReactionDelay + 1));
    EXPECT_EQ(EventColumn(*devices, 1, 1, 19), 120u);
    EXPECT_EQ(host.consoles.Values("E.10.2.3.2.1.19.1.1"), (std::vector<uint32_t>{120}));
    // Commands that the INI file could not hold are refused where they enter.
    EXPECT_TRUE(SetEventText(*devices, 1, 1, 8, "/opt/ups/on-battery.sh"));
    EXPECT_EQ(devices->GetDeviceString(1, 0x30001, 8), "/opt/ups/on-battery.sh");
    for (const std::string& bad : {std::string("a\nEnableShutdown=true"), std::string("b\rc"), std::string("x\0y", 3)})
        EXPECT_FALSE(SetEventText(*devices, 1, 1, 9, bad));
    EXPECT_EQ(devices->GetDeviceString(1, 0x30001, 9), "");
    // Rows outside the table read 0; their writes are refused.
    EXPECT_EQ(EventColumn(*devices, 1, 9, 19), 0u);
    EXPECT_FALSE(SetEventColumn(*devices, 1, 9, 19, 10));
    EXPECT_EQ(devices->GetDeviceString(1, 0x30002, 4), "Offline");
    EXPECT_EQ(EventColumn(*devices, 1, 2, 19), kDefaultShutdownDelay);
}

TEST_F(DeviceEntryTest, EventListOfAnOlderAgentEndsAfterTenMisses)
{
    struct {
        uint32_t third;
        int rows;
    } cases[] = {{13, 3}, {14, 2}};
    uint32_t number = 2;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.third);
        agent.SetEventCount(number, 3);
        agent.AddEventName(number, 1, "One");
        agent.AddEventName(number, 2, "Two");
        agent.AddEventName(number, c.third, "Three");
        agent.devices = {Device(number)};
        devices->Add(&agent, 1);
        auto entry = devices->FindRemoteDevice(&agent, number);
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->GetEventCount(), c.rows);
        ++number;
    }
}

TEST_F(DeviceEntryTest, EventListWalkOfTheNewestAgents)
{
    FakeAgent newer("127.0.0.5");
    newer.generation = 4;
    newer.devices = {Device(3)};
    RemoteValue name;
    for (uint32_t e : {2u, 5u}) {
        newer.answers[E({1, 3, 4, 1, 1, 1, 3, e})] = RemoteValue{};
        name.text = "Event " + std::to_string(e);
        newer.answers[E({1, 3, 4, 1, 1, 3, 3, e})] = name;
    }
    newer.answers[E({1, 3, 4, 1, 1, 1, 4, 1})] = RemoteValue{}; // another device's row ends the walk
    devices->Add(&newer, 2);
    auto entry = devices->FindRemoteDevice(&newer, 3);
    ASSERT_TRUE(entry);
    ASSERT_EQ(entry->GetEventCount(), 2);
    const int index = entry->GetDeviceIndex();
    EXPECT_EQ(devices->GetDeviceString(index, 0x30002, 4), "Event 5");
    EXPECT_EQ(devices->GetDeviceString(index, 0x30001, 4), "Event 2");
}

TEST_F(DeviceEntryTest, StatusChangesAreAnnounced)
{
    host.consoles.Clear();
    device->Deactivate();
    EXPECT_EQ(devices->GetDeviceInt(1, 0, 2), 3u);
    device->Deactivate(); // already: nothing
    device->EnableDevice();
    device->Suspend();
    EXPECT_EQ(devices->GetDeviceInt(1, 0, 2), 2u);
    EXPECT_TRUE(devices->IsAnySuspended());
    device->EnableDevice(); // enabled already: stays suspended
    device->Deactivate();
    device->EnableDevice();
    EXPECT_EQ(devices->GetDeviceInt(1, 0, 2), 1u);
    EXPECT_EQ(host.consoles.Values("E.10.2.2.1.2.1"), (std::vector<uint32_t>{3, 1, 2, 2, 1}));
}

TEST(DeviceTypeName, FamilyCodes)
{
    EXPECT_EQ(CDeviceEntryRemote::TypeName(0x050000), "Ferrolux");
    EXPECT_EQ(CDeviceEntryRemote::TypeName(0x0C0000), "Norvia");
    EXPECT_EQ(CDeviceEntryRemote::TypeName(0x000012), "0012");
    EXPECT_EQ(CDeviceEntryRemote::TypeName(0x0D0000), "");
    EXPECT_EQ(CDeviceEntryRemote::TypeName(0), "");
}

} // namespace
