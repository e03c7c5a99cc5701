#include "tests/support/Ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <random>

namespace vgtest {

namespace {

sockaddr_in Address(uint32_t hostOrder, int port)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(hostOrder);
    sin.sin_port = htons(static_cast<uint16_t>(port));
    return sin;
}

// Whether a socket of type binds address (host order) at port.
bool Bindable(int type, uint32_t address, int port)
{
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in sin = Address(address, port);
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
    ::close(fd);
    return ok;
}

// The lowest port the system hands out to sockets bound to port 0 (and to every client socket).
int EphemeralLow()
{
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    int low = 0;
    int high = 0;
    return (range >> low >> high) && low > 12000 ? low : 32768;
}

// A port below the ephemeral range that binds for every type of types: the system never gives such a
// port to a client socket (an snmpget of a test running beside), so nobody takes it between the
// choice and the bind of the program it is chosen for, except another test that chose it too.
int PickedPort(std::initializer_list<int> types, uint32_t address)
{
    static std::mutex mutex;
    static std::mt19937 random(static_cast<unsigned>(::getpid()) * 2654435761u ^
                               static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::lock_guard<std::mutex> lock(mutex);
    std::uniform_int_distribution<int> pick(10000, EphemeralLow() - 1);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int port = pick(random);
        bool ok = true;
        for (int type : types)
            ok = ok && Bindable(type, address, port);
        if (ok)
            return port;
    }
    return -1;
}

}  // namespace

int FreePort(int type)
{
    return PickedPort({type}, INADDR_LOOPBACK);
}

int FreePortOnEveryAddress(int type)
{
    return PickedPort({type}, INADDR_ANY);
}

int FreeUdpTcpPort()
{
    return PickedPort({SOCK_DGRAM, SOCK_STREAM}, INADDR_ANY);
}

BusyPort::BusyPort(int type, int port, const std::string& address)
{
    m_fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return;
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t length = sizeof sin;
    if (::inet_pton(AF_INET, address.c_str(), &sin.sin_addr) == 1 &&
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0 &&
        (type != SOCK_STREAM || ::listen(m_fd, 4) == 0) &&
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sin), &length) == 0)
        m_port = ntohs(sin.sin_port);
}

BusyPort::~BusyPort()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

}  // namespace vgtest
