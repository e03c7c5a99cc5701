#pragma once
// The AgentX master's guard: no local process can take over the engine's own objects or starve the
// engine of file descriptors through the AgentX port.
//
// - A sub-agent's registration that overlaps any object the engine itself registered (the enterprise
//   tree, the UPS-MIB, system, sysORTable, the SNMP engine, USM and MPD objects, the target and
//   notification tables) is refused with requestDenied and logged with the session's peer: its
//   address:port, the local account that owns the connection, and the sub-agent's description.
//   The engine's own objects are whatever the registry holds with no sub-agent session; a registration
//   that contains them (1.3.6.1) is refused as well as one inside them. Sub-agents keep every other
//   subtree.
// - The library unregisters whatever matches an unregistration's subtree and priority, whoever
//   registered it: a sub-agent that timed out, registered again and closed took the engine's
//   sysORTable, sysORLastChange, usmStats and snmpMPDStats with it. An unregistration that overlaps
//   the engine's objects names no registration of the sub-agent's (none can be there): it is answered
//   unknownRegistration and logged, and the engine's objects survive any sub-agent's life cycle.
// - At most AgentXSessionBound() sessions are open at once; a connection beyond it is closed at once
//   with a (rate-limited) log line, before it is read.
//
// The guard takes the place of the library's callback on the master's listening session; the library
// copies that callback into every session it accepts there, so every AgentX session passes the guard
// first and then goes on to the library's own handling.
//
// Threads: Install and the callbacks belong to the SNMP thread; the pure helpers below may be used
// anywhere.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/snmp/SnmpTypes.h"

class SnmpThread;

// AgentX sessions open at once, at most. The service unit's LimitNOFILE leaves room for them.
constexpr int kMaxAgentXSessions = 128;
// Descriptors kept free for saves, logs, SNMP sessions and the programs the engine starts.
constexpr int kAgentXDescriptorReserve = 64;

// The bound on AgentX sessions: kMaxAgentXSessions, lower when the descriptor limit leaves less
// after the descriptors in use and the reserve (never below 0).
int AgentXSessionBound(uint64_t descriptorLimit, int descriptorsInUse);

// OID ranges in the registry's order, [start, end).
struct OidRange {
    SnmpOid start;
    SnmpOid end;
    bool endless = false;  // end lies past every OID (a subtree of 4294967295s, or the whole tree)
};

// The OIDs of a subtree: the prefix itself and everything below it.
OidRange SubtreeRange(const SnmpOid& prefix);
// What an AgentX registration covers: the subtree, or with rangeSubid (1-based, 0: none) every subtree
// whose sub-identifier at that place runs from the subtree's up to upperBound.
OidRange RegistrationRange(const SnmpOid& subtree, int rangeSubid, uint32_t upperBound);
bool RangesOverlap(const OidRange& a, const OidRange& b);
// The first of ranges that overlaps range; -1 when none does.
int FirstOverlap(const std::vector<OidRange>& ranges, const OidRange& range);

// What becomes of a registration or unregistration once checked.
enum class RegistrationCheck {
    Pass,     // it overlaps nothing of the engine's: the library handles it
    Answered, // the guard answered it (or gave up on it after an answer went out): the library never sees it
    Refuse,   // the check failed before any answer: refuse it with requestDenied
};
// Runs check, which answers true when it refused the PDU and sets answered once an answer went out. A
// check that throws is logged and the PDU never reaches the library: a failed check must not let a
// sub-agent register over the engine's objects, nor give the PDU a second answer.
RegistrationCheck RunRegistrationCheck(const std::function<bool(bool& answered)>& check);

class AgentXGuard {
public:
    // Takes over the callback of the master's listening session(s) and fixes the session bound from
    // the process's descriptor limit. Call after the library has started the master
    // (init_master_agent). false when no listening session was found (then no AgentX runs).
    static bool Install(SnmpThread& thread);
    // Forgets the listening sessions (before the library's shutdown).
    static void Uninstall();
};
