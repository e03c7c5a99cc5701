#include <gtest/gtest.h>

#include "support/AgentHost.h"
#include "support/TestSupport.h"

// The embedded agent starts and answers a standard object, one of ours and an SNMPv3 one.
TEST(AgentSmoke, StartsAndAnswers)
{
    auto& host = vgtest::AgentHost::Get();
    ASSERT_EQ(host.Result().status, 0);
    std::string out;
    int rc = vgtest::RunTool({"snmpget", "-v2c", "-c", "gimbal", "-On", host.Peer(), "1.3.6.1.2.1.1.1.0",
                              vgtest::Enterprise("99.2.0"), "1.3.6.1.6.3.10.2.1.2.0"},
                             out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("\"Vigilon v12.04.0059\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"hello\""), std::string::npos) << out;
}
