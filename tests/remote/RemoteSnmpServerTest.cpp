// The client session to a remote agent, against the simulated UPS agent.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "RemoteTestSupport.h"
#include "SimAgentProcess.h"
#include "engine/base/AppLog.h"
#include "engine/remote/RemoteSnmpServer.h"
#include "support/TestSupport.h"

using vgtest::EOid;

namespace {

class RemoteSessionTest : public ::testing::Test {
protected:
    void StartAgent(int generation, int devices = 2)
    {
        vgtest::SimAgentOptions options;
        options.generation = generation;
        options.devices = devices;
        ASSERT_TRUE(m_agent.Start(options));
        RemoteSessionSettings settings;
        settings.retries = 0;
        settings.timeoutSeconds = 2;
        ASSERT_TRUE(m_session.Initialize(m_agent.Address(), "public", static_cast<uint16_t>(m_agent.Port()), 2, settings));
    }

    vgtest::ClientLoop m_loop;
    vgtest::SimAgentProcess m_agent;
    RemoteSnmpServer m_session{&m_loop.Client()};
};

TEST(RemoteSessionOid, NonZeroIndexesAreAppendedInOrder)
{
    const uint32_t base[] = {1, 3, 6, 1, 4, 1, 64950, 10, 2, 2, 1, 18};
    EXPECT_EQ(OidToString(RemoteSnmpServer::BuildOid(base, 12, 3, 0, 0)), "1.3.6.1.4.1.64950.10.2.2.1.18.3");
    EXPECT_EQ(OidToString(RemoteSnmpServer::BuildOid(base, 12, 0, 4, 5)), "1.3.6.1.4.1.64950.10.2.2.1.18.4.5");
}

TEST(RemoteSessionInit, RefusesWhatItCannotAddress)
{
    vgtest::ClientLoop loop;
    struct Case {
        const char* host;
        std::string community;
        uint16_t port;
        uint32_t version;
    } cases[] = {
        {"127.0.0.2", "public", 161, 3},                   // SNMPv3 is not a remote-agent version
        {"127.0.0.2", "public", 0, 2},                     // no port
        {"not-an-address", "public", 161, 2},
        {"127.0.0.2", std::string(64, 'c'), 161, 2},       // community longer than 63
    };
    for (const Case& c : cases) {
        RemoteSnmpServer session(&loop.Client());
        EXPECT_FALSE(session.Initialize(c.host, c.community, c.port, c.version, RemoteSessionSettings()))
            << c.host << " " << c.port << " " << c.version;
        EXPECT_FALSE(session.IsOpen());
        int32_t value = 0;
        const uint32_t oid[] = {1, 3, 6, 1, 2, 1, 1, 5, 0};
        EXPECT_FALSE(session.GetInt(value, oid, 9));
    }
    RemoteSnmpServer session(&loop.Client());
    EXPECT_TRUE(session.Initialize("127.0.0.2", std::string(63, 'c'), 161, 1, RemoteSessionSettings()));
}

TEST(RemoteSessionInit, TimeoutAndRetriesComeFromTheSettingsWithinBounds)
{
    vgtest::ClientLoop loop;
    RemoteSnmpServer session(&loop.Client());
    RemoteSessionSettings settings;
    ASSERT_TRUE(session.Initialize("127.0.0.2", "public", 161, 0, settings));
    EXPECT_EQ(session.GetTimeoutMs(), 15000);
    EXPECT_EQ(session.GetRetries(), 1);
    settings.timeoutSeconds = 0xFFFFFFFFu;
    settings.retries = 0xFFFFFFFFu;
    ASSERT_TRUE(session.Initialize("127.0.0.2", "public", 161, 0, settings));
    EXPECT_EQ(session.GetTimeoutMs(), static_cast<int>(RemoteSnmpServer::kMaxTimeoutSeconds) * 1000);
    EXPECT_EQ(session.GetRetries(), static_cast<int>(RemoteSnmpServer::kMaxRetries));
    ASSERT_TRUE(session.InitializeForScan("127.0.0.2", "public", 161, 0));
    EXPECT_EQ(session.GetTimeoutMs(), 1000);
    EXPECT_EQ(session.GetRetries(), 1);
}

TEST_F(RemoteSessionTest, ReadsTypedValuesAndRefusesTheWrongKind)
{
    StartAgent(4);
    const SnmpOid count = EOid({1, 1, 1, 1, 0});
    uint32_t devices = 0;
    EXPECT_TRUE(m_session.GetUInt(devices, count.data(), count.size()));
    EXPECT_EQ(devices, 2u);
    int32_t asInt = 77;
    EXPECT_FALSE(m_session.GetInt(asInt, count.data(), count.size())) << "a Gauge32 is not an INTEGER";
    EXPECT_EQ(asInt, 77);

    const SnmpOid model = EOid({1, 1, 1, 2, 1, 5});
    char text[128] = "unchanged";
    uint32_t length = sizeof text;
    ASSERT_TRUE(m_session.GetString(text, length, model.data(), model.size(), 2));
    EXPECT_STREQ(text, "Sim UPS 2");
    EXPECT_EQ(length, 9u);
    // A missing object leaves the output as it was.
    std::strcpy(text, "unchanged");
    length = sizeof text;
    EXPECT_FALSE(m_session.GetString(text, length, model.data(), model.size(), 9));
    EXPECT_STREQ(text, "unchanged");

    ASSERT_TRUE(m_agent.Send("alarm 7 2 3 On battery"));
    const SnmpOid rowRef = EOid({1, 3, 2, 1, 5});
    char ref[64];
    uint32_t refLength = sizeof ref;
    ASSERT_TRUE(m_session.GetOidText(ref, refLength, rowRef.data(), rowRef.size(), 7));
    EXPECT_STREQ(ref, "1.3.6.1.4.1.64950.1.1.1.2.1.1.2");
    refLength = 10;  // too small for the text: refused, not cut
    EXPECT_FALSE(m_session.GetOidText(ref, refLength, rowRef.data(), rowRef.size(), 7));
}

TEST_F(RemoteSessionTest, LongStringIsCutToTheCapacity)
{
    StartAgent(3);
    ASSERT_TRUE(m_agent.Send("fill 1.3.6.1.4.1.64950.10.2.2.1.9.1 100"));
    const SnmpOid model = EOid({10, 2, 2, 1, 9});
    char text[64];
    uint32_t length = sizeof text;
    ASSERT_TRUE(m_session.GetString(text, length, model.data(), model.size(), 1));
    EXPECT_EQ(length, 63u);
    EXPECT_EQ(std::strlen(text), 63u);
}

TEST_F(RemoteSessionTest, GetNextOidNeedsRoomForTheAnswer)
{
    StartAgent(3);
    // The next object after the version text E.10.1.2.3.0 is the MAC E.10.1.2.6.0 (12 sub-identifiers).
    const SnmpOid version = EOid({10, 1, 2, 3, 0});
    uint32_t next[16] = {};
    uint32_t count = 12;
    EXPECT_FALSE(m_session.GetNextOid(next, count, version.data(), version.size()));
    count = 13;
    ASSERT_TRUE(m_session.GetNextOid(next, count, version.data(), version.size()));
    EXPECT_EQ(OidToString(SnmpOid(next, next + count)), "1.3.6.1.4.1.64950.10.1.2.6.0");
}

TEST_F(RemoteSessionTest, SetsReachTheAgentAndRefusalsFail)
{
    StartAgent(3);
    EXPECT_TRUE(m_session.SetStringByOid("127.0.0.1:65698", "1.3.6.1.4.1.64950.10.1.13.9.0"));
    EXPECT_FALSE(m_agent.WaitFor("set 1.3.6.1.4.1.64950.10.1.13.9.0 127.0.0.1:65698").empty());
    ASSERT_TRUE(m_agent.Send("refuse on"));
    EXPECT_FALSE(m_session.SetStringByOid("127.0.0.1:1", "1.3.6.1.4.1.64950.10.1.13.9.0"));
    // A read-only object and a wrong type fail too.
    const SnmpOid count = EOid({10, 2, 1, 0});
    EXPECT_FALSE(m_session.SetInt(5, count.data(), count.size()));
    EXPECT_FALSE(m_session.SetInt(5, EOid({10, 1, 2, 3, 0}).data(), 12));
}

TEST_F(RemoteSessionTest, SetIpAddressSendsTheLowByteFirst)
{
    StartAgent(3);
    // The simulated agent refuses this object; the request line still shows what was sent.
    const uint32_t address = 192u | 168u << 8 | 0u << 16 | 1u << 24;
    const SnmpOid target = EOid({10, 9, 9, 0});
    vgtest::Log().Clear();
    m_session.SetIpAddress(address, target.data(), target.size());
    EXPECT_TRUE(vgtest::Log().Contains("Value=192.168.0.1")) << "the request line names the value";
}

TEST_F(RemoteSessionTest, RequestLogNeverShowsTheCommunity)
{
    StartAgent(3);
    vgtest::Log().Clear();
    int32_t status = 0;
    const SnmpOid oid = EOid({10, 1, 2, 2, 0});
    ASSERT_TRUE(m_session.GetInt(status, oid.data(), oid.size()));
    EXPECT_TRUE(vgtest::Log().Contains("Sending GET_INT_VALUE query to 127.0.0.2:"));
    EXPECT_TRUE(vgtest::Log().Contains("Received GET_INT_VALUE response from 127.0.0.2"));
    EXPECT_TRUE(vgtest::Log().Contains("community=<hidden>"));
    EXPECT_FALSE(vgtest::Log().Contains("public"));
}

TEST_F(RemoteSessionTest, ThreadsSharingASessionTakeTurns)
{
    StartAgent(3);
    const SnmpOid status = EOid({10, 1, 2, 2, 0});
    const SnmpOid model = EOid({10, 2, 2, 1, 9});
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                if (t % 2) {
                    int32_t v = 0;
                    good += m_session.GetInt(v, status.data(), status.size()) && v == 2;
                } else {
                    char text[32];
                    uint32_t length = sizeof text;
                    good += m_session.GetString(text, length, model.data(), model.size(), 1) &&
                            std::string(text) == "Sim UPS 1";
                }
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good.load(), 40);
}

TEST_F(RemoteSessionTest, SilentAgentFailsAfterItsAttemptsAndCancelEndsTheWait)
{
    StartAgent(3);
    RemoteSessionSettings settings;
    settings.retries = 1;
    settings.timeoutSeconds = 1;
    ASSERT_TRUE(m_session.Initialize(m_agent.Address(), "public", static_cast<uint16_t>(m_agent.Port()), 2, settings));
    ASSERT_TRUE(m_agent.Send("silent on"));
    const SnmpOid oid = EOid({10, 1, 2, 2, 0});
    int32_t status = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(m_session.GetInt(status, oid.data(), oid.size()));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(1900)) << "two attempts of one second each";

    // A request cancelled from another thread ends at once, and later ones fail without waiting.
    settings.timeoutSeconds = 60;
    ASSERT_TRUE(m_session.Initialize(m_agent.Address(), "public", static_cast<uint16_t>(m_agent.Port()), 2, settings));
    std::atomic<bool> done{false};
    std::chrono::steady_clock::time_point ended;
    vgtest::Log().Clear();
    std::thread worker([&] {
        int32_t v = 0;
        m_session.GetInt(v, oid.data(), oid.size());
        ended = std::chrono::steady_clock::now();
        done.store(true);
    });
    // The request is on its way once the request line is logged.
    while (!vgtest::Log().Contains("Sending GET_INT_VALUE"))
        std::this_thread::yield();
    auto cancelled = std::chrono::steady_clock::now();
    m_session.Cancel();
    worker.join();
    EXPECT_LT(ended - cancelled, std::chrono::seconds(10));
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(m_session.GetInt(status, oid.data(), oid.size()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
