#pragma once
// Plain SNMP values, varbinds, traps and client requests as the engine hands them to the SNMP thread
// (SnmpThread.h). None of these types touch net-snmp, so any thread may build, copy and read them.

#include <cstdint>
#include <string>
#include <vector>

// An OBJECT IDENTIFIER as its sub-identifiers.
using SnmpOid = std::vector<uint32_t>;

// ASN.1 tags of the values the engine uses.
constexpr unsigned char kSnmpInteger = 0x02;
constexpr unsigned char kSnmpOctetString = 0x04;
constexpr unsigned char kSnmpNull = 0x05;
constexpr unsigned char kSnmpObjectId = 0x06;
constexpr unsigned char kSnmpIpAddress = 0x40;
constexpr unsigned char kSnmpCounter32 = 0x41;
constexpr unsigned char kSnmpGauge32 = 0x42;
constexpr unsigned char kSnmpTimeTicks = 0x43;
constexpr unsigned char kSnmpOpaque = 0x44;
constexpr unsigned char kSnmpCounter64 = 0x46;
// Exceptions in a response varbind.
constexpr unsigned char kSnmpNoSuchObject = 0x80;
constexpr unsigned char kSnmpNoSuchInstance = 0x81;
constexpr unsigned char kSnmpEndOfMibView = 0x82;

struct SnmpValue {
    unsigned char type = kSnmpNull;
    // INTEGER (signed 32), Counter32, Gauge32, TimeTicks (unsigned 32), Counter64; IpAddress with the
    // first octet in the lowest byte.
    int64_t integer = 0;
    // OCTET STRING and Opaque: the raw bytes.
    std::string bytes;
    // OBJECT IDENTIFIER.
    SnmpOid oid;

    static SnmpValue Integer(int32_t v) { SnmpValue x; x.type = kSnmpInteger; x.integer = v; return x; }
    static SnmpValue Octets(std::string v) { SnmpValue x; x.type = kSnmpOctetString; x.bytes = std::move(v); return x; }
    static SnmpValue ObjectId(SnmpOid v) { SnmpValue x; x.type = kSnmpObjectId; x.oid = std::move(v); return x; }
    static SnmpValue IpAddress(uint32_t v) { SnmpValue x; x.type = kSnmpIpAddress; x.integer = v; return x; }
    static SnmpValue Gauge(uint32_t v) { SnmpValue x; x.type = kSnmpGauge32; x.integer = v; return x; }
    static SnmpValue Counter(uint32_t v) { SnmpValue x; x.type = kSnmpCounter32; x.integer = v; return x; }
    static SnmpValue TimeTicks(uint32_t v) { SnmpValue x; x.type = kSnmpTimeTicks; x.integer = v; return x; }

    // The value as plain text: decimal numbers, raw string bytes, dotted OIDs and addresses.
    std::string ToText() const;
};

struct SnmpVarbind {
    SnmpOid oid;
    SnmpValue value;
};

// Parses dotted decimal sub-identifiers ("1.3.6.1" or ".1.3.6.1"); false on anything else (empty text,
// empty parts, values above 4294967295, more than 128 parts).
bool ParseOid(const char* text, SnmpOid& out);
// "1.3.6.1"; empty text for an empty OID.
std::string OidToString(const SnmpOid& oid);
// Builds an OID from its text; aborts nothing: an invalid text gives an empty OID.
SnmpOid MakeOid(const char* text);

// One notification to send.
struct SnmpTrap {
    // 0 SNMPv1 trap, 1 SNMPv2c trap.
    int version = 0;
    // Destination: dotted IPv4 or host name, and UDP port.
    std::string peer;
    uint16_t port = 162;
    std::string community;
    // SNMPv1 fields. For SNMPv2c an empty trapOid is derived from them: generic 0-5 gives
    // 1.3.6.1.6.3.1.1.5.(generic+1), generic 6 enterprise.0.specific.
    SnmpOid enterprise;
    int generic = 6;
    int specific = 0;
    // SNMPv1 agent-addr, first octet in the lowest byte; 0 lets the library choose.
    uint32_t agentAddress = 0;
    // SNMPv2c snmpTrapOID.0.
    SnmpOid trapOid;
    // The varbinds after the header (SNMPv2c: after sysUpTime.0 and snmpTrapOID.0).
    std::vector<SnmpVarbind> varbinds;
};

enum class SnmpCommand { Get, GetNext, Set };

// One request of the engine's SNMP client to a remote agent.
struct SnmpClientRequest {
    SnmpCommand command = SnmpCommand::Get;
    // 0 SNMPv1, 1 SNMPv2c.
    int version = 0;
    std::string peer;
    uint16_t port = 161;
    std::string community;
    // Source address to send from (dotted IPv4); empty: any.
    std::string localAddress;
    // Per attempt; the library retries that many times more.
    int timeoutMs = 1000;
    int retries = 1;
    // Get and GetNext: the OIDs (values ignored); Set: OIDs and values.
    std::vector<SnmpVarbind> varbinds;
};

enum class SnmpClientStatus {
    Ok = 0,          // a response arrived (its error status may still be non-zero)
    Timeout = 1,     // no response after every retry
    Failed = 2,      // could not be sent (bad address, session failure, bad value)
    Stopped = 3,     // the SNMP thread does not take work any more
    WaitTimeout = 4  // the caller stopped waiting before the SNMP thread finished
};

struct SnmpClientResult {
    SnmpClientStatus status = SnmpClientStatus::Failed;
    long errorStatus = 0;
    long errorIndex = 0;
    std::vector<SnmpVarbind> varbinds;
    std::string error;
};
