#pragma once
// A notification receiver on the SNMP thread: one UDP socket that takes every SNMPv1 trap, SNMPv2c trap
// and inform sent to it, whatever the sender or community, and hands each to a handler as plain data.
//
// Threads: Open and the destructor may be called from any thread but the SNMP thread's own work (they
// run their net-snmp part there through SnmpThread::Call and wait for it). The handler runs on the SNMP
// thread, one notification at a time: it must not block and must not wait for the SNMP thread (queue the
// notification and return). After the destructor returns, the handler is never called again.
// Informs are answered on the SNMP thread before the handler runs: the response carries the inform's
// own varbinds.
// Close the session before the SNMP thread's Shutdown.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/snmp/SnmpTypes.h"

class SnmpThread;

constexpr int kSnmpPduTrapV1 = 0xA4;
constexpr int kSnmpPduInform = 0xA6;
constexpr int kSnmpPduTrapV2 = 0xA7;

// One received notification, flattened.
struct SnmpReceivedNotification {
    int pduType = 0;        // kSnmpPduTrapV1, kSnmpPduTrapV2 or kSnmpPduInform
    int version = 0;        // 0 SNMPv1, 1 SNMPv2c
    long errorStatus = 0;   // as the PDU carried it
    std::string community;
    std::string sender;     // dotted IPv4 of the UDP source ("" when unknown)
    uint16_t senderPort = 0;
    // The notification OID: SNMPv2c snmpTrapOID.0; SNMPv1 enterprise.0.specific, or for generic 0-5
    // 1.3.6.1.6.3.1.1.5.(generic+1).
    SnmpOid trapOid;
    // The varbinds in order; SNMPv2c lists without sysUpTime.0 and snmpTrapOID.0.
    std::vector<SnmpVarbind> varbinds;
};

class SnmpTrapSession {
public:
    using Handler = std::function<void(SnmpReceivedNotification&&)>;

    // Listens on address:port (dotted IPv4; port 0 lets the system choose). Null on failure, with the
    // reason in error (the port is taken, the address is not valid, the SNMP thread takes no work).
    static std::unique_ptr<SnmpTrapSession> Open(SnmpThread& thread, const std::string& address, uint16_t port,
                                                 Handler handler, std::string* error = nullptr);
    ~SnmpTrapSession();
    SnmpTrapSession(const SnmpTrapSession&) = delete;
    SnmpTrapSession& operator=(const SnmpTrapSession&) = delete;

    // The UDP port the socket is bound to.
    uint16_t Port() const { return m_port; }
    // Notifications received (any thread).
    uint64_t Received() const;

    struct State;

private:
    SnmpTrapSession(SnmpThread& thread, std::shared_ptr<State> state, uint16_t port);

    SnmpThread& m_thread;
    std::shared_ptr<State> m_state;
    uint16_t m_port = 0;
};
