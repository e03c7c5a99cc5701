// The main road end to end: the real engine in a temporary install tree watches a simulated UPS agent;
// a console is played by a trap receiver that keeps itself registered; the event "On Battery" of the
// agent's device is set to run a command on set and on clear and to shut down after a short delay with
// countdown notices; the recording shutdown library stands in for the real one.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "tests/support/TrapSender.h"
#include "tests/support/Wait.h"
#include "SimAgentProcess.h"
#include "tests/e2e/EngineProcess.h"

using namespace e2e;

namespace {

using vgtest::WaitUntil;

bool Contains(const std::string& text, const std::string& what)
{
    return text.find(what) != std::string::npos;
}

const std::string kCountdownOid = E("10.5.1.0");
// The event row of "On Battery" (event 1) of the engine's device 1.
std::string EventCell(int column)
{
    return E("10.2.3.2.1." + std::to_string(column) + ".1.1");
}

// A console at its own loopback address: registered once and then kept registered by a read of the
// console-activation variable every 3 s, as the real console does every 10 s.
class Console {
public:
    Console(EngineInstall& engine, const char* address) : m_engine(engine), m_address(address), m_receiver(address) {}
    ~Console() { StopKeeping(); }
    bool Register()
    {
        if (m_engine.Get(E("10.1.1.0"), "wendolmar", m_address) != "INTEGER: 1")
            return false;
        if (!m_engine.Set(E("11.3.2.2.0"), "i", std::to_string(m_receiver.Port()), "wendolmar", m_address).empty())
            return false;
        StopKeeping();
        m_keep = true;
        m_keeper = std::thread([this] {
            for (int tick = 0; m_keep.load(); ++tick) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                if (tick % 30 == 29)
                    m_engine.Get(E("10.1.1.0"), "wendolmar", m_address);
            }
        });
        return true;
    }
    void StopKeeping()
    {
        m_keep = false;
        if (m_keeper.joinable())
            m_keeper.join();
    }
    // The seconds of every countdown notice so far, with their arrival times.
    std::vector<std::pair<int64_t, std::chrono::steady_clock::time_point>> Countdowns()
    {
        std::vector<std::pair<int64_t, std::chrono::steady_clock::time_point>> out;
        for (const auto& t : m_receiver.Traps())
            for (const auto& vb : t.varbinds)
                if (t.specific == 1001 && vb.oid == kCountdownOid)
                    out.emplace_back(vb.integer, t.received);
        return out;
    }
    void Clear() { m_receiver.Clear(); }

private:
    EngineInstall& m_engine;
    std::string m_address;
    traptest::TrapReceiver m_receiver;
    std::atomic<bool> m_keep{false};
    std::thread m_keeper;
};

class RemoteTrapsE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        vgtest::SimAgentOptions options;
        options.address = "127.0.0.31";
        options.mac = "02:00:00:00:00:31";
        options.community = "upsring";
        ASSERT_TRUE(m_agent.Start(options));
        m_remoteTrapPort = vgtest::FreePort(SOCK_DGRAM);
        std::ofstream(m_engine.Path("vgconfig.ini"))
            << "[VG_Engine]\nRemoteTrapPort=" << m_remoteTrapPort << "\nRemoteSnmpTimeout=1\nRemoteSnmpRetries=0\n"
            << "[VG_Remote]\nServer=" << m_agent.Address() << "\nSNMPMacAddress=" << options.mac
            << "\nSNMPVersion=2\nSNMPCommunity=" << options.community << "\nSNMPPort=" << m_agent.Port()
            << "\nSNMPTrapPort=162\n";
        m_marks = m_engine.Path("marks");
        WriteScript("on-set", "set");
        WriteScript("on-clear", "clear");
    }

    void WriteScript(const std::string& name, const std::string& word)
    {
        const std::string path = m_engine.Path(name);
        std::ofstream(path) << "#!/bin/sh\necho " << word << " >> " << m_marks << "\n";
        ::chmod(path.c_str(), 0755);
    }

    // Starts the engine and waits for the agent's device and its event row.
    bool StartEngine()
    {
        if (!m_engine.Start())
            return false;
        return WaitUntil([&] { return m_engine.Get(EventCell(4)) == "STRING: \"On Battery\""; }, 20000);
    }

    // The event's reactions: commands on set and on clear, a shutdown after delay seconds with its
    // countdown notices.
    bool ConfigureOnBattery(int delay)
    {
        return m_engine.Set(EventCell(19), "i", std::to_string(delay)).empty() &&
               m_engine.Set(EventCell(18), "i", "0").empty() &&
               m_engine.Set(EventCell(8), "s", m_engine.Path("on-set")).empty() &&
               m_engine.Set(EventCell(9), "s", m_engine.Path("on-clear")).empty() &&
               m_engine.Set(EventCell(7), "i", std::to_string(0x4 | 0x8 | 0x100)).empty();
    }

    // An alarm trap of the agent for "On Battery" on its device 1: raised (E.100.2.0.3) or removed. With
    // the agent's own community its alarm table changes first, as a card's does (the engine reads the
    // table before a shutdown).
    bool SendAlarm(bool raise, const std::string& community = "upsring")
    {
        if (community == "upsring" && !m_agent.Send(raise ? "alarm 12 1 1 On Battery" : "clear 12"))
            return false;
        const std::string line = "trap " + std::to_string(m_remoteTrapPort) + " " + community + " " +
                                 E(raise ? "100.2.0.3" : "100.2.0.4") + " " + E("100.1.1.0") + " i 12 " +
                                 E("100.1.2.0") + " s x " + E("100.1.3.0") + " s On%20Battery " + E("100.1.4.0") +
                                 " i 1 " + E("10.1.2.6.0") + " s $MAC " + E("100.1.6.0") + " i 0 " + E("100.1.7.0") +
                                 " i 1";
        return m_agent.Send(line);
    }

    bool AlarmActive() { return m_engine.Get(EventCell(6)) == "INTEGER: 1"; }
    // The datagram of SendAlarm's trap, for alarm id with that description, for a test to send itself
    // from any address and as fast as it needs.
    std::vector<uint8_t> AlarmDatagram(uint32_t id, const std::string& description, bool raise,
                                       const std::string& community = "upsring")
    {
        return vgtest::BuildV2cTrap(community, E(raise ? "100.2.0.3" : "100.2.0.4"),
                                    {{E("100.1.1.0"), 'i', std::to_string(id)},
                                     {E("100.1.2.0"), 's', "x"},
                                     {E("100.1.3.0"), 's', description},
                                     {E("100.1.4.0"), 'i', "1"},
                                     {E("10.1.2.6.0"), 's', m_agent.Options().mac},
                                     {E("100.1.6.0"), 'i', "0"},
                                     {E("100.1.7.0"), 'i', "1"}});
    }
    std::vector<std::string> Marks() { return ReadLines(m_marks); }

    vgtest::SimAgentProcess m_agent;
    EngineInstall m_engine;
    int m_remoteTrapPort = 0;
    std::string m_marks;
};

TEST_F(RemoteTrapsE2E, AlarmTrapRunsTheReactionsToTheShutdown)
{
    ASSERT_TRUE(StartEngine()) << m_engine.LogText();
    ASSERT_TRUE(ConfigureOnBattery(11));
    Console console(m_engine, "127.0.0.32");
    ASSERT_TRUE(console.Register());

    // 3) Right address and MAC, wrong community: nothing changes.
    ASSERT_TRUE(SendAlarm(true, "guess"));
    ASSERT_TRUE(WaitUntil([&] { return Contains(m_engine.LogText(), "with an invalid community"); }, 10000))
        << m_engine.LogText();
    EXPECT_FALSE(AlarmActive());
    EXPECT_TRUE(Marks().empty());

    // 2) Raised, then cleared before the shutdown is due: the final notice says 0, the command on clear
    // runs, the shutdown library is never called.
    ASSERT_TRUE(SendAlarm(true));
    ASSERT_TRUE(WaitUntil([&] { return Marks() == std::vector<std::string>{"set"}; }, 10000)) << m_engine.LogText();
    EXPECT_TRUE(AlarmActive());
    ASSERT_TRUE(WaitUntil([&] { return !console.Countdowns().empty(); }, 10000));
    const int64_t first = console.Countdowns().front().first;
    EXPECT_GT(first, 0);
    EXPECT_LE(first, 11);
    ASSERT_TRUE(SendAlarm(false));
    ASSERT_TRUE(WaitUntil([&] { return Marks() == std::vector<std::string>{"set", "clear"}; }, 10000))
        << m_engine.LogText();
    ASSERT_TRUE(WaitUntil([&] { return !console.Countdowns().empty() && console.Countdowns().back().first == 0; },
                          10000));
    EXPECT_FALSE(AlarmActive());
    EXPECT_TRUE(ReadText(m_engine.Path("shutdown-calls")).empty());

    // 1) Raised and left standing: a notice every 5 s with the seconds left, then the shutdown calls
    // (users warned, power off) and the engine stops.
    console.Clear();
    const auto raised = std::chrono::steady_clock::now();
    ASSERT_TRUE(SendAlarm(true));
    ASSERT_TRUE(WaitUntil([&] { return !ReadText(m_engine.Path("shutdown-calls")).empty(); }, 20000))
        << m_engine.LogText();
    const auto due = std::chrono::steady_clock::now();
    EXPECT_GE(due - raised, std::chrono::seconds(10));
    ASSERT_TRUE(WaitUntil([&] { return !m_engine.Running(); }, 15000));
    EXPECT_EQ(ReadLines(m_engine.Path("shutdown-calls")), (std::vector<std::string>{"1 1", "2 0"}));
    EXPECT_EQ(Marks(), (std::vector<std::string>{"set", "clear", "set"}));

    const auto notices = console.Countdowns();
    ASSERT_GE(notices.size(), 2u) << "11 s announced every 5 s";
    for (size_t i = 0; i < notices.size(); ++i) {
        EXPECT_GT(notices[i].first, 0);
        EXPECT_LE(notices[i].first, 11);
        if (i > 0) {
            // The seconds left fall by the 5 s of the repeat (one either side for rounding).
            const int64_t step = notices[i - 1].first - notices[i].first;
            EXPECT_GE(step, 4);
            EXPECT_LE(step, 6);
        }
    }
}

TEST_F(RemoteTrapsE2E, AlarmSeenAtTheFirstPollAfterARestartArmsTheReactions)
{
    ASSERT_TRUE(StartEngine()) << m_engine.LogText();
    ASSERT_TRUE(ConfigureOnBattery(60));
    m_engine.Stop();

    // While the engine is down the agent goes on battery; it sends no trap.
    ASSERT_TRUE(m_agent.Send("alarm 12 1 1 On Battery"));
    ASSERT_TRUE(StartEngine()) << m_engine.LogText();
    Console console(m_engine, "127.0.0.33");
    ASSERT_TRUE(console.Register());
    EXPECT_TRUE(WaitUntil([&] { return Marks() == std::vector<std::string>{"set"}; }, 15000)) << m_engine.LogText();
    EXPECT_TRUE(AlarmActive());
    ASSERT_TRUE(WaitUntil([&] { return !console.Countdowns().empty(); }, 10000));
    EXPECT_GT(console.Countdowns().front().first, 0);
    EXPECT_LE(console.Countdowns().front().first, 60);
    m_engine.Stop();
    EXPECT_TRUE(ReadText(m_engine.Path("shutdown-calls")).empty());
}

TEST_F(RemoteTrapsE2E, AStopIsNoClearAndARestartReactsToTheStandingAlarmAfresh)
{
    ASSERT_TRUE(StartEngine()) << m_engine.LogText();
    ASSERT_TRUE(ConfigureOnBattery(600));
    ASSERT_TRUE(m_agent.Send("alarm 12 1 1 On Battery"));
    ASSERT_TRUE(SendAlarm(true));
    ASSERT_TRUE(WaitUntil([&] { return Marks() == std::vector<std::string>{"set"}; }, 10000)) << m_engine.LogText();

    // SIGTERM while the alarm stands: the alarm did not end, so its command on clear does not run.
    m_engine.Stop();
    EXPECT_EQ(Marks(), std::vector<std::string>{"set"}) << m_engine.LogText();

    // The restarted engine knows only what the agent tells it: the standing alarm arms its reactions
    // afresh, the command on set with them; the real clear later runs the command on clear once.
    ASSERT_TRUE(StartEngine()) << m_engine.LogText();
    ASSERT_TRUE(WaitUntil([&] { return Marks() == std::vector<std::string>{"set", "set"}; }, 15000))
        << m_engine.LogText();
    ASSERT_TRUE(m_agent.Send("clear 12"));
    ASSERT_TRUE(SendAlarm(false));
    ASSERT_TRUE(WaitUntil([&] { return Marks() == std::vector<std::string>{"set", "set", "clear"}; }, 10000))
        << m_engine.LogText();
    m_engine.Stop();
    EXPECT_EQ(Marks(), (std::vector<std::string>{"set", "set", "clear"}));
    EXPECT_TRUE(ReadText(m_engine.Path("shutdown-calls")).empty());
}

TEST_F(RemoteTrapsE2E, EnablingTheShutdownWhileTheAlarmStandsStartsTheCountdown)
{
    ASSERT_TRUE(StartEngine()) << m_engine.LogText();
    ASSERT_TRUE(m_engine.Set(EventCell(19), "i", "8").empty());
    // Delays the row cannot hold are refused and the stored one stays.
    for (const char* refused : {"-1", "604801"}) {
        EXPECT_EQ(m_engine.Set(EventCell(19), "i", refused), "wrongValue") << refused;
        EXPECT_EQ(m_engine.Set(EventCell(18), "i", refused), "wrongValue") << refused;
    }
    EXPECT_EQ(m_engine.Get(EventCell(19)), "INTEGER: 8");
    Console console(m_engine, "127.0.0.34");
    ASSERT_TRUE(console.Register());
    ASSERT_TRUE(m_agent.Send("alarm 12 1 1 On Battery"));
    ASSERT_TRUE(SendAlarm(true));
    ASSERT_TRUE(WaitUntil([&] { return AlarmActive(); }, 10000)) << m_engine.LogText();

    // The operator sees the alarm and ticks the shutdown: it is armed now, with its whole delay.
    const auto enabled = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_engine.Set(EventCell(7), "i", std::to_string(0x8)).empty());
    ASSERT_TRUE(WaitUntil([&] { return !ReadText(m_engine.Path("shutdown-calls")).empty(); }, 20000))
        << m_engine.LogText();
    EXPECT_GE(std::chrono::steady_clock::now() - enabled, std::chrono::seconds(7));
    ASSERT_TRUE(WaitUntil([&] { return !m_engine.Running(); }, 15000));
    EXPECT_EQ(ReadLines(m_engine.Path("shutdown-calls")), (std::vector<std::string>{"1 1", "2 0"}));
    const auto notices = console.Countdowns();
    ASSERT_FALSE(notices.empty()) << "8 s announced every 5 s";
    EXPECT_GT(notices.front().first, 0);
    EXPECT_LE(notices.front().first, 8);
}

TEST_F(RemoteTrapsE2E, BusyTrapPortIsLoggedAndTheEngineServesOn)
{
    // Another program holds the remote trap port on the loopback address.
    const int holder = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(m_remoteTrapPort));
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_TRUE(StartEngine()) << m_engine.LogText();
    EXPECT_TRUE(Contains(m_engine.LogText(), "[CSnmpListenerEntry::Initialize]: Register for notify"))
        << m_engine.LogText();
    EXPECT_EQ(m_engine.Get(E("10.1.2.3.0"), "gimbal"), "STRING: \"12.04.0059\"");
    ::close(holder);
}

// A burst of alarm traps from the monitored agent, faster than a console can be told of each change
// (50 ms apart): every change is applied without waiting for the consoles, and when the queue is full
// the latest state of each alarm is the one kept, so the last trap of each alarm decides. The alarm
// raised after the burst arms a countdown whose first notice reaches the console on time, not behind
// the burst's status notices.
TEST_F(RemoteTrapsE2E, ABurstOfAlarmTrapsEndsInTheLatestStateOfEachAlarm)
{
    ASSERT_TRUE(m_agent.Send("event 1 2 Low Battery"));
    ASSERT_TRUE(StartEngine()) << m_engine.LogText();
    const std::string lowBattery = E("10.2.3.2.1.6.1.2");
    ASSERT_TRUE(WaitUntil([&] { return m_engine.Get(E("10.2.3.2.1.4.1.2")) == "STRING: \"Low Battery\""; }, 10000));
    // A shutdown far beyond the test's end, with its countdown notices.
    ASSERT_TRUE(m_engine.Set(E("10.2.3.2.1.19.1.2"), "i", "300").empty());
    ASSERT_TRUE(m_engine.Set(E("10.2.3.2.1.7.1.2"), "i", std::to_string(0x8 | 0x100)).empty());
    Console console(m_engine, "127.0.0.34");
    ASSERT_TRUE(console.Register());

    vgtest::RawTrapSender agent(m_agent.Address());
    ASSERT_TRUE(agent.Ok());
    const auto raise = AlarmDatagram(12, "On Battery", true), clear = AlarmDatagram(12, "On Battery", false);
    // 3,000 changes in about 1.5 s, ending with a raise; then one raise of another alarm.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3000; ++i) {
        ASSERT_TRUE(agent.Send(m_remoteTrapPort, i % 2 ? raise : clear));
        if (i % 10 == 9)
            std::this_thread::sleep_until(start + std::chrono::microseconds(500 * (i + 1)));
    }
    ASSERT_TRUE(agent.Send(m_remoteTrapPort, AlarmDatagram(13, "Low Battery", true)));
    EXPECT_TRUE(WaitUntil([&] { return m_engine.Get(lowBattery) == "INTEGER: 1"; }, 20000))
        << "the raise after the burst was not applied";
    const auto applied = std::chrono::steady_clock::now();
    // The first countdown notice is due 5 s after the raise; before the console is told of every
    // change of the burst, 50 ms apart, would be a minute late.
    ASSERT_TRUE(WaitUntil([&] { return !console.Countdowns().empty(); }, 30000))
        << "the countdown did not reach the console in time";
    const auto first = console.Countdowns().front();
    EXPECT_LT(first.second - applied, std::chrono::seconds(15));
    EXPECT_GE(first.first, 280) << "a stale countdown";
    EXPECT_LE(first.first, 300);

    EXPECT_TRUE(WaitUntil([&] { return AlarmActive(); }, 20000)) << "the burst's last raise was not applied";
    // Nothing still queued changes them afterwards.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(AlarmActive());
    EXPECT_EQ(m_engine.Get(lowBattery), "INTEGER: 1");
}

// A flood of traps with a wrong community from another address (naming the agent's MAC) takes no place
// in the queue: the agent's own traps sent during it, each while the engine is still busy with the one
// before (its consoles to be told), are all applied.
TEST_F(RemoteTrapsE2E, AWrongCommunityFloodFromAnotherAddressCrowdsOutNoRealTrap)
{
    ASSERT_TRUE(m_agent.Send("event 1 2 Low Battery"));
    ASSERT_TRUE(StartEngine()) << m_engine.LogText();
    const std::string lowBattery = E("10.2.3.2.1.6.1.2");
    ASSERT_TRUE(WaitUntil([&] { return m_engine.Get(E("10.2.3.2.1.4.1.2")) == "STRING: \"Low Battery\""; }, 10000));
    std::vector<std::unique_ptr<Console>> consoles;
    for (const char* address : {"127.0.0.35", "127.0.0.36", "127.0.0.37", "127.0.0.38"}) {
        consoles.push_back(std::make_unique<Console>(m_engine, address));
        ASSERT_TRUE(consoles.back()->Register());
    }

    std::atomic<bool> flooding{true};
    std::atomic<int> flooded{0};
    std::thread flood([&] {
        vgtest::RawTrapSender stranger("127.0.0.39");
        const auto raise = AlarmDatagram(13, "Low Battery", true, "guess");
        const auto clear = AlarmDatagram(13, "Low Battery", false, "guess");
        const auto start = std::chrono::steady_clock::now();
        // About 2,000 a second until the test is done (at most 10 s): far more than an agent sends, and
        // within what a sanitizer build on a busy machine reads off its socket, so that what is measured
        // is the engine's queue rather than the kernel's receive buffer.
        for (int i = 0; flooding.load() && i < 20000; ++i) {
            if (stranger.Send(m_remoteTrapPort, i % 2 ? clear : raise))
                ++flooded;
            if (i % 20 == 19)
                std::this_thread::sleep_until(start + std::chrono::microseconds(500 * (i + 1)));
        }
    });
    vgtest::RawTrapSender agent(m_agent.Address());
    const std::vector<uint8_t> real[] = {AlarmDatagram(12, "On Battery", true), AlarmDatagram(13, "Low Battery", true),
                                         AlarmDatagram(12, "On Battery", false)};
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (const auto& datagram : real) {
        ASSERT_TRUE(agent.Send(m_remoteTrapPort, datagram));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    const bool applied = WaitUntil(
        [&] { return m_engine.Get(lowBattery) == "INTEGER: 1" && !AlarmActive(); }, 5000);
    const int sentDuring = flooded.load();
    flooding = false;
    flood.join();
    EXPECT_TRUE(applied) << "On Battery " << m_engine.Get(EventCell(6)) << ", Low Battery " << m_engine.Get(lowBattery);
    EXPECT_GT(sentDuring, 1000) << "the flood went on while the agent's traps were applied";
}

}  // namespace
