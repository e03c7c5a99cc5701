// The trap listener against net-snmp's snmptrap and snmpinform: one record per notification with the
// sender's address and community, the notification OID of each version, the record's bounds, informs
// answered, refused records counted, and the use count of a port.

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "RemoteTestSupport.h"
#include "engine/remote/TrapListener.h"
#include "support/TestSupport.h"

namespace {

class RemoteTrapListener : public ::testing::Test {
protected:
    RemoteTrapListener()
    {
        m_listener.SetOpener([this](const std::string& address, uint16_t port, SnmpTrapSession::Handler handler,
                                    std::string* error) {
            return SnmpTrapSession::Open(m_loop.Thread(), address, port, std::move(handler), error);
        });
        m_listener.SetOwner([this](std::unique_ptr<RemoteTrapRecord>& record) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_refuse)
                return false;
            m_records.push_back(*record);
            record.reset();
            m_changed.notify_all();
            return true;
        });
    }

    bool Listen()
    {
        if (m_listener.Subscribe("127.0.0.1", 0) != 1)
            return false;
        m_port = m_listener.BoundPort(0);
        return m_port != 0;
    }

    // snmptrap with the arguments after the peer; the tool's exit code.
    int Send(const std::vector<std::string>& head, const std::vector<std::string>& tail,
             const std::string& from = "127.0.0.3")
    {
        std::vector<std::string> argv = {"snmptrap"};
        argv.insert(argv.end(), head.begin(), head.end());
        argv.push_back("--clientaddr=" + from);
        argv.push_back("-M");
        argv.push_back("/dev/null");
        argv.push_back("127.0.0.1:" + std::to_string(m_port));
        argv.insert(argv.end(), tail.begin(), tail.end());
        std::string output;
        return vgtest::RunTool(argv, output, 10);
    }

    bool WaitForRecords(size_t n)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_records.size() >= n; });
    }
    RemoteTrapRecord RecordAt(size_t i)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_records.at(i);
    }

    vgtest::ClientLoop m_loop;
    CSnmpListener m_listener;
    uint16_t m_port = 0;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<RemoteTrapRecord> m_records;
    bool m_refuse = false;
};

const std::string E = "1.3.6.1.4.1.64950";

TEST_F(RemoteTrapListener, EachVersionYieldsOneRecordWithSenderCommunityAndOid)
{
    ASSERT_TRUE(Listen());
    // SNMPv1 enterprise-specific: enterprise.0.specific; generic 2 (linkDown): snmpTraps.3.
    ASSERT_EQ(Send({"-v1", "-c", "one"}, {E + ".100", "127.0.0.3", "6", "17", "", E + ".10.1.2.6.0", "s",
                                          "02:00:00:00:00:03"}),
              0);
    ASSERT_EQ(Send({"-v1", "-c", "one"}, {E + ".100", "127.0.0.3", "2", "0", ""}), 0);
    // SNMPv2c: sysUpTime.0 and snmpTrapOID.0 are not in the list.
    ASSERT_EQ(Send({"-v2c", "-c", "two"}, {"", E + ".100.2.0.3", E + ".9.1", "i", "-12", E + ".9.2", "o", "1.3.6.1",
                                           E + ".9.3", "a", "10.1.2.3", E + ".9.4", "u", "4000000000"}),
              0);
    ASSERT_TRUE(WaitForRecords(3));

    RemoteTrapRecord v1 = RecordAt(0);
    EXPECT_STREQ(v1.sender, "127.0.0.3");
    EXPECT_STREQ(v1.community, "one");
    EXPECT_STREQ(v1.trapOid, (E + ".100.0.17").c_str());
    EXPECT_EQ(v1.specific, 17u);
    EXPECT_EQ(v1.pduType, RemoteTrapRecord::kPduTrap);
    ASSERT_EQ(v1.varbinds.size(), 1u);
    EXPECT_STREQ(v1.varbinds[0].value, "02:00:00:00:00:03");
    EXPECT_STREQ(RecordAt(1).trapOid, "1.3.6.1.6.3.1.1.5.3");

    RemoteTrapRecord v2 = RecordAt(2);
    EXPECT_STREQ(v2.community, "two");
    EXPECT_STREQ(v2.trapOid, (E + ".100.2.0.3").c_str());
    EXPECT_EQ(v2.specific, 3u);
    ASSERT_EQ(v2.varbinds.size(), 4u);
    EXPECT_EQ(v2.varbinds[0].oidLength, 9u);
    EXPECT_EQ(v2.varbinds[0].oid[8], 1u);
    // Values as plain text.
    EXPECT_STREQ(v2.varbinds[0].value, "-12");
    EXPECT_STREQ(v2.varbinds[1].value, "1.3.6.1");
    EXPECT_STREQ(v2.varbinds[2].value, "10.1.2.3");
    EXPECT_STREQ(v2.varbinds[3].value, "4000000000");
}

// Only the first two varbinds of an SNMPv2c notification are its header: sysUpTime.0 or snmpTrapOID.0
// further down the list keeps its place, and the varbinds after it keep their numbers.
TEST_F(RemoteTrapListener, HeaderOidsLaterInTheListAreOrdinaryVarbinds)
{
    ASSERT_TRUE(Listen());
    const std::string upTime = "1.3.6.1.2.1.1.3.0", trapOid = "1.3.6.1.6.3.1.1.4.1.0";
    ASSERT_EQ(Send({"-v2c", "-c", "two"}, {"", E + ".100.2.0.5", E + ".9.1", "i", "7", upTime, "t", "4321", trapOid,
                                           "o", "1.3.6.1.9", E + ".9.4", "i", "3"}),
              0);
    ASSERT_TRUE(WaitForRecords(1));
    RemoteTrapRecord r = RecordAt(0);
    EXPECT_STREQ(r.trapOid, (E + ".100.2.0.5").c_str()) << "the header's notification OID, not the later one";
    ASSERT_EQ(r.varbinds.size(), 4u);
    EXPECT_STREQ(r.varbinds[0].value, "7");
    EXPECT_EQ(r.varbinds[1].oidLength, 9u);
    EXPECT_EQ(r.varbinds[1].oid[7], 3u);
    EXPECT_STREQ(r.varbinds[1].value, "4321");
    EXPECT_EQ(r.varbinds[2].oidLength, 11u);
    EXPECT_STREQ(r.varbinds[2].value, "1.3.6.1.9");
    EXPECT_STREQ(r.varbinds[3].value, "3");
}

TEST_F(RemoteTrapListener, InformIsAnsweredAndRecorded)
{
    ASSERT_TRUE(Listen());
    // snmpinform ends with 0 only when the response came back.
    ASSERT_EQ(Send({"-v2c", "-c", "inf", "-Ci", "-r", "0", "-t", "3"},
                   {"", E + ".100.2.0.4", E + ".9.1", "i", "1", E + ".9.2", "s", "two", E + ".9.3", "s", "three"}),
              0);
    ASSERT_TRUE(WaitForRecords(1));
    const RemoteTrapRecord r = RecordAt(0);
    EXPECT_EQ(r.pduType, RemoteTrapRecord::kPduInform);
    ASSERT_EQ(r.varbinds.size(), 3u);
    EXPECT_STREQ(r.varbinds[2].value, "three");
}

TEST_F(RemoteTrapListener, RecordsAreBoundedFieldByFieldAndInVarbinds)
{
    ASSERT_TRUE(Listen());
    std::string longOid = E;
    for (int i = 0; i < 53; ++i)
        longOid += ".1";  // 60 sub-identifiers
    std::vector<std::string> tail = {"", E + ".100.2.0.3", E + ".9.1", "s", std::string(63, 'a'), E + ".9.2", "s",
                                     std::string(64, 'b'), longOid, "i", "5"};
    ASSERT_EQ(Send({"-v2c", "-c", "c"}, tail), 0);
    // 70 varbinds: the record keeps 64.
    std::vector<std::string> many = {"", E + ".100.2.0.3"};
    for (int i = 1; i <= 70; ++i) {
        many.push_back(E + ".9." + std::to_string(i));
        many.push_back("i");
        many.push_back(std::to_string(i));
    }
    ASSERT_EQ(Send({"-v2c", "-c", "c"}, many), 0);
    ASSERT_TRUE(WaitForRecords(2));

    const RemoteTrapRecord r = RecordAt(0);
    ASSERT_EQ(r.varbinds.size(), 3u);
    EXPECT_EQ(std::string(r.varbinds[0].value), std::string(63, 'a'));
    EXPECT_STREQ(r.varbinds[1].value, "");
    EXPECT_EQ(r.varbinds[2].oidLength, 60u);
    EXPECT_EQ(r.varbinds[2].UsableOidLength(), 0u);
    EXPECT_EQ(r.varbinds[2].oid[0], 0u);

    const RemoteTrapRecord big = RecordAt(1);
    ASSERT_EQ(big.varbinds.size(), CSnmpListener::kMaxVarbinds);
    EXPECT_STREQ(big.varbinds[63].value, "64");
    EXPECT_EQ(m_listener.GetVarbindsCut(), 6u);
}

TEST_F(RemoteTrapListener, RefusedRecordsAreCounted)
{
    ASSERT_TRUE(Listen());
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_refuse = true;
    }
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Send({"-v2c", "-c", "c"}, {"", E + ".100.2.0.3"}), 0);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (m_listener.GetRefused() < 3 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(m_listener.GetRefused(), 3u);
    EXPECT_EQ(m_listener.GetReceived(), 3u);
}

TEST_F(RemoteTrapListener, PortIsSharedByUseCountAndABusyPortFails)
{
    const int port = vgtest::FreePort(SOCK_DGRAM);
    ASSERT_EQ(m_listener.Subscribe("127.0.0.1", static_cast<uint32_t>(port)), 1);
    // A second subscription with another address reuses the entry.
    ASSERT_EQ(m_listener.Subscribe("127.0.0.2", static_cast<uint32_t>(port)), 1);
    EXPECT_EQ(m_listener.UseCount(static_cast<uint32_t>(port)), 2);
    m_listener.Unsubscribe(static_cast<uint32_t>(port));
    EXPECT_EQ(m_listener.BoundPort(static_cast<uint32_t>(port)), port);

    // Another listener on the same port cannot open it.
    CSnmpListener other;
    other.SetOpener([this](const std::string& address, uint16_t p, SnmpTrapSession::Handler handler,
                           std::string* error) {
        return SnmpTrapSession::Open(m_loop.Thread(), address, p, std::move(handler), error);
    });
    EXPECT_EQ(other.Subscribe("127.0.0.1", static_cast<uint32_t>(port)), 0);

    m_listener.Unsubscribe(static_cast<uint32_t>(port));
    EXPECT_EQ(m_listener.BoundPort(static_cast<uint32_t>(port)), 0);
    EXPECT_EQ(other.Subscribe("127.0.0.1", static_cast<uint32_t>(port)), 1);
}

}  // namespace
