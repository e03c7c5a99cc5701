#include "tests/support/NotifySocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace vgtest {

NotifySocket::NotifySocket(const std::string& path) : m_path(path)
{
    ::unlink(path.c_str());
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (m_fd < 0 || path.size() >= sizeof addr.sun_path)
        return;
    path.copy(addr.sun_path, path.size());
    m_bound = ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

NotifySocket::~NotifySocket()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_bound)
        ::unlink(m_path.c_str());
}

std::optional<std::string> NotifySocket::Receive(int timeoutMs)
{
    if (!m_bound)
        return std::nullopt;
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (n < 0)
        return std::nullopt;
    m_messages.emplace_back(buffer, static_cast<size_t>(n));
    return m_messages.back();
}

std::vector<std::string> NotifySocket::Drain()
{
    while (Receive(0)) {
    }
    std::vector<std::string> fresh(m_messages.begin() + static_cast<std::ptrdiff_t>(m_drained), m_messages.end());
    m_drained = m_messages.size();
    return fresh;
}

bool NotifySocket::ReceiveUntil(const std::function<bool()>& done, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        Receive(static_cast<int>(left.count()));
    }
    return true;
}

bool NotifySocket::WaitFor(const std::string& text, int timeoutMs)
{
    return ReceiveUntil(
        [&] {
            for (const auto& m : m_messages)
                if (m.find(text) != std::string::npos)
                    return true;
            return false;
        },
        timeoutMs);
}

bool NotifySocket::WaitForStates(size_t count, int timeoutMs)
{
    return ReceiveUntil([&] { return States().size() >= count; }, timeoutMs);
}

std::vector<std::pair<int, int>> NotifySocket::States() const
{
    std::vector<std::pair<int, int>> states;
    for (const auto& m : m_messages) {
        const size_t at = m.find("STATUS=");
        if (at == std::string::npos)
            continue;
        const size_t state = m.find("(state ", at);
        const size_t checkpoint = m.find(", checkpoint ", at);
        if (state == std::string::npos || checkpoint == std::string::npos)
            continue;
        states.emplace_back(std::atoi(m.c_str() + state + 7), std::atoi(m.c_str() + checkpoint + 13));
    }
    return states;
}

} // namespace vgtest
