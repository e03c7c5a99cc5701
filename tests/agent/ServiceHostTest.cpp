// The service host's state machine against a recording status sink, the sd_notify messages through a
// real notification socket, and the parameters file.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "engine/agent/ServiceHost.h"
#include "engine/agent/ServiceParameters.h"
#include "tests/support/LogCapture.h"
#include "tests/support/NotifySocket.h"
#include "tests/support/Wait.h"

namespace {

class RecordingSink : public ServiceStatusSink {
public:
    bool SendStatus(const ServiceStatus& status) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reports.push_back(status);
        m_changed.notify_all();
        return true;
    }
    std::vector<ServiceStatus> Reports()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reports;
    }
    std::vector<std::pair<int, int>> States()
    {
        std::vector<std::pair<int, int>> out;
        for (const auto& r : Reports())
            out.emplace_back(r.currentState, r.checkPoint);
        return out;
    }
    bool WaitForState(int state)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] {
            return !m_reports.empty() && m_reports.back().currentState == state;
        });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<ServiceStatus> m_reports;
};

// An engine stand-in: enters its loop, then runs until stopped; pausing only sets a flag.
struct FakeEngine {
    std::atomic<bool> run{true};
    std::atomic<bool> paused{false};
    std::atomic<int> roundsWhilePaused{0};
    int startResult = 0; // non-zero: the start fails with this code
    std::atomic<bool> holdStart{false};

    int Run(ServiceHost& host)
    {
        while (holdStart.load() && run.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (startResult != 0)
            return startResult;
        host.AgentRunning();
        while (run.load()) {
            if (paused.load())
                roundsWhilePaused++;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return 0;
    }
};

struct ServiceHostRun : ::testing::Test {
    RecordingSink sink;
    ServiceHost host{&sink};
    FakeEngine engine;
    std::thread service;
    int result = -100;
    std::vector<std::string> seenArgs;

    void SetUp() override
    {
        host.SetRunningAsService(true);
        host.SetStopCallback([this] { engine.run = false; });
        host.SetPauseCallback([this](bool pause) {
            engine.paused = pause;
            return true;
        });
    }
    void StartService()
    {
        service = std::thread([this] {
            result = host.ServiceMain({"vgnsa", "-p=4664"}, [this](int argc, char** argv) {
                for (int i = 0; i < argc; ++i)
                    seenArgs.emplace_back(argv[i]);
                return engine.Run(host);
            });
        });
    }
    void TearDown() override
    {
        engine.run = false;
        if (service.joinable())
            service.join();
    }
};

using State = std::pair<int, int>;

TEST_F(ServiceHostRun, PauseInterrogateContinueStop)
{
    StartService();
    ASSERT_TRUE(sink.WaitForState(kServiceRunning));
    host.ControlHandler(kControlPause, 0);
    EXPECT_TRUE(engine.paused.load());
    host.ControlHandler(kControlInterrogate, 0);
    host.ControlHandler(kControlPause, 0); // ignored: not running
    host.ControlHandler(kControlContinue, 0);
    EXPECT_FALSE(engine.paused.load());
    host.ControlHandler(kControlContinue, 0); // ignored: not paused
    host.ControlHandler(kControlStop, 0);
    service.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(seenArgs, (std::vector<std::string>{"vgnsa", "-p=4664"}));
    EXPECT_EQ(sink.States(), (std::vector<State>{{kServiceStartPending, 1},
                                                 {kServiceRunning, 0},
                                                 {kServicePausePending, 1},
                                                 {kServicePaused, 2},
                                                 {kServicePaused, 2}, // interrogate
                                                 {kServiceContinuePending, 3},
                                                 {kServiceRunning, 0},
                                                 {kServiceStopPending, 1},
                                                 {kServiceStopped, 0}}));
    auto reports = sink.Reports();
    EXPECT_EQ(reports.front().controlsAccepted, 0); // start pending takes no controls
    for (size_t i = 1; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].controlsAccepted, kControlsAccepted);
        EXPECT_EQ(reports[i].waitHint, kServiceWaitHintMs);
        EXPECT_EQ(reports[i].serviceType, 0x30);
    }
    EXPECT_EQ(reports.back().win32ExitCode, 0);
}

TEST_F(ServiceHostRun, StopWhilePausedEndsTheEngine)
{
    StartService();
    ASSERT_TRUE(sink.WaitForState(kServiceRunning));
    host.ControlHandler(kControlPause, 0);
    ASSERT_TRUE(sink.WaitForState(kServicePaused));
    // The loop goes on while paused.
    ASSERT_TRUE(vgtest::WaitUntil([&] { return engine.roundsWhilePaused.load() >= 2; }));
    host.ControlHandler(kControlStop, 0);
    service.join();
    EXPECT_EQ(sink.Reports().back().currentState, kServiceStopped);
    EXPECT_EQ(sink.Reports()[sink.Reports().size() - 2].currentState, kServiceStopPending);
}

TEST_F(ServiceHostRun, FailedStartIsReportedAsStoppedWithItsCode)
{
    engine.startResult = 1;
    StartService();
    service.join();
    EXPECT_EQ(result, 1);
    auto reports = sink.Reports();
    ASSERT_EQ(sink.States(), (std::vector<State>{{kServiceStartPending, 1}, {kServiceStopped, 0}}));
    EXPECT_EQ(reports.back().win32ExitCode, kServiceSpecificExitCode);
    EXPECT_EQ(reports.back().serviceSpecificExitCode, 1);
}

TEST_F(ServiceHostRun, StopDuringStartNeverReportsRunning)
{
    engine.holdStart = true;
    StartService();
    ASSERT_TRUE(sink.WaitForState(kServiceStartPending));
    host.ControlHandler(kControlPause, 0); // ignored while start pending
    host.ControlHandler(kControlStop, 0);
    service.join();
    EXPECT_EQ(sink.States(),
              (std::vector<State>{{kServiceStartPending, 1}, {kServiceStopPending, 2}, {kServiceStopped, 0}}));
    host.ControlHandler(kControlStop, 0); // after the end: nothing more is reported
    EXPECT_EQ(sink.Reports().size(), 3u);
}

TEST(ServiceHost, PowerEventsReachTheCallbackOncePerChange)
{
    RecordingSink sink;
    ServiceHost host(&sink);
    std::vector<bool> calls;
    host.SetPowerCallback([&](bool suspend) { calls.push_back(suspend); });
    const struct {
        int eventType;
        bool suspended;
    } steps[] = {
        {kPowerResumeSuspend, false},       // resume without suspend: ignored
        {kPowerSuspend, true},              // -> suspend
        {kPowerQuerySuspend, true},         // second suspend notice: ignored
        {kPowerResumeAutomatic, true},      // automatic resume only: stays suspended
        {1, true},                          // unknown type
        {kPowerResumeCritical, false},      // -> resume
        {kPowerQuerySuspend, true},         // -> suspend
        {kPowerQuerySuspendFailed, false},  // -> resume
    };
    for (const auto& s : steps) {
        EXPECT_EQ(host.ControlHandler(kControlPowerEvent, s.eventType), 0);
        EXPECT_EQ(host.IsSuspended(), s.suspended) << s.eventType;
    }
    EXPECT_EQ(calls, (std::vector<bool>{true, false, true, false}));
    EXPECT_TRUE(sink.Reports().empty());
}

TEST(ServiceHost, ReportsNothingWhenNotAService)
{
    RecordingSink sink;
    ServiceHost host(&sink);
    EXPECT_EQ(host.ReportServiceStatus(kServiceRunning, 0, kServiceWaitHintMs), 0);
    bool stopped = false;
    host.SetStopCallback([&] { stopped = true; });
    host.ControlHandler(kControlStop, 0); // the stop still reaches the engine
    host.ControlHandler(kControlInterrogate, 0);
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(sink.Reports().empty());
}

TEST(ServiceHost, NotifyMessages)
{
    ServiceStatus s;
    s.currentState = kServiceStartPending;
    s.checkPoint = 1;
    s.waitHint = 7000;
    EXPECT_EQ(FormatNotifyMessage(s), "STATUS=start pending (state 2, checkpoint 1)\nEXTEND_TIMEOUT_USEC=7000000");
    s.currentState = kServiceRunning;
    s.checkPoint = 0;
    EXPECT_EQ(FormatNotifyMessage(s), "STATUS=running (state 4, checkpoint 0)\nREADY=1");
    s.currentState = kServicePaused;
    s.checkPoint = 2;
    EXPECT_EQ(FormatNotifyMessage(s), "STATUS=paused (state 7, checkpoint 2)");
    s.currentState = kServiceStopped;
    s.checkPoint = 0;
    s.serviceSpecificExitCode = 1;
    EXPECT_EQ(FormatNotifyMessage(s), "STATUS=stopped (state 1, checkpoint 0)\nSTOPPING=1\nERRNO=1");
}

// The service manager's end of sd_notify, named in NOTIFY_SOCKET for the life of the object (an old
// value is put back at the end).
class ManagerSocket : public vgtest::NotifySocket {
public:
    ManagerSocket() : NotifySocket(::testing::TempDir() + "vg_notify_" + std::to_string(::getpid()))
    {
        const char* old = std::getenv("NOTIFY_SOCKET");
        m_hadOld = old != nullptr;
        m_saved = old ? old : "";
        ::setenv("NOTIFY_SOCKET", Path().c_str(), 1);
    }
    ~ManagerSocket()
    {
        if (m_hadOld)
            ::setenv("NOTIFY_SOCKET", m_saved.c_str(), 1);
        else
            ::unsetenv("NOTIFY_SOCKET");
    }

private:
    bool m_hadOld = false;
    std::string m_saved;
};

TEST(ServiceHost, NotifySinkWritesToTheManagersSocket)
{
    ManagerSocket manager;
    ASSERT_TRUE(manager.Bound());
    NotifyStatusSink sink;
    ServiceStatus s;
    s.currentState = kServiceStopPending;
    s.checkPoint = 3;
    s.waitHint = 7000;
    EXPECT_TRUE(sink.SendStatus(s));
    EXPECT_EQ(manager.Drain(), std::vector<std::string>{
                                   "STATUS=stop pending (state 3, checkpoint 3)\nSTOPPING=1\nEXTEND_TIMEOUT_USEC=7000000"});
}

// A part that did not start while the engine serves on: READY still comes (the agent answers), but
// every status from the problem on names it, and the system log has it as an error.
TEST(ServiceHost, StartProblemsLeadEveryLaterStatusAndReachTheSystemLog)
{
    ManagerSocket manager;
    ASSERT_TRUE(manager.Bound());
    NotifyStatusSink sink;
    vgtest::EventRecorder events;
    ServiceHost host(&sink, &events);
    host.SetRunningAsService(true);
    std::atomic<bool> run{true}, inLoop{false};
    host.SetStopCallback([&] { run = false; });
    const std::string server = "Server start failed: shutdown library 'vgdown' could not be loaded: gone";
    const std::string traps = "UPS traps are not received on port 5162: cannot listen on 0.0.0.0:5162: "
                              "Address already in use";
    std::thread service([&] {
        host.ServiceMain({"vgnsa"}, [&](int, char**) {
            host.ReportStartFailure("shutdown library 'vgdown' could not be loaded: gone"); // start pending
            host.AgentRunning();
            host.ReportStartProblem(traps); // running: told again at once
            inLoop = true;
            while (run.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            return 0;
        });
    });
    ASSERT_TRUE(vgtest::WaitUntil([&] { return inLoop.load(); }));
    host.ControlHandler(kControlStop, 0);
    service.join();

    const std::string both = server + "; " + traps;
    EXPECT_EQ(manager.Drain(),
              (std::vector<std::string>{
                  "STATUS=start pending (state 2, checkpoint 1)\nEXTEND_TIMEOUT_USEC=7000000",
                  "STATUS=" + server + "; running (state 4, checkpoint 0)\nREADY=1",
                  "STATUS=" + both + "; running (state 4, checkpoint 0)\nREADY=1",
                  "STATUS=" + both + "; stop pending (state 3, checkpoint 1)\nSTOPPING=1\nEXTEND_TIMEOUT_USEC=7000000",
                  "STATUS=" + both + "; stopped (state 1, checkpoint 0)\nSTOPPING=1",
              }));
    EXPECT_EQ(events.Events(), (std::vector<std::string>{"Vigilon Agent 1 100 " + server,
                                                         "Vigilon Agent 1 100 " + traps}));

    // Without a service manager the system log still has it.
    vgtest::EventRecorder console;
    ServiceHost plain(&sink, &console);
    EXPECT_FALSE(plain.ReportStartFailure("the timer thread could not be started"));
    EXPECT_EQ(console.Events(),
              std::vector<std::string>{"Vigilon Agent 1 100 Server start failed: the timer thread could not be started"});
    EXPECT_TRUE(manager.Drain().empty());
}

TEST(ServiceParameters, ParsesParamLines)
{
    const struct {
        std::string text;
        std::vector<std::string> values;
        size_t warnings;
    } cases[] = {
        {"", {}, 0},
        {"# only a comment\n\n", {}, 0},
        {"Param1=-p=4664\nParam2=-l=debug\n", {"-p=4664", "-l=debug"}, 0},
        {"  param2 = -l=debug \r\nPARAM1=-p=4664\r\n", {"-p=4664", "-l=debug"}, 0},
        {"Param1=-n\nParam3=-x\n", {"-n", ""}, 2},          // Param2 missing, Param3 unused
        {"Param1=a\nParam1=b\n", {"b"}, 1},                  // the last one wins
        {"Param0=a\nParam01=b\nParamX=c\nOther=d\nnoequals\n", {}, 5},
        {"Param1=" + std::string(128, 'y') + "\n", {""}, 1}, // too long
        {"Param1=" + std::string(127, 'y'), {std::string(127, 'y')}, 0},
        {"Param99999=a\n", {}, 1},
        {"Param1=\n", {""}, 0},
    };
    for (const auto& c : cases) {
        std::vector<std::string> warnings;
        EXPECT_EQ(ParseServiceParameters(c.text, warnings), c.values) << c.text;
        EXPECT_EQ(warnings.size(), c.warnings) << c.text;
    }
}

TEST(ServiceParameters, ArgumentsFromTheFileOrTheManager)
{
    std::string path = ::testing::TempDir() + "vg_params_" + std::to_string(::getpid());
    const std::vector<std::string> manager{"/opt/vigilon/bin/vgnsa", "-t=4000"};
    ::unlink(path.c_str());
    EXPECT_EQ(BuildServiceArguments(manager, path), manager); // no file
    {
        std::ofstream out(path);
        out << "# nothing\n";
    }
    EXPECT_EQ(BuildServiceArguments(manager, path), manager); // no values
    {
        std::ofstream out(path);
        out << "Param1=-p=4664\nParam2=-l=debug\n";
    }
    EXPECT_EQ(BuildServiceArguments(manager, path),
              (std::vector<std::string>{"/opt/vigilon/bin/vgnsa", "-p=4664", "-l=debug"}));
    {
        std::ofstream out(path);
        out << std::string(kMaxParametersFileSize + 1, '#');
    }
    EXPECT_EQ(BuildServiceArguments(manager, path), manager); // too large: refused
    ::unlink(path.c_str());

    ::setenv(kParametersFileVariable, "/tmp/elsewhere.parameters", 1);
    EXPECT_EQ(ServiceParametersPath("/opt/vigilon/"), "/tmp/elsewhere.parameters");
    ::unsetenv(kParametersFileVariable);
    EXPECT_EQ(ServiceParametersPath("/opt/vigilon/"), "/opt/vigilon/vgnsa.parameters");
}

} // namespace
