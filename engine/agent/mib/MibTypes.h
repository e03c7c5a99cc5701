#pragma once
// Access values, SNMP error statuses and the request context of our MIB framework.
//
// Threads: plain values; any thread.

#include <cstdint>

#include "engine/snmp/SnmpTypes.h"

// (net-snmp defines NOACCESS, READONLY... as macros, hence these names.)
enum class MibAccess {
    NoAccess = 0,
    ReadOnly = 1,
    ReadWrite = 2,
    ReadCreate = 3,
};

// SNMP error statuses (RFC 3416) as our objects return them.
constexpr int kSnmpErrNoError = 0;
constexpr int kSnmpErrTooBig = 1;
constexpr int kSnmpErrNoSuchName = 2;
constexpr int kSnmpErrBadValue = 3;
constexpr int kSnmpErrReadOnly = 4;
constexpr int kSnmpErrGenErr = 5;
constexpr int kSnmpErrNoAccess = 6;
constexpr int kSnmpErrWrongType = 7;
constexpr int kSnmpErrWrongLength = 8;
constexpr int kSnmpErrWrongEncoding = 9;
constexpr int kSnmpErrWrongValue = 10;
constexpr int kSnmpErrNoCreation = 11;
constexpr int kSnmpErrInconsistentValue = 12;
constexpr int kSnmpErrResourceUnavailable = 13;
constexpr int kSnmpErrCommitFailed = 14;
constexpr int kSnmpErrUndoFailed = 15;
constexpr int kSnmpErrAuthorizationError = 16;
constexpr int kSnmpErrNotWritable = 17;
constexpr int kSnmpErrInconsistentName = 18;
// A get_request answer of the framework's own, no SNMP status: the object has no value now (one its
// syntax cannot express, such as a reading the engine does not know). A GET answers noSuchInstance,
// a GET-NEXT goes on past it.
constexpr int kMibNoInstance = 0x100;

// What an object learns about the request it serves.
struct MibRequest {
    // The manager's IPv4 address, first octet in the lowest byte (a.b.c.d gives a | b << 8 | c << 16 |
    // d << 24); 0 when the request did not come over IPv4.
    uint32_t requester = 0;
    // The varbind's full name.
    SnmpOid instance;
    // For a table cell: the row index (the sub-identifiers after entry.column); empty for a scalar.
    SnmpOid index;
    // For a table cell: whether the row existed when the request arrived.
    bool rowExists = true;
    // The request came over SNMPv3 with authentication (authNoPriv or authPriv).
    bool authenticated = false;
    // For a GET or GET-NEXT: the manager's access would let it write this instance (its write view
    // holds the name). Secrets read as empty without it.
    bool mayWrite = true;
};
