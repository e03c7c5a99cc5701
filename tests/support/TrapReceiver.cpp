#include "tests/support/TrapReceiver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/snmp_impl.h>

namespace vgtest {

namespace {

std::mutex g_decodeMutex;

std::string Dotted(const oid* name, size_t length)
{
    std::string out;
    for (size_t i = 0; i < length; ++i)
        out += (i ? "." : "") + std::to_string(name[i]);
    return out;
}

std::string DottedAddress(const unsigned char* v)
{
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." + std::to_string(v[3]);
}

DecodedVarbind Convert(const netsnmp_variable_list& v)
{
    DecodedVarbind d;
    d.oid = Dotted(v.name, v.name_length);
    d.type = v.type;
    switch (v.type) {
    case ASN_INTEGER:
        d.integer = *v.val.integer;
        break;
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
        d.integer = static_cast<int64_t>(static_cast<uint32_t>(*v.val.integer));
        break;
    case ASN_OCTET_STR:
        d.text.assign(reinterpret_cast<const char*>(v.val.string), v.val_len);
        break;
    case ASN_OBJECT_ID:
        d.text = Dotted(v.val.objid, v.val_len / sizeof(oid));
        break;
    case ASN_IPADDRESS:
        if (v.val_len == 4)
            d.text = DottedAddress(v.val.string);
        break;
    default:
        break;
    }
    return d;
}

}  // namespace

DecodedTrap DecodeTrap(const unsigned char* data, size_t size)
{
    DecodedTrap t;
    std::lock_guard<std::mutex> lock(g_decodeMutex);
    std::vector<u_char> copy(data, data + size);
    u_char community[256];
    size_t communityLength = sizeof community;
    size_t left = copy.size();
    long version = -1;
    u_char* pduData = snmp_comstr_parse(copy.data(), &left, community, &communityLength, &version);
    if (pduData == nullptr)
        return t;
    t.version = static_cast<int>(version);
    t.community.assign(reinterpret_cast<const char*>(community), communityLength);
    netsnmp_pdu* pdu = snmp_pdu_create(0);
    if (pdu == nullptr)
        return t;
    pdu->version = version;
    const bool parsed = snmp_pdu_parse(pdu, pduData, &left) == 0;
    t.pduType = static_cast<unsigned char>(pdu->command);
    if (parsed && (version == SNMP_VERSION_1 || version == SNMP_VERSION_2c) &&
        (pdu->command == SNMP_MSG_TRAP || pdu->command == SNMP_MSG_TRAP2 || pdu->command == SNMP_MSG_INFORM)) {
        if (pdu->command == SNMP_MSG_TRAP) {
            t.enterprise = Dotted(pdu->enterprise, pdu->enterprise_length);
            t.agentAddress = DottedAddress(pdu->agent_addr);
            t.generic = static_cast<int>(pdu->trap_type);
            t.specific = static_cast<int>(pdu->specific_type);
        }
        for (netsnmp_variable_list* v = pdu->variables; v != nullptr; v = v->next_variable)
            t.varbinds.push_back(Convert(*v));
        t.ok = true;
    }
    snmp_free_pdu(pdu);
    return t;
}

namespace {

constexpr char kSyncMarker[] = "vgtest-trap-receiver-sync";

}  // namespace

TrapReceiver::TrapReceiver(const char* address) : m_address(address)
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
        const int on = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    }
    if (::pipe2(m_wake, O_CLOEXEC) != 0)
        m_wake[0] = m_wake[1] = -1;
    else
        m_thread = std::thread([this] { Loop(); });
}

TrapReceiver::~TrapReceiver()
{
    if (m_wake[1] >= 0)
        ::close(m_wake[1]); // the loop sees the end of the pipe
    if (m_thread.joinable())
        m_thread.join();
    if (m_wake[0] >= 0)
        ::close(m_wake[0]);
    if (m_fd >= 0)
        ::close(m_fd);
}

std::vector<DecodedTrap> TrapReceiver::Traps()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_traps;
}

size_t TrapReceiver::Count()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_traps.size();
}

void TrapReceiver::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_traps.clear();
    m_taken = 0;
}

std::optional<DecodedTrap> TrapReceiver::Next(int ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_traps.size() > m_taken; }))
        return std::nullopt;
    return m_traps[m_taken++];
}

bool TrapReceiver::WaitFor(size_t n, int ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_traps.size() >= n; });
}

bool TrapReceiver::Sync(int ms)
{
    uint64_t marker = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        marker = ++m_syncsSent;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(m_port));
    ::inet_pton(AF_INET, m_address.c_str(), &to.sin_addr);
    const bool sent = ::sendto(fd, kSyncMarker, sizeof kSyncMarker, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
                      static_cast<ssize_t>(sizeof kSyncMarker);
    ::close(fd);
    std::unique_lock<std::mutex> lock(m_mutex);
    return sent && m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_syncsSeen >= marker; });
}

void TrapReceiver::Loop()
{
    std::vector<unsigned char> buffer(65536);
    for (;;) {
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        // The kernel's arrival stamp: a thread scheduled late on a busy machine does not move it.
        iovec io{buffer.data(), buffer.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(m_fd, &message, 0);
        if (n <= 0)
            continue;
        const auto steadyNow = std::chrono::steady_clock::now();
        auto received = steadyNow;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp{};
                std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                timespec now{};
                ::clock_gettime(CLOCK_REALTIME, &now);
                const int64_t ago = (static_cast<int64_t>(now.tv_sec) - stamp.tv_sec) * 1000000000 +
                                    (static_cast<int64_t>(now.tv_nsec) - stamp.tv_nsec);
                if (ago >= 0)
                    received = steadyNow - std::chrono::nanoseconds(ago);
            }
        }
        if (static_cast<size_t>(n) == sizeof kSyncMarker && std::memcmp(buffer.data(), kSyncMarker, sizeof kSyncMarker) == 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_syncsSeen;
            m_cv.notify_all();
            continue;
        }
        DecodedTrap t = DecodeTrap(buffer.data(), static_cast<size_t>(n));
        t.received = received;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_traps.push_back(std::move(t));
        m_cv.notify_all();
    }
}

}  // namespace vgtest
