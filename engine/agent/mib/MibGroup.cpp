#include "engine/agent/mib/MibGroup.h"

#include <algorithm>

#include "engine/base/AppLog.h"

bool OidStartsWith(const SnmpOid& oid, const SnmpOid& prefix)
{
    return oid.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), oid.begin());
}

MibGroup::MibGroup(const char* oidText, const char* name) : m_oid(MakeOid(oidText)), m_name(name ? name : "")
{
    if (m_oid.empty())
        AppLog::Instance()->Printf(kLogError, "MibGroup: OID text not valid [%s]", oidText ? oidText : "");
}

MibGroup::~MibGroup() = default;

bool MibGroup::InSubtree(const SnmpOid& oid) const
{
    return !m_oid.empty() && oid.size() > m_oid.size() && OidStartsWith(oid, m_oid);
}

void MibGroup::add(MibLeaf* scalar)
{
    if (!scalar)
        return;
    std::unique_ptr<MibLeaf> owned(scalar);
    const SnmpOid& oid = scalar->get_oid();
    if (!InSubtree(oid) || m_entries.count(oid)) {
        AppLog::Instance()->Printf(kLogError, "MibGroup::add: %s refused in group %s", OidToString(oid).c_str(),
                                   m_name.c_str());
        return;
    }
    m_entries[oid].scalar = scalar;
    m_scalars[oid] = std::move(owned);
}

void MibGroup::add(MibTable* table)
{
    if (!table)
        return;
    std::unique_ptr<MibTable> owned(table);
    const SnmpOid& oid = table->get_oid();
    if (!InSubtree(oid) || m_entries.count(oid)) {
        AppLog::Instance()->Printf(kLogError, "MibGroup::add: table %s refused in group %s",
                                   OidToString(oid).c_str(), m_name.c_str());
        return;
    }
    m_entries[oid].table = table;
    m_tables[oid] = std::move(owned);
}

MibGroup::Found MibGroup::find_exact(const SnmpOid& name, Target& target) const
{
    target = Target();
    auto it = m_entries.upper_bound(name);
    // A scalar's object without its ".0" (or a name above an object's instance).
    if (it != m_entries.end() && it->second.scalar && OidStartsWith(it->first, name) && name.size() > m_oid.size() &&
        it->first.size() == name.size() + 1)
        return Found::NoSuchInstance;
    if (it == m_entries.begin())
        return Found::NoSuchObject;
    --it;
    const SnmpOid& oid = it->first;
    if (it->second.scalar) {
        if (oid == name) {
            target.leaf = it->second.scalar;
            target.instance = name;
            return Found::Object;
        }
        // A name below a scalar's instance, or the scalar's object without ".0".
        if (OidStartsWith(name, oid))
            return Found::NoSuchInstance;
        SnmpOid parent(oid.begin(), oid.end() - 1);
        return OidStartsWith(name, parent) ? Found::NoSuchInstance : Found::NoSuchObject;
    }
    const MibTable& table = *it->second.table;
    if (!OidStartsWith(name, oid))
        return Found::NoSuchObject;
    if (name.size() <= oid.size())
        return Found::NoSuchObject;
    MibLeaf* column = table.find_column(name[oid.size()]);
    if (!column)
        return Found::NoSuchObject;
    target.leaf = column;
    target.instance = name;
    target.index.assign(name.begin() + static_cast<long>(oid.size()) + 1, name.end());
    target.rowExists = !target.index.empty() && table.has_row(target.index);
    return target.rowExists ? Found::Object : Found::NoSuchInstance;
}

bool MibGroup::NextInTable(const MibTable& table, const SnmpOid& name, bool inclusive, Target& target) const
{
    for (const auto& [number, column] : table.columns()) {
        if (column->get_access() < MibAccess::ReadOnly)
            continue;
        const SnmpOid& columnOid = column->get_oid();
        SnmpOid after;
        bool inclusiveRow = true;
        if (OidStartsWith(name, columnOid)) {
            after.assign(name.begin() + static_cast<long>(columnOid.size()), name.end());
            inclusiveRow = inclusive;
            if (after.empty())
                inclusiveRow = true;  // the column itself: its first row comes next
        } else if (columnOid < name) {
            continue;  // the whole column lies before the name
        }
        SnmpOid index;
        if (table.next_row(after, inclusiveRow, index)) {
            target.leaf = column.get();
            target.instance = columnOid;
            target.instance.insert(target.instance.end(), index.begin(), index.end());
            target.index = index;
            target.rowExists = true;
            return true;
        }
    }
    return false;
}

bool MibGroup::find_next(const SnmpOid& name, bool inclusive, Target& target) const
{
    target = Target();
    // Start with the object at or before the name (a table that contains it), then go forward.
    auto it = m_entries.upper_bound(name);
    if (it != m_entries.begin()) {
        auto prev = std::prev(it);
        if (prev->second.table && OidStartsWith(name, prev->first)) {
            if (NextInTable(*prev->second.table, name, inclusive, target))
                return true;
        } else if (prev->second.scalar && inclusive && prev->first == name &&
                   prev->second.scalar->get_access() >= MibAccess::ReadOnly) {
            target.leaf = prev->second.scalar;
            target.instance = name;
            return true;
        }
    }
    for (; it != m_entries.end(); ++it) {
        if (it->second.scalar) {
            if (it->second.scalar->get_access() < MibAccess::ReadOnly)
                continue;
            target.leaf = it->second.scalar;
            target.instance = it->first;
            return true;
        }
        if (NextInTable(*it->second.table, name, false, target))
            return true;
    }
    return false;
}
