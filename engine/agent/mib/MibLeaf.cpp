#include "engine/agent/mib/MibLeaf.h"

#include "engine/agent/mib/MibTable.h"
#include "engine/base/AppLog.h"

MibLeaf::MibLeaf(const char* oidText, MibAccess access, unsigned char syntax)
    : m_oid(MakeOid(oidText)), m_access(access), m_syntax(syntax)
{
    if (m_oid.empty())
        AppLog::Instance()->Printf(kLogError, "MibLeaf: OID text not valid [%s]", oidText ? oidText : "");
    m_value.type = syntax;
}

MibLeaf::MibLeaf(const SnmpOid& oid, MibAccess access, unsigned char syntax)
    : m_oid(oid), m_access(access), m_syntax(syntax)
{
    m_value.type = syntax;
}

MibLeaf::~MibLeaf() = default;

int MibLeaf::get_request(const MibRequest& request, SnmpValue& out)
{
    if (m_access < MibAccess::ReadOnly)
        return kSnmpErrNoAccess;
    return get_value(request, out);
}

int MibLeaf::get_value(const MibRequest&, SnmpValue& out)
{
    out = m_value;
    out.type = m_syntax;
    return kSnmpErrNoError;
}

int MibLeaf::prepare_set_request(const MibRequest&, const SnmpValue& value)
{
    if (m_access < MibAccess::ReadWrite)
        return kSnmpErrNotWritable;
    if (value.type != m_syntax)
        return kSnmpErrWrongType;
    return kSnmpErrNoError;
}

int MibLeaf::commit_set_request(const MibRequest& request, const SnmpValue& value)
{
    return set(request, value) != 0 ? kSnmpErrCommitFailed : kSnmpErrNoError;
}

int MibLeaf::set(const MibRequest&, const SnmpValue& value)
{
    m_value = value;
    return kSnmpErrNoError;
}

int MibLeaf::undo_creation(const MibRequest& request)
{
    if (m_table)
        m_table->remove_row(request.index);
    return kSnmpErrNoError;
}

bool MibLeaf::defers_to_commit(const MibRequest&, const SnmpValue&) const
{
    return false;
}

int MibLeaf::check_deferred(const MibRequest&, const SnmpValue&)
{
    return kSnmpErrNoError;
}

int MibLeaf::commit_deferred(const MibRequest& request, const SnmpValue& value, std::function<int()>& restore)
{
    restore = nullptr;
    return commit_set_request(request, value);
}
