#pragma once
// A console's trap port for tests: a UDP socket on a loopback address (free port) and a thread that keeps every
// datagram with its arrival time, decoded as an SNMPv1 trap or an SNMPv2c notification.
// TrapReceiver's methods are safe from any thread: its own thread only appends to the list, under m_mutex.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace traptest {

struct DecodedVarbind {
    std::string oid;      // dotted
    unsigned char type = 0;
    int64_t integer = 0;  // INTEGER, Counter, Gauge, TimeTicks
    std::string text;     // OCTET STRING bytes, dotted OID value, dotted IpAddress
};

struct DecodedTrap {
    bool ok = false;
    int version = -1;     // 0 SNMPv1, 1 SNMPv2c
    std::string community;
    unsigned char pduType = 0;  // 0xA4 SNMPv1 trap, 0xA7 SNMPv2 trap
    std::string enterprise;
    std::string agentAddress;
    int generic = -1;
    int specific = -1;
    std::vector<DecodedVarbind> varbinds;
    std::chrono::steady_clock::time_point received;
};

class BerReader {
public:
    BerReader(const unsigned char* p, size_t n) : m_p(p), m_end(p + n) {}
    bool Next(unsigned char& tag, const unsigned char*& value, size_t& length)
    {
        if (m_p + 2 > m_end)
            return false;
        tag = *m_p++;
        size_t len = *m_p++;
        if (len & 0x80) {
            const size_t bytes = len & 0x7F;
            if (bytes == 0 || bytes > 4 || m_p + bytes > m_end)
                return false;
            len = 0;
            for (size_t i = 0; i < bytes; ++i)
                len = (len << 8) | *m_p++;
        }
        if (len > static_cast<size_t>(m_end - m_p))
            return false;
        value = m_p;
        length = len;
        m_p += len;
        return true;
    }
    bool AtEnd() const { return m_p >= m_end; }

private:
    const unsigned char* m_p;
    const unsigned char* m_end;
};

inline int64_t BerInteger(const unsigned char* v, size_t n, bool isSigned)
{
    int64_t x = (n && isSigned && (v[0] & 0x80)) ? -1 : 0;
    for (size_t i = 0; i < n; ++i)
        x = static_cast<int64_t>((static_cast<uint64_t>(x) << 8) | v[i]);
    return x;
}

inline std::string BerOid(const unsigned char* v, size_t n)
{
    std::string out;
    uint64_t sub = 0;
    bool first = true;
    for (size_t i = 0; i < n; ++i) {
        sub = (sub << 7) | (v[i] & 0x7F);
        if (v[i] & 0x80)
            continue;
        if (first) {
            const uint64_t a = sub < 80 ? sub / 40 : 2;
            out = std::to_string(a) + "." + std::to_string(sub - a * 40);
            first = false;
        } else {
            out += "." + std::to_string(sub);
        }
        sub = 0;
    }
    return out;
}

// The four octets of an IpAddress, dotted.
inline std::string BerIpAddress(const unsigned char* v)
{
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." + std::to_string(v[3]);
}

inline bool DecodeVarbinds(const unsigned char* v, size_t n, std::vector<DecodedVarbind>& out)
{
    BerReader list(v, n);
    while (!list.AtEnd()) {
        unsigned char tag;
        const unsigned char* p;
        size_t len;
        if (!list.Next(tag, p, len) || tag != 0x30)
            return false;
        BerReader vb(p, len);
        DecodedVarbind d;
        if (!vb.Next(tag, p, len) || tag != 0x06)
            return false;
        d.oid = BerOid(p, len);
        if (!vb.Next(tag, p, len))
            return false;
        d.type = tag;
        switch (tag) {
        case 0x02:
            d.integer = BerInteger(p, len, true);
            break;
        case 0x41:
        case 0x42:
        case 0x43:
            d.integer = BerInteger(p, len, false);
            break;
        case 0x04:
            d.text.assign(reinterpret_cast<const char*>(p), len);
            break;
        case 0x06:
            d.text = BerOid(p, len);
            break;
        case 0x40:
            if (len == 4)
                d.text = BerIpAddress(p);
            break;
        default:
            break;
        }
        out.push_back(d);
    }
    return true;
}

inline DecodedTrap DecodeTrap(const unsigned char* data, size_t size)
{
    DecodedTrap t;
    BerReader top(data, size);
    unsigned char tag;
    const unsigned char* p;
    size_t len;
    if (!top.Next(tag, p, len) || tag != 0x30)
        return t;
    BerReader msg(p, len);
    if (!msg.Next(tag, p, len) || tag != 0x02)
        return t;
    t.version = static_cast<int>(BerInteger(p, len, true));
    if (!msg.Next(tag, p, len) || tag != 0x04)
        return t;
    t.community.assign(reinterpret_cast<const char*>(p), len);
    if (!msg.Next(tag, p, len))
        return t;
    t.pduType = tag;
    BerReader pdu(p, len);
    if (tag == 0xA4) {
        if (!pdu.Next(tag, p, len) || tag != 0x06)
            return t;
        t.enterprise = BerOid(p, len);
        if (!pdu.Next(tag, p, len) || tag != 0x40 || len != 4)
            return t;
        t.agentAddress = BerIpAddress(p);
        if (!pdu.Next(tag, p, len) || tag != 0x02)
            return t;
        t.generic = static_cast<int>(BerInteger(p, len, true));
        if (!pdu.Next(tag, p, len) || tag != 0x02)
            return t;
        t.specific = static_cast<int>(BerInteger(p, len, true));
        if (!pdu.Next(tag, p, len) || tag != 0x43)
            return t;
    } else if (tag == 0xA7) {
        for (int i = 0; i < 3; ++i)
            if (!pdu.Next(tag, p, len) || tag != 0x02)
                return t;
    } else {
        return t;
    }
    if (!pdu.Next(tag, p, len) || tag != 0x30)
        return t;
    t.ok = DecodeVarbinds(p, len, t.varbinds);
    return t;
}

class TrapReceiver {
public:
    // address: the dotted IPv4 address to listen on (a console's own address).
    explicit TrapReceiver(const char* address = "127.0.0.1")
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, address, &a.sin_addr);
        a.sin_port = 0;
        if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            socklen_t l = sizeof a;
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &l);
            m_port = ntohs(a.sin_port);
        }
        m_thread = std::thread([this] { Loop(); });
    }
    ~TrapReceiver()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int Port() const { return m_port; }
    std::vector<DecodedTrap> Traps()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_traps;
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_traps.size();
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_traps.clear();
        m_taken = 0;
    }
    // The oldest trap not yet taken by Next, waiting up to ms for one; nothing at the time limit.
    std::optional<DecodedTrap> Next(int ms)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_traps.size() > m_taken; }))
            return std::nullopt;
        return m_traps[m_taken++];
    }
    // Waits until at least n traps arrived; false at the time limit.
    bool WaitFor(size_t n, int ms = 5000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_traps.size() >= n; });
    }

private:
    void Loop()
    {
        unsigned char buffer[65536];
        while (!m_stop) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (::poll(&pfd, 1, 50) <= 0)
                continue;
            ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                continue;
            DecodedTrap t = DecodeTrap(buffer, static_cast<size_t>(n));
            t.received = std::chrono::steady_clock::now();
            std::lock_guard<std::mutex> lock(m_mutex);
            m_traps.push_back(t);
            m_cv.notify_all();
        }
    }

    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<DecodedTrap> m_traps;
    size_t m_taken = 0; // how many of m_traps Next has answered
};

} // namespace traptest
