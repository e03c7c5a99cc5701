// Trap processing's identification of the sender: the community is checked against the agent a trap
// claims to come from before anything changes, so a spoofed trap never relocates or replaces an agent;
// the right community lets a moved agent follow its MAC and a new card replace the old one.

#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "RemoteTestSupport.h"
#include "engine/core/settings/DeviceEngineTable.h"
#include "engine/remote/RemoteAgent.h"
#include "support/TestSupport.h"

namespace {


const char* kMac = "02:00:00:00:00:02";
const char* kOtherMac = "02:00:00:00:00:09";

void AddVarbinds(RemoteTrapRecord& r, const std::vector<SnmpOid>& oids, const std::vector<std::string>& values)
{
    for (size_t i = 0; i < oids.size(); ++i) {
        RemoteTrapVarbind vb;
        vb.SetOid(oids[i].data(), oids[i].size());
        RemoteTrapRecord::SetText(vb.value, values[i]);
        r.varbinds.push_back(vb);
    }
}

// A status trap (online) naming mac in its MAC varbinds.
RemoteTrapRecord StatusTrap(const std::string& sender, const std::string& community, const std::string& mac)
{
    RemoteTrapRecord r;
    RemoteTrapRecord::SetText(r.sender, sender);
    RemoteTrapRecord::SetText(r.community, community);
    RemoteTrapRecord::SetText(r.trapOid, "1.3.6.1.4.1.64950.1.4.1.3.0.3");
    r.specific = 3;
    AddVarbinds(r, {vgtest::EOid({10, 1, 2, 6, 0}), vgtest::EOid({9, 9}), vgtest::EOid({1, 2, 1, 1, 4, 0})},
                {mac, "x", mac});
    return r;
}

class RemoteTrapIdentification : public ::testing::Test {
protected:
    RemoteTrapIdentification()
    {
        auto host = std::make_unique<vgtest::FakeHost>(&m_loop.Client(), m_dir.Path());
        host->started = true;
        host->SetSetting(EngineWord::kRemoteSnmpTimeout, 1);
        host->SetSetting(EngineWord::kRemoteSnmpRetries, 0);
        m_manager = std::make_unique<CRemoteAgent>(std::move(host));
        EXPECT_EQ(m_manager->Initialize(), 1);
        // The agent at 127.0.0.2 (nobody answers its polls: port 9).
        EXPECT_EQ(m_manager->AddByAddress("127.0.0.2", "public", 9, 1, kMac), 1);
        EXPECT_EQ(m_manager->GetTable().GetValue(kRemoteRowKeyBase | 2 << 12 | 1, 0).integer, 1u)
            << "an agent added by its trap reads active";
    }
    ~RemoteTrapIdentification() override { m_manager->Shutdown(); }

    // Address and MAC of every agent not queued for removal (a removed one may already be gone).
    std::vector<std::string> Agents()
    {
        std::vector<std::string> out;
        for (auto& e : m_manager->GetEntries())
            if (!e->IsQueuedForRemoval())
                out.push_back(e->GetServerAddress() + " " + e->GetMac());
        return out;
    }

    vgtest::TempDir m_dir;
    vgtest::ClientLoop m_loop;
    std::unique_ptr<CRemoteAgent> m_manager;
};

using List = std::vector<std::string>;

TEST_F(RemoteTrapIdentification, WrongCommunityChangesNoAgent)
{
    const List before = {"127.0.0.2 02:00:00:00:00:02"};
    ASSERT_EQ(Agents(), before);
    const struct {
        const char* name;
        RemoteTrapRecord record;
    } cases[] = {
        {"monitored address, foreign MAC", StatusTrap("127.0.0.2", "wrong", kOtherMac)},
        {"monitored address, its MAC", StatusTrap("127.0.0.2", "wrong", kMac)},
        {"community differing by case", StatusTrap("127.0.0.2", "Public", kOtherMac)},
        {"the agent's MAC from another address", StatusTrap("127.0.0.8", "wrong", kMac)},
    };
    for (const auto& c : cases) {
        m_manager->ProcessTrap(c.record);
        EXPECT_EQ(Agents(), before) << c.name;
    }
}

TEST_F(RemoteTrapIdentification, RightCommunityFollowsAMoveAndAReplacement)
{
    // The agent's MAC from a new address: it is moved there.
    m_manager->ProcessTrap(StatusTrap("127.0.0.8", "public", kMac));
    ASSERT_EQ(Agents(), List({"127.0.0.8 02:00:00:00:00:02"}));

    // Another card at the agent's address: the old agent goes, the new one is added.
    m_manager->ProcessTrap(StatusTrap("127.0.0.8", "public", kOtherMac));
    EXPECT_EQ(Agents(), List({"127.0.0.8 02:00:00:00:00:09"}));
}

TEST_F(RemoteTrapIdentification, UnknownSenderIsDropped)
{
    m_manager->ProcessTrap(StatusTrap("127.0.0.9", "public", kOtherMac));
    RemoteTrapRecord noMac = StatusTrap("127.0.0.2", "public", "");
    m_manager->ProcessTrap(noMac);
    EXPECT_EQ(Agents(), List({"127.0.0.2 02:00:00:00:00:02"}));
}


// An alarm-added (or removed) trap of alarm id on device 1, the agent's MAC in varbind 4.
RemoteTrapRecord AlarmTrap(const std::string& sender, const std::string& community, const std::string& mac,
                           uint32_t id, bool raise)
{
    RemoteTrapRecord r;
    RemoteTrapRecord::SetText(r.sender, sender);
    RemoteTrapRecord::SetText(r.community, community);
    RemoteTrapRecord::SetText(r.trapOid, raise ? "1.3.6.1.4.1.64950.100.2.0.3" : "1.3.6.1.4.1.64950.100.2.0.4");
    r.specific = raise ? 3 : 4;
    AddVarbinds(r,
                {vgtest::EOid({100, 1, 1, 0}), vgtest::EOid({100, 1, 2, 0}), vgtest::EOid({100, 1, 3, 0}),
                 vgtest::EOid({100, 1, 4, 0}), vgtest::EOid({10, 1, 2, 6, 0}), vgtest::EOid({100, 1, 6, 0}),
                 vgtest::EOid({100, 1, 7, 0})},
                {std::to_string(id), "x", "On Battery", "1", mac, "0", "1"});
    return r;
}

// Admission runs the sender and community checks of processing before a trap takes a queue place,
// and changes nothing itself (a trap that would move its agent is admitted, the move is processing's).
TEST_F(RemoteTrapIdentification, AdmissionChecksSenderAndCommunityAndNamesTheAlarm)
{
    const List before = {"127.0.0.2 02:00:00:00:00:02"};
    const struct {
        const char* name;
        RemoteTrapRecord record;
        bool admitted;
    } cases[] = {
        {"the agent, its community", StatusTrap("127.0.0.2", "public", kMac), true},
        {"the agent's address, another card's MAC", StatusTrap("127.0.0.2", "public", kOtherMac), true},
        {"the agent's MAC from another address", StatusTrap("127.0.0.8", "public", kMac), true},
        {"the agent's address, a wrong community", StatusTrap("127.0.0.2", "wrong", kMac), false},
        {"community differing by case", AlarmTrap("127.0.0.2", "Public", kMac, 12, true), false},
        {"the agent's MAC from another address, a wrong community", StatusTrap("127.0.0.8", "wrong", kMac), false},
        {"an unknown address and MAC", StatusTrap("127.0.0.9", "public", kOtherMac), false},
        {"no MAC", StatusTrap("127.0.0.2", "public", ""), false},
    };
    for (const auto& c : cases) {
        std::string key = "stale";
        EXPECT_EQ(m_manager->AdmitTrap(c.record, key), c.admitted) << c.name;
        EXPECT_EQ(key, "") << c.name << ": only alarm traps have a key";
    }
    EXPECT_EQ(Agents(), before);

    // Alarm traps: the agent, device and alarm make the key; raise and clear share it.
    auto keyOf = [&](const RemoteTrapRecord& r) {
        std::string key;
        EXPECT_TRUE(m_manager->AdmitTrap(r, key));
        return key;
    };
    const std::string raised = keyOf(AlarmTrap("127.0.0.2", "public", kMac, 12, true));
    EXPECT_FALSE(raised.empty());
    EXPECT_EQ(keyOf(AlarmTrap("127.0.0.2", "public", kMac, 12, false)), raised);
    EXPECT_NE(keyOf(AlarmTrap("127.0.0.2", "public", kMac, 13, true)), raised);
}

}  // namespace
