#pragma once
// The real vgnsa in a temporary install tree: bin/ with a copy of the program and the recording
// shutdown library (never the real one), data/ and log/, on free loopback ports, driven with net-snmp's
// CLI tools.

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

namespace e2e {

namespace fs = std::filesystem;

constexpr const char* kE = "1.3.6.1.4.1.64950";
inline std::string E(const std::string& tail) { return std::string(kE) + "." + tail; }

inline std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class EngineInstall {
public:
    EngineInstall()
    {
        m_root = m_dir.Path();
        fs::create_directories(m_root + "/bin");
        fs::create_directories(m_root + "/data");
        fs::create_directories(m_root + "/log");
        fs::copy_file(std::string(VG_TREE_DIR) + "/bin/vgnsa", m_root + "/bin/vgnsa");
        fs::permissions(m_root + "/bin/vgnsa", fs::perms::owner_all, fs::perm_options::add);
        fs::copy_file(std::string(VG_RECORDING_VGDOWN_DIR) + "/libvgdown.so", m_root + "/bin/libvgdown.so");
        m_port = vgtest::FreePort(SOCK_DGRAM);
        m_trapPort = vgtest::FreePort(SOCK_DGRAM);
    }
    ~EngineInstall() { Stop(); }

    const std::string& Root() const { return m_root; }
    std::string Path(const std::string& name) const { return m_root + "/" + name; }
    int Port() const { return m_port; }
    int TrapPort() const { return m_trapPort; }
    std::string Peer() const { return "127.0.0.1:" + std::to_string(m_port); }

    // Starts vgnsa -n and waits until it answers the community; false when it does not within 15 s.
    bool Start(const std::vector<std::string>& extra = {}, const std::string& community = "gimbal")
    {
        ::setenv("VG_AGENTX_PORT", "0", 1);
        ::setenv("VG_SHUTDOWN_RECORD", Path("shutdown-calls").c_str(), 1);
        std::vector<std::string> argv = {Path("bin/vgnsa"), "-n", "-p=" + std::to_string(m_port),
                                         "-t=" + std::to_string(m_trapPort), "-l=debug"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (!m_child.Start(argv, Path("console.out." + std::to_string(++m_runs))))
            return false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < deadline) {
            std::string out;
            if (vgtest::RunTool({"snmpget", "-v2c", "-c", community, "-t", "0.3", "-r", "0", "-On", Peer(),
                                 "1.3.6.1.2.1.1.3.0"},
                                out, 5) == 0 &&
                out.find("Timeticks") != std::string::npos)
                return true;
            if (!m_child.Running())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    // SIGTERM; the wait status (-1 when it was not running).
    int Stop() { return m_child.Running() ? m_child.Stop() : -1; }
    bool Running() { return m_child.Running(); }
    std::string ConsoleOutput() const { return ReadText(Path("console.out." + std::to_string(m_runs))); }
    std::string LogText() const { return ReadText(Path("log/vigilon.log")); }

    // snmpget with -Ov: the value with its type ("INTEGER: 5", "STRING: \"x\"", "\"\""); a failure
    // gives the tool's output prefixed with "ERROR ".
    std::string Get(const std::string& oid, const std::string& community = "wendolmar",
                    const std::string& client = "")
    {
        std::vector<std::string> argv = {"snmpget", "-v2c", "-c", community, "-t", "1", "-r", "1", "-Ov"};
        if (!client.empty())
            argv.push_back("--clientaddr=" + client);
        argv.push_back(Peer());
        argv.push_back(oid);
        return Run(argv);
    }
    // snmpset oid type value: "" on success, else the error reason line ("notWritable", ...).
    std::string Set(const std::string& oid, const std::string& type, const std::string& value,
                    const std::string& community = "wendolmar", const std::string& client = "")
    {
        std::vector<std::string> argv = {"snmpset", "-v2c", "-c", community, "-t", "1", "-r", "1", "-Ov"};
        if (!client.empty())
            argv.push_back("--clientaddr=" + client);
        argv.push_back(Peer());
        argv.push_back(oid);
        argv.push_back(type);
        argv.push_back(value);
        std::string out = Run(argv);
        if (out.rfind("ERROR ", 0) != 0)
            return "";
        const size_t reason = out.find("Reason: ");
        if (reason == std::string::npos)
            return out;
        const size_t start = reason + 8;
        return out.substr(start, out.find_first_of(" \n", start) - start);
    }

private:
    static std::string Run(const std::vector<std::string>& argv)
    {
        std::string out;
        const int rc = vgtest::RunTool(argv, out, 20);
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
            out.pop_back();
        return rc == 0 ? out : "ERROR " + out;
    }

    vgtest::TempDir m_dir;
    std::string m_root;
    int m_port = 0;
    int m_trapPort = 0;
    int m_runs = 0;
    vgtest::Child m_child;
};

} // namespace e2e
