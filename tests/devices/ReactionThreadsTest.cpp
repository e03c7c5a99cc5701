// The reactions through the real server: its timer thread on an injected clock, the recording shutdown
// library of a test install, the consoles' traps captured, commands started for real. And the device
// list under alarms, reads, writes and deletions from several threads at once.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <thread>

#include "tests/support/LogCapture.h"
#include "tests/core/ServerTestSupport.h"
#include "tests/devices/DeviceTestSupport.h"

namespace {

using devtest::FakeAgent;

constexpr uint32_t kShutdownFlags = kEventFlagShutdown | kEventFlagCountdown;
constexpr int kWaitMs = 10000;

class ReactionThreads : public ::testing::Test {
protected:
    ScopedLogCapture log{kLogInfo};
    servertest::TestInstall install;
    servertest::CallLog calls;
    devtest::FakeClock clock;
    FakeAgent agentA{"127.0.0.2"};
    FakeAgent agentB{"127.0.0.3", 0xA8000002u};
    std::unique_ptr<CServerEx> server;
    CDevices* devices = nullptr;
    devtest::FakeRemoteManager* remote = nullptr;

    void SetUp() override
    {
        for (FakeAgent* agent : {&agentA, &agentB}) {
            agent->devices = {devtest::Device(1)};
            agent->SetEventCount(1, 1);
            agent->AddEventName(1, 1, "On Battery");
        }
        ServerOptions options = install.Options(calls);
        options.devices.reset();
        options.makeDevices = [](IDeviceHost& host) { return std::make_unique<CDevices>(host); };
        auto manager = std::make_unique<devtest::FakeRemoteManager>();
        manager->agents = {&agentA, &agentB};
        remote = manager.get();
        options.remoteAgents = std::move(manager);
        options.snmp = std::make_unique<devtest::RecordingFacade>();
        options.timerClock = clock.Clock();
        server = std::make_unique<CServerEx>(options);
        ASSERT_TRUE(server->Start(0, 2, 3665, "public"));
        ASSERT_TRUE(servertest::WaitUntil([&] { return server->IsStarted(); }));
        server->GetTimers()->SetCallbackPause(0);
        devices = dynamic_cast<CDevices*>(server->GetDevices());
        ASSERT_TRUE(devices);
        devices->Add(&agentA, 1);
        devices->Add(&agentB, 2);
        ASSERT_EQ(devices->GetCount(), 2);
    }
    void TearDown() override
    {
        if (server)
            server->Destroy();
    }

    // An executable script (in a folder with a "." in its name) that appends word to the output file.
    std::string Script(const std::string& name, const std::string& word)
    {
        std::filesystem::create_directories(install.Path("cmd.d"));
        const std::string path = install.Path("cmd.d/" + name);
        const std::string text = "#!/bin/sh\necho " + word + " >> '" + install.Path("out") + "'\n";
        vgplat::WriteFileAtomically(path, text.data(), text.size(), 0755);
        return path;
    }
    std::string Output()
    {
        std::string out;
        vgplat::ReadWholeFile(install.Path("out"), out, 1 << 16);
        return out;
    }
    std::vector<std::string> Countdown()
    {
        std::vector<std::string> out;
        const std::string prefix = "trap 1001 E.10.5.1.0=";
        for (const std::string& call : calls.Calls())
            if (call.rfind(prefix, 0) == 0)
                out.push_back(call.substr(prefix.size()));
        return out;
    }
    // Moves the injected clock and wakes the timer thread.
    void Advance(int seconds)
    {
        clock.Advance(seconds * 1000);
        server->GetTimers()->SignalThread();
    }
    // The messages of the lines that the default log level (error) keeps.
    std::vector<std::string> DefaultLevelLines()
    {
        std::vector<std::string> out;
        for (const CapturedLine& line : log.Lines())
            if (line.level <= kLogError)
                out.push_back(line.message);
        return out;
    }
    // Names the device at index (column 10 of the device table).
    void Name(int index, const std::string& name)
    {
        ASSERT_TRUE(devices->SetDeviceValue(index, 0, 10, kValueOctetString, name.data(), name.size()));
    }
    void Configure(int index, uint32_t flags, uint32_t shutdownDelay, uint32_t commandDelay = 0,
                   const std::string& onSet = "", const std::string& onClear = "")
    {
        ASSERT_TRUE(devtest::SetEventColumn(*devices, index, 1, 7, flags));
        ASSERT_TRUE(devtest::SetEventColumn(*devices, index, 1, 19, shutdownDelay));
        ASSERT_TRUE(devtest::SetEventColumn(*devices, index, 1, 18, commandDelay));
        if (!onSet.empty()) {
            ASSERT_TRUE(devtest::SetEventText(*devices, index, 1, 8, onSet));
        }
        if (!onClear.empty()) {
            ASSERT_TRUE(devtest::SetEventText(*devices, index, 1, 9, onClear));
        }
    }
};

TEST_F(ReactionThreads, CountdownCommandAndShutdownOnTheTimerThread)
{
    Configure(1, kShutdownFlags | kEventFlagCommand, 30, 5, Script("on-set", "set"));
    auto device = devices->FindRemoteDevice(&agentA, 1);
    ASSERT_EQ(device->AddAlarm(1, "On Battery", 3), 1);
    EXPECT_EQ(server->GetCountdownTime(), clock.wallSeconds->load() + 30);

    const std::vector<std::string> expected = {"25", "20", "15", "10", "5"};
    for (size_t k = 1; k <= expected.size(); ++k) {
        Advance(5);
        ASSERT_TRUE(servertest::WaitUntil([&] { return Countdown().size() == k; }, kWaitMs)) << k;
    }
    EXPECT_EQ(Countdown(), expected);
    ASSERT_TRUE(servertest::WaitUntil([&] { return Output() == "set\n"; }, kWaitMs)) << Output();
    EXPECT_EQ(install.ShutdownCalls(), "");

    Advance(5);
    ASSERT_TRUE(servertest::WaitUntil([&] { return install.ShutdownCalls() == "1 1\n2 0\n"; }, kWaitMs))
        << install.ShutdownCalls();
    // The shutdown holds off the reactions: the countdown stops, the timers drain.
    ASSERT_TRUE(servertest::WaitUntil([&] { return server->GetTimers()->Count() == 0; }, kWaitMs));
    Advance(60);
    EXPECT_EQ(Countdown(), expected);
    EXPECT_EQ(Output(), "set\n");
    EXPECT_EQ(install.ShutdownCalls(), "1 1\n2 0\n");
    EXPECT_EQ(server->GetCountdownTime(), 0);
}

TEST_F(ReactionThreads, AClearCancelsItsOwnRowAndLeavesTheOtherDeviceArmed)
{
    // Both rows count down (a shutdown brings its notices); B's shutdown is the earlier one. A's command
    // cannot start: that is logged and its shutdown still comes.
    Configure(1, kEventFlagShutdown | kEventFlagCommand, 30, 5, "/nonexistent/vg-missing-command");
    Configure(2, kShutdownFlags | kEventFlagCommand, 20, 5, Script("b-set", "set"), Script("b-clear", "clear"));
    auto a = devices->FindRemoteDevice(&agentA, 1);
    auto b = devices->FindRemoteDevice(&agentB, 1);
    ASSERT_EQ(a->AddAlarm(1, "On Battery", 3), 1);
    ASSERT_EQ(b->AddAlarm(1, "On Battery", 3), 1);
    Advance(5);
    ASSERT_TRUE(servertest::WaitUntil([&] { return Countdown().size() == 2 && Output() == "set\n"; }, kWaitMs))
        << Countdown().size() << " " << Output();
    Advance(5);
    ASSERT_TRUE(servertest::WaitUntil([&] { return Countdown().size() == 4; }, kWaitMs));
    EXPECT_TRUE(log.Has("Command Execution Error: [ENOENT] /nonexistent/vg-missing-command", kLogError));

    // B's final notice carries A's seconds left: a 0 would close the consoles' alert while A counts down.
    b->RemoveAlarm(1);
    EXPECT_EQ(Countdown(), (std::vector<std::string>{"15", "15", "10", "10", "20"}));
    ASSERT_TRUE(servertest::WaitUntil([&] { return Output() == "set\nclear\n"; }, kWaitMs)) << Output();
    // A's shutdown is still due at 30 s; B's at 20 s is gone.
    EXPECT_EQ(server->GetCountdownTime(), clock.wallSeconds->load() + 20);
    Advance(10);
    ASSERT_TRUE(servertest::WaitUntil([&] { return Countdown().size() == 6; }, kWaitMs));
    EXPECT_EQ(Countdown().back(), "10");
    EXPECT_EQ(install.ShutdownCalls(), "");
    Advance(10);
    ASSERT_TRUE(servertest::WaitUntil([&] { return install.ShutdownCalls() == "1 1\n2 0\n"; }, kWaitMs))
        << install.ShutdownCalls();
    EXPECT_EQ(Output(), "set\nclear\n");
}

// The callers of the event log pass a device's row key: the event names that device and its agent.
TEST_F(ReactionThreads, EventsNameTheDeviceAndItsAgent)
{
    Name(1, "UPS-A");
    Name(2, "UPS-B");
    const struct {
        FakeAgent* agent;
        int type;
        const char* message;
        std::string event;
    } cases[] = {
        {&agentA, 1, "On Battery", "event Vigilon Agent 1 100 UPS-A on 127.0.0.2: On Battery"},
        {&agentB, 2, "Device 1 Online", "event Vigilon Agent 2 100 UPS-B on 127.0.0.3: Device 1 Online"},
    };
    for (const auto& c : cases) {
        auto device = devices->FindRemoteDevice(c.agent, 1);
        ASSERT_TRUE(device);
        calls.Clear();
        const std::string address = c.agent->GetServerAddress();
        EXPECT_TRUE(server->LogEvent(device->GetRowKey(), c.type, 1, c.message, address.c_str(), 0, 0));
        EXPECT_EQ(calls.Calls(), std::vector<std::string>{c.event});
    }
}

// From alarm to shutdown, what the engine does to the host is in the log at its default level and in
// the system log: the command with its exit status, a shutdown the agent's answer called off, and each
// shutdown library call with its alarm, device and agent.
TEST_F(ReactionThreads, WhatTheEngineDidToTheHostIsToldAtTheDefaultLevel)
{
    Name(1, "UPS-A");
    Name(2, "UPS-B");
    const std::string command = install.Path("cmd.d/fails");
    std::filesystem::create_directories(install.Path("cmd.d"));
    const std::string text = "#!/bin/sh\nexit 3\n";
    vgplat::WriteFileAtomically(command, text.data(), text.size(), 0755);
    Configure(1, kEventFlagShutdown | kEventFlagCommand, 20, 5, command);
    Configure(2, kEventFlagShutdown, 10);
    log.Clear();
    ASSERT_EQ(devices->FindRemoteDevice(&agentA, 1)->AddAlarm(1, "On Battery", 3), 1);
    ASSERT_EQ(devices->FindRemoteDevice(&agentB, 1)->AddAlarm(1, "On Battery", 3), 1);

    auto hasLine = [&](const std::string& prefix) {
        for (const std::string& line : DefaultLevelLines())
            if (line.rfind(prefix, 0) == 0)
                return true;
        return false;
    };
    Advance(5);
    ASSERT_TRUE(servertest::WaitUntil([&] { return hasLine("Command ended: " + command); }, kWaitMs));
    remote->confirms = false; // the agent answers that B's alarm is gone
    Advance(5);
    ASSERT_TRUE(servertest::WaitUntil([&] { return hasLine("Shutdown cancelled"); }, kWaitMs));
    EXPECT_EQ(install.ShutdownCalls(), "");
    remote->confirms = true;
    Advance(10);
    ASSERT_TRUE(servertest::WaitUntil([&] { return install.ShutdownCalls() == "1 1\n2 0\n"; }, kWaitMs))
        << install.ShutdownCalls();

    std::vector<std::string> told = DefaultLevelLines();
    ASSERT_EQ(told.size(), 5u) << ::testing::PrintToString(told);
    EXPECT_EQ(told[0].rfind("Command started: " + command + " (pid ", 0), 0u) << told[0];
    const std::string pid = told[0].substr(told[0].find("(pid "));
    EXPECT_EQ(told[1], "Command ended: " + command + " " + pid.substr(0, pid.size() - 1) + "): exit status 3");
    char rowKey[9];
    std::snprintf(rowKey, sizeof rowKey, "%08X", devices->FindRemoteDevice(&agentB, 1)->GetRowKey());
    EXPECT_EQ(told[2].rfind("Shutdown cancelled: agent 127.0.0.3 no longer reports the alarm [On Battery] of UPS-B "
                            "(Device:" + std::string(rowKey) + " Item:",
                            0),
              0u)
        << told[2];
    EXPECT_EQ(told[3], "Host shutdown: StartShutdown(1, 1) (warn the users) for the alarm [On Battery] of UPS-A on 127.0.0.2");
    EXPECT_EQ(told[4], "Host shutdown: StartShutdown(2, 0) (power off) for the alarm [On Battery] of UPS-A on 127.0.0.2");

    std::vector<std::string> events;
    for (const std::string& call : calls.Calls())
        if (call.rfind("event ", 0) == 0 && call.find("Started") == std::string::npos)
            events.push_back(call);
    EXPECT_EQ(events, (std::vector<std::string>{
                          "event Vigilon Agent 4 100 " + told[0],
                          "event Vigilon Agent 4 100 " + told[1],
                          "event Vigilon Agent 4 100 UPS-B on 127.0.0.3: Shutdown cancelled: the agent no longer "
                          "reports the alarm [On Battery]",
                          "event Vigilon Agent 2 100 " + told[3],
                          "event Vigilon Agent 2 100 " + told[4],
                      }));
}

// Alarms from two threads, MIB reads and writes, a third agent coming and going, and saves, at once.
TEST(DeviceConcurrency, AlarmsReadsWritesAndDeletionsFromManyThreads)
{
    ScopedLogCapture log{kLogWarning};
    devtest::Sandbox sandbox;
    devtest::TestHost host(sandbox);
    host.timers.Initialize();
    FakeAgent agentA("127.0.0.2"), agentB("127.0.0.3");
    agentA.devices = {devtest::Device(1), devtest::Device(2)};
    agentB.devices = {devtest::Device(1)};
    for (FakeAgent* agent : {&agentA, &agentB})
        for (uint32_t n = 1; n <= 2; ++n) {
            agent->SetEventCount(n, 1);
            agent->AddEventName(n, 1, "On Battery");
        }
    host.remote.agents = {&agentA, &agentB};
    CDevices devices(host);
    ASSERT_EQ(devices.Initialize(), 1);
    devices.Add(&agentA, 1);
    for (int index = 1; index <= 2; ++index)
        ASSERT_TRUE(devtest::SetEventColumn(devices, index, 1, 7, kShutdownFlags | kEventFlagCommand));

    constexpr int kRounds = 40;
    auto alarms = [&](uint32_t number) {
        for (int i = 0; i < kRounds; ++i) {
            if (auto device = devices.FindRemoteDevice(&agentA, number)) {
                device->AddAlarm(1, "On Battery", 3);
                device->RemoveAlarm(1);
            }
        }
    };
    std::thread first(alarms, 1), second(alarms, 2);
    std::thread reader([&] {
        for (int i = 0; i < kRounds * 5; ++i) {
            devices.GetDeviceInt(1 + i % 3, 0, 25);
            devices.GetDeviceString(1 + i % 3, 0x30001, 4);
            EngineValue value;
            devices.GetValue(0x8301000Cu, 1, value, static_cast<uint32_t>(i % 7));
        }
    });
    std::thread writer([&] {
        for (int i = 0; i < kRounds; ++i)
            devtest::SetEventColumn(devices, 1 + i % 2, 1, 19, 30 + static_cast<uint32_t>(i));
    });
    std::thread comings([&] {
        for (int i = 0; i < kRounds / 4; ++i) {
            devices.Add(&agentB, 2);
            devices.RemoveAgentDevices(2);
        }
    });
    for (std::thread* t : {&first, &second, &reader, &writer, &comings})
        t->join();

    EXPECT_EQ(devices.GetCount(), 2);
    for (int index = 1; index <= 2; ++index) {
        EXPECT_EQ(devtest::EventColumn(devices, index, 1, 6), 2u);
        EXPECT_EQ(devices.GetDeviceInt(index, 0, 1), static_cast<uint32_t>(index));
    }
    EXPECT_FALSE(devices.AgentHasPendingReactions(&agentA));
    EXPECT_EQ(host.timers.Count(), 0u);
    devices.Destroy();
    host.timers.Destroy();
}

} // namespace
