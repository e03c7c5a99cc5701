#pragma once
// A subtree of the MIB: the scalars and tables under one OID, registered with the agent as one unit
// (Mib.h). The group orders its objects by OID and finds the object of a name (GET, SET) and the next
// instance after a name (GET-NEXT).
//
// Threads: objects are added at set-up, before registration; the lookups run on the SNMP thread.

#include <map>
#include <memory>
#include <string>

#include "engine/agent/mib/MibLeaf.h"
#include "engine/agent/mib/MibTable.h"

class MibGroup {
public:
    MibGroup(const char* oidText, const char* name);
    virtual ~MibGroup();
    MibGroup(const MibGroup&) = delete;
    MibGroup& operator=(const MibGroup&) = delete;

    const SnmpOid& get_oid() const { return m_oid; }
    const std::string& get_name() const { return m_name; }

    // Take ownership. An object outside the group's subtree, or with the OID of an object already
    // added, is refused and logged.
    void add(MibLeaf* scalar);
    void add(MibTable* table);

    // The object that serves one instance.
    struct Target {
        MibLeaf* leaf = nullptr;
        SnmpOid instance;
        SnmpOid index;        // row index for a table cell
        bool rowExists = true;
    };
    // Lookup results of find_exact.
    enum class Found { Object, NoSuchObject, NoSuchInstance };
    // A name that an object serves. For a table column the target is returned with rowExists false
    // when the row is missing (and Found::NoSuchInstance); a name without a column or index gives
    // NoSuchInstance when it is inside a table or scalar, NoSuchObject otherwise.
    Found find_exact(const SnmpOid& name, Target& target) const;
    // The first readable instance after name (at name when inclusive) in OID order; false when the
    // group has none (the request then falls through to the next registration). Objects that are not
    // accessible are skipped.
    bool find_next(const SnmpOid& name, bool inclusive, Target& target) const;

private:
    struct Entry {
        MibLeaf* scalar = nullptr;
        MibTable* table = nullptr;
    };
    bool InSubtree(const SnmpOid& oid) const;
    bool NextInTable(const MibTable& table, const SnmpOid& name, bool inclusive, Target& target) const;

    SnmpOid m_oid;
    std::string m_name;
    std::map<SnmpOid, Entry> m_entries;
    std::map<SnmpOid, std::unique_ptr<MibLeaf>> m_scalars;
    std::map<SnmpOid, std::unique_ptr<MibTable>> m_tables;
};

// Whether prefix is a (not necessarily proper) prefix of oid.
bool OidStartsWith(const SnmpOid& oid, const SnmpOid& prefix);
