// The remote-agent table over a stand-in remote-agent manager: RowStatus creation against the cap and
// the engine's own count, destroy without a write into the renumbered row, refused values, the key
// space; and the framework's view of the engine tables (rows, walk order, empty tables).

#include "engine/agent/EngineTables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>

#include "engine/agent/EngineScalarGroups.h"
#include "engine/agent/TableRows.h"
#include "support/TestSupport.h"
#include "tests/core/ServerTestSupport.h"
#include "engine/core/server/ServerEx.h"

using namespace servertest;

namespace {

// The engine side of the remote-agent table: rows with an address and a status, a cap, and every SET
// that reaches it.
class FakeRemoteAgents : public IRemoteAgentManager {
public:
    struct Row {
        std::string address;
        int32_t status = 2;
    };

    int GetMaxNodes() override { return cap; }
    int GetRowCount() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int>(rows.size());
    }
    int GetValue(uint32_t key, uint32_t, EngineValue& value) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const uint32_t column = (key >> 12) & 0xF;
        const uint32_t row = key & 0xFFF;
        if (row == 0 || row > rows.size())
            return 0;
        if (column == 1)
            value = EngineValue::Integer(row);
        else if (column == 2)
            value = EngineValue::Integer(static_cast<uint32_t>(rows[row - 1].status));
        else if (column == 3)
            value = EngineValue::Text(rows[row - 1].address);
        return 1;
    }
    bool SetValue(uint32_t key, uint32_t, int type, const void* data, size_t length) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const uint32_t column = (key >> 12) & 0xF;
        const uint32_t row = key & 0xFFF;
        int32_t number = 0;
        if (type != kValueOctetString && length >= 4)
            std::memcpy(&number, data, 4);
        sets.push_back(std::to_string(column) + "." + std::to_string(row) + "=" +
                       (type == kValueOctetString ? std::string(static_cast<const char*>(data), length)
                                                  : std::to_string(number)));
        if (row == 0 || row > rows.size())
            return false;
        Row& r = rows[row - 1];
        if (column == 3)
            r.address.assign(static_cast<const char*>(data), length);
        if (column == 2) {
            // An agent goes active only with an address.
            if ((number == kRowActive || number == kRowCreateAndGo) && r.address.empty())
                return false;
            r.status = number == kRowActive || number == kRowCreateAndGo ? 1 : 2;
        }
        return true;
    }
    uint32_t AddTableRow() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        rows.push_back(Row());
        return 0xA8100000u | static_cast<uint32_t>(rows.size());
    }
    // Removes at once and moves the later rows down, as the workers do after the queue.
    int QueueForRemoval(int row) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        removals.push_back(row);
        if (row >= 1 && static_cast<size_t>(row) <= rows.size())
            rows.erase(rows.begin() + (row - 1));
        return 1;
    }

    std::mutex m_mutex;
    int cap = 2;
    std::vector<Row> rows;
    std::vector<std::string> sets;
    std::vector<int> removals;
};

class EngineTablesTest : public ::testing::Test {
protected:
    TestInstall install;
    CallLog calls;
    FakeRemoteAgents* remote = nullptr;
    MibRowCounts counts;

    void SetUp() override
    {
        vgtest::Log();
        ServerOptions options = install.Options(calls);
        auto fake = std::make_unique<FakeRemoteAgents>();
        remote = fake.get();
        options.remoteAgents = std::move(fake);
        CServer* server = CreateServerInstance(std::move(options));
        ASSERT_TRUE(server->Start(0, 0, 3665, "wendolmar"));
        ASSERT_TRUE(WaitUntil([&] { return server->IsStarted(); }));
    }
    void TearDown() override { CServer::DeleteInstance(); }

    // A SET of one varbind as the framework drives it: the creation vote at a missing row, the check
    // step (its status reaches the manager), then the commit (any failure is commitFailed).
    static int Set(MibTable& table, uint32_t column, uint32_t row, const SnmpValue& value)
    {
        MibLeaf* leaf = table.find_column(column);
        if (!leaf)
            return kSnmpErrNoCreation;
        const SnmpOid index{row};
        const bool exists = table.has_row(index);
        MibRequest request{0, {}, index, exists};
        if (!exists) {
            if (leaf->get_access() != MibAccess::ReadCreate)
                return kSnmpErrNoCreation;
            const int vote = table.vote_creation(*leaf, index, value);
            if (vote != kSnmpErrNoError)
                return vote;
        }
        const int status = leaf->prepare_set_request(request, value);
        if (status != kSnmpErrNoError)
            return status;
        return leaf->commit_set_request(request, value) == kSnmpErrNoError ? kSnmpErrNoError : kSnmpErrCommitFailed;
    }
    static SnmpValue Get(MibTable& table, uint32_t column, uint32_t row)
    {
        SnmpValue out;
        MibRequest request{0, {}, SnmpOid{row}, true};
        EXPECT_EQ(table.find_column(column)->get_request(request, out), kSnmpErrNoError);
        return out;
    }
};

} // namespace

TEST_F(EngineTablesTest, RemoteAgentRowsAreCreatedWithinTheCapAndTheEngineCount)
{
    mvn_remotetable_entry table(counts.remoteAgents);
    const SnmpValue wait = SnmpValue::Integer(kRowCreateAndWait);

    // The console's way: createAndWait, the address, then active.
    ASSERT_EQ(Set(table, 2, 1, wait), kSnmpErrNoError);
    EXPECT_EQ(counts.remoteAgents.Count(), 1u);
    EXPECT_EQ(remote->GetRowCount(), 1);
    EXPECT_EQ(Set(table, 3, 1, SnmpValue::Octets("127.0.0.5")), kSnmpErrNoError);
    EXPECT_EQ(Set(table, 2, 1, SnmpValue::Integer(kRowActive)), kSnmpErrNoError);
    EXPECT_EQ(Get(table, 2, 1).integer, 1);
    EXPECT_EQ(Get(table, 3, 1).bytes, "127.0.0.5");

    struct Case {
        const char* what;
        uint32_t row;
        SnmpValue value;
        int status;
    } refused[] = {
        // A new agent has no address yet: it cannot go active at once.
        {"createAndGo of a new row", 2, SnmpValue::Integer(kRowCreateAndGo), kSnmpErrInconsistentValue},
        {"createAndWait past the next row", 3, wait, kSnmpErrCommitFailed},
        {"createAndWait of an existing row", 1, wait, kSnmpErrCommitFailed},
        {"no RowStatus value", 1, SnmpValue::Integer(7), kSnmpErrWrongValue},
        {"no RowStatus value at a new row", 2, SnmpValue::Integer(0), kSnmpErrWrongValue},
        {"a row the key cannot hold", 4096, wait, kSnmpErrNoCreation},
        {"row 0", 0, wait, kSnmpErrNoCreation},
        {"notReady", 1, SnmpValue::Integer(kRowNotReady), kSnmpErrCommitFailed},
        {"another syntax", 2, SnmpValue::Octets("5"), kSnmpErrWrongType},
    };
    for (const Case& c : refused) {
        EXPECT_EQ(Set(table, 2, c.row, c.value), c.status) << c.what;
        EXPECT_EQ(counts.remoteAgents.Count(), 1u) << c.what;
        EXPECT_EQ(remote->GetRowCount(), 1) << c.what;
    }

    // The cap of two agents.
    ASSERT_EQ(Set(table, 2, 2, wait), kSnmpErrNoError);
    EXPECT_EQ(Set(table, 2, 3, wait), kSnmpErrCommitFailed);
    EXPECT_EQ(remote->GetRowCount(), 2);
    EXPECT_EQ(counts.remoteAgents.Count(), 2u);

    // With a higher cap, a table out of step with the engine's own agents creates nothing.
    remote->cap = 4;
    remote->AddTableRow(); // an agent the MIB has not heard of yet
    EXPECT_EQ(Set(table, 2, 3, wait), kSnmpErrCommitFailed);
    EXPECT_EQ(remote->GetRowCount(), 3);
    EXPECT_EQ(counts.remoteAgents.Count(), 2u);
}

TEST_F(EngineTablesTest, RemoteAgentDestroyQueuesTheAgentAndWritesNoFurtherRow)
{
    mvn_remotetable_entry table(counts.remoteAgents);
    remote->cap = 3;
    for (uint32_t r = 1; r <= 3; ++r) {
        ASSERT_EQ(Set(table, 2, r, SnmpValue::Integer(kRowCreateAndWait)), kSnmpErrNoError);
        ASSERT_EQ(Set(table, 3, r, SnmpValue::Octets("127.0.0." + std::to_string(10 + r))), kSnmpErrNoError);
        ASSERT_EQ(Set(table, 2, r, SnmpValue::Integer(kRowActive)), kSnmpErrNoError);
    }
    remote->sets.clear();

    ASSERT_EQ(Set(table, 2, 1, SnmpValue::Integer(kRowDestroy)), kSnmpErrNoError);
    EXPECT_EQ(remote->removals, std::vector<int>{1});
    EXPECT_EQ(counts.remoteAgents.Count(), 2u);
    // Row 1 now holds the former second agent, which stays as it was.
    EXPECT_TRUE(remote->sets.empty()) << remote->sets.front();
    EXPECT_EQ(Get(table, 3, 1).bytes, "127.0.0.12");
    EXPECT_EQ(Get(table, 2, 1).integer, 1);
    EXPECT_FALSE(table.has_row(SnmpOid{3}));

    EXPECT_EQ(Set(table, 2, 3, SnmpValue::Integer(kRowDestroy)), kSnmpErrCommitFailed);
    // A cell of a row that is gone changes nothing.
    EXPECT_EQ(Set(table, 3, 3, SnmpValue::Octets("x")), kSnmpErrNoCreation);
    EXPECT_TRUE(remote->sets.empty());
}

TEST_F(EngineTablesTest, CellsOutsideTheRowsAndTheKeySpaceAreNeverShown)
{
    mvn_snmpiptable_entry table(counts.trapDestinations);
    // A count past what the keys can address (row 256 would read column 3 of row 0).
    counts.trapDestinations.SetCount(300);
    SnmpOid index;
    EXPECT_TRUE(table.has_row(SnmpOid{255}));
    EXPECT_FALSE(table.has_row(SnmpOid{256}));
    EXPECT_FALSE(table.next_row(SnmpOid{255}, false, index));
    EXPECT_FALSE(table.has_row(SnmpOid{0}));
    EXPECT_FALSE(table.has_row(SnmpOid{1, 1}));
    counts.trapDestinations.SetCount(2);
    EXPECT_FALSE(table.has_row(SnmpOid{3}));
    ASSERT_TRUE(table.next_row(SnmpOid{1, 5}, false, index));
    EXPECT_EQ(index, SnmpOid{2});
}

TEST_F(EngineTablesTest, EmptyTablesAndTheirCountsInWalkOrder)
{
    Mib mib;
    AddEngineScalarGroups(mib);
    AddEngineTableGroups(mib, counts);
    auto group = [&](const std::string& name) -> MibGroup& {
        for (const auto& g : mib.groups())
            if (g->get_name() == name)
                return *g;
        ADD_FAILURE() << name;
        return *mib.groups().front();
    };
    auto next = [&](MibGroup& g, const std::string& from) {
        MibGroup::Target target;
        return g.find_next(MakeOid(from.c_str()), false, target) ? OidToString(target.instance) : std::string();
    };
    const std::string e = "1.3.6.1.4.1.64950";
    // The protocol and port tables have no rows: the walk goes from count to count to the discovery.
    EXPECT_EQ(next(group("mvnEngineData"), e + ".10.1.9.1.0"), e + ".10.1.10.1.0");
    EXPECT_EQ(next(group("mvnEngineData"), e + ".10.1.10.1.0"), e + ".10.1.11.1.0");
    // The group count reads 13 and the walk leaves its group.
    EXPECT_EQ(next(group("mvngrouptable"), e + ".10.3.1.0"), "");
    EXPECT_EQ(next(group("mvncontacttable"), e + ".14.1"), e + ".14.1.1.0");
    EXPECT_EQ(next(group("mvncontacttable"), e + ".14.1.1.0"), "");

    // Creation of a contact or syslog row: the engine refuses it, and the table stays empty.
    for (const char* name : {"mvncontacttable", "mvnsyslogtable"}) {
        MibGroup::Target target;
        const std::string oid = std::string(name) == "mvncontacttable" ? e + ".14.1.2.1.2.1" : e + ".17.2.1.2.1";
        group(name).find_exact(MakeOid(oid.c_str()), target);
        ASSERT_NE(target.leaf, nullptr) << name;
        EXPECT_EQ(Set(*target.leaf->get_table(), 2, 1, SnmpValue::Integer(kRowCreateAndWait)), kSnmpErrCommitFailed)
            << name;
        EXPECT_FALSE(target.leaf->get_table()->has_row(SnmpOid{1})) << name;
    }

    // With two trap destinations their rows appear, column by column.
    counts.trapDestinations.SetCount(2);
    EXPECT_EQ(next(group("mvnsnmpiptable"), e + ".14.2.1.0"), e + ".14.2.2.1.1.1");
    EXPECT_EQ(next(group("mvnsnmpiptable"), e + ".14.2.2.1.1.2"), e + ".14.2.2.1.2.1");
    EXPECT_EQ(next(group("mvnsnmpiptable"), e + ".14.2.2.1.8.2"), "");
}
