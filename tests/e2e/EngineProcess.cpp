#include "EngineProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace e2e {

TempTree::TempTree()
{
    m_dir.MakeDirs({"bin", "data", "log"});
    // The engine loads its shutdown library from bin/: a test tree gets the recording stand-in, never
    // the library that powers the machine off.
    for (const auto& entry : fs::directory_iterator(std::string(VG_TREE_DIR) + "/bin"))
        if (entry.is_regular_file() && entry.path().filename() != "libvgdown.so")
            fs::copy_file(entry.path(), Bin() + entry.path().filename().string(),
                          fs::copy_options::overwrite_existing);
    fs::copy_file(std::string(VG_RECORDING_VGDOWN_DIR) + "/libvgdown.so", Bin() + "libvgdown.so",
                  fs::copy_options::overwrite_existing);
}

std::string TempTree::AppLog() const
{
    // The application log is the only file the engine writes in log/ at start-up.
    std::string text;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(Path("log"), ec))
        text += ReadText(entry.path().string());
    return text;
}

std::string TempTree::AddProgram(const std::string& path) const
{
    std::string target = Bin() + fs::path(path).filename().string();
    fs::copy_file(path, target, fs::copy_options::overwrite_existing);
    return target;
}

NotifySocket::NotifySocket(const std::string& path) : vgtest::NotifySocket(path)
{
    if (!Bound())
        throw std::runtime_error("bind of the notification socket " + path + " failed");
}

std::string SnmpGet(int port, const std::string& community, const std::string& oids, double timeoutSec, int* exitCode)
{
    std::ostringstream timeout;
    timeout << timeoutSec;
    std::vector<std::string> argv = {"snmpget", "-m", "", "-On", "-v2c", "-c", community, "-t", timeout.str(),
                                     "-r", "0", "127.0.0.1:" + std::to_string(port)};
    std::istringstream list(oids);
    for (std::string oid; list >> oid;)
        argv.push_back(oid);
    std::string out;
    int code = vgtest::RunTool(argv, out, static_cast<int>(timeoutSec) + 10);
    if (exitCode != nullptr)
        *exitCode = code;
    return out;
}

bool WaitForAgent(int port, int timeoutMs, const std::string& community, Process* engine)
{
    bool answered = false;
    vgtest::WaitUntil(
        [&] {
            int code = -1;
            const std::string answer = SnmpGet(port, community, "1.3.6.1.2.1.1.3.0", 0.3, &code);
            answered = code == 0 && answer.find("Timeticks") != std::string::npos;
            return answered || (engine != nullptr && !engine->Running());
        },
        timeoutMs, 100);
    return answered;
}

namespace {

// Runs an SNMP tool: its output without the last line ends, prefixed with "ERROR " when it failed.
std::string RunSnmpTool(const std::vector<std::string>& argv)
{
    std::string out;
    const int rc = vgtest::RunTool(argv, out, 20);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return rc == 0 ? out : "ERROR " + out;
}

} // namespace

EngineInstall::EngineInstall()
    : m_port(vgtest::FreePortOnEveryAddress(SOCK_DGRAM)), m_trapPort(vgtest::FreePortOnEveryAddress(SOCK_DGRAM))
{
}

bool EngineInstall::Start(const std::vector<std::string>& extra, const std::string& community)
{
    std::vector<std::string> args = {"-n", "-p=" + std::to_string(m_port), "-t=" + std::to_string(m_trapPort),
                                     "-l=debug"};
    args.insert(args.end(), extra.begin(), extra.end());
    m_engine.reset();
    std::map<std::string, std::string> env = m_env;
    if (!env.count("VG_AGENTX_PORT"))
        env["VG_AGENTX_PORT"] = "0";
    env["VG_SHUTDOWN_RECORD"] = Path("shutdown-calls");
    std::string program = m_tree.Program();
    if (!m_launcher.empty()) {
        args.insert(args.begin(), program);
        args.insert(args.begin(), m_launcher.begin() + 1, m_launcher.end());
        program = m_launcher.front();
    }
    m_engine.emplace(program, args, env, Path("console.out." + std::to_string(++m_runs)));
    return WaitForAgent(m_port, 15000, community, &*m_engine);
}

int EngineInstall::Stop() { return Running() ? m_engine->Stop() : -1; }

bool EngineInstall::Kill()
{
    if (!Running() || !m_engine->Signal(SIGKILL))
        return false;
    return m_engine->Wait(10000).has_value();
}

std::string EngineInstall::Get(const std::string& oid, const std::string& community, const std::string& client)
{
    std::vector<std::string> argv = {"snmpget", "-v2c", "-c", community, "-t", "1", "-r", "1", "-Ov"};
    if (!client.empty())
        argv.push_back("--clientaddr=" + client);
    argv.push_back(Peer());
    argv.push_back(oid);
    return RunSnmpTool(argv);
}

std::string EngineInstall::Set(const std::string& oid, const std::string& type, const std::string& value,
                               const std::string& community, const std::string& client)
{
    std::vector<std::string> argv = {"snmpset", "-v2c", "-c", community, "-t", "1", "-r", "1", "-Ov"};
    if (!client.empty())
        argv.push_back("--clientaddr=" + client);
    argv.push_back(Peer());
    argv.push_back(oid);
    argv.push_back(type);
    argv.push_back(value);
    std::string out = RunSnmpTool(argv);
    if (out.rfind("ERROR ", 0) != 0)
        return "";
    const size_t reason = out.find("Reason: ");
    if (reason == std::string::npos)
        return out;
    const size_t start = reason + 8;
    return out.substr(start, out.find_first_of(" \n", start) - start);
}

std::string EngineInstall::AddTrapDestination(int row, const std::string& address, const std::string& name, int port)
{
    auto column = [row](int c) { return E("14.2.2.1." + std::to_string(c) + "." + std::to_string(row)); };
    const struct {
        int column;
        const char* type;
        std::string value;
    } steps[] = {{2, "i", "5"}, {3, "a", address}, {4, "s", name}, {5, "s", "public"},
                 {6, "i", std::to_string(port)}, {2, "i", "1"}};
    for (const auto& step : steps) {
        const std::string out = Set(column(step.column), step.type, step.value);
        if (!out.empty())
            return out;
    }
    return "";
}

} // namespace e2e
