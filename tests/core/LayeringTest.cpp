// The layers of the source tree: a folder includes only the folders below it, and the few pairs of files
// that once included each other stay apart. Reads the sources themselves.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
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
