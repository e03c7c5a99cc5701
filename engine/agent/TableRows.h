#pragma once
// What every dense MIB table of the engine shares: the order of dense row indexes, the RowStatus
// decisions, and the reads and writes of engine values by key.
//
// Dense rows: a table whose rows are 1..count (one INTEGER index), or device.1..device.n (two), walked
// in OID order so that {2, 7} lies between {2} and {3}.
//
// RowStatus (RFC 2579 values 1-6) on a dense table, decided from the row, the value and the table's
// row count; the effect (engine row added, removed, status written) is the caller's:
//   RowStatusCheck: the check step of a SET, whose status reaches the manager as it is: wrongValue for
//     a value outside 1..6 and noCreation for a creation beyond what the table's keys can address.
//   DecideRowStatus: the commit step; a non-zero status ends the SET with commitFailed.
//
// Threads: pure functions and engine calls; any thread. The engine accessors lock themselves.

#include <cstdint>
#include <string>

#include "engine/agent/mib/MibTypes.h"

// The name of the SNMP facade's mutex (shared by name): the tables take it while they change the row
// counts that the facade also changes, and hold nothing else meanwhile.
constexpr const char* kFacadeMutexName = "MervaneSnmpMutex";

// RowStatus values.
constexpr int32_t kRowActive = 1;
constexpr int32_t kRowNotInService = 2;
constexpr int32_t kRowNotReady = 3;
constexpr int32_t kRowCreateAndGo = 4;
constexpr int32_t kRowCreateAndWait = 5;
constexpr int32_t kRowDestroy = 6;

// The first dense row after `after` among 1..count (at it when inclusive); 0 when there is none.
uint32_t NextDenseRow(uint32_t count, const SnmpOid& after, bool inclusive);

enum class RowStatusAction {
    None,      // nothing to do (refused, or nothing asked)
    SetStatus, // write the value into the row's status
    Create,    // add the engine row `row` (the new last row)
    Destroy,   // remove the engine row `row`; the table loses its last row
};

struct RowStatusRequest {
    uint32_t row = 0;
    int64_t value = 0;
    uint32_t lastIndex = 0;
    // The highest row the table's keys can address.
    uint32_t rowLimit = 0;
    // No row may be created now (a cap is reached, or the engine's rows are out of step).
    bool creationBlocked = false;
};

struct RowStatusDecision {
    int status = kSnmpErrNoError;
    RowStatusAction action = RowStatusAction::None;
};

int RowStatusCheck(const RowStatusRequest& request);
RowStatusDecision DecideRowStatus(const RowStatusRequest& request);

// Engine values by key through the server (requester 0 unless given; length carries a row for the
// alarm keys). Without a server: 0, "" and false.
int32_t EngineInteger(uint32_t key, uint32_t requester = 0, uint32_t length = 0);
// The same value as the server holds it, for objects that must tell an answer from its absence: false
// (out 0) when there is no server, it refused the key, or the key answers a text.
bool EngineIntegerAnswered(uint32_t key, uint32_t requester, uint32_t& out, uint32_t length = 0);
// The text up to its first NUL; "" when the key answers anything but a text.
std::string EngineText(uint32_t key, uint32_t requester = 0, uint32_t length = 0);
// false when the server refused the value (or there is none).
bool SetEngineInteger(uint32_t key, int32_t value, uint32_t requester = 0);
bool SetEngineText(uint32_t key, const std::string& text, uint32_t requester = 0);
bool SetEngineAddress(uint32_t key, uint32_t address, uint32_t requester = 0);

// Nested dense indexes (device.item, device.control.data): the first index of `levels` parts after
// `after` (at it when inclusive) in OID order, each part p in 1..limit(the parts before it), and
// accepted by exists (null: every one). false when there is none.
using IndexLimit = uint32_t (*)(const void* context, const SnmpOid& prefix);
using IndexExists = bool (*)(const void* context, const SnmpOid& index);
bool NextNestedIndex(size_t levels, const SnmpOid& after, bool inclusive, const void* context, IndexLimit limit,
                     IndexExists exists, SnmpOid& index);
bool HasNestedIndex(size_t levels, const SnmpOid& index, const void* context, IndexLimit limit, IndexExists exists);
