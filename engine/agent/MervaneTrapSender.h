#pragma once
// mervane_trap_sender: turns the engine's TrapData into a notification and hands it to the SNMP
// thread's queue (the only thread that calls net-snmp); it sends nothing itself.
//
// A record goes out as:
//   - SNMPv1 (version 0, and any version but 1 and 3): a trap with enterprise 1.3.6.1.4.1.64950,
//     generic 6 and the last sub-identifier of the notification id as its specific code;
//   - SNMPv2c (version 1): a notification whose snmpTrapOID.0 is the notification id;
//   - SNMPv3 (version 3): refused with a log line (the engine has no SNMPv3 trap targets).
// The notification id is the record's trap OID without its last sub-identifier when that one is 0. The
// varbinds are the record's, in order (syntax 64 as Integer32), then the engine MAC varbind
// E.10.1.2.6.0. A record with more than 31 varbinds or without a trap OID is refused and logged.
//
// Destinations: "0.0.0.0" sends nothing; "127.0.0.1" is replaced by the record's agent text (the
// engine's full host name), and when that name does not resolve the trap still goes to 127.0.0.1. A
// host name is resolved before the caller's lock is taken, never under it.
//
// Threads: sendtrap may be called from any thread, several at once; the look-up cache has its own
// leaf mutex. The facade (MervaneSnmp.h) passes its mutex, which sendtrap holds only while it queues.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "engine/snmp/SnmpTypes.h"
#include "engine/base/AppLog.h"
#include "engine/base/Mutex.h"
#include "engine/core/interfaces/TrapData.h"

// The engine MAC varbind that every trap carries last.
extern const SnmpOid kEngineMacOid;
// The enterprise of the engine's SNMPv1 traps.
extern const SnmpOid kEngineEnterpriseOid;

// Results of sendtrap.
constexpr int kTrapHanded = 0;      // queued for the SNMP thread, or destination "0.0.0.0"
constexpr int kTrapBadAddress = 1;  // the destination is not a valid address
constexpr int kTrapRefused = -1;    // refused record, or the lock could not be taken

// The multi-line debug record the facade logs at level 7 before sending.
AppLogRecord TrapDebugRecord(const TrapData& record);
// Why a record cannot be sent at all; empty when it can (varbind count, trap OID, SNMPv3 target).
std::string TrapRecordFault(const TrapData& record);
// The notification for a record that TrapRecordFault accepts, to the dotted IPv4 address; agentAddress
// is the SNMPv1 agent-addr (the engine's address, first octet lowest; 0 lets the library choose).
SnmpTrap BuildSnmpTrap(const TrapData& record, const std::string& address, const std::string& engineMac,
                       uint32_t agentAddress = 0);

class mervane_trap_sender {
public:
    // Hands a trap to the SNMP thread's queue; false when it takes no more work.
    using PostTrap = std::function<bool(SnmpTrap)>;
    // The engine MAC text ("00.00.00.00.00.00" until the server has found it).
    using EngineMac = std::function<std::string()>;
    // Resolves a host name to an IPv4 address (first octet lowest); false when it does not resolve.
    using Resolver = std::function<bool(const std::string&, uint32_t&)>;

    // The engine's IPv4 address for the SNMPv1 agent-addr field (asked before any lock is taken).
    using AgentAddress = std::function<uint32_t()>;

    mervane_trap_sender(PostTrap post, EngineMac mac, Resolver resolver = nullptr, AgentAddress agent = nullptr);
    virtual ~mervane_trap_sender();
    mervane_trap_sender(const mervane_trap_sender&) = delete;
    mervane_trap_sender& operator=(const mervane_trap_sender&) = delete;

    // kTrapHanded, kTrapBadAddress or kTrapRefused. The destination is resolved first; lock (may be
    // null) is held only while the trap is queued. The record's peername and port are changed as
    // described above.
    int sendtrap(TrapData& record, Mutex* lock = nullptr);

    // getaddrinfo, IPv4 only.
    static bool ResolveHost(const std::string& name, uint32_t& address);

private:
    bool Resolve(const std::string& name, uint32_t& address);

    PostTrap m_post;
    EngineMac m_mac;
    Resolver m_resolver;
    AgentAddress m_agentAddress;
    std::mutex m_cacheMutex;
    struct Cached {
        uint32_t address = 0;
        bool resolved = false;
        int64_t expiresMs = 0;
    };
    std::map<std::string, Cached> m_cache;
};
