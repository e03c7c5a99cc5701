#include "EngineProcess.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace e2e {

TempTree::TempTree()
{
    std::string pattern = (fs::temp_directory_path() / "vg_e2e_XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_root = buffer.data();
    fs::create_directories(m_root + "/bin");
    fs::create_directories(m_root + "/data");
    fs::create_directories(m_root + "/log");
    for (const auto& entry : fs::directory_iterator(std::string(VG_TREE_DIR) + "/bin"))
        if (entry.is_regular_file())
            fs::copy_file(entry.path(), m_root + "/bin/" + entry.path().filename().string(),
                          fs::copy_options::overwrite_existing);
    // The engine loads its shutdown library from bin/: a test tree gets the recording stand-in, never
    // the library that powers the machine off.
    fs::copy_file(std::string(VG_RECORDING_VGDOWN_DIR) + "/libvgdown.so", m_root + "/bin/libvgdown.so",
                  fs::copy_options::overwrite_existing);
}

TempTree::~TempTree()
{
    std::error_code ignored;
    if (std::getenv("VG_KEEP_E2E") == nullptr)
        fs::remove_all(m_root, ignored);
}

std::string TempTree::AppLog() const
{
    // The application log is the only file the engine writes in log/ at start-up.
    std::string text;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(m_root + "/log", ec)) {
        std::ifstream in(entry.path());
        std::stringstream s;
        s << in.rdbuf();
        text += s.str();
    }
    return text;
}

std::string TempTree::AddProgram(const std::string& path) const
{
    std::string target = m_root + "/bin/" + fs::path(path).filename().string();
    fs::copy_file(path, target, fs::copy_options::overwrite_existing);
    return target;
}

std::vector<std::string> ReadLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

int FreeUdpPort()
{
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

UdpReceiver::UdpReceiver()
{
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("bind failed");
    socklen_t len = sizeof addr;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
}

UdpReceiver::~UdpReceiver() { ::close(m_fd); }

std::optional<std::string> UdpReceiver::Receive(int timeoutMs)
{
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return std::nullopt;
    char buffer[65536];
    ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (n < 0)
        return std::nullopt;
    return std::string(buffer, static_cast<size_t>(n));
}

NotifySocket::NotifySocket(const std::string& path) : m_path(path)
{
    ::unlink(path.c_str());
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        throw std::runtime_error("socket path too long");
    path.copy(addr.sun_path, path.size());
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("bind of the notification socket failed");
}

NotifySocket::~NotifySocket()
{
    ::close(m_fd);
    ::unlink(m_path.c_str());
}

std::optional<std::string> NotifySocket::Receive(int timeoutMs)
{
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return std::nullopt;
    char buffer[4096];
    ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (n < 0)
        return std::nullopt;
    m_messages.emplace_back(buffer, static_cast<size_t>(n));
    return m_messages.back();
}

bool NotifySocket::WaitFor(const std::string& text, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (const auto& m : m_messages)
        if (m.find(text) != std::string::npos)
            return true;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        auto m = Receive(static_cast<int>(left.count()));
        if (m && m->find(text) != std::string::npos)
            return true;
    }
}

bool NotifySocket::WaitForStates(size_t count, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (States().size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        Receive(static_cast<int>(left.count()));
    }
    return true;
}

std::vector<std::pair<int, int>> NotifySocket::States() const
{
    // "STATUS=<name> (state N, checkpoint C)"
    std::vector<std::pair<int, int>> states;
    for (const auto& m : m_messages) {
        size_t at = m.find("STATUS=");
        if (at == std::string::npos)
            continue;
        size_t state = m.find("(state ", at);
        size_t checkpoint = m.find(", checkpoint ", at);
        if (state == std::string::npos || checkpoint == std::string::npos)
            continue;
        states.emplace_back(std::atoi(m.c_str() + state + 7), std::atoi(m.c_str() + checkpoint + 13));
    }
    return states;
}

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& extraEnv, const std::string& outputPath)
    : m_outputPath(outputPath)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        if (extraEnv.count(name) == 0)
            env.push_back(entry);
    }
    for (const auto& [name, value] : extraEnv)
        if (!value.empty())
            env.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    std::vector<std::string> argvTexts{program};
    argvTexts.insert(argvTexts.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvTexts)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The child starts with no blocked signals, whatever the test runner's threads do.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    int rc = posix_spawn(&m_pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        throw std::runtime_error("posix_spawn failed: " + std::string(std::strerror(rc)));
}

Process::~Process()
{
    if (!m_status) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
}

bool Process::Signal(int signal) { return !m_status && ::kill(m_pid, signal) == 0; }

std::optional<int> Process::Wait(int timeoutMs)
{
    if (m_status)
        return m_status;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return m_status;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string Process::Output() const
{
    std::ifstream in(m_outputPath);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string RunCommand(const std::string& command, int* exitCode)
{
    std::string out;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    int status = ::pclose(pipe);
    if (exitCode != nullptr)
        *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

std::string SnmpGet(int port, const std::string& community, const std::string& oids, int timeoutSec, int* exitCode)
{
    return RunCommand("MIBS= snmpget -m '' -On -v2c -c " + community + " -t " + std::to_string(timeoutSec) +
                          " -r 0 127.0.0.1:" + std::to_string(port) + " " + oids,
                      exitCode);
}

bool WaitForAgent(int port, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        int code = -1;
        SnmpGet(port, "gimbal", "1.3.6.1.2.1.1.1.0", 1, &code);
        if (code == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

namespace {

// One BER element at data[pos]: its tag, and its contents as [start, end).
bool ReadElement(const std::string& data, size_t& pos, unsigned char& tag, size_t& start, size_t& end)
{
    if (pos + 2 > data.size())
        return false;
    tag = static_cast<unsigned char>(data[pos++]);
    size_t length = static_cast<unsigned char>(data[pos++]);
    if (length & 0x80) {
        size_t bytes = length & 0x7f;
        if (bytes == 0 || bytes > 4 || pos + bytes > data.size())
            return false;
        length = 0;
        for (size_t i = 0; i < bytes; ++i)
            length = (length << 8) | static_cast<unsigned char>(data[pos++]);
    }
    if (length > data.size() - pos)
        return false;
    start = pos;
    end = pos + length;
    pos = end;
    return true;
}

long IntegerOf(const std::string& data, size_t start, size_t end)
{
    long value = start < end && (static_cast<unsigned char>(data[start]) & 0x80) ? -1 : 0;
    for (size_t i = start; i < end; ++i)
        value = (value << 8) | static_cast<unsigned char>(data[i]);
    return value;
}

std::string OidOf(const std::string& data, size_t start, size_t end)
{
    if (start >= end)
        return std::string();
    unsigned first = static_cast<unsigned char>(data[start]);
    std::string out = std::to_string(first / 40) + "." + std::to_string(first % 40);
    unsigned long sub = 0;
    for (size_t i = start + 1; i < end; ++i) {
        unsigned char b = static_cast<unsigned char>(data[i]);
        sub = (sub << 7) | (b & 0x7f);
        if (!(b & 0x80)) {
            out += "." + std::to_string(sub);
            sub = 0;
        }
    }
    return out;
}

} // namespace

std::optional<V1Trap> DecodeV1Trap(const std::string& datagram)
{
    size_t pos = 0, start = 0, end = 0;
    unsigned char tag = 0;
    if (!ReadElement(datagram, pos, tag, start, end) || tag != 0x30)
        return std::nullopt;
    pos = start;
    V1Trap trap;
    if (!ReadElement(datagram, pos, tag, start, end) || tag != 0x02)
        return std::nullopt;
    trap.version = IntegerOf(datagram, start, end);
    if (!ReadElement(datagram, pos, tag, start, end) || tag != 0x04)
        return std::nullopt;
    trap.community = datagram.substr(start, end - start);
    if (!ReadElement(datagram, pos, tag, start, end) || tag != 0xA4)
        return std::nullopt;
    pos = start;
    if (!ReadElement(datagram, pos, tag, start, end) || tag != 0x06)
        return std::nullopt;
    trap.enterprise = OidOf(datagram, start, end);
    if (!ReadElement(datagram, pos, tag, start, end) || tag != 0x40) // agent-addr
        return std::nullopt;
    if (!ReadElement(datagram, pos, tag, start, end) || tag != 0x02)
        return std::nullopt;
    trap.generic = IntegerOf(datagram, start, end);
    if (!ReadElement(datagram, pos, tag, start, end) || tag != 0x02)
        return std::nullopt;
    trap.specific = IntegerOf(datagram, start, end);
    return trap;
}

} // namespace e2e
