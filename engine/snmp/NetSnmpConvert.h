#pragma once
// Conversions between our plain SNMP types (SnmpTypes.h) and net-snmp's, and the socket behind a
// net-snmp session.
//
// Threads: SNMP thread only (they touch net-snmp structures).

#include "engine/snmp/NetSnmp.h"
#include "engine/snmp/SnmpTypes.h"

// Copies at most MAX_OID_LEN sub-identifiers; false when the OID is longer.
bool ToNetSnmpOid(const SnmpOid& in, oid* out, size_t& length);
SnmpOid FromNetSnmpOid(const oid* in, size_t length);

// Sets the varbind's value; false for a type we cannot encode.
bool SetNetSnmpValue(netsnmp_variable_list* var, const SnmpValue& value);
// Reads a varbind's value (exceptions come back as their tags).
SnmpValue FromNetSnmpValue(const netsnmp_variable_list* var);
// Appends a varbind to a PDU; false when the OID or value cannot be encoded.
bool AddNetSnmpVarbind(netsnmp_pdu* pdu, const SnmpOid& name, const SnmpValue& value);

// The transport (and so the socket) of an open session; null when there is none.
netsnmp_transport* SessionTransport(netsnmp_session* session);
// Marks the session's socket close-on-exec: the library's sockets must not leak into the programs the
// engine starts. Nothing happens for a session without a socket.
void SetSessionCloseOnExec(netsnmp_session* session);
