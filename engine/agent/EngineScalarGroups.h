#pragma once
// The scalar-only groups of the enterprise MIB (E = 1.3.6.1.4.1.64950), each object a keyed scalar
// (KeyedScalars.h) bound to its engine key:
//   mervane_enginedata_mib            "mvnEngineData"            E.10.1  engine settings and identity
//   mervane_enginelogdata_mib         "mvnEngineLogData"         E.10.4  log settings
//   mervane_engineshutdowndata_mib    "mvnEngineShutdown"        E.10.5  shutdown countdown
//   mervane_engineconfigtimestamp_mib "mvnEngineConfigTimeStamp" E.10.7  [ConfigFileVersion] texts
//   mervane_devconsole_mib            "mvnDevConsole"            E.11    the requesting console's settings
// The protocol and port tables under E.10.1.9 and E.10.1.10 belong to the engine tables and have no rows.
//
// Threads: built at the agent's set-up, before the MIB is registered; then served on the SNMP thread.

#include <cstdint>

#include "engine/agent/mib/Mib.h"
#include "engine/agent/mib/MibGroup.h"

class mervane_enginedata_mib : public MibGroup {
public:
    mervane_enginedata_mib();
    ~mervane_enginedata_mib() override;
};

class mervane_enginelogdata_mib : public MibGroup {
public:
    mervane_enginelogdata_mib();
    ~mervane_enginelogdata_mib() override;
};

class mervane_engineshutdowndata_mib : public MibGroup {
public:
    mervane_engineshutdowndata_mib();
    ~mervane_engineshutdowndata_mib() override;
};

class mervane_engineconfigtimestamp_mib : public MibGroup {
public:
    mervane_engineconfigtimestamp_mib();
    ~mervane_engineconfigtimestamp_mib() override;
};

class mervane_devconsole_mib : public MibGroup {
public:
    mervane_devconsole_mib();
    ~mervane_devconsole_mib() override;
};

// Adds the five groups to the MIB, in the agent set-up's order.
void AddEngineScalarGroups(Mib& mib);

// One object of a scalar group, as the groups build it (for the tests: every object's OID, syntax,
// access and key).
struct KeyedScalarSpec {
    const char* oid;       // instance OID text, ending in ".0"
    unsigned char syntax;  // kSnmpInteger, kSnmpOctetString or kSnmpIpAddress
    bool writable;
    uint32_t key;
};
struct KeyedScalarTable {
    const KeyedScalarSpec* specs;
    size_t count;
};
KeyedScalarTable EngineDataScalars();
KeyedScalarTable EngineLogDataScalars();
KeyedScalarTable EngineShutdownScalars();
KeyedScalarTable EngineConfigTimeStampScalars();
KeyedScalarTable DevConsoleScalars();
