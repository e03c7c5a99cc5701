// The consoles' threads: keep-alive periods and drops, the trap fan-out (order, ports, spacing), and
// registrations racing each other and a fan-out.

#include <algorithm>
#include <atomic>
#include <stdexcept>

#include "tests/core/ConsolesTestSupport.h"

using namespace consoletest;

namespace {

const uint32_t kA = Ip(10, 0, 0, 5);
const uint32_t kB = Ip(10, 0, 0, 6);
const uint32_t kC = Ip(10, 0, 0, 7);

const std::vector<uint32_t> kValueOid = {1, 3, 6, 1, 4, 1, 64950, 10, 4, 1, 3, 0};
const std::vector<uint32_t> kDeviceList = {1, 3, 6, 1, 4, 1, 64950, 10, 2, 2};
const std::vector<uint32_t> kCountdownOid = {1, 3, 6, 1, 4, 1, 64950, 10, 5, 1, 0};

// The status column of device n.
std::vector<uint32_t> DeviceStatusOid(uint32_t n)
{
    return {1, 3, 6, 1, 4, 1, 64950, 10, 2, 2, 1, 25, n};
}

} // namespace

class ConsoleKeepAliveTest : public ConsolesTest {};

TEST_F(ConsoleKeepAliveTest, SilentConsoleIsDroppedAndContactRestartsIt)
{
    ScopedLogCapture log;
    ConsoleOptions options;
    options.keepAlivePeriodMs = 100;
    options.fanOutSpacingMs = 0;
    Make(options);
    auto entry = consoles->ActivateEntry(kA);
    ASSERT_TRUE(entry);

    // Contact every 30 ms keeps it through several periods.
    const auto until = Clock::now() + std::chrono::milliseconds(450);
    auto silentFrom = Clock::now();
    while (Clock::now() < until) {
        GetInt(0x8502000A, kA);
        // The silence is measured from the last contact, not from the end of the loop.
        silentFrom = Clock::now();
        ASSERT_TRUE(entry->IsActive());
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }

    // Silent: dropped at the first period end that finds it untouched (between one and two periods).
    ASSERT_TRUE(WaitUntil([&] { return !entry->IsActive(); }, 2000));
    const auto silentFor = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - silentFrom).count();
    EXPECT_GE(silentFor, 90);
    EXPECT_LE(silentFor, 800) << "a loaded machine may wake the thread late, but within a few periods";
    // The line follows the flag change on the entry's thread.
    EXPECT_TRUE(WaitUntil([&] { return log.Has("[A7000001] Console Deactivated at 10.0.0.5", kLogDebug); }, 2000));
    EXPECT_TRUE(WaitUntil([&] { return !entry->IsRunning(); }, 2000));
    consoles->SendNotification(kValueOid, 1001, EngineValue::Integer(1));
    EXPECT_TRUE(host->sender.Sends().empty());

    // The next read restarts the thread; the console gets traps again and the row stays the same.
    log.Clear();
    EXPECT_EQ(GetInt(0x8502000A, kA), 50u);
    EXPECT_TRUE(entry->IsActive());
    EXPECT_TRUE(log.Has("[A7000001] Started console thread for 10.0.0.5", kLogDebug));
    EXPECT_TRUE(log.Has("[A7000001] Console Activated at 10.0.0.5", kLogDebug));
    consoles->SendNotification(kValueOid, 1001, EngineValue::Integer(1));
    EXPECT_EQ(host->sender.Sends().size(), 1u);
    EXPECT_EQ(consoles->GetCount(), 1);
}

TEST_F(ConsoleKeepAliveTest, ContactAsTheThreadEndsStartsANewOne)
{
    ConsoleOptions options;
    options.keepAlivePeriodMs = 20;
    Make(options);
    auto entry = consoles->ActivateEntry(kA);
    for (int cycle = 0; cycle < 10; ++cycle) {
        SCOPED_TRACE(cycle);
        // Contact the moment the drop is seen, while the old thread may still be on its way out: a
        // thread must run afterwards, and it must drop the console again.
        const auto until = Clock::now() + std::chrono::seconds(2);
        while (entry->IsActive() && Clock::now() < until) {
        }
        ASSERT_FALSE(entry->IsActive());
        ASSERT_TRUE(entry->Activate());
    }
    ASSERT_TRUE(WaitUntil([&] { return !entry->IsActive(); }, 2000));
}

TEST_F(ConsoleKeepAliveTest, CommandsWakeTheThreadWithoutDroppingTheConsole)
{
    ScopedLogCapture log;
    ConsoleOptions options;
    options.keepAlivePeriodMs = 60000; // no period ends during the test: every new pass is a wake-up
    Make(options);
    auto entry = consoles->ActivateEntry(kA);
    auto passes = [&] {
        int n = 0;
        for (const auto& line : log.Lines())
            n += line.message.find("; waiting 60000 milliseconds") != std::string::npos;
        return n;
    };
    ASSERT_TRUE(WaitUntil([&] { return passes() == 1; }, 5000));
    // Command 3 wakes it only for the value 1.
    SetInt(0x85020015, kA, 2);
    for (uint32_t key : {0x85020007u, 0x85020008u, 0x85020016u, 0x85020015u}) {
        SCOPED_TRACE(key);
        const int before = passes();
        SetInt(key, kA, 1);
        // The command is a contact too: the woken pass finds the console touched and keeps it.
        EXPECT_TRUE(WaitUntil([&] { return passes() == before + 1; }, 5000)) << "the command did not wake the thread";
        EXPECT_TRUE(entry->IsActive());
    }
    EXPECT_EQ(passes(), 5) << "command 3 with another value woke the thread";
}

TEST_F(ConsoleKeepAliveTest, DestroyAllStopsEveryThread)
{
    ScopedLogCapture log;
    ConsoleOptions options;
    options.keepAlivePeriodMs = 60000; // the engine's period: the stop must not wait for it
    Make(options);
    auto a = consoles->ActivateEntry(kA);
    auto b = consoles->ActivateEntry(kB);
    ASSERT_TRUE(WaitUntil([&] { return a->IsRunning() && b->IsRunning(); }, 2000));
    const auto from = Clock::now();
    consoles->DestroyAll();
    EXPECT_LT(Clock::now() - from, std::chrono::milliseconds(2000));
    EXPECT_FALSE(a->IsRunning());
    EXPECT_FALSE(b->IsRunning());
    EXPECT_EQ(consoles->GetCount(), 0);
    EXPECT_TRUE(log.Has("[A7000001] Stopped console thread: 10.0.0.5\n", kLogDebug));
    // After the stop nothing registers and traps reach nobody.
    EXPECT_EQ(consoles->ActivateEntry(kC), nullptr);
    consoles->SendNotification(kValueOid, 1001, EngineValue::Integer(1));
    EXPECT_TRUE(host->sender.Sends().empty());
}

class ConsoleFanOutTest : public ConsolesTest {};

TEST_F(ConsoleFanOutTest, ActiveConsolesInRegistrationOrderEachAtItsPort)
{
    Make();
    SetInt(0x85020011, kC, 17003);
    SetInt(0x85020011, kA, 17001);
    SetInt(0x85020011, kB, 17002);
    consoles->Find(kA)->Deactivate(false);

    consoles->SendValueNotification(kValueOid, 1001, EngineValue::Integer(5));
    auto sent = host->sender.Sends();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].peername, "10.0.0.7");
    EXPECT_EQ(sent[0].port, 17003);
    EXPECT_EQ(sent[1].peername, "10.0.0.6");
    EXPECT_EQ(sent[1].port, 17002);
    const std::vector<uint32_t> trapOid = {1, 3, 6, 1, 4, 1, 64950, 15, 0, 1001, 0};
    for (const auto& s : sent) {
        EXPECT_EQ(s.trapOid, trapOid);
        EXPECT_EQ(s.community, "public");
        EXPECT_EQ(s.agent, "enginehost");
        EXPECT_EQ(s.version, 0);
        EXPECT_EQ(s.type, 6);
        EXPECT_EQ(s.specific, 1001);
        ASSERT_EQ(s.varbinds.size(), 1u);
        EXPECT_EQ(s.varbinds[0].oid, kValueOid);
        EXPECT_EQ(s.varbinds[0].syntax, kTrapSyntaxInteger);
        EXPECT_EQ(s.varbinds[0].integer, 5);
    }
    EXPECT_GE(sent[1].at - sent[0].at, std::chrono::milliseconds(50));
}

TEST_F(ConsoleFanOutTest, SendsAreFiftyMillisecondsApart)
{
    Make();
    for (int i = 1; i <= 4; ++i)
        consoles->ActivateEntry(Ip(10, 0, 2, i));
    const auto from = Clock::now();
    consoles->SendNotification({1, 3, 6, 1, 4, 1, 64950, 10, 2, 2}, 1002, EngineValue::Integer(6));
    const auto took = Clock::now() - from;
    auto sent = host->sender.Sends();
    ASSERT_EQ(sent.size(), 4u);
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].peername, "10.0.2." + std::to_string(i + 1));
        EXPECT_EQ(sent[i].trapOid[9], 1002u);
        if (i > 0) {
            EXPECT_GE(sent[i].at - sent[i - 1].at, std::chrono::milliseconds(50)) << i;
        }
    }
    // Synchronous on the caller's thread: 50 ms per active console.
    EXPECT_GE(took, std::chrono::milliseconds(200));
}

// The sends to one console, in the order they were made.
std::vector<RecordingTrapSender::Sent> SendsTo(RecordingTrapSender& sender, const std::string& peer)
{
    std::vector<RecordingTrapSender::Sent> out;
    for (const auto& s : sender.Sends())
        if (s.peername == peer)
            out.push_back(s);
    return out;
}

TEST_F(ConsoleFanOutTest, HandedOverNoticesKeepTheirOrderAndSpacingPerConsole)
{
    ConsoleOptions options;
    options.deferFanOut = [] { return true; };
    Make(options);
    for (int i = 1; i <= 3; ++i)
        consoles->ActivateEntry(Ip(10, 0, 3, i));
    const auto from = Clock::now();
    consoles->SendNotification({1, 3, 6, 1, 4, 1, 64950, 10, 2, 2}, 1002, EngineValue::Integer(0));
    for (uint32_t v = 1; v <= 3; ++v)
        consoles->SendValueNotification(DeviceStatusOid(v), 1001, EngineValue::Integer(v));
    EXPECT_LT(Clock::now() - from, std::chrono::milliseconds(120)) << "the sender must not wait (inline: 600 ms)";

    ASSERT_TRUE(WaitUntil([&] { return host->sender.Sends().size() == 12; }, 5000));
    std::vector<std::vector<RecordingTrapSender::Sent>> per;
    for (int i = 1; i <= 3; ++i) {
        per.push_back(SendsTo(host->sender, "10.0.3." + std::to_string(i)));
        const auto& to = per.back();
        ASSERT_EQ(to.size(), 4u) << i;
        EXPECT_EQ(to[0].specific, 1002) << "each console gets the notices in the order they were made";
        for (size_t k = 1; k < to.size(); ++k) {
            EXPECT_EQ(to[k].varbinds[0].integer, static_cast<int32_t>(k)) << i;
            EXPECT_GE(to[k].at - to[k - 1].at, std::chrono::milliseconds(50)) << i << " " << k;
        }
    }
    // Each notice walks the consoles in registration order, 50 ms from one to the next.
    for (size_t k = 0; k < 4; ++k)
        for (size_t i = 1; i < 3; ++i)
            EXPECT_GE(per[i][k].at - per[i - 1][k].at, std::chrono::milliseconds(50)) << k << " " << i;
    // The walks overlap: the first console has its second notice before the last console its first
    // (one walk after the other would send the second notice 150 ms after the first walk began).
    EXPECT_LT(per[0][1].at, per[2][0].at);
    EXPECT_EQ(consoles->GetDeferredCount(), 0u);

    // A stop while notices wait drops them and ends the thread.
    consoles->SendNotification({1, 3, 6, 1, 4, 1, 64950, 10, 2, 2}, 1002, EngineValue::Integer(6));
    consoles->SendNotification({1, 3, 6, 1, 4, 1, 64950, 10, 2, 2}, 1002, EngineValue::Integer(6));
    consoles->DestroyAll();
    EXPECT_EQ(consoles->GetDeferredCount(), 0u);
    EXPECT_LE(host->sender.Sends().size(), 18u);
}

// A console still busy with a notice of its own holds up the walk of the next one: the consoles after
// it get that notice only after it, in registration order.
TEST_F(ConsoleFanOutTest, AWalkKeepsRegistrationOrderBehindABusyConsole)
{
    ConsoleOptions options;
    options.deferFanOut = [] { return true; };
    Make(options);
    auto a = consoles->ActivateEntry(kA);
    consoles->ActivateEntry(kB);
    TrapVarbind own;
    own.oid = kValueOid;
    consoles->SendTrap(CConsoles::TrapOid(1001), 1001, {own}, a);
    consoles->SendNotification({1, 3, 6, 1, 4, 1, 64950, 10, 2, 2}, 1002, EngineValue::Integer(0));
    ASSERT_TRUE(WaitUntil([&] { return host->sender.Sends().size() == 3; }, 3000));
    const auto toA = SendsTo(host->sender, "10.0.0.5"), toB = SendsTo(host->sender, "10.0.0.6");
    ASSERT_EQ(toA.size(), 2u);
    ASSERT_EQ(toB.size(), 1u);
    EXPECT_EQ(toA[1].specific, 1002);
    EXPECT_GE(toB[0].at - toA[1].at, std::chrono::milliseconds(50));
}

TEST(ConsoleNotices, WhichNoticeALaterOneMakesObsolete)
{
    const std::vector<uint32_t> list = {1, 3, 6, 1, 4, 1, 64950, 10, 2, 2};
    const std::vector<uint32_t> trapList = {1, 3, 6, 1, 4, 1, 64950, 14, 2, 2};
    const std::vector<uint32_t> status = {1, 3, 6, 1, 4, 1, 64950, 10, 2, 2, 1, 25, 1};
    auto notice = [](uint32_t specific, const std::vector<uint32_t>& oid, int32_t value) {
        TrapData t;
        t.trapOid = CConsoles::TrapOid(specific);
        t.specific = static_cast<int>(specific);
        TrapVarbind vb;
        vb.oid = oid;
        vb.integer = value;
        t.varbinds.push_back(vb);
        return t;
    };
    struct Case {
        const char* what;
        TrapData queued, later;
        bool obsolete;
    } cases[] = {
        {"a value notice of the same object", notice(1001, status, 3), notice(1001, status, 0), true},
        {"a value notice of another object", notice(1001, status, 3), notice(1001, kValueOid, 3), false},
        {"the same list changed again", notice(1002, list, 6), notice(1002, list, 0), true},
        {"another list changed", notice(1002, list, 6), notice(1002, trapList, 6), false},
        {"the same discovery progress again", notice(1007, status, 3), notice(1007, status, 3), true},
        {"other discovery progress", notice(1007, status, 3), notice(1007, status, 4), false},
        {"another trap with the same varbind", notice(1002, status, 3), notice(1001, status, 3), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SupersedesNotice(c.queued, c.later), c.obsolete) << c.what;
    TrapData two = notice(1001, status, 3);
    two.varbinds.push_back(two.varbinds[0]);
    EXPECT_FALSE(SupersedesNotice(notice(1001, status, 3), two)) << "another number of varbinds";
}

namespace {

// A sender whose sends wait while it is held.
class HeldSender : public RecordingTrapSender {
public:
    int SendTrap(TrapData& trap) override
    {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            ++m_waiting;
            m_changed.notify_all();
            m_changed.wait(lock, [&] { return !m_hold; });
        }
        return RecordingTrapSender::SendTrap(trap);
    }
    void Release()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hold = false;
        m_changed.notify_all();
    }
    bool WaitForASend()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(5), [&] { return m_waiting > 0; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_hold = true;
    int m_waiting = 0;
};

class HeldSenderHost : public FakeConsoleHost {
public:
    using FakeConsoleHost::FakeConsoleHost;
    ITrapSender* GetTrapSender() override { return &held; }
    HeldSender held;
};

} // namespace

// A console whose notices back up holds at most one of each object, from the first repeat on: a burst
// of status changes and list changes leaves one of each, and a countdown handed over meanwhile keeps
// its early place with its latest value, ahead of the list change.
TEST_F(ConsoleFanOutTest, ANewerNoticeReplacesTheWaitingOneOfItsObjectAtOnce)
{
    consoles.reset();
    auto* heldHost = new HeldSenderHost(m_dir);
    host.reset(heldHost);
    ConsoleOptions options;
    options.deferFanOut = [] { return true; };
    Make(options);
    consoles->ActivateEntry(kA);
    consoles->ActivateEntry(kB);
    // The first notice is taken out and its send held; the rest waits behind it.
    consoles->SendValueNotification(kValueOid, 1001, EngineValue::Integer(0));
    ASSERT_TRUE(heldHost->held.WaitForASend());
    consoles->SendValueNotification(DeviceStatusOid(1), 1001, EngineValue::Integer(1));
    consoles->SendNotification(kDeviceList, 1002, EngineValue::Integer(0));
    consoles->SendValueNotification(kCountdownOid, 1001, EngineValue::Integer(295));
    for (uint32_t i = 0; i < 300; ++i) {
        consoles->SendValueNotification(DeviceStatusOid(1), 1001, EngineValue::Integer(i % 2));
        consoles->SendNotification(kDeviceList, 1002, EngineValue::Integer(i % 2 ? 6 : 0));
    }
    consoles->SendValueNotification(kCountdownOid, 1001, EngineValue::Integer(249));
    // Per console: the held one's walk (B), then status, countdown and list.
    EXPECT_EQ(consoles->GetDeferredCount(), 7u);

    heldHost->held.Release();
    ASSERT_TRUE(WaitUntil([&] { return consoles->GetDeferredCount() == 0 && heldHost->held.Sends().size() == 8; },
                          10000));
    for (const char* peer : {"10.0.0.5", "10.0.0.6"}) {
        SCOPED_TRACE(peer);
        const auto to = SendsTo(heldHost->held, peer);
        ASSERT_EQ(to.size(), 4u);
        EXPECT_EQ(to[0].varbinds[0].oid, kValueOid);
        EXPECT_EQ(to[1].varbinds[0].oid, DeviceStatusOid(1));
        EXPECT_EQ(to[1].varbinds[0].integer, 1) << "the latest status";
        EXPECT_EQ(to[2].varbinds[0].oid, kCountdownOid);
        EXPECT_EQ(to[2].varbinds[0].integer, 249) << "the latest countdown, not a stale one";
        EXPECT_EQ(to[3].specific, 1002) << "a list read again comes after what was made before it";
        EXPECT_EQ(to[3].varbinds[0].integer, 6);
        for (size_t k = 1; k < to.size(); ++k)
            EXPECT_GE(to[k].at - to[k - 1].at, std::chrono::milliseconds(50)) << k;
    }
}

// A full outbox: a notice that replaces nothing is dropped for that console and logged; one that
// replaces a waiting one still gets in.
TEST_F(ConsoleFanOutTest, AFullBacklogDropsOnlyWhatReplacesNothing)
{
    ScopedLogCapture log;
    consoles.reset();
    auto* heldHost = new HeldSenderHost(m_dir);
    host.reset(heldHost);
    ConsoleOptions options;
    options.fanOutSpacingMs = 0;
    options.deferFanOut = [] { return true; };
    Make(options);
    consoles->ActivateEntry(kA);
    consoles->SendValueNotification(DeviceStatusOid(0), 1001, EngineValue::Integer(0));
    ASSERT_TRUE(heldHost->held.WaitForASend());
    const size_t cap = CConsoles::kMaxNoticeBacklog;
    for (uint32_t n = 1; n <= cap; ++n)
        consoles->SendValueNotification(DeviceStatusOid(n), 1001, EngineValue::Integer(1));
    EXPECT_EQ(consoles->GetDeferredCount(), cap);
    consoles->SendNotification(kDeviceList, 1002, EngineValue::Integer(6));  // dropped
    consoles->SendValueNotification(DeviceStatusOid(cap), 1001, EngineValue::Integer(2));
    EXPECT_EQ(consoles->GetDeferredCount(), cap);
    EXPECT_EQ(log.Count("[CConsoles::SendTrap]: " + std::to_string(cap) +
                            " notices waiting for 10.0.0.5; trap 1002 dropped (1 so far)",
                        kLogWarning),
              1);

    heldHost->held.Release();
    ASSERT_TRUE(WaitUntil([&] { return heldHost->held.Sends().size() == cap + 1; }, 10000));
    const auto sent = heldHost->held.Sends();
    EXPECT_EQ(sent.back().varbinds[0].oid, DeviceStatusOid(cap));
    EXPECT_EQ(sent.back().varbinds[0].integer, 2);
    for (const auto& s : sent)
        EXPECT_EQ(s.specific, 1001);
}

TEST_F(ConsoleFanOutTest, VarbindSyntaxesAndOneConsole)
{
    ConsoleOptions options;
    options.fanOutSpacingMs = 0;
    Make(options);
    auto a = consoles->ActivateEntry(kA);
    consoles->ActivateEntry(kB);
    host->community = std::string(300, 'c');

    consoles->SendValueNotification({1, 3, 6, 1, 4, 1, 64950, 10, 1, 6, 1, 0}, 1001, EngineValue::Text("mail.example"));
    auto sent = host->sender.Sends();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].varbinds[0].syntax, kTrapSyntaxOctetString);
    EXPECT_EQ(sent[0].varbinds[0].octets, "mail.example");
    EXPECT_EQ(sent[0].community.size(), 255u);

    host->sender.Clear();
    TrapVarbind status;
    status.oid = {1, 3, 6, 1, 4, 1, 64950, 10, 1, 11, 6, 0};
    status.integer = 4;
    consoles->SendTrap(CConsoles::TrapOid(1007), 1007, {status, status, status, status, status, status}, a);
    sent = host->sender.Sends();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].peername, "10.0.0.5");
    EXPECT_EQ(sent[0].varbinds.size(), 6u);
    a->Deactivate(false);
    host->sender.Clear();
    consoles->SendTrap(CConsoles::TrapOid(1007), 1007, {status}, a);
    EXPECT_TRUE(host->sender.Sends().empty());
}

class ConsoleConcurrencyTest : public ConsolesTest {};

TEST_F(ConsoleConcurrencyTest, OneAddressRegistersOnceUnderConcurrentContact)
{
    Make();
    std::vector<std::thread> threads;
    std::atomic<bool> go{false};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            while (!go.load()) {
            }
            for (int i = 0; i < 20; ++i) {
                EngineValue value;
                consoles->GetValue(0x8502000A, kA, value);
                consoles->Activate(kB);
            }
        });
    go = true;
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(consoles->GetCount(), 2);
    std::vector<uint8_t> block = StoredBlock();
    ASSERT_GE(block.size(), 20u);
    EXPECT_EQ(LoadWord(block.data() + 16), 2u);
}

TEST_F(ConsoleConcurrencyTest, RegistrationsDuringAFanOut)
{
    ConsoleOptions options;
    options.fanOutSpacingMs = 1;
    Make(options);
    consoles->ActivateEntry(kA);
    std::atomic<bool> done{false};
    std::thread notifier([&] {
        while (!done.load())
            consoles->SendNotification(kValueOid, 1001, EngineValue::Integer(1));
    });
    std::thread settings([&] {
        for (int i = 0; i < 40; ++i)
            SetInt(0x85020011, kA, static_cast<uint32_t>(17000 + i));
    });
    for (int i = 1; i <= 30; ++i)
        consoles->ActivateEntry(Ip(10, 0, 3, i));
    settings.join();
    done = true;
    notifier.join();
    EXPECT_EQ(consoles->GetCount(), 31);
    // Every trap went to a registered console at its port of the moment.
    for (const auto& s : host->sender.Sends())
        EXPECT_EQ(s.peername.rfind("10.0.", 0), 0u) << s.peername;
    // The file matches the registry after the storm.
    consoles.reset();
    Make();
    EXPECT_EQ(consoles->GetCount(), 31);
    EXPECT_EQ(consoles->GetEntries()[0]->GetTrapPort(), 17039);
}

// Hand-overs from several threads right after a console registers: one fan-out thread starts, no
// error is logged, and every notice goes out.
TEST_F(ConsoleConcurrencyTest, HandOversAtOnceStartOneFanOutThreadWithoutAFalseError)
{
    ScopedLogCapture log;
    ConsoleOptions options;
    options.fanOutSpacingMs = 0;
    options.deferFanOut = [] { return true; };
    for (int round = 0; round < 20; ++round) {
        consoles.reset();
        host->sender.Clear();
        Make(options);
        consoles->ActivateEntry(kA);
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (uint32_t t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                while (!go.load()) {
                }
                for (uint32_t i = 0; i < 5; ++i)
                    consoles->SendValueNotification(DeviceStatusOid(10 * t + i), 1001, EngineValue::Integer(i));
            });
        go = true;
        for (auto& thread : threads)
            thread.join();
        ASSERT_TRUE(WaitUntil([&] { return host->sender.Sends().size() == 20; }, 5000)) << round;
    }
    consoles.reset();
    EXPECT_FALSE(log.Has("[CConsoles::SendTrap]: the fan-out thread could not be started"));
    int started = 0;
    for (const auto& line : log.Lines())
        started += line.message.rfind("Entering CConsoles fan-out thread", 0) == 0;
    EXPECT_EQ(started, 20) << "one thread per registry";
}

namespace {

// A sender that throws something that is not a std::exception for one destination.
class ThrowingSender : public RecordingTrapSender {
public:
    explicit ThrowingSender(std::string failing) : m_failing(std::move(failing)) {}
    int SendTrap(TrapData& trap) override
    {
        if (trap.peername == m_failing)
            throw 42;
        return RecordingTrapSender::SendTrap(trap);
    }

private:
    std::string m_failing;
};

class ThrowingSenderHost : public FakeConsoleHost {
public:
    ThrowingSenderHost(const std::string& dir, const std::string& failing) : FakeConsoleHost(dir), throwing(failing) {}
    ITrapSender* GetTrapSender() override { return &throwing; }
    ThrowingSender throwing;
};

} // namespace

// A send that throws anything at all costs that console its trap only: the others still get theirs,
// on the caller's thread and on the fan-out thread alike, and a later fan-out still goes out.
TEST_F(ConsoleFanOutTest, ASendThatThrowsAnythingSkipsOnlyThatConsole)
{
    for (bool deferred : {false, true}) {
        SCOPED_TRACE(deferred ? "fan-out thread" : "caller's thread");
        ScopedLogCapture log;
        consoles.reset();
        auto* throwingHost = new ThrowingSenderHost(m_dir, "10.0.0.5");
        host.reset(throwingHost);
        ConsoleOptions options;
        options.fanOutSpacingMs = 0;
        if (deferred)
            options.deferFanOut = [] { return true; };
        Make(options);
        consoles->ActivateEntry(kA);
        consoles->ActivateEntry(kB);
        for (uint32_t round = 1; round <= 2; ++round)
            consoles->SendNotification(DeviceStatusOid(round), 1001, EngineValue::Integer(round));
        ASSERT_TRUE(WaitUntil([&] { return throwingHost->throwing.Sends().size() == 2; }, 5000));
        for (const auto& sent : throwingHost->throwing.Sends())
            EXPECT_EQ(sent.peername, "10.0.0.6");
        EXPECT_EQ(log.Count("[CConsoles::SendTrap]: trap to 10.0.0.5 failed", kLogError), 2);
    }
}

namespace {

// A host whose trap sender cannot be had once, on the first ask from a thread other than the test's:
// the failure comes from outside the send's own guard.
class FailingOnceHost : public FakeConsoleHost {
public:
    explicit FailingOnceHost(const std::string& dir) : FakeConsoleHost(dir) {}
    ITrapSender* GetTrapSender() override
    {
        if (std::this_thread::get_id() != m_testThread && !m_failed.exchange(true))
            throw std::runtime_error("no sender");
        return FakeConsoleHost::GetTrapSender();
    }

private:
    const std::thread::id m_testThread = std::this_thread::get_id();
    std::atomic<bool> m_failed{false};
};

} // namespace

// A notice that fails on the fan-out thread costs that console that notice only: its walk goes on to
// the next console, and later notices reach both.
TEST_F(ConsoleFanOutTest, AFailedNoticeOnTheFanOutThreadHoldsUpNoWalk)
{
    ScopedLogCapture log;
    consoles.reset();
    host.reset(new FailingOnceHost(m_dir));
    ConsoleOptions options;
    options.fanOutSpacingMs = 0;
    options.deferFanOut = [] { return true; };
    Make(options);
    consoles->ActivateEntry(kA);
    consoles->ActivateEntry(kB);
    for (uint32_t round = 1; round <= 2; ++round)
        consoles->SendNotification(DeviceStatusOid(round), 1001, EngineValue::Integer(round));
    ASSERT_TRUE(WaitUntil([&] { return host->sender.Sends().size() == 3; }, 5000)) << host->sender.Sends().size();
    std::vector<std::pair<std::string, int32_t>> sent;
    for (const auto& s : host->sender.Sends())
        sent.emplace_back(s.peername, s.varbinds.at(0).integer);
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(sent, (std::vector<std::pair<std::string, int32_t>>{{"10.0.0.5", 2}, {"10.0.0.6", 1}, {"10.0.0.6", 2}}));
    EXPECT_TRUE(log.Has("[CConsoles::FanOutThread]: a notice to 10.0.0.5 failed: no sender", kLogError));
}
