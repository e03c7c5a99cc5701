#include "engine/agent/mib/MibTable.h"

#include "engine/base/AppLog.h"

MibTable::MibTable(const char* entryOidText) : m_oid(MakeOid(entryOidText))
{
    if (m_oid.empty())
        AppLog::Instance()->Printf(kLogError, "MibTable: OID text not valid [%s]", entryOidText ? entryOidText : "");
}

MibTable::~MibTable() = default;

void MibTable::add_col(MibLeaf* column)
{
    if (!column)
        return;
    std::unique_ptr<MibLeaf> owned(column);
    SnmpOid oid = column->get_oid();
    if (oid.size() == 1) {
        SnmpOid full = m_oid;
        full.push_back(oid[0]);
        column->m_oid = full;
        oid = full;
    }
    if (oid.size() != m_oid.size() + 1 || !std::equal(m_oid.begin(), m_oid.end(), oid.begin())) {
        AppLog::Instance()->Printf(kLogError, "MibTable::add_col: column %s is not in table %s",
                                   OidToString(oid).c_str(), OidToString(m_oid).c_str());
        return;
    }
    column->m_table = this;
    m_columns[oid.back()] = std::move(owned);
}

void MibTable::add_voter(MibTableVoter* voter)
{
    if (voter)
        m_voters.push_back(voter);
}

void MibTable::add_row(const SnmpOid& index)
{
    if (index.empty())
        return;
    std::lock_guard<std::mutex> lock(m_rowMutex);
    m_rows.insert(index);
}

void MibTable::remove_row(const SnmpOid& index)
{
    std::lock_guard<std::mutex> lock(m_rowMutex);
    m_rows.erase(index);
}

bool MibTable::has_row(const SnmpOid& index) const
{
    std::lock_guard<std::mutex> lock(m_rowMutex);
    return m_rows.count(index) != 0;
}

bool MibTable::next_row(const SnmpOid& after, bool inclusive, SnmpOid& index) const
{
    std::lock_guard<std::mutex> lock(m_rowMutex);
    auto it = inclusive ? m_rows.lower_bound(after) : m_rows.upper_bound(after);
    if (it == m_rows.end())
        return false;
    index = *it;
    return true;
}

MibLeaf* MibTable::find_column(uint32_t column) const
{
    auto it = m_columns.find(column);
    return it == m_columns.end() ? nullptr : it->second.get();
}

int MibTable::vote_creation(MibLeaf& column, const SnmpOid& index, const SnmpValue& value)
{
    for (MibTableVoter* voter : m_voters) {
        int status = voter->is_creation_ok(*this, column, index, value);
        if (status != kSnmpErrNoError)
            return status;
    }
    return kSnmpErrNoError;
}
