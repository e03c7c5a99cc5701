// The consoles' threads: keep-alive periods and drops, the trap fan-out (order, ports, spacing), and
// registrations racing each other and a fan-out.

#include <atomic>

#include "tests/core/ConsolesTestSupport.h"

using namespace consoletest;

namespace {

const uint32_t kA = Ip(10, 0, 0, 5);
const uint32_t kB = Ip(10, 0, 0, 6);
const uint32_t kC = Ip(10, 0, 0, 7);

const std::vector<uint32_t> kValueOid = {1, 3, 6, 1, 4, 1, 64950, 10, 4, 1, 3, 0};

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

TEST_F(ConsoleFanOutTest, ASenderThatMustNotWaitHandsItsFanOutsOverInOrder)
{
    ConsoleOptions options;
    options.deferFanOut = [] { return true; };
    Make(options);
    for (int i = 1; i <= 3; ++i)
        consoles->ActivateEntry(Ip(10, 0, 3, i));
    const auto from = Clock::now();
    consoles->SendNotification({1, 3, 6, 1, 4, 1, 64950, 10, 2, 2}, 1002, EngineValue::Integer(0));
    consoles->SendValueNotification(kValueOid, 1001, EngineValue::Integer(9));
    EXPECT_LT(Clock::now() - from, std::chrono::milliseconds(120)) << "the sender must not wait (inline: 300 ms)";

    ASSERT_TRUE(WaitUntil([&] { return host->sender.Sends().size() == 6; }, 3000));
    auto sent = host->sender.Sends();
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].peername, "10.0.3." + std::to_string(i % 3 + 1));
        EXPECT_EQ(sent[i].specific, i < 3 ? 1002 : 1001) << "fan-outs keep their order";
        if (i > 0) {
            EXPECT_GE(sent[i].at - sent[i - 1].at, std::chrono::milliseconds(50)) << i;
        }
    }
    EXPECT_EQ(consoles->GetDeferredCount(), 0u);

    // A stop while fan-outs wait drops them and ends the thread.
    consoles->SendNotification({1, 3, 6, 1, 4, 1, 64950, 10, 2, 2}, 1002, EngineValue::Integer(6));
    consoles->SendNotification({1, 3, 6, 1, 4, 1, 64950, 10, 2, 2}, 1002, EngineValue::Integer(6));
    consoles->DestroyAll();
    EXPECT_EQ(consoles->GetDeferredCount(), 0u);
    EXPECT_LE(host->sender.Sends().size(), 12u);
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
        for (int round = 1; round <= 2; ++round)
            consoles->SendNotification(kValueOid, 1001, EngineValue::Integer(static_cast<uint32_t>(round)));
        ASSERT_TRUE(WaitUntil([&] { return throwingHost->throwing.Sends().size() == 2; }, 5000));
        for (const auto& sent : throwingHost->throwing.Sends())
            EXPECT_EQ(sent.peername, "10.0.0.6");
        EXPECT_EQ(log.Count("[CConsoles::SendTrap]: trap to 10.0.0.5 failed", kLogError), 2);
    }
}
