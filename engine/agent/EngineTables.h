#pragma once
// The engine tables of the enterprise MIB (E = 1.3.6.1.4.1.64950) that are not device tables. They
// store no values: a row is only an index, and every cell reads and writes the engine (requester 0)
// with the key prefix | column << shift | row.
//
//   table              entry          key of column c, row r     rows            row class  groups
//   remote agents      E.10.6.2.1     0xA8100000 | c<<12 | r     remoteAgents    0x90000    mervane_remotetable_mib E.10.6
//   trap destinations  E.14.2.2.1     0xA40C0000 | c<<8  | r     trapDestinations 0x70000   mervane_snmpiptable_mib E.14.2
//   contacts           E.14.1.2.1     0xA6040000 | c<<8  | r     (none created)  0x60000    mervane_contacttable_mib E.14.1
//   syslog targets     E.17.2.1       0xA9300000 | c<<8  | r     (none created)  0xD0000    mervane_syslogtable_mib E.17
//   groups             E.10.3.2.1     0x010D0000 | c<<8  | r     none                       mervane_grouptable_mib E.10.3
//   ports              E.10.1.10.2.1  0xC20F0000 | c<<8  | r     none                       in "mvnEngineData"
//   protocols          E.10.1.9.2.1   0xC10E0000 | c<<8  | r     none                       in "mvnEngineData"
//
// Rows are exactly 1..count, the count kept in MibRowCounts (the facade changes it as the engine's
// tables load and change; a RowStatus SET changes it here). A row's number must fit its key: rows
// above 255 (4095 for the remote agents) are never shown and never created.
//
// RowStatus (column 2 of the first four tables), see TableRows.h for the decisions:
//   check step: a value outside 1..6 gets wrongValue; a creation beyond the key space noCreation;
//     createAndGo of a new remote-agent row inconsistentValue (an agent cannot go active before its
//     address is written: create it with createAndWait, write its columns, then set it active);
//   commit: createAndGo/createAndWait at last + 1 adds the engine row (CServer::AddRow), then the
//     table's last row (unless the engine has given it already) and writes the status; destroy removes
//     engine row r (the engine moves its later rows down) and then the table's last row unless the
//     engine took it away itself, and writes nothing more (row r now holds the next row); it is
//     checked with the request's other writes and made only at the request's commit, after all of
//     them have succeeded (so a request that fails elsewhere keeps the row); a monitored remote
//     agent's destroy fails when the engine cannot save its file first (the agent stays); active/
//     notInService write the status, and fail when the engine cannot save it; every other case fails
//     (commitFailed). A remote
//     agent is created only while the engine's own agent count equals the table's and stays below the
//     cap (engine variable 57).
// Cells: a SET that the engine refuses fails (commitFailed); texts above 255 bytes get wrongLength, and
//   so do the remote agents' texts above what their row keeps (address 15, community 63, MAC 17). A
//   remote agent's community reads as empty to a manager whose access does not let it write the cell.
//
// Threads: built at the agent's set-up; served on the SNMP thread. The row counts are safe from any
// thread; a RowStatus commit changes them under the facade mutex, never while it calls the engine.

#include <cstdint>

#include "engine/agent/MibRowCounts.h"
#include "engine/agent/mib/Mib.h"
#include "engine/agent/mib/MibGroup.h"
#include "engine/agent/mib/MibTable.h"

struct KeyedTableShape {
    const char* entryOid;
    uint32_t prefix;
    int columnShift;       // 8, or 12 for the remote agents
    uint32_t rowClass;     // CServer::AddRow/DeleteRow row class; 0: the table has no RowStatus
    bool remoteAgents = false;
};

// One dense table of engine rows.
class KeyedEngineTable : public MibTable, public MibTableVoter {
public:
    // rows: the table's row count (not owned; null: the table never has rows).
    KeyedEngineTable(const KeyedTableShape& shape, DenseRows* rows);
    ~KeyedEngineTable() override;

    uint32_t Key(uint32_t column, uint32_t row) const;
    uint32_t RowLimit() const;
    uint32_t LastIndex() const;
    // 1 <= row <= the row count, within the key space.
    bool HasDenseRow(uint32_t row) const;
    const KeyedTableShape& Shape() const { return m_shape; }
    DenseRows* Rows() const { return m_rows; }
    // Creation may not happen now (remote agents: the cap or the engine's count).
    bool CreationBlocked() const;

    bool has_row(const SnmpOid& index) const override;
    bool next_row(const SnmpOid& after, bool inclusive, SnmpOid& index) const override;
    // Only one-number indexes inside the key space may be created.
    int is_creation_ok(MibTable& table, MibLeaf& column, const SnmpOid& index, const SnmpValue& value) override;

private:
    KeyedTableShape m_shape;
    DenseRows* m_rows;
};

enum class CellKind { Integer, Text, Address };

// A cell column of a KeyedEngineTable.
class KeyedTableCell : public MibLeaf {
public:
    // maxLength: the longest text the engine stores in the column (longer ones get wrongLength).
    // secret: a text that reads as empty to managers that may not write it.
    KeyedTableCell(KeyedEngineTable& table, uint32_t column, MibAccess access, CellKind kind,
                   size_t maxLength = 255, bool secret = false);
    ~KeyedTableCell() override;
    bool reads_depend_on_write_access() const override { return m_secret; }
    int get_value(const MibRequest& request, SnmpValue& out) override;
    int prepare_set_request(const MibRequest& request, const SnmpValue& value) override;
    int set(const MibRequest& request, const SnmpValue& value) override;

private:
    KeyedEngineTable& m_table;
    uint32_t m_column;
    CellKind m_kind;
    size_t m_maxLength;
    bool m_secret;
};

// The RowStatus column (2) of a KeyedEngineTable.
class KeyedRowStatus : public MibLeaf {
public:
    explicit KeyedRowStatus(KeyedEngineTable& table);
    ~KeyedRowStatus() override;
    int get_value(const MibRequest& request, SnmpValue& out) override;
    int prepare_set_request(const MibRequest& request, const SnmpValue& value) override;
    int set(const MibRequest& request, const SnmpValue& value) override;
    // A row created by a request that failed elsewhere goes again (destroy).
    int undo_creation(const MibRequest& request) override;
    // A destroy waits for the commit of its request: the engine moves the later rows down, which no
    // undo could take back. A trap destination's row is restored exactly (its words, at its place) when
    // the request's save fails; a remote agent, once queued for its removal, is not. A remote agent's
    // activation waits too: once its monitoring has started, setting the row back does not stop it.
    bool defers_to_commit(const MibRequest& request, const SnmpValue& value) const override;
    int check_deferred(const MibRequest& request, const SnmpValue& value) override;
    int commit_deferred(const MibRequest& request, const SnmpValue& value, std::function<int()>& restore) override;

private:
    KeyedEngineTable& m_table;
};

// The column classes by the tables' own names.
using mvn_remotetable_intcol = KeyedTableCell;
using mvn_remotetable_strcol = KeyedTableCell;
using mvn_remotetable_rowstatus = KeyedRowStatus;
using mvn_snmpiptable_intcol = KeyedTableCell;
using mvn_snmpiptable_strcol = KeyedTableCell;
using mvn_snmpiptable_adrcol = KeyedTableCell;
using mvn_snmpiptable_rowstatus = KeyedRowStatus;
using mvn_contacttable_intcol = KeyedTableCell;
using mvn_contacttable_strcol = KeyedTableCell;
using mvn_contacttable_rowstatus = KeyedRowStatus;
using mvn_syslogtable_intcol = KeyedTableCell;
using mvn_syslogtable_strcol = KeyedTableCell;
using mvn_syslogtable_rowstatus = KeyedRowStatus;
using mvn_grouptable_intcol = KeyedTableCell;
using mvn_grouptable_strcol = KeyedTableCell;
using mvn_porttable_intcol = KeyedTableCell;
using mvn_porttable_strcol = KeyedTableCell;
using mvn_protocoltable_intcol = KeyedTableCell;
using mvn_protocoltable_strcol = KeyedTableCell;

class mvn_remotetable_entry : public KeyedEngineTable {
public:
    explicit mvn_remotetable_entry(DenseRows& rows);
    ~mvn_remotetable_entry() override;
};
class mvn_snmpiptable_entry : public KeyedEngineTable {
public:
    explicit mvn_snmpiptable_entry(DenseRows& rows);
    ~mvn_snmpiptable_entry() override;
};
class mvn_contacttable_entry : public KeyedEngineTable {
public:
    mvn_contacttable_entry();
    ~mvn_contacttable_entry() override;

private:
    DenseRows m_none; // the engine refuses every contact row
};
class mvn_syslogtable_entry : public KeyedEngineTable {
public:
    mvn_syslogtable_entry();
    ~mvn_syslogtable_entry() override;

private:
    DenseRows m_none;
};
class mvn_grouptable_entry : public KeyedEngineTable {
public:
    mvn_grouptable_entry();
    ~mvn_grouptable_entry() override;
};
class mvn_porttable_entry : public KeyedEngineTable {
public:
    mvn_porttable_entry();
    ~mvn_porttable_entry() override;
};
class mvn_protocoltable_entry : public KeyedEngineTable {
public:
    mvn_protocoltable_entry();
    ~mvn_protocoltable_entry() override;
};

class mervane_remotetable_mib : public MibGroup {
public:
    explicit mervane_remotetable_mib(MibRowCounts& rows);
    ~mervane_remotetable_mib() override;
};
class mervane_snmpiptable_mib : public MibGroup {
public:
    explicit mervane_snmpiptable_mib(MibRowCounts& rows);
    ~mervane_snmpiptable_mib() override;
};
class mervane_contacttable_mib : public MibGroup {
public:
    mervane_contacttable_mib();
    ~mervane_contacttable_mib() override;
};
class mervane_syslogtable_mib : public MibGroup {
public:
    mervane_syslogtable_mib();
    ~mervane_syslogtable_mib() override;
};
class mervane_grouptable_mib : public MibGroup {
public:
    mervane_grouptable_mib();
    ~mervane_grouptable_mib() override;
};

// Adds the five table groups to the MIB, and the protocol and port tables to its "mvnEngineData" group
// (which must have been added before).
void AddEngineTableGroups(Mib& mib, MibRowCounts& rows);
