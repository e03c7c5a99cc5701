// The tree ./scripts/run lays out and starts: bin/ holds exactly the files of the targets it builds
// (vg_run_tree), and the engine started there in console mode runs with all its managers. The shutdown
// library of that list is replaced by the recording stand-in of the same name, so the test never loads
// the library that powers the machine off; a list without the library leaves the tree without one.

#include <gtest/gtest.h>

#include <filesystem>

#include "EngineProcess.h"

namespace {

using namespace e2e;

TEST(RunLayout, EngineFromTheRunTreeStartsItsManagers)
{
    vgtest::Sandbox tree("vgrun");
    tree.MakeDirs({"bin"});
    const std::vector<std::string> files = ReadLines(VG_RUN_TREE_FILES);
    ASSERT_FALSE(files.empty()) << VG_RUN_TREE_FILES;
    for (const std::string& file : files) {
        if (file.empty())
            continue;
        const fs::path from = fs::path(file).filename() == "libvgdown.so"
                                  ? fs::path(VG_RECORDING_VGDOWN_DIR) / "libvgdown.so"
                                  : fs::path(file);
        ASSERT_TRUE(fs::is_regular_file(from)) << from;
        fs::copy_file(from, tree.Path("bin/" + fs::path(file).filename().string()));
    }
    ASSERT_TRUE(fs::is_regular_file(tree.Path("bin/haltwatch"))); // the console is laid beside the engine

    const int port = vgtest::FreePortOnEveryAddress(SOCK_DGRAM);
    const int trapPort = vgtest::FreePortOnEveryAddress(SOCK_DGRAM);
    // The default log level, as ./scripts/run starts it.
    Process engine(tree.Path("bin/vgnsa"), {"-n", "-p=" + std::to_string(port), "-t=" + std::to_string(trapPort)},
                   {{"VG_AGENTX_PORT", "0"}, {"VG_SHUTDOWN_RECORD", tree.Path("shutdown-calls")}},
                   tree.Path("console.out"));
    ASSERT_TRUE(WaitForAgent(port, 15000, "gimbal", &engine)) << engine.Output();
    // The server logs this once its devices, remote agents, timers and consoles run; the remote-agent
    // manager's first look at the INI follows it.
    ASSERT_TRUE(vgtest::WaitUntil([&] {
        const std::string out = engine.Output();
        return out.find("Vigilon Agent Started") != std::string::npos &&
               out.find("no remote agents to import") != std::string::npos;
    })) << engine.Output();
    EXPECT_EQ(engine.Output().find("Server start failed"), std::string::npos) << engine.Output();
    EXPECT_EQ(ReadText(tree.Path("log/vigilon.log")).find("Server start failed"), std::string::npos);
    EXPECT_FALSE(fs::exists(tree.Path("shutdown-calls")));
}

} // namespace
