#pragma once
// The decoding half of trap processing, as pure functions of a RemoteTrapRecord: which road a trap takes
// (engine trap, status trap, alarm change), what alarm change it carries, the forwarded-trap text, and
// the device selection. CRemoteAgent::ProcessTrap (TrapProcessing.cpp) identifies the sender and
// carries the decision out.
//
// Rules the decoding follows:
// - Trap OIDs are compared by sub-identifiers: E.150 does not start with E.15. A record whose trap OID
//   text is not a dotted OID takes no road.
// - A varbind a rule reads but the record does not carry reads as empty text (the number 0); each road
//   asks for its least count of varbinds first.
// - UPS-MIB well-known-alarm traps (and E.0.0) carry their state in the value: a value other than 0
//   raises the alarm, 0 clears it, so an agent that repeats a trap never clears a standing alarm.
//
// Threads: pure functions, safe from any thread.

#include <cstdint>
#include <memory>
#include <string>

#include "engine/remote/RemoteTrapRecord.h"
#include "engine/snmp/SnmpTypes.h"

enum class TrapRoute {
    None,     // ignored
    Engine,   // an engine trap of specific 1009, 1010 or 1011 (entry's engine-trap handling)
    Status,   // a status trap (entry's status handling)
    Alarm,    // an alarm raised or cleared on one device
};

struct TrapAlarmChange {
    bool add = false;
    uint32_t id = 0;
    uint32_t device = 0;
    uint32_t value = 0;      // the alarm's value when raised
    int eventType = 0;       // the event log's type (1 error, 2 warning, else information)
    std::string description;
    // A generation-4 alarm trap whose row reference named no device (logged and dropped).
    bool unknownDevice = false;
    std::string tableRef, rowRef;
};

struct TrapDecision {
    TrapRoute route = TrapRoute::None;
    TrapAlarmChange alarm;
};

// Whether oid begins with prefix, sub-identifier by sub-identifier.
bool OidHasPrefix(const SnmpOid& oid, const SnmpOid& prefix);
// The value text of varbind n, "" when the record has fewer.
const char* TrapValue(const RemoteTrapRecord& record, size_t n);
// That text read as a decimal integer (a non-number reads 0).
uint32_t TrapNumber(const RemoteTrapRecord& record, size_t n);
// The first non-empty value of a MAC varbind (E.10.1.2.6 or E.1.2.1.1.4), else "".
std::string TrapMac(const RemoteTrapRecord& record);
TrapDecision DecodeTrap(const RemoteTrapRecord& record);
// An agent row's device selection: active when the status code is 1; it then admits the device numbers
// of bytes 0 and 1 of the selection word. A selection of 0 admits every device.
bool IsDeviceExcludedBySelection(uint32_t statusCode, uint32_t selection, uint32_t device);

// The next "|"-separated field of text at cursor into buffer (size bytes with the NUL); false for an
// exhausted text or a field that does not fit (the buffer is then empty). Moves the cursor past it.
bool ReadTrapTokenField(const char*& cursor, char* buffer, size_t size);
// A forwarded trap "oid|specific|count|vboid|type|value|..." from a manager at requester (IPv4, first
// octet lowest): the record, or null when a varbind OID is missing or not a dotted OID, or the text
// announces more than kMaxForwardedVarbinds.
constexpr size_t kMaxForwardedVarbinds = 6;
std::unique_ptr<RemoteTrapRecord> ParseForwardedTrap(uint32_t requester, const std::string& text);
