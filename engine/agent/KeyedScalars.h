#pragma once
// The keyed scalars: MIB objects that store no value. Each is bound to one engine key; a GET asks the
// server for the key's value (CServer::GetValue) and a SET hands the new value to the server
// (CServer::SetValue), passing the requesting manager's IPv4 address (first octet in the lowest byte,
// from the request's transport; the address class passes 0). Nothing is cached: a GET always shows the
// server at that moment. Without a server (before it is created, after it is deleted) integers read 0,
// texts read empty and SETs change nothing.
//
//   mervane_keyed_intoid   INTEGER       key 0 reads 0 without asking the server
//   mervane_keyed_stroid   OCTET STRING  the server's text up to its first NUL; "" when the key answers
//                                        anything but a text; SETs above 255 bytes: wrongLength
//   mervane_keyed_gaugeoid Gauge32       the UPS-MIB alarm row count for key 0x8301000A, else 0
//   mervane_keyed_adroid   IpAddress     the key's number read with requester 0; a SET goes to the key
//                                        as an IpAddress value
// A SET is refused only in its check step (notWritable, wrongType, wrongLength); its commit reports
// success also when the server ignores, clamps or refuses the value, except when the server reports
// that the change could not be saved (the console settings): that commit fails (commitFailed) and the
// framework writes the old value back.
//
// Threads: the MIB framework calls these on the SNMP thread; the server's accessors are safe from any
// thread. The objects hold no shared state and take no lock of their own.

#include <cstdint>

#include "engine/agent/mib/MibLeaf.h"

class AlarmRows;

// The longest text a text scalar takes.
constexpr size_t kKeyedTextLimit = 255;
// The key of the UPS-MIB alarm count.
constexpr uint32_t kUpsAlarmCountKey = 0x8301000A;

// The check of a text SET for key: wrongLength or wrongValue when the server could not store it
// (CServer::CheckStorable), so that the manager is never told a refused value was set.
int StorableTextStatus(uint32_t key, const SnmpValue& value);

class mervane_keyed_intoid : public MibLeaf {
public:
    mervane_keyed_intoid(const char* oidText, MibAccess access, uint32_t key);
    ~mervane_keyed_intoid() override;
    int get_request(const MibRequest& request, SnmpValue& out) override;
    int commit_set_request(const MibRequest& request, const SnmpValue& value) override;
    const uint32_t key;
};

class mervane_keyed_stroid : public MibLeaf {
public:
    mervane_keyed_stroid(const char* oidText, MibAccess access, uint32_t key);
    ~mervane_keyed_stroid() override;
    int get_request(const MibRequest& request, SnmpValue& out) override;
    int prepare_set_request(const MibRequest& request, const SnmpValue& value) override;
    int commit_set_request(const MibRequest& request, const SnmpValue& value) override;
    const uint32_t key;
};

class mervane_keyed_gaugeoid : public MibLeaf {
public:
    // upsAlarms: the rows the alarm count reads (may be null: 0).
    mervane_keyed_gaugeoid(const char* oidText, MibAccess access, uint32_t key, const AlarmRows* upsAlarms = nullptr);
    ~mervane_keyed_gaugeoid() override;
    int get_request(const MibRequest& request, SnmpValue& out) override;
    const uint32_t key;

private:
    const AlarmRows* m_upsAlarms;
};

class mervane_keyed_adroid : public MibLeaf {
public:
    mervane_keyed_adroid(const char* oidText, MibAccess access, uint32_t key);
    ~mervane_keyed_adroid() override;
    int get_value(const MibRequest& request, SnmpValue& out) override;
    int commit_set_request(const MibRequest& request, const SnmpValue& value) override;
    const uint32_t key;
};
