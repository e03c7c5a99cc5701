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

// cmake --install lays the tree into a DESTDIR: the programs and the real shutdown library in bin/, data/
// and log/, and the unit, the sleep hook and the console's desktop entry where the system looks for them.
TEST(Packaging, InstallLaysOutTheTree)
{
    TempTree tree;
    const std::string dest = tree.Root() + "/dest";
    std::string out;
    ASSERT_EQ(vgtest::RunTool({"env", "DESTDIR=" + dest, "cmake", "--install", VG_BUILD_DIR, "--prefix", "/opt/vigilon"},
                              out, 120),
              0)
        << out;
    const std::string root = dest + "/opt/vigilon";
    for (const char* program : {"bin/vgnsa", "bin/haltwatch", "vgnsa.parameters.example"}) {
        EXPECT_TRUE(fs::is_regular_file(root + "/" + program)) << program;
    }
    for (const char* program : {"bin/vgnsa", "bin/haltwatch"})
        EXPECT_NE(fs::status(root + "/" + program).permissions() & fs::perms::owner_exec, fs::perms::none) << program;
    EXPECT_TRUE(fs::is_directory(root + "/data"));
    EXPECT_TRUE(fs::is_directory(root + "/log"));
    // The shutdown library is the real one, never the recording stand-in the tests use.
    ASSERT_TRUE(fs::is_regular_file(root + "/bin/libvgdown.so"));
    EXPECT_EQ(ReadText(root + "/bin/libvgdown.so"), ReadText(std::string(VG_TREE_DIR) + "/bin/libvgdown.so"));
    EXPECT_NE(ReadText(root + "/bin/libvgdown.so"),
              ReadText(std::string(VG_RECORDING_VGDOWN_DIR) + "/libvgdown.so"));

    const std::string unit = ReadText(dest + "/lib/systemd/system/vigilon-agent.service");
    EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("/bin/vgnsa\n"), std::string::npos) << unit;
    const fs::path hook = dest + "/lib/systemd/system-sleep/vigilon-agent";
    ASSERT_TRUE(fs::is_regular_file(hook));
    EXPECT_NE(fs::status(hook).permissions() & fs::perms::owner_exec, fs::perms::none);
    const std::string desktop = ReadText(dest + "/usr/share/applications/haltwatch.desktop");
    EXPECT_NE(desktop.find("[Desktop Entry]\n"), std::string::npos) << desktop;
    EXPECT_NE(desktop.find("\nExec="), std::string::npos) << desktop;
    EXPECT_NE(desktop.find("/bin/haltwatch\n"), std::string::npos) << desktop;
}

} // namespace
