// Our MIB framework served by the embedded agent, driven with net-snmp's command-line tools.

#include <gtest/gtest.h>

#include <sstream>

#include "support/AgentHost.h"
#include "support/TestSupport.h"

namespace {

using vgtest::Enterprise;

std::string Tool(const std::string& tool, std::vector<std::string> args, int* rc = nullptr)
{
    auto& host = vgtest::AgentHost::Get();
    std::vector<std::string> argv = {tool, "-v2c", "-c", "wendolmar", "-On", "-t", "2", "-r", "1", host.Peer()};
    if (tool == "snmpwalk" || tool == "snmpbulkwalk")
        argv.insert(argv.begin() + 5, "-Cc");
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    int code = vgtest::RunTool(argv, out);
    if (rc)
        *rc = code;
    return out;
}

// The OIDs of a walk's lines, in order.
std::vector<std::string> Names(const std::string& output)
{
    std::vector<std::string> names;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find(" = ");
        if (!line.empty() && line[0] == '.' && eq != std::string::npos)
            names.push_back(line.substr(1, eq - 1));
    }
    return names;
}

class MibFramework : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(vgtest::AgentHost::Get().Result().status, 0); }
};

TEST_F(MibFramework, GetAnswersObjectsAndExceptions)
{
    std::string out = Tool("snmpget", {Enterprise("98.1.0"), Enterprise("99.2.0"), Enterprise("99.5.0"),
                                       Enterprise("99.7.0"), Enterprise("99.2.1"), Enterprise("99.10.1.3.77"),
                                       Enterprise("99.10.1.9.1")});
    EXPECT_NE(out.find(Enterprise("98.1.0") + " = INTEGER: 98"), std::string::npos) << out;
    EXPECT_NE(out.find(Enterprise("99.2.0") + " = STRING: \"hello\""), std::string::npos) << out;
    // Not accessible and unknown objects, a wrong instance of a scalar, a missing row, a missing column.
    EXPECT_NE(out.find(Enterprise("99.5.0") + " = No Such Object"), std::string::npos) << out;
    EXPECT_NE(out.find(Enterprise("99.7.0") + " = No Such Object"), std::string::npos) << out;
    EXPECT_NE(out.find(Enterprise("99.2.1") + " = No Such Instance"), std::string::npos) << out;
    EXPECT_NE(out.find(Enterprise("99.10.1.3.77") + " = No Such Instance"), std::string::npos) << out;
    EXPECT_NE(out.find(Enterprise("99.10.1.9.1") + " = No Such Object"), std::string::npos) << out;
}

TEST_F(MibFramework, RequesterAddressHasTheFirstOctetInTheLowestByte)
{
    auto& host = vgtest::AgentHost::Get();
    struct Case {
        const char* source;
        long expected;
    } cases[] = {{"127.0.0.1", 0x0100007F}, {"127.0.0.2", 0x0200007F}, {"127.1.2.3", 0x0302017F}};
    for (const Case& c : cases) {
        std::string out;
        vgtest::RunTool({"snmpget", "-v2c", "-c", "gimbal", "-On", "--clientaddr=" + std::string(c.source),
                         host.Peer(), Enterprise("99.4.0")},
                        out);
        EXPECT_NE(out.find("INTEGER: " + std::to_string(static_cast<int32_t>(c.expected))), std::string::npos)
            << c.source << ": " << out;
    }
    std::string out;
    vgtest::RunTool({"snmpset", "-v2c", "-c", "zastrove", "-On", "--clientaddr=127.0.0.2", host.Peer(),
                     Enterprise("99.1.0"), "i", "11"},
                    out);
    EXPECT_EQ(vgtest::LastSetRequester(), 0x0200007Fu) << out;
}

TEST_F(MibFramework, SetOutcomes)
{
    struct Case {
        std::vector<std::string> args;
        const char* expected;  // text in the tool's output
    } cases[] = {
        {{Enterprise("99.1.0"), "i", "42"}, "INTEGER: 42"},
        {{Enterprise("99.2.0"), "s", "x"}, "notWritable"},
        {{Enterprise("99.1.0"), "s", "x"}, "wrongType"},
        {{Enterprise("99.3.0"), "i", "1"}, "commitFailed"},
        {{Enterprise("99.7.0"), "i", "1"}, "noCreation"},
        {{Enterprise("99.5.0"), "i", "1"}, "notWritable"},
        {{Enterprise("99.10.1.3.55"), "s", "x"}, "noCreation"},
        {{Enterprise("99.10.1.1.55"), "i", "1"}, "notWritable"},
        {{Enterprise("99.6.0"), "a", "10.9.8.7"}, "IpAddress: 10.9.8.7"},
    };
    for (const Case& c : cases) {
        std::string out = Tool("snmpset", c.args);
        EXPECT_NE(out.find(c.expected), std::string::npos) << c.args[0] << ": " << out;
    }
    // Read back what was written; the address keeps its octet order.
    std::string out = Tool("snmpget", {Enterprise("99.1.0"), Enterprise("99.6.0")});
    EXPECT_NE(out.find("INTEGER: 42"), std::string::npos) << out;
    EXPECT_NE(out.find("IpAddress: 10.9.8.7"), std::string::npos) << out;
}

TEST_F(MibFramework, RefusedVarbindStopsTheWholeSet)
{
    Tool("snmpset", {Enterprise("99.1.0"), "i", "5"});
    std::string out = Tool("snmpset", {Enterprise("99.1.0"), "i", "77", Enterprise("99.2.0"), "s", "x"});
    EXPECT_NE(out.find("notWritable"), std::string::npos) << out;
    out = Tool("snmpget", {Enterprise("99.1.0")});
    EXPECT_NE(out.find("INTEGER: 5"), std::string::npos) << out;
}

// A SET whose write fails applies none of its varbinds: the writes before the failing one are taken
// back, a created row goes again, and the manager hears of the failure.
TEST_F(MibFramework, FailedWriteUndoesTheWholeSet)
{
    Tool("snmpset", {Enterprise("99.1.0"), "i", "5"});
    struct Case {
        std::vector<std::string> args;
    } cases[] = {
        {{Enterprise("99.1.0"), "i", "77", Enterprise("99.3.0"), "i", "1"}},
        {{Enterprise("99.3.0"), "i", "1", Enterprise("99.1.0"), "i", "77"}},
        // A created row and its column, then the failure in another group's object.
        {{Enterprise("99.10.1.2.1"), "i", "4", Enterprise("99.10.1.3.1"), "s", "made", Enterprise("99.1.0"), "i", "77",
          Enterprise("99.3.0"), "i", "1"}},
    };
    for (const Case& c : cases) {
        std::string out = Tool("snmpset", c.args);
        EXPECT_NE(out.find("commitFailed"), std::string::npos) << out;
        out = Tool("snmpget", {Enterprise("99.1.0"), Enterprise("99.10.1.1.1")});
        EXPECT_NE(out.find(Enterprise("99.1.0") + " = INTEGER: 5"), std::string::npos) << out;
        EXPECT_NE(out.find(Enterprise("99.10.1.1.1") + " = No Such Instance"), std::string::npos) << out;
    }
    // The table's own count went back with the row: the next creation is row 1 again.
    std::string out = Tool("snmpset", {Enterprise("99.10.1.2.1"), "i", "4", Enterprise("99.10.1.3.1"), "s", "made"});
    EXPECT_NE(out.find("INTEGER: 4"), std::string::npos) << out;
    out = Tool("snmpset", {Enterprise("99.10.1.3.1"), "s", "changed", Enterprise("99.3.0"), "i", "1"});
    EXPECT_NE(out.find("commitFailed"), std::string::npos) << out;
    out = Tool("snmpget", {Enterprise("99.10.1.3.1")});
    EXPECT_NE(out.find("STRING: \"made\""), std::string::npos) << "a text written back: " << out;
    Tool("snmpset", {Enterprise("99.10.1.2.1"), "i", "6"});
}

TEST_F(MibFramework, RowsWalksAndBulk)
{
    // Rows through the RowStatus column: 1 then 2 at the end; a gap and a duplicate fail.
    struct Step {
        std::vector<std::string> args;
        const char* expected;
    } steps[] = {
        {{Enterprise("99.10.1.2.1"), "i", "5"}, "INTEGER: 5"},
        {{Enterprise("99.10.1.2.3"), "i", "5"}, "commitFailed"},
        {{Enterprise("99.10.1.2.2"), "i", "4"}, "INTEGER: 4"},
        {{Enterprise("99.10.1.2.2"), "i", "4"}, "commitFailed"},
        {{Enterprise("99.10.1.2.9"), "i", "7"}, "commitFailed"},
        {{Enterprise("99.10.1.3.2"), "s", "second"}, "STRING: \"second\""},
    };
    for (const Step& s : steps) {
        std::string out = Tool("snmpset", s.args);
        EXPECT_NE(out.find(s.expected), std::string::npos) << s.args[0] << ": " << out;
    }
    // A walk of both groups: OID order across the groups, the hidden object left out, the table by
    // column then row.
    std::vector<std::string> expected = {
        Enterprise("98.1.0"),       Enterprise("98.2.0"),       Enterprise("99.1.0"),       Enterprise("99.2.0"),       Enterprise("99.3.0"),
        Enterprise("99.4.0"),       Enterprise("99.6.0"),       Enterprise("99.10.1.1.1"), Enterprise("99.10.1.1.2"),
        Enterprise("99.10.1.2.1"), Enterprise("99.10.1.2.2"), Enterprise("99.10.1.3.1"), Enterprise("99.10.1.3.2"),
    };
    std::string walk = Tool("snmpwalk", {"1.3.6.1.4.1.64950"});
    EXPECT_EQ(Names(walk), expected) << walk;
    std::string bulk = Tool("snmpbulkwalk", {"-Cr5", "1.3.6.1.4.1.64950"});
    EXPECT_EQ(Names(bulk), expected) << bulk;
    // GET-NEXT leaves a group and its table at their ends: into the next group, then past ours.
    std::string out = Tool("snmpgetnext", {Enterprise("98.2.0"), Enterprise("99.10.1.3.2"), Enterprise("99.10.1")});
    std::vector<std::string> next = Names(out);
    ASSERT_EQ(next.size(), 3u) << out;
    EXPECT_EQ(next[0], Enterprise("99.1.0"));
    EXPECT_EQ(next[1].rfind("1.3.6.1.4.1.64950.99.", 0), std::string::npos) << out;
    EXPECT_EQ(next[2], Enterprise("99.10.1.1.1"));
    // Destroy takes the last row away.
    out = Tool("snmpset", {Enterprise("99.10.1.2.2"), "i", "6"});
    EXPECT_NE(out.find("INTEGER: 6"), std::string::npos) << out;
    out = Tool("snmpget", {Enterprise("99.10.1.1.2"), Enterprise("99.10.1.1.1")});
    EXPECT_NE(out.find(Enterprise("99.10.1.1.2") + " = No Such Instance"), std::string::npos) << out;
    EXPECT_NE(out.find(Enterprise("99.10.1.1.1") + " = INTEGER: 1"), std::string::npos) << out;
    Tool("snmpset", {Enterprise("99.10.1.2.1"), "i", "6"});
}

TEST_F(MibFramework, RowCreatedWithItsColumnsInOneSet)
{
    // The column comes first in the request; the row is created before it is written.
    std::string out = Tool("snmpset", {Enterprise("99.10.1.3.1"), "s", "made", Enterprise("99.10.1.2.1"), "i", "4"});
    EXPECT_NE(out.find("STRING: \"made\""), std::string::npos) << out;
    out = Tool("snmpget", {Enterprise("99.10.1.3.1")});
    EXPECT_NE(out.find("STRING: \"made\""), std::string::npos) << out;
    // A creation that fails takes its columns with it, and leaves no row.
    out = Tool("snmpset", {Enterprise("99.10.1.3.5"), "s", "gap", Enterprise("99.10.1.2.5"), "i", "4"});
    EXPECT_NE(out.find("commitFailed"), std::string::npos) << out;
    out = Tool("snmpget", {Enterprise("99.10.1.1.5")});
    EXPECT_NE(out.find("No Such Instance"), std::string::npos) << out;
    Tool("snmpset", {Enterprise("99.10.1.2.1"), "i", "6"});
}

}  // namespace
