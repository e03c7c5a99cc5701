// What the agent does around a whole request: the SET observer that runs once per SET request before
// its answer goes out, and answers too big to send, which become tooBig.

#include <gtest/gtest.h>

#include <atomic>

#include "engine/agent/mib/Mib.h"
#include "support/AgentHost.h"
#include "support/TestSupport.h"

namespace {

using vgtest::Enterprise;

std::string Tool(const std::string& tool, const std::string& version, std::vector<std::string> args, int* rc = nullptr)
{
    auto& host = vgtest::AgentHost::Get();
    std::vector<std::string> argv = {tool, "-v" + version, "-c", "wendolmar", "-On", "-t", "2", "-r", "0", host.Peer()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    int code = vgtest::RunTool(argv, out);
    if (rc)
        *rc = code;
    return out;
}

struct Counts {
    std::atomic<int> begins{0};
    std::atomic<int> ends{0};
    std::atomic<bool> endSucceeds{true};
};

class RequestHooks : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(vgtest::AgentHost::Get().Result().status, 0);
        Observe({[c = &m_counts] { ++c->begins; },
                 [c = &m_counts] {
                     ++c->ends;
                     return c->endSucceeds.load();
                 }});
    }
    void TearDown() override { Observe({}); }
    void Observe(Mib::SetObserver observer)
    {
        ASSERT_TRUE(vgtest::AgentHost::Get().Thread().Call([&] { Mib::SetSetObserver(observer); }, 5000));
    }
    Counts m_counts;
};

TEST_F(RequestHooks, OneBeginAndOneEndPerSetRequestBeforeItsAnswer)
{
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int begins, ends;
        const char* answer;  // in the tool's output
    } cases[] = {
        {"two groups", {Enterprise("98.2.0"), "s", "a", Enterprise("99.1.0"), "i", "2", Enterprise("99.6.0"), "a", "10.0.0.1"},
         1, 1, "IpAddress: 10.0.0.1"},
        {"refused at the check", {Enterprise("99.1.0"), "i", "3", Enterprise("99.2.0"), "s", "x"}, 1, 1, "notWritable"},
        {"failed at commit", {Enterprise("99.3.0"), "i", "1"}, 1, 1, "commitFailed"},
        {"not ours", {"1.3.6.1.2.1.1.5.0", "s", "name"}, 0, 0, "STRING: \"name\""},
    };
    for (const Case& c : cases) {
        m_counts.begins = 0;
        m_counts.ends = 0;
        const std::string out = Tool("snmpset", "2c", c.args);
        EXPECT_NE(out.find(c.answer), std::string::npos) << c.what << ": " << out;
        EXPECT_EQ(m_counts.begins.load(), c.begins) << c.what;
        EXPECT_EQ(m_counts.ends.load(), c.ends) << c.what;
    }

    // Many varbinds in one request: still one of each.
    std::vector<std::string> many;
    for (int i = 0; i < 60; ++i)
        many.insert(many.end(), {Enterprise(i % 2 ? "99.1.0" : "98.2.0"), i % 2 ? "i" : "s", std::to_string(i)});
    m_counts.begins = 0;
    m_counts.ends = 0;
    std::string out = Tool("snmpset", "2c", many);
    EXPECT_NE(out.find("INTEGER: 59"), std::string::npos) << out;
    EXPECT_EQ(m_counts.begins.load(), 1);
    EXPECT_EQ(m_counts.ends.load(), 1);

    // Reads are no SET requests.
    Tool("snmpget", "2c", {Enterprise("99.1.0"), Enterprise("98.2.0")});
    EXPECT_EQ(m_counts.begins.load(), 1);

    // The end runs before the answer is made: its failure reaches the manager.
    m_counts.endSucceeds = false;
    out = Tool("snmpset", "2c", {Enterprise("99.1.0"), "i", "4"});
    EXPECT_NE(out.find("commitFailed"), std::string::npos) << out;
}

// A destroy is made at the commit, after the request's other writes: when it fails there, or when the
// request's end (its save) fails afterwards, those writes are taken back and the row stays.
TEST_F(RequestHooks, DestroyIsMadeAtTheCommitAndGoesBackWithItsRequest)
{
    const std::string row = Enterprise("99.10.1.1.1"), status = Enterprise("99.10.1.2.1"), text = Enterprise("99.10.1.3.1");
    std::string out = Tool("snmpset", "2c", {status, "i", "5", text, "s", "kept", Enterprise("99.1.0"), "i", "5"});
    ASSERT_NE(out.find("INTEGER: 5"), std::string::npos) << out;
    const struct {
        const char* what;
        bool destroyFails;
        bool endSucceeds;
    } cases[] = {
        {"the destroy fails at the commit", true, true},
        {"the end fails after the commit", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        vgtest::SetDestroysFail(c.destroyFails);
        m_counts.endSucceeds = c.endSucceeds;
        out = Tool("snmpset", "2c", {Enterprise("99.1.0"), "i", "77", status, "i", "6", text, "s", "gone"});
        EXPECT_NE(out.find("commitFailed"), std::string::npos) << out;
        out = Tool("snmpget", "2c", {Enterprise("99.1.0"), row, text});
        EXPECT_NE(out.find(Enterprise("99.1.0") + " = INTEGER: 5"), std::string::npos) << out;
        EXPECT_NE(out.find(row + " = INTEGER: 1"), std::string::npos) << out;
        EXPECT_NE(out.find(text + " = STRING: \"kept\""), std::string::npos) << out;
    }
    vgtest::SetDestroysFail(false);
    m_counts.endSucceeds = true;
    out = Tool("snmpset", "2c", {status, "i", "6", text, "s", "gone", Enterprise("99.1.0"), "i", "78"});
    EXPECT_NE(out.find("INTEGER: 78"), std::string::npos) << out;
    out = Tool("snmpget", "2c", {row});
    EXPECT_NE(out.find("No Such Instance"), std::string::npos) << out;
}

TEST_F(RequestHooks, AnswerTooBigToSendIsTooBig)
{
    // 1000 bytes read 70 times: a request of about 1.5 kB, an answer of about 70 kB.
    ASSERT_NE(Tool("snmpset", "2c", {Enterprise("98.2.0"), "s", std::string(1000, 'x')}).find("STRING"),
              std::string::npos);
    std::vector<std::string> oids(70, Enterprise("98.2.0"));
    for (const char* version : {"1", "2c"}) {
        int rc = 0;
        const std::string out = Tool("snmpget", version, oids, &rc);
        EXPECT_NE(rc, 0) << version;
        EXPECT_NE(out.find("tooBig"), std::string::npos) << "v" << version << ": " << out.substr(0, 300);
    }
    {
        std::vector<std::string> argv = {"snmpget", "-v3", "-u", "SHA", "-l", "authNoPriv", "-a", "SHA", "-A",
                                         "CobaltFernQuiverMap", "-On", "-t", "2", "-r", "0",
                                         vgtest::AgentHost::Get().Peer()};
        argv.insert(argv.end(), oids.begin(), oids.end());
        std::string out;
        vgtest::RunTool(argv, out);
        EXPECT_NE(out.find("tooBig"), std::string::npos) << "v3: " << out.substr(0, 300);
    }
    // A GETBULK answer is cut to the varbinds that fit instead: each of 70 repeaters finds the text.
    {
        std::vector<std::string> args = {"-Cn0", "-Cr1"};
        args.insert(args.end(), 70, Enterprise("98.1.0"));
        int bulkRc = 1;
        const std::string out = Tool("snmpbulkget", "2c", args, &bulkRc);
        EXPECT_EQ(bulkRc, 0) << out.substr(0, 300);
        size_t lines = 0;
        for (size_t at = out.find(Enterprise("98.2.0") + " = STRING"); at != std::string::npos;
             at = out.find(Enterprise("98.2.0") + " = STRING", at + 1))
            ++lines;
        EXPECT_GT(lines, 50u);
        EXPECT_LT(lines, 70u);
    }
    // An answer that fits is sent as it is.
    std::vector<std::string> fewer(40, Enterprise("98.2.0"));
    int rc = 1;
    const std::string out = Tool("snmpget", "2c", fewer, &rc);
    EXPECT_EQ(rc, 0) << out.substr(0, 300);
    EXPECT_NE(out.find("STRING: \"xxxx"), std::string::npos);
}

}  // namespace
