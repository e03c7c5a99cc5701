#pragma once
// A remote agent's trap for tests, made without an SNMP library: an SNMPv2c trap datagram (sysUpTime,
// snmpTrapOID and the given varbinds) sent from a UDP socket bound to a loopback address of the
// caller's choice, so a test can send as the monitored agent or as anyone else, as fast as it needs.
//
// Threads: one object belongs to one thread.

#include <cstdint>
#include <string>
#include <vector>

namespace vgtest {

struct RawVarbind {
    std::string oid;    // dotted
    char type = 'i';    // 'i' INTEGER, 's' OCTET STRING
    std::string value;  // decimal for 'i'
};

// The datagram of one SNMPv2c trap.
std::vector<uint8_t> BuildV2cTrap(const std::string& community, const std::string& trapOid,
                                  const std::vector<RawVarbind>& varbinds, int32_t requestId = 1);

class RawTrapSender {
public:
    // source: the dotted loopback address the traps come from (any port).
    explicit RawTrapSender(const std::string& source);
    ~RawTrapSender();
    RawTrapSender(const RawTrapSender&) = delete;
    RawTrapSender& operator=(const RawTrapSender&) = delete;

    bool Ok() const { return m_fd >= 0; }
    // To 127.0.0.1:port; false when the datagram was not sent whole.
    bool Send(int port, const std::vector<uint8_t>& datagram);

private:
    int m_fd = -1;
};

}  // namespace vgtest
