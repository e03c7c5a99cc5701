// The packaging files: the system-sleep hook turns suspend and resume into the engine's power-event
// signals (checked against a recording systemctl), and the unit file names what the engine expects.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "EngineProcess.h"

namespace {

using namespace e2e;

TEST(Packaging, SleepHookSendsThePowerEventSignals)
{
    TempTree tree;
    std::string fakeBin = tree.Root() + "/fakebin";
    std::filesystem::create_directories(fakeBin);
    std::string record = tree.Root() + "/systemctl.calls";
    {
        std::ofstream out(fakeBin + "/systemctl");
        out << "#!/bin/sh\necho \"$*\" >> " << record << "\n"
            << "[ \"$1\" = is-active ] && exit \"${FAKE_ACTIVE:-0}\"\nexit 0\n";
    }
    std::filesystem::permissions(fakeBin + "/systemctl", std::filesystem::perms::owner_all);
    const std::string hook = std::string(VG_SOURCE_DIR) + "/packaging/vigilon-agent.sleep";

    const struct {
        std::string args;
        std::string active;
        std::vector<std::string> calls;
    } cases[] = {
        {"pre suspend", "0",
         {"is-active --quiet vigilon-agent.service",
          "kill --kill-who=main --signal=SIGRTMIN+1 vigilon-agent.service"}},
        {"post hibernate", "0",
         {"is-active --quiet vigilon-agent.service",
          "kill --kill-who=main --signal=SIGRTMIN+2 vigilon-agent.service"}},
        {"pre suspend", "3", {"is-active --quiet vigilon-agent.service"}}, // the engine does not run
        {"other", "0", {}},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(record);
        std::vector<std::string> argv = {"env", "FAKE_ACTIVE=" + c.active, "PATH=" + fakeBin + ":/usr/bin:/bin", "sh",
                                         hook};
        std::istringstream words(c.args);
        for (std::string word; words >> word;)
            argv.push_back(word);
        std::string out;
        int code = vgtest::RunTool(argv, out);
        EXPECT_EQ(code, 0) << c.args << ": " << out;
        EXPECT_EQ(ReadLines(record), c.calls) << c.args;
    }
}

TEST(Packaging, UnitFileRunsTheEngineAsANotifyService)
{
    std::string unit = ReadText(std::string(VG_SOURCE_DIR) + "/packaging/vigilon-agent.service");
    EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos);
    EXPECT_NE(unit.find("\nExecStart=/opt/vigilon/bin/vgnsa\n"), std::string::npos); // no -n: service mode
    for (const char* signal : {"SIGTERM", "SIGUSR1", "SIGUSR2", "SIGHUP", "SIGRTMIN+1", "SIGRTMIN+2"})
        EXPECT_NE(unit.find(signal), std::string::npos) << signal;
}

} // namespace
