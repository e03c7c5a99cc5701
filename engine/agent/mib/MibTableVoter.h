#pragma once
// A voter asked before a SET creates a row of a MibTable (through a read-create column, such as a
// RowStatus column). Any voter's non-zero status refuses the creation with that status.
//
// Threads: called on the SNMP thread.

#include "engine/agent/mib/MibTypes.h"

class MibTable;
class MibLeaf;

class MibTableVoter {
public:
    virtual ~MibTableVoter() = default;
    // 0 allows the SET of value to column at the missing row index to go on to its commit.
    virtual int is_creation_ok(MibTable& table, MibLeaf& column, const SnmpOid& index, const SnmpValue& value)
    {
        (void)table, (void)column, (void)index, (void)value;
        return kSnmpErrNoError;
    }
};
