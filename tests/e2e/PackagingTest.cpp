// The packaging files and a fresh install's first start: the system-sleep hook turns suspend and resume
// into the engine's power-event signals (checked against a recording systemctl), the unit file names what
// the engine expects and passes systemd's own check, the engine's Debian package carries no state of a
// run, and an engine started in a tree that holds only bin/ makes its folders without complaining.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
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

// The install rules laid into dest (as DESTDIR) under /opt/vigilon; the tool's output on failure.
::testing::AssertionResult InstallInto(const std::string& dest)
{
    std::string out;
    if (vgtest::RunTool({"env", "DESTDIR=" + dest, "cmake", "--install", VG_BUILD_DIR, "--prefix", "/opt/vigilon"},
                        out, 120) != 0)
        return ::testing::AssertionFailure() << out;
    return ::testing::AssertionSuccess();
}

bool HaveTool(const std::string& name)
{
    std::string out;
    return vgtest::RunTool({"sh", "-c", "command -v " + name}, out) == 0;
}

// cmake --install lays the tree into a DESTDIR: the programs and the real shutdown library in bin/, data/
// and log/, and the unit, the sleep hook and the console's desktop entry where the system looks for them.
TEST(Packaging, InstallLaysOutTheTree)
{
    TempTree tree;
    const std::string dest = tree.Root() + "/dest";
    ASSERT_TRUE(InstallInto(dest));
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

// systemd's own check of the installed unit, with the programs where it names them: the unit's prefix is
// moved into the DESTDIR so that its ExecStart and WorkingDirectory point at the installed tree.
TEST(Packaging, InstalledUnitPassesSystemdVerify)
{
    if (!HaveTool("systemd-analyze"))
        GTEST_SKIP() << "systemd-analyze is not installed";
    TempTree tree;
    const std::string dest = tree.Root() + "/dest";
    ASSERT_TRUE(InstallInto(dest));
    std::string unit = ReadText(dest + "/lib/systemd/system/vigilon-agent.service");
    ASSERT_FALSE(unit.empty());
    const std::string prefix = "/opt/vigilon";
    for (size_t at = unit.find(prefix); at != std::string::npos; at = unit.find(prefix, at + dest.size() + prefix.size()))
        unit.insert(at, dest);
    fs::create_directories(tree.Root() + "/units");
    const std::string path = tree.Root() + "/units/vigilon-agent.service";
    std::ofstream(path) << unit;
    std::string out;
    EXPECT_EQ(vgtest::RunTool({"systemd-analyze", "verify", path}, out, 60), 0) << out;
    EXPECT_EQ(out, "") << unit; // a key it cannot use is only a warning
}

// Files a run leaves in its tree's data/ and log/, laid into the build's own tree for one test (only
// those that are not there yet, and only those are removed again).
class RunLeftovers {
public:
    explicit RunLeftovers(const fs::path& tree)
    {
        for (const char* name : {"data/vgusrext.dat", "data/vgcnsext.dat", "data/vgrmtext.dat", "data/vgdvcext.dat",
                                 "data/vgusrext.bak", "data/netsnmp/vgnsa.conf", "log/vigilon.log"}) {
            const fs::path file = tree / name;
            if (!fs::exists(file.parent_path()) && fs::create_directories(file.parent_path()))
                m_made.push_back(file.parent_path());
            if (fs::exists(file))
                continue;
            std::ofstream(file) << "community=zastrove\n";
            m_made.push_back(file);
        }
    }
    ~RunLeftovers()
    {
        std::error_code ec;
        for (auto it = m_made.rbegin(); it != m_made.rend(); ++it)
            fs::remove(*it, ec);
    }

private:
    std::vector<fs::path> m_made;
};

// The engine's package is made from the install rules: after a run from the build's own tree it still
// holds only empty data/ and log/ folders (0750), none of that run's files (settings, console
// registrations and communities, net-snmp's state, logs).
TEST(Packaging, DebianPackageHoldsNoRuntimeState)
{
    if (!HaveTool("dpkg-deb"))
        GTEST_SKIP() << "dpkg-deb is not installed";
    TempTree tree;
    RunLeftovers leftovers(VG_TREE_DIR);
    std::string out;
    ASSERT_EQ(vgtest::RunTool({"cpack", "-G", "DEB", "-B", tree.Root() + "/package", "--config",
                               std::string(VG_BUILD_DIR) + "/CPackConfig.cmake"},
                              out, 180),
              0)
        << out;
    std::string deb; // the engine's package holds data/ and log/
    for (const auto& entry : fs::directory_iterator(tree.Root() + "/package"))
        if (entry.path().extension() == ".deb" &&
            entry.path().filename().string().rfind(std::string(VG_ENGINE_PACKAGE) + "_", 0) == 0)
            deb = entry.path().string();
    ASSERT_FALSE(deb.empty()) << out;
    ASSERT_EQ(vgtest::RunTool({"dpkg-deb", "-c", deb}, out), 0) << out;

    // "drwxr-x--- root/root 0 2026-12-11 02:50 ./opt/vigilon/data/": the mode and the path of each entry.
    std::map<std::string, std::string> modes;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string mode, owner, size, date, time, path;
        if (fields >> mode >> owner >> size >> date >> time >> path)
            modes[path] = mode;
    }
    std::string prefix; // the package's install prefix, from where it holds the engine
    for (const auto& [path, mode] : modes)
        if (path.size() > 10 && path.compare(path.size() - 10, 10, "/bin/vgnsa") == 0)
            prefix = path.substr(0, path.size() - 9);
    ASSERT_FALSE(prefix.empty()) << out;
    std::set<std::string> underFolders;
    for (const auto& [path, mode] : modes)
        if (path.rfind(prefix + "data/", 0) == 0 || path.rfind(prefix + "log/", 0) == 0)
            underFolders.insert(path);
    EXPECT_EQ(underFolders, (std::set<std::string>{prefix + "data/", prefix + "log/"})) << out;
    EXPECT_EQ(modes[prefix + "data/"], "drwxr-x---");
    EXPECT_EQ(modes[prefix + "log/"], "drwxr-x---");
}

// A fresh tree holds bin/ alone: no INI, no data/, no log/. The first start makes the folders (no access
// for others) and says nothing is wrong: a missing INI is the normal first start.
TEST(FirstStart, BareTreeGetsItsFoldersWithoutErrors)
{
    EngineInstall engine;
    fs::remove_all(engine.Path("data"));
    fs::remove_all(engine.Path("log"));
    ASSERT_FALSE(fs::exists(engine.Path("vgconfig.ini")));
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    // The INI's remote-agent sections are the last the start looks for: the import's line, whatever it says.
    ASSERT_TRUE(vgtest::WaitUntil([&] {
        const std::string log = engine.LogText();
        return log.find("remote agents to import") != std::string::npos ||
               log.find("configuration file") != std::string::npos;
    })) << engine.ConsoleOutput();
    for (const char* folder : {"data", "log", "data/netsnmp"}) {
        ASSERT_TRUE(fs::is_directory(engine.Path(folder))) << folder;
        EXPECT_EQ(fs::status(engine.Path(folder)).permissions() & fs::perms::others_all, fs::perms::none) << folder;
    }
    EXPECT_TRUE(fs::is_regular_file(engine.Path("data/vgusrext.dat")));
    std::istringstream lines(engine.LogText());
    for (std::string line; std::getline(lines, line);)
        if (line.find("[ERROR]") != std::string::npos) {
            EXPECT_EQ(line.find("mkdir"), std::string::npos) << line;
            EXPECT_EQ(line.find("configuration file"), std::string::npos) << line;
        }
}

} // namespace
