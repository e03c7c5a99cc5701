// The layers of the source tree: a folder includes only the folders below it, no two folders include
// each other, directly or through others, and the few pairs of files that once included each other (within
// one folder or downwards, where the folder graph cannot see them) stay apart. Reads the sources themselves.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path kSource = VG_SOURCE_DIR;

// Every include line of the C++ files at or under path (a file or a folder).
std::vector<std::pair<std::string, std::string>> Includes(const fs::path& path)
{
    std::vector<fs::path> files;
    if (fs::is_regular_file(path)) {
        files.push_back(path);
    } else {
        for (const auto& entry : fs::recursive_directory_iterator(path))
            if (entry.is_regular_file() && (entry.path().extension() == ".cpp" || entry.path().extension() == ".h"))
                files.push_back(entry.path());
    }
    std::vector<std::pair<std::string, std::string>> out;
    const std::regex include(R"(^\s*#\s*include\s*([<"][^>"]+[>"]))");
    for (const auto& file : files) {
        std::ifstream in(file);
        std::string line;
        std::smatch match;
        while (std::getline(in, line))
            if (std::regex_search(line, match, include))
                out.emplace_back(fs::relative(file, kSource).string(), match[1].str());
    }
    return out;
}

// The folder (relative to the source tree) of the file a quoted include names: from the tree's top, beside
// the including file or from tests/ (the tests' own include path); "" when it is not one of ours.
std::string IncludedFolder(const std::string& file, const std::string& target)
{
    if (target.size() < 2 || target.front() != '"')
        return std::string();
    const std::string name = target.substr(1, target.size() - 2);
    for (const fs::path& candidate : {kSource / name, kSource / fs::path(file).parent_path() / name, kSource / "tests" / name})
        if (fs::is_regular_file(candidate))
            return fs::relative(candidate, kSource).lexically_normal().parent_path().string();
    return std::string();
}

// Folder -> the other folders its files include.
using FolderGraph = std::map<std::string, std::set<std::string>>;

// One include cycle between folders as "a -> b -> a", or "" when there is none.
std::string FindCycle(const FolderGraph& graph)
{
    std::map<std::string, int> state; // 1 on the path being walked, 2 done
    std::vector<std::string> path;
    std::string cycle;
    std::function<bool(const std::string&)> walk = [&](const std::string& folder) {
        state[folder] = 1;
        path.push_back(folder);
        auto it = graph.find(folder);
        if (it != graph.end())
            for (const std::string& next : it->second) {
                if (state[next] == 1) {
                    for (auto at = std::find(path.begin(), path.end(), next); at != path.end(); ++at)
                        cycle += *at + " -> ";
                    cycle += next;
                    return true;
                }
                if (state[next] == 0 && walk(next))
                    return true;
            }
        path.pop_back();
        state[folder] = 2;
        return false;
    };
    for (const auto& entry : graph)
        if (state[entry.first] == 0 && walk(entry.first))
            return cycle;
    return std::string();
}

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

TEST(Layering, NoFolderIncludesALayerAboveIt)
{
    struct Case {
        const char* where;
        const char* forbidden; // regex over the include target
    } cases[] = {
        {"platform", R"(^"(engine|programs|console)/)"},
        {"engine/base", R"(^"(engine/(snmp|core|agent|remote)|programs|console)/)"},
        {"engine/core", R"(^"(engine/(agent|remote)|programs|console)/|^<(systemd|net-snmp)/)"},
        {"engine/core/consoles", R"(^"engine/core/(settings|server|devices)/)"},
        // The log uses the string helpers only; the helpers that log live apart.
        {"engine/base/AppLog.cpp", R"(^"engine/base/Helpers\.h")"},
        {"engine/base/StringHelpers.cpp", R"(^"engine/base/(Helpers|AppLog)\.h")"},
        // A device entry and its event table know their list only through its context, and the
        // remote-agent code knows it only as the device manager.
        {"engine/core/devices/DeviceEntry.h", R"(^"engine/core/devices/Devices\.h")"},
        {"engine/core/devices/DeviceEntry.cpp", R"(^"engine/core/devices/Devices\.h")"},
        {"engine/core/devices/DeviceEntryRemote.h", R"(^"engine/core/devices/Devices\.h")"},
        {"engine/core/devices/DeviceEntryRemote.cpp", R"(^"engine/core/devices/Devices\.h")"},
        {"engine/core/devices/DeviceDataRemoteEvt.h", R"(^"engine/core/devices/Devices\.h")"},
        {"engine/core/devices/DeviceDataRemoteEvt.cpp", R"(^"engine/core/devices/Devices\.h")"},
        {"engine/remote", R"(^"engine/core/devices/Devices\.h")"},
        // The server does not build its own host layer.
        {"engine/core/server/Server.cpp", R"(^"engine/core/server/ServerEx\.h")"},
        {"engine/core/server/Server.h", R"(^"engine/core/server/ServerEx\.h")"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        ASSERT_TRUE(fs::exists(kSource / c.where));
        const std::regex forbidden(c.forbidden);
        for (const auto& [file, target] : Includes(kSource / c.where))
            EXPECT_FALSE(std::regex_search(target, forbidden)) << file << " includes " << target;
    }
}

TEST(Layering, NoTwoFoldersIncludeEachOther)
{
    FolderGraph graph;
    for (const char* top : {"platform", "engine", "programs", "console", "tests", "bench"})
        for (const auto& [file, target] : Includes(kSource / top)) {
            const std::string from = fs::path(file).parent_path().string();
            const std::string to = IncludedFolder(file, target);
            if (!to.empty() && to != from)
                graph[from].insert(to);
        }
    ASSERT_GT(graph["engine/agent"].count("engine/snmp"), 0u) << "the includes were not read";
    EXPECT_EQ(FindCycle(graph), "");

    // The search itself: a ring of three is found, a diamond is not a cycle.
    EXPECT_EQ(FindCycle({{"a", {"b"}}, {"b", {"c"}}, {"c", {"a"}}}), "a -> b -> c -> a");
    EXPECT_EQ(FindCycle({{"a", {"b", "c"}}, {"b", {"d"}}, {"c", {"d"}}}), "");
}

TEST(Layering, TheCoreLinksNeitherSystemdNorNetSnmp)
{
    for (const auto& entry : fs::recursive_directory_iterator(kSource / "engine/core")) {
        if (entry.path().filename() != "CMakeLists.txt")
            continue;
        const std::string text = ReadText(entry.path());
        EXPECT_EQ(text.find("SYSTEMD"), std::string::npos) << entry.path();
        EXPECT_EQ(text.find("NETSNMP"), std::string::npos) << entry.path();
    }
}
