#include "engine/core/runtime/SystemQueue.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/LogCapture.h"

namespace {

using Clock = std::chrono::steady_clock;

// Records every call of the queue's work with its time.
class RecordingHost : public ISystemQueueHost {
public:
    struct Call {
        std::string what;
        Clock::time_point at;
    };

    void OnStarted() override { Add("started"); }
    void WriteConfigFile() override { Add("ini"); }
    void SaveDataFiles(uint32_t flags) override { Add("save " + std::to_string(flags)); }
    std::unique_ptr<INetScan> CreateNetScan() override
    {
        Add("create scan");
        if (!scanAvailable)
            return nullptr;
        struct Scan : INetScan {
            RecordingHost* host;
            explicit Scan(RecordingHost* h) : host(h) {}
            void Start() override { host->Add("scan"); }
            ~Scan() override { host->Add("scan deleted"); }
        };
        return std::make_unique<Scan>(this);
    }
    void RecordDiscoveryErrors(const std::string& text) override { Add("error: " + text); }
    void SuspendRemoteThreads() override { Add("suspend"); }
    void ResumeRemoteThreads() override { Add("resume"); }
    void ClearDiscoveryRequested() override { Add("clear flag"); }
    void AdjustRemoteThreads() override { Add("adjust"); }

    void Add(const std::string& what)
    {
        std::lock_guard<std::mutex> lock(m_guard);
        m_calls.push_back({what, Clock::now()});
        m_changed.notify_all();
    }
    bool WaitFor(size_t count, int ms = 5000)
    {
        std::unique_lock<std::mutex> lock(m_guard);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_calls.size() >= count; });
    }
    std::vector<Call> Calls()
    {
        std::lock_guard<std::mutex> lock(m_guard);
        return m_calls;
    }
    std::vector<std::string> Names()
    {
        std::vector<std::string> names;
        for (const auto& c : Calls())
            names.push_back(c.what);
        return names;
    }

    bool scanAvailable = true;

private:
    std::mutex m_guard;
    std::condition_variable m_changed;
    std::vector<Call> m_calls;
};

TEST(SystemQueue, RunsInOrderOnePerWakeUpWithTheShortReWait)
{
    ScopedLogCapture log;
    RecordingHost host;
    CSystemQueue queue(&host);
    EXPECT_EQ(queue.Post(10), 1);
    EXPECT_EQ(queue.Post(11, 6), 1);
    EXPECT_EQ(queue.Post(1), 1);
    queue.StartThread();
    ASSERT_TRUE(host.WaitFor(3));
    auto calls = host.Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(host.Names(), (std::vector<std::string>{"ini", "save 6", "started"}));
    for (size_t i = 1; i < calls.size(); ++i) {
        auto gap = calls[i].at - calls[i - 1].at;
        EXPECT_GE(gap, std::chrono::milliseconds(180)) << i; // one request per wake-up
        EXPECT_LE(gap, std::chrono::milliseconds(1000)) << i;
    }
    // A new request wakes the idle thread at once.
    auto posted = Clock::now();
    queue.Post(10);
    ASSERT_TRUE(host.WaitFor(4));
    EXPECT_LE(host.Calls()[3].at - posted, std::chrono::milliseconds(150));

    auto stopping = Clock::now();
    queue.Destroy();
    EXPECT_LE(Clock::now() - stopping, std::chrono::milliseconds(1000));
    EXPECT_TRUE(log.Has("CSystemQueue::Add( type = 11, flags = 00000006", kLogDebug));
    EXPECT_TRUE(log.Has("CSystemQueue::OnQueueThread( type = 1, flags = 00000000", kLogDebug));
}

TEST(SystemQueue, EachTypeRunsItsWork)
{
    struct Case {
        uint32_t type;
        bool scanAvailable;
        std::vector<std::string> calls;
    } cases[] = {
        {1, true, {"started"}},
        {2, true, {}},
        {4, true, {}},
        {5, true, {"adjust"}},
        {10, true, {"ini"}},
        {3, true, {"create scan", "suspend", "scan", "clear flag", "scan deleted", "resume", "adjust"}},
        {3, false,
         {"create scan", "error: Could not create the network scan object.  Aborting discovery", "clear flag"}},
    };
    for (const auto& c : cases) {
        ScopedLogCapture log;
        RecordingHost host;
        host.scanAvailable = c.scanAvailable;
        CSystemQueue queue(&host);
        queue.Post(c.type);
        queue.OnQueueThread();
        EXPECT_EQ(host.Names(), c.calls) << "type " << c.type;
        EXPECT_EQ(queue.Count(), 0u);
        if (c.type == 2) {
            // Only its two lines: queued and taken.
            int lines = 0;
            for (const auto& line : log.Lines())
                lines += line.message.find("type = 2") != std::string::npos;
            EXPECT_EQ(lines, 2);
        }
    }
}

TEST(SystemQueue, RequestsLeftAtStopAreFreedUnrunAndNullIsRefused)
{
    ScopedLogCapture log;
    RecordingHost host;
    {
        CSystemQueue queue(&host);
        EXPECT_EQ(queue.Add(nullptr), 0);
        EXPECT_TRUE(log.Has("CSystemQueue::Add( ) passed null pointer", kLogError));
        EXPECT_EQ(queue.Count(), 0u);
        queue.Post(10);
        queue.Post(1);
        EXPECT_EQ(queue.Count(), 2u);
        EXPECT_EQ(queue.Destroy(), 1);
        EXPECT_EQ(queue.Count(), 0u);
        queue.OnQueueThread();
    }
    EXPECT_TRUE(host.Calls().empty());
}

} // namespace
