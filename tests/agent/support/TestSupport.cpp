#include "TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>

extern char** environ;

namespace vgtest {

namespace {

// The port the system picks for a socket of type bound to address (host order) and port 0.
int PickedPort(int type, uint32_t address)
{
    int fd = socket(AF_INET, type, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(address);
    sin.sin_port = 0;
    int port = -1;
    socklen_t length = sizeof sin;
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&sin), sizeof sin) == 0 &&
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&sin), &length) == 0)
        port = ntohs(sin.sin_port);
    close(fd);
    return port;
}

}  // namespace

int FreePort(int type)
{
    return PickedPort(type, INADDR_LOOPBACK);
}

int FreePortOnEveryAddress(int type)
{
    return PickedPort(type, INADDR_ANY);
}

int FreeUdpTcpPort()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        int port = FreePort(SOCK_DGRAM);
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in sin;
        std::memset(&sin, 0, sizeof sin);
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_ANY);
        sin.sin_port = htons(static_cast<uint16_t>(port));
        bool ok = bind(fd, reinterpret_cast<struct sockaddr*>(&sin), sizeof sin) == 0;
        close(fd);
        if (ok)
            return port;
    }
    return -1;
}

namespace {

pid_t Spawn(const std::vector<std::string>& argv, int outFd)
{
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (outFd >= 0) {
            dup2(outFd, 1);
            dup2(outFd, 2);
        }
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0)
            dup2(devnull, 0);
        for (int fd = 3; fd < 1024; ++fd)
            close(fd);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

int RunTool(const std::vector<std::string>& argv, std::string& output, int timeoutSec)
{
    output.clear();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = Spawn(argv, fds[1]);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return -1;
    }
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
    int status = 0;
    bool exited = false;
    for (;;) {
        char buf[4096];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0)
            output.append(buf, static_cast<size_t>(n));
        if (!exited && waitpid(pid, &status, WNOHANG) == pid)
            exited = true;
        if (exited && n == 0)
            break;
        if (exited && n < 0 && errno != EAGAIN)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            if (!exited) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
            }
            close(fds[0]);
            return -1;
        }
        usleep(2000);
    }
    close(fds[0]);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Child::~Child()
{
    if (m_pid > 0)
        Stop();
}

bool Child::Start(const std::vector<std::string>& argv, const std::string& logPath)
{
    int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    m_pid = Spawn(argv, fd);
    if (fd >= 0)
        close(fd);
    return m_pid > 0;
}

bool Child::Running()
{
    if (m_pid <= 0)
        return false;
    int status;
    return waitpid(m_pid, &status, WNOHANG) == 0;
}

int Child::Stop()
{
    if (m_pid <= 0)
        return -1;
    int status = 0;
    kill(m_pid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return status;
        }
        usleep(10000);
    }
    kill(m_pid, SIGKILL);
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    return status;
}

TempDir::TempDir()
{
    char pattern[] = "/tmp/vgagent-XXXXXX";
    char* p = mkdtemp(pattern);
    m_path = p ? p : "/tmp";
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (m_path != "/tmp")
        std::filesystem::remove_all(m_path, ec);
}

CaptureLogger& Log()
{
    return ProgramLogCapture();
}

std::string Enterprise(const std::string& tail)
{
    return "1.3.6.1.4.1.64950." + tail;
}

namespace {

std::atomic<uint32_t> g_lastSetRequester{0};

class RequesterLeaf : public MibLeaf {
public:
    RequesterLeaf() : MibLeaf("1.3.6.1.4.1.64950.99.4.0", MibAccess::ReadOnly, kSnmpInteger) {}
    int get_value(const MibRequest& request, SnmpValue& out) override
    {
        out = SnmpValue::Integer(static_cast<int32_t>(request.requester));
        return 0;
    }
};

class RecordingLeaf : public MibLeaf {
public:
    RecordingLeaf() : MibLeaf("1.3.6.1.4.1.64950.99.1.0", MibAccess::ReadWrite, kSnmpInteger)
    {
        set_stored_value(SnmpValue::Integer(7));
    }
    int set(const MibRequest& request, const SnmpValue& value) override
    {
        g_lastSetRequester.store(request.requester);
        return MibLeaf::set(request, value);
    }
};

class FailingLeaf : public MibLeaf {
public:
    FailingLeaf() : MibLeaf("1.3.6.1.4.1.64950.99.3.0", MibAccess::ReadWrite, kSnmpInteger) {}
    int set(const MibRequest&, const SnmpValue&) override { return 5; }
};

class DenseTable : public MibTable {
public:
    DenseTable() : MibTable("1.3.6.1.4.1.64950.99.10.1") {}
    std::atomic<uint32_t> last{0};
    std::mutex cellMutex;
    std::map<uint32_t, std::string> cells;
};

class RowColumn : public MibLeaf {
public:
    RowColumn() : MibLeaf("1", MibAccess::ReadOnly, kSnmpInteger) {}
    int get_value(const MibRequest& request, SnmpValue& out) override
    {
        out = SnmpValue::Integer(request.index.empty() ? 0 : static_cast<int32_t>(request.index[0]));
        return 0;
    }
};

class RowStatusColumn : public MibLeaf {
public:
    explicit RowStatusColumn(DenseTable& table)
        : MibLeaf("2", MibAccess::ReadCreate, kSnmpInteger), m_table(table)
    {
    }
    int get_value(const MibRequest&, SnmpValue& out) override
    {
        out = SnmpValue::Integer(1);
        return 0;
    }
    int set(const MibRequest& request, const SnmpValue& value) override
    {
        if (request.index.size() != 1)
            return 4;
        uint32_t r = request.index[0];
        uint32_t last = m_table.last.load();
        switch (value.integer) {
        case 4:
        case 5:
            if (r != last + 1)
                return 2;
            m_table.last.store(r);
            m_table.add_row(r);
            return 0;
        case 6:
            if (r == 0 || r > last)
                return 2;
            m_table.remove_row(last);
            m_table.last.store(last - 1);
            return 0;
        case 1:
        case 2:
            return r <= last ? 0 : 2;
        default:
            return 4;
        }
    }

private:
    DenseTable& m_table;
};

class TextColumn : public MibLeaf {
public:
    explicit TextColumn(DenseTable& table) : MibLeaf("3", MibAccess::ReadWrite, kSnmpOctetString), m_table(table) {}
    int get_value(const MibRequest& request, SnmpValue& out) override
    {
        std::lock_guard<std::mutex> lock(m_table.cellMutex);
        out = SnmpValue::Octets(m_table.cells[request.index.empty() ? 0 : request.index[0]]);
        return 0;
    }
    int set(const MibRequest& request, const SnmpValue& value) override
    {
        std::lock_guard<std::mutex> lock(m_table.cellMutex);
        m_table.cells[request.index[0]] = value.bytes;
        return 0;
    }

private:
    DenseTable& m_table;
};

}  // namespace

void AddTestMib(Mib& mib)
{
    auto* first = new MibGroup("1.3.6.1.4.1.64950.98", "vgTestFirst");
    auto* fixed = new MibLeaf("1.3.6.1.4.1.64950.98.1.0", MibAccess::ReadOnly, kSnmpInteger);
    fixed->set_stored_value(SnmpValue::Integer(98));
    first->add(fixed);
    first->add(new MibLeaf("1.3.6.1.4.1.64950.98.2.0", MibAccess::ReadWrite, kSnmpOctetString));
    mib.add(first);

    auto* main = new MibGroup("1.3.6.1.4.1.64950.99", "vgTestMain");
    main->add(new RecordingLeaf());
    auto* text = new MibLeaf("1.3.6.1.4.1.64950.99.2.0", MibAccess::ReadOnly, kSnmpOctetString);
    text->set_stored_value(SnmpValue::Octets("hello"));
    main->add(text);
    main->add(new FailingLeaf());
    main->add(new RequesterLeaf());
    main->add(new MibLeaf("1.3.6.1.4.1.64950.99.5.0", MibAccess::NoAccess, kSnmpInteger));
    auto* address = new MibLeaf("1.3.6.1.4.1.64950.99.6.0", MibAccess::ReadWrite, kSnmpIpAddress);
    address->set_stored_value(SnmpValue::IpAddress(0x0403020A));  // 10.2.3.4
    main->add(address);
    auto* table = new DenseTable();
    table->add_col(new RowColumn());
    table->add_col(new RowStatusColumn(*table));
    table->add_col(new TextColumn(*table));
    main->add(table);
    mib.add(main);
}

uint32_t LastSetRequester()
{
    return g_lastSetRequester.load();
}

}  // namespace vgtest
