// The Debian packages an administrator installs: vigilon-engine (the engine, no Qt) and vigilon-console.
// Their control fields name what the programs link (computed, not written by hand), their programs are
// stripped, each has its copyright and changelog, and the engine's maintainer scripts enable and start the
// service on install, restart it on upgrade, stop it before removal, keep its data on remove and delete it
// on purge (checked by installing into a throw-away root, with recording stand-ins of the systemd tools,
// with and without a running systemd). lintian finds no error but the /opt layout the README explains.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/support/Process.h"
#include "tests/support/Sandbox.h"

namespace {

namespace fs = std::filesystem;
using vgtest::ReadLines;
using vgtest::ReadText;

const std::string kEngine = VG_ENGINE_PACKAGE;
const std::string kConsole = VG_CONSOLE_PACKAGE;
const std::string kUnit = "vigilon-agent.service";
// The install prefix inside a package or a root: "opt/vigilon".
const std::string kPrefix = std::string(VG_INSTALL_PREFIX).substr(1);

// The package's file, made by the packaging_build fixture.
std::string Deb(const std::string& package)
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(VG_PACKAGE_DIR, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(package + "_", 0) == 0 && entry.path().extension() == ".deb")
            return entry.path().string();
    }
    return "";
}

// A tool's output; a failure to run fails the test.
std::string RunOk(const std::vector<std::string>& argv, int timeoutSec = 60)
{
    std::string out;
    const int rc = vgtest::RunTool(argv, out, timeoutSec);
    EXPECT_EQ(rc, 0) << argv[0] << " " << (argv.size() > 1 ? argv[1] : "") << ": " << out;
    return out;
}

std::string Field(const std::string& deb, const std::string& name)
{
    std::string value = RunOk({"dpkg-deb", "-f", deb, name});
    while (!value.empty() && value.back() == '\n')
        value.pop_back();
    return value;
}

// The package names of a relationship field ("libc6 (>= 2.34), libqt6core6 (>= 6.4.0) | x").
std::set<std::string> Names(const std::string& relation)
{
    std::set<std::string> names;
    std::string item;
    std::istringstream items(relation);
    while (std::getline(items, item, ',')) {
        std::istringstream alternatives(item);
        for (std::string alternative; std::getline(alternatives, alternative, '|');) {
            std::istringstream words(alternative);
            std::string name;
            if (words >> name)
                names.insert(name);
        }
    }
    return names;
}

class DebianPackages : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const std::string& package : {kEngine, kConsole})
            ASSERT_FALSE(Deb(package).empty()) << package << " not in " << VG_PACKAGE_DIR
                                               << " (the ctest fixture packaging_build makes it)";
    }
};

TEST_F(DebianPackages, DependsAreComputedAndTheEngineNeedsNoQt)
{
    const struct {
        std::string package;
        std::vector<std::string> needs;
    } cases[] = {
        {kEngine, {"libc6", "libstdc++6", "libgcc-s1", "libsnmp40", "libssl3", "libsystemd0"}},
        {kConsole, {"libc6", "libstdc++6", "libqt6core6", "libqt6gui6", "libqt6widgets6", "libqt6network6",
                    "libsnmp40"}},
    };
    for (const auto& c : cases) {
        const std::string deb = Deb(c.package);
        EXPECT_EQ(Field(deb, "Package"), c.package);
        EXPECT_EQ(Field(deb, "Version"), VG_VERSION);
        // An install over the earlier single package "vigilon" takes its files over.
        EXPECT_EQ(Names(Field(deb, "Replaces")).count("vigilon"), 1u);
        EXPECT_EQ(Names(Field(deb, "Conflicts")).count("vigilon"), 1u);
        const std::set<std::string> depends = Names(Field(deb, "Depends"));
        for (const std::string& need : c.needs)
            EXPECT_EQ(depends.count(need), 1u) << c.package << " lacks " << need << " in " << Field(deb, "Depends");
    }
    const std::string engine = Deb(kEngine);
    for (const char* field : {"Pre-Depends", "Depends", "Recommends", "Suggests"})
        for (const std::string& name : Names(Field(engine, field)))
            EXPECT_EQ(name.find("qt"), std::string::npos) << field << ": " << name;
    // What it needs of the UPS agents' trap port is said where an administrator reads before installing.
    EXPECT_NE(Field(engine, "Description").find("UDP port 162"), std::string::npos) << Field(engine, "Description");
}

TEST_F(DebianPackages, ProgramsAreStrippedAndEachPackageHasItsDocs)
{
    const struct {
        std::string package;
        std::vector<std::string> holds;
        std::vector<std::string> leaves; // to the other package
    } cases[] = {
        {kEngine,
         {kPrefix + "/bin/vgnsa", kPrefix + "/bin/libvgdown.so", "lib/systemd/system/" + kUnit,
          "usr/share/snmp/mibs/VIGILON-MIB.txt"},
         {kPrefix + "/bin/haltwatch"}},
        {kConsole, {kPrefix + "/bin/haltwatch", "usr/share/applications/haltwatch.desktop"},
         {kPrefix + "/bin/vgnsa", kPrefix + "/bin/libvgdown.so"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.package);
        vgtest::Sandbox dir("vgdeb");
        RunOk({"dpkg-deb", "-x", Deb(c.package), dir.Path()});
        for (const std::string& file : c.holds)
            EXPECT_TRUE(fs::is_regular_file(dir.Path(file))) << file;
        for (const std::string& file : c.leaves)
            EXPECT_FALSE(fs::exists(dir.Path(file))) << file;

        int elfFiles = 0;
        for (const auto& entry : fs::recursive_directory_iterator(dir.Path())) {
            if (!entry.is_regular_file() || ReadText(entry.path().string()).rfind("\x7f" "ELF", 0) != 0)
                continue;
            ++elfFiles;
            const std::string kind = RunOk({"file", "-b", entry.path().string()});
            EXPECT_NE(kind.find(", stripped"), std::string::npos) << entry.path() << ": " << kind;
        }
        EXPECT_GT(elfFiles, 0);

        const std::string doc = "usr/share/doc/" + c.package + "/";
        EXPECT_NE(ReadText(dir.Path(doc + "copyright")).find("\nCopyright: "), std::string::npos);
        std::string changelog;
        EXPECT_EQ(vgtest::RunTool({"gzip", "-dc", dir.Path(doc + "changelog.gz")}, changelog), 0) << changelog;
        EXPECT_EQ(changelog.rfind(std::string("vigilon (") + VG_VERSION + ") ", 0), 0u) << changelog;
    }
}

TEST_F(DebianPackages, EngineUnitAllowsTheDescriptorsOfItsSessions)
{
    vgtest::Sandbox dir("vgdeb");
    RunOk({"dpkg-deb", "-x", Deb(kEngine), dir.Path()});
    const std::string unit = ReadText(dir.Path("lib/systemd/system/" + kUnit));
    EXPECT_NE(unit.find("\nLimitNOFILE=4096\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nExecStart=" + std::string(VG_INSTALL_PREFIX) + "/bin/vgnsa\n"), std::string::npos) << unit;
}

// dpkg --root with the maintainer scripts run outside a chroot (DPKG_ROOT names the root), and recording
// stand-ins of systemctl, deb-systemd-helper and deb-systemd-invoke first in PATH, so that nothing on
// this host is enabled, started or stopped.
class EngineInstall : public DebianPackages {
protected:
    void SetUp() override
    {
        DebianPackages::SetUp();
        fs::create_directories(m_dir.Path("root/var/lib/dpkg/updates"));
        fs::create_directories(m_dir.Path("root/var/lib/dpkg/info"));
        fs::create_directories(m_dir.Path("root/var/log"));
        std::ofstream(m_dir.Path("root/var/lib/dpkg/status"));
        fs::create_directories(m_dir.Path("stubs"));
        // deb-systemd-invoke also records whether the engine's program was there when it was called.
        const std::string record = "#!/bin/sh\necho \"$DPKG_ROOT\" >> " + m_dir.Path("roots") + "\n" +
                                   "line=\"$(basename \"$0\") $*\"\n" +
                                   "if [ \"$(basename \"$0\")\" = deb-systemd-invoke ]; then\n" +
                                   "  [ -e \"$DPKG_ROOT/" + kPrefix + "/bin/vgnsa\" ] && line=\"$line +program\"\n" +
                                   "fi\necho \"$line\" >> " + m_dir.Path("calls") + "\nexit 0\n";
        for (const char* tool : {"systemctl", "deb-systemd-helper", "deb-systemd-invoke"}) {
            const std::string path = m_dir.Path(std::string("stubs/") + tool);
            std::ofstream(path) << record;
            fs::permissions(path, fs::perms::owner_all);
        }
    }

    // dpkg's exit code for one action ("-i" deb, "-r" or "-P" package); the calls recorded go to Calls().
    int Dpkg(const std::string& action, const std::string& what)
    {
        fs::remove(m_dir.Path("calls"));
        std::string out;
        const int rc = vgtest::RunTool({"env", "PATH=" + m_dir.Path("stubs") + ":/usr/sbin:/usr/bin:/sbin:/bin",
                                        "dpkg", "--root=" + Root(), "--force-script-chrootless", "--force-depends",
                                        action, what},
                                       out, 60);
        m_output += out;
        return rc;
    }
    std::vector<std::string> Calls() const { return ReadLines(m_dir.Path("calls")); }
    bool Called(const std::string& call) const
    {
        const auto calls = Calls();
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }
    bool CalledTool(const std::string& tool) const
    {
        for (const auto& call : Calls())
            if (call.rfind(tool + " ", 0) == 0)
                return true;
        return false;
    }
    std::string Root() const { return m_dir.Path("root"); }
    std::string Installed(const std::string& name) const { return Root() + "/" + kPrefix + "/" + name; }
    std::string Trace() const { return m_output + ::testing::PrintToString(Calls()); }

    vgtest::Sandbox m_dir{"vgroot"};
    std::string m_output;
};

TEST_F(EngineInstall, WithSystemdEnablesStartsStopsAndPurgeDeletesTheData)
{
    fs::create_directories(Root() + "/run/systemd/system"); // systemd runs in this root
    ASSERT_EQ(Dpkg("-i", Deb(kEngine)), 0) << Trace();
    ASSERT_TRUE(fs::is_regular_file(Installed("bin/vgnsa")));
    // The scripts act on the root they are given, never on this host's own files.
    for (const std::string& root : ReadLines(m_dir.Path("roots")))
        ASSERT_EQ(root, Root());
    EXPECT_TRUE(Called("deb-systemd-helper enable " + kUnit)) << Trace();
    EXPECT_TRUE(Called("deb-systemd-invoke start " + kUnit + " +program")) << Trace();

    ASSERT_EQ(Dpkg("-i", Deb(kEngine)), 0) << Trace(); // an upgrade restarts it, without a stop
    EXPECT_TRUE(Called("deb-systemd-invoke restart " + kUnit + " +program")) << Trace();
    EXPECT_FALSE(Called("deb-systemd-invoke stop " + kUnit + " +program")) << Trace();

    // What the engine writes as it runs.
    const std::vector<std::string> written = {"data/vgusrext.dat",       "data/netsnmp/vgnsa.conf",
                                              "log/vigilon.log",         "vgconfig.ini",
                                              "bin/snmpv3_boot_counter", "DataSafe/vgusrext.dat"};
    for (const std::string& name : written) {
        fs::create_directories(fs::path(Installed(name)).parent_path());
        std::ofstream(Installed(name)) << "community=zastrove\n";
    }

    ASSERT_EQ(Dpkg("-r", kEngine), 0) << Trace();
    EXPECT_TRUE(Called("deb-systemd-invoke stop " + kUnit + " +program")) << Trace(); // before its program goes
    EXPECT_FALSE(fs::exists(Installed("bin/vgnsa")));
    for (const std::string& name : written)
        EXPECT_TRUE(fs::is_regular_file(Installed(name))) << name << " is kept on remove";

    ASSERT_EQ(Dpkg("-P", kEngine), 0) << Trace();
    EXPECT_TRUE(Called("deb-systemd-helper purge " + kUnit)) << Trace();
    for (const std::string& name : written)
        EXPECT_FALSE(fs::exists(Installed(name))) << name << " is left after purge";
    EXPECT_FALSE(fs::exists(Installed("data")));
    EXPECT_FALSE(fs::exists(Installed("log")));
    EXPECT_FALSE(fs::exists(Installed("DataSafe")));
}

TEST_F(EngineInstall, WithoutSystemdOnlyEnablesAndStartsNothing)
{
    ASSERT_EQ(Dpkg("-i", Deb(kEngine)), 0) << Trace();
    EXPECT_TRUE(Called("deb-systemd-helper enable " + kUnit)) << Trace();
    EXPECT_FALSE(CalledTool("deb-systemd-invoke")) << Trace();
    EXPECT_FALSE(CalledTool("systemctl")) << Trace();
    ASSERT_EQ(Dpkg("-r", kEngine), 0) << Trace();
    EXPECT_FALSE(CalledTool("deb-systemd-invoke")) << Trace();
    ASSERT_EQ(Dpkg("-P", kEngine), 0) << Trace();
    EXPECT_FALSE(fs::exists(Installed("data")));
}

// lintian's errors are only "dir-or-file-in-opt": the engine keeps its programs, data and logs together
// under the install prefix (README, "Installing").
TEST_F(DebianPackages, LintianFindsNoErrorButTheOptLayout)
{
    std::string out;
    const int rc = vgtest::RunTool({"sh", "-c", "command -v lintian"}, out);
    if (rc != 0)
        GTEST_SKIP() << "lintian is not installed";
    const std::set<std::string> explained = {"dir-or-file-in-opt"};
    const int code = vgtest::RunTool({"lintian", "--allow-root", Deb(kEngine), Deb(kConsole)}, out, 120);
    ASSERT_TRUE(code == 0 || code == 2) << code << ": " << out; // 2: error tags found; 1: lintian failed
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("E: ", 0) != 0)
            continue;
        std::istringstream words(line);
        std::string level, package, tag;
        words >> level >> package >> tag;
        EXPECT_EQ(explained.count(tag), 1u) << line;
    }
}

} // namespace
