#include "tests/support/TrapSender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>

namespace vgtest {

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Tlv(uint8_t tag, const Bytes& content)
{
    Bytes out{tag};
    const size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n < 0x100) {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(n));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(n >> 8));
        out.push_back(static_cast<uint8_t>(n));
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes Integer(int64_t value, uint8_t tag = 0x02)
{
    Bytes content;
    for (int shift = 56; shift > 0; shift -= 8) {
        const uint8_t byte = static_cast<uint8_t>(value >> shift);
        const uint8_t next = static_cast<uint8_t>(value >> (shift - 8));
        // Leading bytes that only repeat the sign are left out.
        if (!content.empty() || !((byte == 0x00 && !(next & 0x80)) || (byte == 0xFF && (next & 0x80))))
            content.push_back(byte);
    }
    content.push_back(static_cast<uint8_t>(value));
    return Tlv(tag, content);
}

Bytes Oid(const std::string& dotted)
{
    std::vector<uint32_t> ids;
    std::istringstream in(dotted);
    std::string part;
    while (std::getline(in, part, '.'))
        if (!part.empty())
            ids.push_back(static_cast<uint32_t>(std::stoul(part)));
    Bytes content;
    if (ids.size() >= 2)
        content.push_back(static_cast<uint8_t>(ids[0] * 40 + ids[1]));
    for (size_t i = 2; i < ids.size(); ++i) {
        uint8_t groups[5];
        int n = 0;
        uint32_t v = ids[i];
        do {
            groups[n++] = static_cast<uint8_t>(v & 0x7F);
            v >>= 7;
        } while (v != 0);
        while (n-- > 0)
            content.push_back(static_cast<uint8_t>(groups[n] | (n ? 0x80 : 0)));
    }
    return Tlv(0x06, content);
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

std::vector<uint8_t> BuildV2cTrap(const std::string& community, const std::string& trapOid,
                                  const std::vector<RawVarbind>& varbinds, int32_t requestId)
{
    Bytes list = Concat({Tlv(0x30, Concat({Oid("1.3.6.1.2.1.1.3.0"), Integer(0, 0x43)})),
                         Tlv(0x30, Concat({Oid("1.3.6.1.6.3.1.1.4.1.0"), Oid(trapOid)}))});
    for (const RawVarbind& vb : varbinds) {
        const Bytes value = vb.type == 'i' ? Integer(std::stoll(vb.value))
                                           : Tlv(0x04, Bytes(vb.value.begin(), vb.value.end()));
        const Bytes one = Tlv(0x30, Concat({Oid(vb.oid), value}));
        list.insert(list.end(), one.begin(), one.end());
    }
    const Bytes pdu = Tlv(0xA7, Concat({Integer(requestId), Integer(0), Integer(0), Tlv(0x30, list)}));
    return Tlv(0x30, Concat({Integer(1), Tlv(0x04, Bytes(community.begin(), community.end())), pdu}));
}

RawTrapSender::RawTrapSender(const std::string& source)
{
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (::inet_pton(AF_INET, source.c_str(), &a.sin_addr) != 1 ||
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

RawTrapSender::~RawTrapSender()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool RawTrapSender::Send(int port, const std::vector<uint8_t>& datagram)
{
    if (m_fd < 0)
        return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::sendto(m_fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(datagram.size());
}

}  // namespace vgtest
