// The shutdown libraries, the power-state and host-name facts, the event log's message table and the
// command starter.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/AtomicFile.h"
#include "platform/CommandSpawn.h"
#include "platform/EventLog.h"
#include "platform/PowerState.h"
#include "platform/SharedLibrary.h"
#include "platform/vgdown/ShutdownApi.h"
#include "tests/support/Process.h"

namespace fs = std::filesystem;

namespace {

class Sandbox {
public:
    Sandbox()
    {
        char pattern[] = "/tmp/vg-platform-XXXXXX";
        m_dir = ::mkdtemp(pattern);
    }
    ~Sandbox()
    {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    void Write(const std::string& name, const std::string& content, mode_t mode = 0644) const
    {
        ASSERT_TRUE(vgplat::WriteFileAtomically(Path(name), content.data(), content.size(), mode));
    }
    std::string Read(const std::string& name) const
    {
        std::string out;
        vgplat::ReadWholeFile(Path(name), out, 1 << 20);
        return out;
    }

private:
    std::string m_dir;
};

TEST(ShutdownLibrary, RecordingStandInAppendsOneLinePerCall)
{
    Sandbox box;
    vgplat::SharedLibrary library;
    ASSERT_TRUE(library.Load(VG_RECORDING_VGDOWN_DIR, "vgdown")) << library.Error();
    auto start = reinterpret_cast<StartShutdownFunction>(library.Symbol("StartShutdown"));
    ASSERT_NE(start, nullptr);

    ::setenv("VG_SHUTDOWN_RECORD", box.Path("calls").c_str(), 1);
    EXPECT_EQ(start(1, 1), 1);
    EXPECT_EQ(start(2, 0), 1);
    EXPECT_EQ(start(4, 0), 1);
    ::unsetenv("VG_SHUTDOWN_RECORD");
    EXPECT_EQ(start(8, 0), 0); // no record file named: nothing written, nothing done
    EXPECT_EQ(box.Read("calls"), "1 1\n2 0\n4 0\n");
}

// The functions a shared library defines in its dynamic symbol table, read with the binary tools: the
// library is never loaded, so nothing in it can run.
std::vector<std::string> ExportedFunctions(const std::string& path)
{
    std::vector<std::string> names;
    std::string out;
    const int code = vgtest::RunTool({"nm", "-D", "--defined-only", path}, out);
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        std::string address, type, name;
        // Weak symbols are the inline template code every C++ library carries.
        if (in >> address >> type >> name && type == "T")
            names.push_back(name);
    }
    names.push_back("exit " + std::to_string(code));
    return names;
}

TEST(ShutdownLibrary, RealLibraryAndItsStandInExportOnlyStartShutdown)
{
    const std::vector<std::string> only = {"StartShutdown", "exit 0"};
    EXPECT_EQ(ExportedFunctions(std::string(VG_TREE_DIR) + "/bin/libvgdown.so"), only);
    EXPECT_EQ(ExportedFunctions(std::string(VG_RECORDING_VGDOWN_DIR) + "libvgdown.so"), only);
}

TEST(ShutdownLibrary, MissingLibraryFailsToLoadWithItsReason)
{
    Sandbox box;
    vgplat::SharedLibrary missing;
    EXPECT_FALSE(missing.Load(box.Path(""), "vgdown"));
    EXPECT_FALSE(missing.IsLoaded());
    EXPECT_FALSE(missing.Error().empty());
}

TEST(PowerState, HibernationNeedsDiskInTheStateFile)
{
    Sandbox box;
    struct Case {
        const char* content;
        bool allowed;
    } cases[] = {{"freeze mem disk\n", true}, {"disk", true}, {"freeze mem\n", false},
                 {"diskette mem\n", false}, {"", false}};
    for (const auto& c : cases) {
        box.Write("state", c.content);
        EXPECT_EQ(vgplat::IsHibernateAllowed(box.Path("state")), c.allowed) << c.content;
    }
    EXPECT_FALSE(vgplat::IsHibernateAllowed(box.Path("no-such-file")));

    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    EXPECT_EQ(vgplat::GetComputerName(), host);
}

TEST(EventLog, MessageTableByNameAndItsTexts)
{
    auto table = vgplat::OpenEventMessageTable("vgmsg");
    ASSERT_TRUE(table);
    EXPECT_EQ(table->Format(100, "Vigilon Agent Started"), "Vigilon Agent Started");
    EXPECT_EQ(table->Format(7, "x"), "Event 7: x");
    EXPECT_EQ(vgplat::OpenEventMessageTable("vgmsg.dll"), nullptr);
    EXPECT_EQ(vgplat::OpenEventMessageTable(""), nullptr);
}

bool WaitForFile(const std::string& path)
{
    for (int i = 0; i < 300; ++i) {
        std::ifstream in(path);
        std::string content;
        if (in && std::getline(in, content) && !content.empty())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(CommandSpawn, StartsWithoutAShellAndNamesItsFailures)
{
    Sandbox box;
    // argv reaches the program as given: no shell splits or expands it.
    box.Write("record.sh", "#!/bin/sh\nprintf '%s|' \"$@\" > \"$0.tmp\"\necho >> \"$0.tmp\"\nmv \"$0.tmp\" \"$0.out\"\n", 0755);
    ASSERT_EQ(vgplat::SpawnDetached(box.Path("record.sh"), {box.Path("record.sh"), "a b", "$HOME;x"}), 0);
    ASSERT_TRUE(WaitForFile(box.Path("record.sh.out")));
    EXPECT_EQ(box.Read("record.sh.out"), "a b|$HOME;x|\n");

    box.Write("plain.txt", "not a program\n", 0644);
    EXPECT_STREQ(vgplat::SpawnErrorName(vgplat::SpawnDetached(box.Path("missing"), {"missing"})), "ENOENT");
    EXPECT_STREQ(vgplat::SpawnErrorName(vgplat::SpawnDetached(box.Path("plain.txt"), {"plain.txt"})), "ENOEXEC");
    EXPECT_STREQ(vgplat::SpawnErrorName(ENOMEM), "ENOMEM");
    EXPECT_STREQ(vgplat::SpawnErrorName(EIO), "Unknown Error");

    auto table = vgplat::FileTypeTable::Default();
    EXPECT_EQ(table.Find(".SH"), "/bin/sh");
    EXPECT_EQ(table.Find(".txt"), "");
    table.Set(".Txt", "/usr/bin/less");
    EXPECT_EQ(table.Find(".txt"), "/usr/bin/less");
}

} // namespace
