#pragma once
// One outgoing trap, as the consoles' fan-out fills it and the SNMP facade's trap sender reads it, and
// the interface through which the engine core hands a trap to the SNMP side.
//
// Threads: a TrapData belongs to the thread that fills it (normally on its stack). ITrapSender is
// called from any engine thread; the implementation serialises the sending.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Value syntaxes of a varbind.
enum TrapSyntax : int {
    kTrapSyntaxInteger = 2,
    kTrapSyntaxOctetString = 4,
    kTrapSyntaxObjectId = 6,
    kTrapSyntaxIpAddress = 64,
};

struct TrapVarbind {
    std::vector<uint32_t> oid;
    int syntax = kTrapSyntaxInteger;
    bool hasValue = true;
    int32_t integer = 0;             // syntax 2 and 64
    std::string octets;              // syntax 4
    std::vector<uint32_t> objectId;  // syntax 6
};

struct TrapData {
    // The sender builds the PDU in an array of 32 varbinds; the engine MAC varbind takes the last.
    static constexpr size_t kMaxVarbinds = 31;

    std::string engine;             // shown in the debug record only
    int version = 0;                // 0 SNMPv1, 1 SNMPv2c, 3 SNMPv3; other values: SNMPv1
    std::string peername;           // dotted IPv4 or host name
    int port = 0;                   // low 16 bits used
    std::string community;
    std::vector<uint32_t> trapOid;  // E.15.0.<code>.0 for the engine's traps
    std::string agent;              // the engine's host name, used in place of "127.0.0.1"
    int type = 6;                   // shown in the debug record only
    int specific = 0;               // shown in the debug record only
    std::vector<TrapVarbind> varbinds;
};

class ITrapSender {
public:
    virtual ~ITrapSender() = default;
    // 0 handed to the session (or destination "0.0.0.0"), 1 destination not valid, -1 not sent at all
    // (lock failure, refused record).
    virtual int SendTrap(TrapData& trap) = 0;
};
