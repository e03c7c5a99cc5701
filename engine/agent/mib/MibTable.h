#pragma once
// A conceptual table: an entry OID, its columns (MibLeaf objects, each called with the row index in
// MibRequest::index) and its rows (row indexes as OIDs; our tables use one INTEGER sub-identifier,
// rows 1..last). The table keeps no cells: a column answers every row.
//
// A SET to a missing row reaches a column only when that column is read-create; the table's voters are
// asked first, then the column's commit runs with MibRequest::rowExists false and the column itself
// decides whether to add the row (add_row). Nothing is added for it otherwise, so a refused creation
// leaves no row behind.
//
// Threads: columns and voters are added at set-up, before registration, and then only read on the
// SNMP thread. add_row, remove_row and the row queries are safe from any thread (m_rowMutex,
// a leaf lock: nothing else is taken while it is held). A subclass may keep its rows elsewhere (for
// instance a count of dense rows 1..n) by overriding has_row and next_row.

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/agent/mib/MibLeaf.h"
#include "engine/agent/mib/MibTableVoter.h"

class MibTable {
public:
    // entryOidText: the entry (…Entry) OID.
    explicit MibTable(const char* entryOidText);
    virtual ~MibTable();
    MibTable(const MibTable&) = delete;
    MibTable& operator=(const MibTable&) = delete;

    const SnmpOid& get_oid() const { return m_oid; }

    // Takes ownership. A column built with one sub-identifier (its column number) gets the entry OID in
    // front of it.
    void add_col(MibLeaf* column);
    // Not owned; must outlive the table.
    void add_voter(MibTableVoter* voter);

    // Rows.
    void add_row(const SnmpOid& index);
    void add_row(uint32_t row) { add_row(SnmpOid{row}); }
    void remove_row(const SnmpOid& index);
    void remove_row(uint32_t row) { remove_row(SnmpOid{row}); }
    virtual bool has_row(const SnmpOid& index) const;
    // The first row index after `after` (at or after it when inclusive), indexes compared as OIDs
    // (so {2, 7} lies between rows {2} and {3}); false when none. An override must keep this order.
    virtual bool next_row(const SnmpOid& after, bool inclusive, SnmpOid& index) const;

    // Framework (SNMP thread).
    const std::map<uint32_t, std::unique_ptr<MibLeaf>>& columns() const { return m_columns; }
    MibLeaf* find_column(uint32_t column) const;
    int vote_creation(MibLeaf& column, const SnmpOid& index, const SnmpValue& value);

private:
    SnmpOid m_oid;
    std::map<uint32_t, std::unique_ptr<MibLeaf>> m_columns;
    std::vector<MibTableVoter*> m_voters;
    mutable std::mutex m_rowMutex;
    std::set<SnmpOid> m_rows;
};
