#include "engine/agent/EngineTables.h"

#include <algorithm>

#include "engine/agent/KeyedScalars.h"
#include "engine/agent/TableRows.h"
#include "engine/base/Mutex.h"
#include "engine/core/server/Server.h"
#include "engine/core/settings/SnmpIpTable.h"

namespace {

#define E "1.3.6.1.4.1.64950"

constexpr uint32_t kRowAddFailed = 0xFFFFFFFFu;

// The facade's mutex, shared by name with CMervaneSnmp.
Mutex& FacadeMutex()
{
    static Mutex* mutex = new Mutex(kFacadeMutexName); // lives as long as the process, like the facade's
    return *mutex;
}

struct ColumnSpec {
    uint32_t column;
    char kind; // 'I' integer, 'S' text, 'A' address, 'R' RowStatus
    bool writable;
    size_t maxLength = kKeyedTextLimit; // texts
    bool secret = false;                // a text only managers that may write it can read
};

template <size_t N>
void AddColumns(KeyedEngineTable& table, const ColumnSpec (&columns)[N])
{
    for (const ColumnSpec& c : columns) {
        if (c.kind == 'R') {
            table.add_col(new KeyedRowStatus(table));
            continue;
        }
        const CellKind kind = c.kind == 'S' ? CellKind::Text : c.kind == 'A' ? CellKind::Address : CellKind::Integer;
        table.add_col(new KeyedTableCell(table, c.column, c.writable ? MibAccess::ReadWrite : MibAccess::ReadOnly,
                                         kind, c.maxLength, c.secret));
    }
}

constexpr bool RO = false;
constexpr bool RW = true;

const ColumnSpec kRemoteColumns[] = {
    {1, 'I', RO}, {2, 'R', RW}, {3, 'S', RW, 15}, {4, 'I', RW},       {5, 'S', RW, 63, true}, {6, 'I', RW},
    {7, 'I', RW}, {8, 'I', RO}, {9, 'S', RO},     {10, 'S', RW, 17}, {11, 'S', RW},     {12, 'I', RW},
};
const ColumnSpec kSnmpIpColumns[] = {
    {1, 'I', RO}, {2, 'R', RW}, {3, 'A', RW}, {4, 'S', RW}, {5, 'S', RW}, {6, 'I', RW}, {7, 'I', RW}, {8, 'S', RW},
};
const ColumnSpec kContactColumns[] = {
    {1, 'I', RO}, {2, 'R', RW}, {3, 'S', RW},  {4, 'S', RW},  {5, 'S', RW},  {6, 'S', RW},
    {7, 'S', RW}, {8, 'I', RW}, {9, 'S', RW}, {10, 'I', RW}, {11, 'I', RW}, {12, 'I', RW},
};
const ColumnSpec kSyslogColumns[] = {{1, 'I', RO}, {2, 'R', RW}, {3, 'S', RW}, {4, 'I', RW}};
const ColumnSpec kGroupColumns[] = {{1, 'I', RO}, {2, 'S', RO}};
const ColumnSpec kPortColumns[] = {{1, 'I', RO}, {2, 'S', RO}};
const ColumnSpec kProtocolColumns[] = {{1, 'I', RO}, {2, 'I', RO}, {3, 'S', RO}};

const KeyedTableShape kRemoteShape{E ".10.6.2.1", 0xA8100000u, 12, 0x90000u, true};
const KeyedTableShape kSnmpIpShape{E ".14.2.2.1", 0xA40C0000u, 8, 0x70000u};
const KeyedTableShape kContactShape{E ".14.1.2.1", 0xA6040000u, 8, 0x60000u};
const KeyedTableShape kSyslogShape{E ".17.2.1", 0xA9300000u, 8, 0xD0000u};
const KeyedTableShape kGroupShape{E ".10.3.2.1", 0x010D0000u, 8, 0};
const KeyedTableShape kPortShape{E ".10.1.10.2.1", 0xC20F0000u, 8, 0};
const KeyedTableShape kProtocolShape{E ".10.1.9.2.1", 0xC10E0000u, 8, 0};

// The row of a one-number index; 0 for any other index.
uint32_t RowOf(const SnmpOid& index)
{
    return index.size() == 1 ? index[0] : 0;
}

} // namespace

KeyedEngineTable::KeyedEngineTable(const KeyedTableShape& shape, DenseRows* rows)
    : MibTable(shape.entryOid), m_shape(shape), m_rows(rows)
{
    add_voter(this);
}

KeyedEngineTable::~KeyedEngineTable() = default;

uint32_t KeyedEngineTable::Key(uint32_t column, uint32_t row) const
{
    return m_shape.prefix | column << m_shape.columnShift | row;
}

uint32_t KeyedEngineTable::RowLimit() const
{
    return (1u << m_shape.columnShift) - 1;
}

uint32_t KeyedEngineTable::LastIndex() const
{
    return m_rows ? m_rows->Count() : 0;
}

bool KeyedEngineTable::HasDenseRow(uint32_t row) const
{
    return row >= 1 && row <= RowLimit() && row <= LastIndex();
}

bool KeyedEngineTable::CreationBlocked() const
{
    if (!m_rows)
        return true;
    if (!m_shape.remoteAgents)
        return false;
    // The engine's own agent count, not only ours: a new row must be the engine's next agent, and the
    // cap counts the agents the engine holds.
    const int32_t engineRows = EngineInteger(41);
    const int32_t cap = EngineInteger(57);
    return engineRows < 0 || static_cast<uint32_t>(engineRows) != LastIndex() || engineRows >= cap;
}

bool KeyedEngineTable::has_row(const SnmpOid& index) const
{
    return HasDenseRow(RowOf(index));
}

bool KeyedEngineTable::next_row(const SnmpOid& after, bool inclusive, SnmpOid& index) const
{
    const uint32_t row = NextDenseRow(std::min(LastIndex(), RowLimit()), after, inclusive);
    if (row == 0)
        return false;
    index = SnmpOid{row};
    return true;
}

int KeyedEngineTable::is_creation_ok(MibTable&, MibLeaf&, const SnmpOid& index, const SnmpValue&)
{
    const uint32_t row = RowOf(index);
    return row >= 1 && row <= RowLimit() ? kSnmpErrNoError : kSnmpErrNoCreation;
}

KeyedTableCell::KeyedTableCell(KeyedEngineTable& table, uint32_t column, MibAccess access, CellKind kind,
                               size_t maxLength, bool secret)
    : MibLeaf(SnmpOid{column}, access,
              kind == CellKind::Text      ? kSnmpOctetString
              : kind == CellKind::Address ? kSnmpIpAddress
                                          : kSnmpInteger),
      m_table(table), m_column(column), m_kind(kind), m_maxLength(std::min(maxLength, kKeyedTextLimit)),
      m_secret(secret)
{
}

KeyedTableCell::~KeyedTableCell() = default;

int KeyedTableCell::get_value(const MibRequest& request, SnmpValue& out)
{
    const uint32_t row = RowOf(request.index);
    const bool present = m_table.HasDenseRow(row);
    const uint32_t key = m_table.Key(m_column, row);
    switch (m_kind) {
    case CellKind::Text:
        // A secret (a remote agent's community authenticates its traps and writes to its card) reads
        // as empty to a manager that could not write it.
        out = SnmpValue::Octets(present && (!m_secret || request.mayWrite) ? EngineText(key) : std::string());
        break;
    case CellKind::Address:
        out = SnmpValue::IpAddress(present ? static_cast<uint32_t>(EngineInteger(key)) : 0);
        break;
    case CellKind::Integer:
        out = SnmpValue::Integer(present ? EngineInteger(key) : 0);
        break;
    }
    return kSnmpErrNoError;
}

int KeyedTableCell::prepare_set_request(const MibRequest& request, const SnmpValue& value)
{
    const int status = MibLeaf::prepare_set_request(request, value);
    if (status != kSnmpErrNoError)
        return status;
    if (m_kind != CellKind::Text)
        return kSnmpErrNoError;
    if (value.bytes.size() > m_maxLength)
        return kSnmpErrWrongLength;
    return StorableTextStatus(m_table.Key(m_column, RowOf(request.index)), value);
}

int KeyedTableCell::set(const MibRequest& request, const SnmpValue& value)
{
    const uint32_t row = RowOf(request.index);
    if (!m_table.HasDenseRow(row))
        return kSnmpErrNoCreation;
    const uint32_t key = m_table.Key(m_column, row);
    bool accepted = false;
    switch (m_kind) {
    case CellKind::Text:
        accepted = SetEngineText(key, value.bytes);
        break;
    case CellKind::Address:
        accepted = SetEngineAddress(key, static_cast<uint32_t>(value.integer));
        break;
    case CellKind::Integer:
        accepted = SetEngineInteger(key, static_cast<int32_t>(value.integer));
        break;
    }
    return accepted ? kSnmpErrNoError : kSnmpErrCommitFailed;
}

KeyedRowStatus::KeyedRowStatus(KeyedEngineTable& table)
    : MibLeaf(SnmpOid{2}, MibAccess::ReadCreate, kSnmpInteger), m_table(table)
{
}

KeyedRowStatus::~KeyedRowStatus() = default;

int KeyedRowStatus::get_value(const MibRequest& request, SnmpValue& out)
{
    const uint32_t row = RowOf(request.index);
    out = SnmpValue::Integer(m_table.HasDenseRow(row) ? EngineInteger(m_table.Key(2, row)) : 0);
    return kSnmpErrNoError;
}

int KeyedRowStatus::prepare_set_request(const MibRequest& request, const SnmpValue& value)
{
    int status = MibLeaf::prepare_set_request(request, value);
    if (status != kSnmpErrNoError)
        return status;
    const uint32_t row = RowOf(request.index);
    status = RowStatusCheck({row, value.integer, m_table.LastIndex(), m_table.RowLimit(), false});
    if (status != kSnmpErrNoError)
        return status;
    if (m_table.Shape().remoteAgents && value.integer == kRowCreateAndGo && !m_table.HasDenseRow(row))
        return kSnmpErrInconsistentValue;
    return kSnmpErrNoError;
}

int KeyedRowStatus::set(const MibRequest& request, const SnmpValue& value)
{
    const uint32_t row = RowOf(request.index);
    const int32_t v = static_cast<int32_t>(value.integer);
    const RowStatusDecision decision =
        DecideRowStatus({row, value.integer, m_table.LastIndex(), m_table.RowLimit(), m_table.CreationBlocked()});
    if (decision.status != kSnmpErrNoError)
        return decision.status;
    CServer* server = CServer::Instance();
    DenseRows* rows = m_table.Rows();
    if (!server || !rows)
        return kSnmpErrGenErr;
    const uint32_t rowClass = m_table.Shape().rowClass;
    switch (decision.action) {
    case RowStatusAction::SetStatus:
        return SetEngineInteger(m_table.Key(2, row), v) ? kSnmpErrNoError : kSnmpErrGenErr;
    case RowStatusAction::Create: {
        if (server->AddRow(rowClass | row) == kRowAddFailed)
            return kSnmpErrGenErr;
        {
            // The engine may have given the row its MIB row already (the remote agents do).
            MutexLock facade(FacadeMutex());
            if (rows->Count() < row)
                rows->Append();
        }
        if (!SetEngineInteger(m_table.Key(2, row), v) && v == kRowCreateAndGo)
            return kSnmpErrInconsistentValue;
        return kSnmpErrNoError;
    }
    case RowStatusAction::Destroy: {
        const uint32_t before = rows->Count();
        if (server->DeleteRow(rowClass | row) != 1)
            return kSnmpErrGenErr;
        // The engine has moved its later rows down: the table loses its last row, and nothing is
        // written to row r any more (it holds the next destination now). An engine that keeps the
        // MIB's count itself (the remote agents) has taken it away already.
        MutexLock facade(FacadeMutex());
        if (rows->Count() == before)
            rows->RemoveLast();
        return kSnmpErrNoError;
    }
    case RowStatusAction::None:
        break;
    }
    return kSnmpErrNoError;
}

int KeyedRowStatus::undo_creation(const MibRequest& request)
{
    return set(request, SnmpValue::Integer(kRowDestroy));
}

// A destroy, and a remote agent's activation (which starts monitoring it), cannot be taken back: both
// wait until every other write of their request has been made.
bool KeyedRowStatus::defers_to_commit(const MibRequest&, const SnmpValue& value) const
{
    if (value.type != kSnmpInteger)
        return false;
    return value.integer == kRowDestroy ||
           (m_table.Shape().remoteAgents && static_cast<int32_t>(value.integer) == kRowActive);
}

int KeyedRowStatus::check_deferred(const MibRequest& request, const SnmpValue& value)
{
    const RowStatusDecision decision =
        DecideRowStatus({RowOf(request.index), value.integer, m_table.LastIndex(), m_table.RowLimit(), false});
    if (decision.status != kSnmpErrNoError)
        return decision.status;
    const bool deferrable = decision.action == RowStatusAction::Destroy ||
                            (decision.action == RowStatusAction::SetStatus && m_table.Shape().remoteAgents);
    return deferrable && CServer::Instance() && m_table.Rows() ? kSnmpErrNoError : kSnmpErrGenErr;
}

int KeyedRowStatus::commit_deferred(const MibRequest& request, const SnmpValue& value, std::function<int()>& restore)
{
    restore = nullptr;
    const uint32_t row = RowOf(request.index);
    CServer* server = CServer::Instance();
    const bool trapDestinations = m_table.Shape().rowClass == kSnmpIpShape.rowClass;
    CSnmpIpTable::RowCopy copy;
    const bool copied = trapDestinations && server && server->GetSnmpIpTable()->CopyRowOut(row, copy);
    const int status = set(request, value);
    if (status != kSnmpErrNoError || !copied)
        return status;
    DenseRows* rows = m_table.Rows();
    restore = [row, copy, rows]() {
        CServer* current = CServer::Instance();
        if (!current || !rows || !current->GetSnmpIpTable()->InsertRow(row, copy))
            return kSnmpErrUndoFailed;
        MutexLock facade(FacadeMutex());
        rows->Append();
        return kSnmpErrNoError;
    };
    return kSnmpErrNoError;
}

mvn_remotetable_entry::mvn_remotetable_entry(DenseRows& rows) : KeyedEngineTable(kRemoteShape, &rows)
{
    AddColumns(*this, kRemoteColumns);
}
mvn_remotetable_entry::~mvn_remotetable_entry() = default;

mvn_snmpiptable_entry::mvn_snmpiptable_entry(DenseRows& rows) : KeyedEngineTable(kSnmpIpShape, &rows)
{
    AddColumns(*this, kSnmpIpColumns);
}
mvn_snmpiptable_entry::~mvn_snmpiptable_entry() = default;

mvn_contacttable_entry::mvn_contacttable_entry() : KeyedEngineTable(kContactShape, &m_none)
{
    AddColumns(*this, kContactColumns);
}
mvn_contacttable_entry::~mvn_contacttable_entry() = default;

mvn_syslogtable_entry::mvn_syslogtable_entry() : KeyedEngineTable(kSyslogShape, &m_none)
{
    AddColumns(*this, kSyslogColumns);
}
mvn_syslogtable_entry::~mvn_syslogtable_entry() = default;

mvn_grouptable_entry::mvn_grouptable_entry() : KeyedEngineTable(kGroupShape, nullptr)
{
    AddColumns(*this, kGroupColumns);
}
mvn_grouptable_entry::~mvn_grouptable_entry() = default;

mvn_porttable_entry::mvn_porttable_entry() : KeyedEngineTable(kPortShape, nullptr)
{
    AddColumns(*this, kPortColumns);
}
mvn_porttable_entry::~mvn_porttable_entry() = default;

mvn_protocoltable_entry::mvn_protocoltable_entry() : KeyedEngineTable(kProtocolShape, nullptr)
{
    AddColumns(*this, kProtocolColumns);
}
mvn_protocoltable_entry::~mvn_protocoltable_entry() = default;

mervane_remotetable_mib::mervane_remotetable_mib(MibRowCounts& rows) : MibGroup(E ".10.6", "mvnremotetable")
{
    add(new mervane_keyed_intoid(E ".10.6.1.0", MibAccess::ReadOnly, 41));            // engineRemoteCount
    add(new mervane_keyed_stroid(E ".10.6.3.1.0", MibAccess::ReadWrite, 0xA8100100)); // remoteForwardedTrap
    add(new mvn_remotetable_entry(rows.remoteAgents));
}
mervane_remotetable_mib::~mervane_remotetable_mib() = default;

mervane_snmpiptable_mib::mervane_snmpiptable_mib(MibRowCounts& rows) : MibGroup(E ".14.2", "mvnsnmpiptable")
{
    add(new mervane_keyed_intoid(E ".14.2.1.0", MibAccess::ReadOnly, 0x85010009)); // snmpIpCount
    add(new mvn_snmpiptable_entry(rows.trapDestinations));
}
mervane_snmpiptable_mib::~mervane_snmpiptable_mib() = default;

mervane_contacttable_mib::mervane_contacttable_mib() : MibGroup(E ".14.1", "mvncontacttable")
{
    add(new mervane_keyed_intoid(E ".14.1.1.0", MibAccess::ReadOnly, 0x85010008)); // contactCount
    add(new mvn_contacttable_entry());
}
mervane_contacttable_mib::~mervane_contacttable_mib() = default;

mervane_syslogtable_mib::mervane_syslogtable_mib() : MibGroup(E ".17", "mvnsyslogtable")
{
    add(new mervane_keyed_intoid(E ".17.1.0", MibAccess::ReadOnly, 0x8501000C)); // syslogCount
    add(new mvn_syslogtable_entry());
}
mervane_syslogtable_mib::~mervane_syslogtable_mib() = default;

mervane_grouptable_mib::mervane_grouptable_mib() : MibGroup(E ".10.3", "mvngrouptable")
{
    add(new mervane_keyed_intoid(E ".10.3.1.0", MibAccess::ReadOnly, 12)); // engineGroupCount
    add(new mvn_grouptable_entry());
}
mervane_grouptable_mib::~mervane_grouptable_mib() = default;

void AddEngineTableGroups(Mib& mib, MibRowCounts& rows)
{
    for (const auto& group : mib.groups()) {
        if (group->get_name() == "mvnEngineData") {
            group->add(new mvn_protocoltable_entry());
            group->add(new mvn_porttable_entry());
        }
    }
    mib.add(new mervane_remotetable_mib(rows));
    mib.add(new mervane_snmpiptable_mib(rows));
    mib.add(new mervane_contacttable_mib());
    mib.add(new mervane_syslogtable_mib());
    mib.add(new mervane_grouptable_mib());
}
