// The server with its own console registry: registration through the activation variable, setting
// announcements reaching the console, and the registry across a restart of the server.

#include <gtest/gtest.h>

#include "engine/base/Helpers.h"
#include "tests/core/ConsolesTestSupport.h"
#include "tests/support/LogCapture.h"
#include "tests/core/ServerTestSupport.h"

namespace {

class ConsoleServerTest : public ::testing::Test {
protected:
    ScopedLogCapture log;
    servertest::TestInstall install;
    servertest::CallLog calls;
    consoletest::RecordingTrapSender sender;

    std::unique_ptr<CServerEx> StartServer()
    {
        ServerOptions options = install.Options(calls);
        options.consoles.reset(); // the engine's own registry
        options.trapSender = &sender;
        options.consoleOptions.fanOutSpacingMs = 0;
        auto server = std::make_unique<CServerEx>(options);
        EXPECT_TRUE(server->Start(0, 2, 16300, "public"));
        EXPECT_TRUE(servertest::WaitUntil([&] { return server->IsStarted(); }));
        return server;
    }
};

TEST_F(ConsoleServerTest, ActivationRegistersAndSettingChangesReachTheConsole)
{
    const uint32_t console = consoletest::Ip(127, 0, 0, 9);
    {
        auto server = StartServer();
        EXPECT_NE(dynamic_cast<CConsoles*>(server->GetConsoles()), nullptr);
        EXPECT_EQ(server->GetIntValue(0x85010006, 0), 0u);
        EXPECT_EQ(server->GetIntValue(10, console), 1u);
        EXPECT_EQ(server->GetIntValue(0x85010006, 0), 1u);
        EXPECT_TRUE(FileExists(server->GetFilePaths().console.c_str()));

        server->SetIntValue(0x85020011, console, 17001);
        server->SetIntValue(44, console, 5); // refused duration: saved and announced all the same
        auto sent = sender.Sends();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].peername, "127.0.0.9");
        EXPECT_EQ(sent[0].port, 17001);
        EXPECT_EQ(sent[0].community, "public");
        EXPECT_EQ(sent[0].trapOid, CConsoles::TrapOid(1001));
        ASSERT_EQ(sent[0].varbinds.size(), 1u);
        EXPECT_EQ(sent[0].varbinds[0].oid, (std::vector<uint32_t>{1, 3, 6, 1, 4, 1, 64950, 10, 4, 1, 3, 0}));
        EXPECT_EQ(sent[0].varbinds[0].integer, 5);
        server->Destroy();
    }
    sender.Clear();
    auto server = StartServer();
    EXPECT_EQ(server->GetIntValue(0x85010006, 0), 1u);
    auto* consoles = dynamic_cast<CConsoles*>(server->GetConsoles());
    ASSERT_NE(consoles, nullptr);
    ASSERT_EQ(consoles->GetEntries().size(), 1u);
    EXPECT_EQ(consoles->GetEntries()[0]->GetThreadName(), "CONSOLE_0");
    EXPECT_FALSE(consoles->GetEntries()[0]->IsActive());
    EXPECT_EQ(server->GetIntValue(0x85020011, console), 17001u);
    EXPECT_TRUE(consoles->GetEntries()[0]->IsActive());
    server->Destroy();
}

} // namespace
