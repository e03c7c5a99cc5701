#pragma once
// The service manager's end of sd_notify: a datagram socket bound at a path for the life of the object
// (the path is what a program finds in NOTIFY_SOCKET), keeping every message it receives.
// It belongs to the thread that made it.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vgtest {

class NotifySocket {
public:
    // Binds at path (an old file there is removed first); Bound() says whether that worked.
    explicit NotifySocket(const std::string& path);
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool Bound() const { return m_bound; }
    const std::string& Path() const { return m_path; }
    // Waits up to timeoutMs for one message; nothing at the limit.
    std::optional<std::string> Receive(int timeoutMs);
    // The messages that have arrived since the last Drain() (or the start), in order, without waiting
    // (sd_notify's send is done when it returns).
    std::vector<std::string> Drain();
    // Receives until a message containing text arrives.
    bool WaitFor(const std::string& text, int timeoutMs);
    // Receives until count STATUS= reports have arrived in all.
    bool WaitForStates(size_t count, int timeoutMs);
    // Every message received, in order.
    const std::vector<std::string>& Messages() const { return m_messages; }
    // (state, checkpoint) of every "STATUS=... (state N, checkpoint C)" received.
    std::vector<std::pair<int, int>> States() const;

private:
    // Receives until done() holds; false at the time limit.
    bool ReceiveUntil(const std::function<bool()>& done, int timeoutMs);

    int m_fd = -1;
    bool m_bound = false;
    std::string m_path;
    std::vector<std::string> m_messages;
    size_t m_drained = 0;
};

} // namespace vgtest
