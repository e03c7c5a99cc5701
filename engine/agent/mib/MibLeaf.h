#pragma once
// A MIB object: a scalar (built with its instance OID, ending in ".0") or a table column (built with
// the column's OID, or with the column number alone when a MibTable owns it).
//
// The framework (Mib.h) calls, on the SNMP thread:
//   GET and GET-NEXT: get_request, which by default answers noAccess below read-only and otherwise
//     get_value (by default the leaf's own value);
//   SET: prepare_set_request for every varbind first (by default notWritable below read-write and
//     wrongType for a value of another syntax); then commit_set_request for every varbind (by default
//     set, whose non-zero status becomes commitFailed). When one of a request's writes fails, the
//     writes made before it are undone: a written value by commit_set_request of the value
//     get_request read just before the write, a created row by undo_creation.
//   A write that no undo could take back (a row's destroy: the engine renumbers the rows after it) is
//   held back instead: when defers_to_commit says so, ACTION only checks it (check_deferred) and the
//   write is made by commit_deferred in the COMMIT pass, after every other write of the request has
//   succeeded, the highest rows of a table first. Should the request's save fail after that, the
//   restore that commit_deferred handed back puts the row back.
// The framework itself answers notWritable for read-only objects, noCreation for a SET to a missing row
// of a column that is not read-create, and noCreation for names no object has.
//
// Threads: the SNMP thread only. Subclasses that read engine state take their own locks.

#include <functional>
#include <string>

#include "engine/agent/mib/MibTypes.h"

class MibTable;

class MibLeaf {
public:
    MibLeaf(const char* oidText, MibAccess access, unsigned char syntax);
    MibLeaf(const SnmpOid& oid, MibAccess access, unsigned char syntax);
    virtual ~MibLeaf();
    MibLeaf(const MibLeaf&) = delete;
    MibLeaf& operator=(const MibLeaf&) = delete;

    const SnmpOid& get_oid() const { return m_oid; }
    MibAccess get_access() const { return m_access; }
    unsigned char get_syntax() const { return m_syntax; }
    // The table that owns this column; null for a scalar.
    MibTable* get_table() const { return m_table; }

    // The leaf's own value (the default answer of get_value; set stores there).
    const SnmpValue& get_stored_value() const { return m_value; }
    void set_stored_value(const SnmpValue& value) { m_value = value; }

    // Whether a read needs request.mayWrite (the manager's right to write the object): the framework
    // asks its access control only for such leaves, not on every read.
    virtual bool reads_depend_on_write_access() const { return false; }
    // Fills out for a GET; 0 or an error status (kSnmpErrNoAccess hides the object).
    virtual int get_request(const MibRequest& request, SnmpValue& out);
    virtual int get_value(const MibRequest& request, SnmpValue& out);
    // 0 lets the SET go on to its commit.
    virtual int prepare_set_request(const MibRequest& request, const SnmpValue& value);
    // 0 on success; a non-zero status reaches the manager as commitFailed.
    virtual int commit_set_request(const MibRequest& request, const SnmpValue& value);
    // Writes the value; 0 on success.
    virtual int set(const MibRequest& request, const SnmpValue& value);
    // Takes away the row this read-create column created in the request being undone (request as at
    // the creation, rowExists now true); by default the table's row.
    virtual int undo_creation(const MibRequest& request);

    // Whether this write of an existing row waits for the commit (by default none does).
    virtual bool defers_to_commit(const MibRequest& request, const SnmpValue& value) const;
    // The ACTION step of a held-back write: 0 when commit_deferred will be able to make it; any other
    // status fails the request (commitFailed) before any write of it is kept.
    virtual int check_deferred(const MibRequest& request, const SnmpValue& value);
    // Makes a held-back write; 0 on success (any other status: commitFailed, and the request's other
    // writes are taken back). restore, when set, puts the state before the write back (0 on success);
    // by default it is left empty (commit_set_request makes the write).
    virtual int commit_deferred(const MibRequest& request, const SnmpValue& value, std::function<int()>& restore);

private:
    friend class MibTable;
    SnmpOid m_oid;
    MibAccess m_access;
    unsigned char m_syntax;
    SnmpValue m_value;
    MibTable* m_table = nullptr;
};
