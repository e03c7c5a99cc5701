// The device list: adding and deleting devices (indexes, MIB rows, list-change notices), the lookups and
// the values by index and by engine key.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <new>
#include <thread>

#include "tests/support/LogCapture.h"
#include "tests/devices/DeviceTestSupport.h"
#include "tests/support/Wait.h"

using namespace devtest;

namespace {

class DevicesTest : public ::testing::Test {
protected:
    ScopedLogCapture log;
    Sandbox sandbox;
    TestHost host{sandbox};
    FakeAgent agentA{"127.0.0.2"};
    FakeAgent agentB{"127.0.0.3", 0xA8000002u};
    std::unique_ptr<CDevices> devices;

    void SetUp() override
    {
        host.remote.agents = {&agentA, &agentB};
        agentA.devices = {Device(1), Device(2)};
        agentB.devices = {Device(1, "UPS-3000"), Device(2, "UPS-3000")};
        devices = std::make_unique<CDevices>(host);
        ASSERT_EQ(devices->Initialize(), 1);
    }
    void TearDown() override
    {
        if (devices)
            devices->Destroy();
    }

    std::vector<uint32_t> ListTraps() { return host.consoles.Values("E.10.2.2"); }
    std::vector<int> Indexes()
    {
        std::vector<int> out;
        for (const auto& device : devices->GetDevices())
            out.push_back(device->GetDeviceIndex());
        return out;
    }
};

TEST_F(DevicesTest, DeletingKeepsIndexesDenseAndTakesTheLastMibRow)
{
    devices->Add(&agentA, 1);
    devices->Add(&agentB, 2);
    EXPECT_EQ(Indexes(), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(host.facade.deviceRows, 4);
    EXPECT_EQ(ListTraps(), (std::vector<uint32_t>{0, 0, 0, 0}));
    EXPECT_EQ(devices->GetDeviceString(3, 0, 9), "UPS-3000");

    auto second = devices->FindByIndex(2);
    ASSERT_TRUE(second);
    const uint32_t key = second->GetRowKey();
    EXPECT_TRUE(devices->Delete(second, true));
    EXPECT_EQ(Indexes(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(host.facade.deviceRows, 3);
    EXPECT_EQ(ListTraps().back(), 6u);
    char line[32];
    std::snprintf(line, sizeof line, "[%X] DELETED DEVICE", key);
    EXPECT_TRUE(log.Has(line, kLogDebug));
    // The former third device answers as index 2 now; the deleted one is gone from the file's table.
    EXPECT_EQ(devices->GetDeviceString(2, 0, 9), "UPS-3000");
    EXPECT_FALSE(devices->Delete(second, true));
    EXPECT_EQ(devices->GetAttachedTable().GetCount(), 3);

    // A device the MIB refused a row for renumbers nothing and removes no row.
    host.facade.refuseDevices = true;
    FakeAgent agentC("127.0.0.4");
    agentC.devices = {Device(1)};
    devices->Add(&agentC, 3);
    auto refused = devices->FindRemoteDevice(&agentC, 1);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->GetDeviceIndex(), -1);
    EXPECT_TRUE(devices->Delete(refused, true));
    EXPECT_EQ(Indexes(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(host.facade.deviceRows, 3);
}

TEST_F(DevicesTest, AddingTheSameDevicesAgainOnlyEnablesThem)
{
    devices->Add(&agentA, 1);
    devices->Add(&agentA, 1);
    EXPECT_EQ(devices->GetCount(), 2);
    EXPECT_EQ(ListTraps().size(), 2u);
    EXPECT_EQ(host.facade.deviceRows, 2);
}

TEST_F(DevicesTest, AnotherModelOnAPortReplacesTheDevice)
{
    devices->Add(&agentA, 1);
    auto old = devices->FindRemoteDevice(&agentA, 1);
    ASSERT_TRUE(old);
    agentA.devices[0].model = "UPS-5000";
    host.consoles.Clear();
    devices->Add(&agentA, 1);
    char line[48];
    std::snprintf(line, sizeof line, "[%X] DIFFERENT DEVICE FOUND ON PORT", old->GetRowKey());
    EXPECT_TRUE(log.Has(line, kLogInfo));
    EXPECT_EQ(ListTraps(), (std::vector<uint32_t>{6, 0}));
    EXPECT_EQ(devices->GetCount(), 2);
    auto replaced = devices->FindRemoteDevice(&agentA, 1);
    ASSERT_TRUE(replaced);
    EXPECT_NE(replaced, old);
    EXPECT_EQ(devices->GetDeviceString(replaced->GetDeviceIndex(), 0, 9), "UPS-5000");
    EXPECT_EQ(Indexes(), (std::vector<int>{1, 2}));
    // The old entry, still held here, can be used safely after the list dropped it.
    EXPECT_EQ(old->AddAlarm(9, "On Battery", 3), 1);
}

TEST_F(DevicesTest, HeldListTrapsAreNotSent)
{
    devices->SetListChangeTrapsHeld(true);
    devices->Add(&agentA, 1);
    devices->RemoveAgentDevices(1);
    EXPECT_TRUE(ListTraps().empty());
    EXPECT_EQ(devices->GetCount(), 0);
}

TEST_F(DevicesTest, TheAgentsColumnFourValueNeverMarksTheDeviceSuspended)
{
    agentA.devices[0].column4 = 0x71u; // carries the online, enabled and suspended bits
    agentA.devices[1].column4 = 0x2u;
    devices->Add(&agentA, 1);
    EXPECT_FALSE(devices->IsAnySuspended());
    EXPECT_EQ(devices->GetDeviceInt(1, 0, 4), 0x1u | kDeviceFlagRemote); // bits 0-3 of the flags
    EXPECT_EQ(devices->GetDeviceInt(1, 0, 2), 1u); // enabled and online
    EXPECT_EQ(devices->GetDeviceString(2, 0, 5), "USB");
    EXPECT_EQ(devices->GetDeviceString(1, 0, 5), "COM1");
}

TEST_F(DevicesTest, RemovingAnAgentMovesTheLaterAgentsDown)
{
    devices->Add(&agentA, 1);
    devices->Add(&agentB, 2);
    devices->RemoveAgentDevices(1);
    EXPECT_EQ(devices->GetCount(), 2);
    EXPECT_EQ(host.facade.deviceRows, 2);
    auto first = devices->FindRemoteDevice(&agentB, 1);
    auto second = devices->FindRemoteDevice(&agentB, 2);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->GetAgentPosition(), 1u);
    EXPECT_EQ(first->GetDeviceKey(), 0x10001u);
    EXPECT_EQ(second->GetDeviceKey(), 0x10002u);
    EXPECT_EQ(Indexes(), (std::vector<int>{1, 2}));
    std::string name;
    EXPECT_TRUE(devices->GetDeviceName(second->GetRowKey(), name)); // by the key the events carry
    EXPECT_EQ(name, "Device " + std::to_string(second->GetRowKey() & 0xFFFF) + "@127.0.0.3");
}

TEST_F(DevicesTest, AnAgentAddsAtMost255Devices)
{
    agentA.devices.clear();
    for (uint32_t n = 1; n <= 300; ++n)
        agentA.devices.push_back(Device(n));
    devices->Add(&agentA, 1);
    EXPECT_EQ(devices->GetCount(), static_cast<int>(CDevices::kMaxDevicesPerAgent));
    EXPECT_TRUE(devices->FindRemoteDevice(&agentA, 255));
    EXPECT_FALSE(devices->FindRemoteDevice(&agentA, 256));
}

// A worker's Add that runs out of memory while it holds the list's writer lock (here: the MIB row of a
// new device) gives the lock back as the throw leaves it, so the other threads go on using the list.
TEST_F(DevicesTest, RunningOutOfMemoryWhileAddingLeavesTheListUsable)
{
    host.facade.throwOnAddDevice = 1;
    std::thread worker([&] { EXPECT_THROW(devices->Add(&agentA, 1), std::bad_alloc); });
    worker.join();

    // The probe runs on a thread of its own: a list left locked would block it for good. It is then
    // left waiting, and the list with it (never freed under it).
    auto count = std::make_shared<std::atomic<int>>(-1);
    CDevices* list = devices.get();
    FakeAgent* other = &agentB;
    std::thread([list, other, count] {
        list->Add(other, 2);
        *count = list->GetCount();
    }).detach();
    if (!vgtest::WaitUntil([&] { return count->load() >= 0; }, 10000)) {
        ADD_FAILURE() << "the device list stayed locked after the throw";
        devices.release();
        return;
    }
    auto added = devices->FindRemoteDevice(&agentB, 2);
    ASSERT_TRUE(added);
    EXPECT_GT(added->GetDeviceIndex(), 0);
    EXPECT_EQ(devices->Save(), 1);
}

TEST_F(DevicesTest, ValuesByIndexAndByEngineKey)
{
    devices->Add(&agentA, 1);
    auto second = devices->FindRemoteDevice(&agentA, 2);
    ASSERT_TRUE(second);
    ASSERT_EQ(second->AddAlarm(77, "Overload", 4), 1);
    const uint32_t row = second->FindAlarm(77)->mibRow;

    // The alarm items are answered by whichever device holds the row, whatever index is passed.
    EngineValue value;
    ASSERT_EQ(devices->GetValue(0x8301000Cu, 1, value, row), 1);
    EXPECT_EQ(value.bytes, "Overload");
    ASSERT_EQ(devices->GetValue(0x8301000Eu, 1, value, row), 1);
    EXPECT_EQ(value.integer, 2u);
    EXPECT_EQ(devices->GetValue(0x8301000Cu, 1, value, row + 100), 0);

    EXPECT_EQ(devices->GetValue(0x8503000Au, 2, value, 0), 1);
    EXPECT_EQ(value.bytes, "UPS-1000");
    EXPECT_EQ(devices->GetValue(0x85090019u, 2, value, 0), 0);
    // Beyond the list: nothing, 0 and the empty text.
    EXPECT_EQ(devices->GetDeviceInt(9, 0, 1), 0u);
    EXPECT_EQ(devices->GetDeviceString(9, 0, 9), "");
    EXPECT_EQ(devices->GetDeviceInt(2, 0, 25), 4u);
    EXPECT_FALSE(devices->SetDeviceInt(9, 0, 10, 1));
}

} // namespace
