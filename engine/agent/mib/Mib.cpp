#include "engine/agent/mib/Mib.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <functional>
#include <set>
#include <utility>

#include "engine/snmp/NetSnmp.h"
#include "engine/snmp/NetSnmpConvert.h"
#include "engine/base/AppLog.h"

struct Mib::Registration {
    MibGroup* group = nullptr;
    netsnmp_handler_registration* reginfo = nullptr;
};

namespace {

// SNMP thread only.
Mib::SetObserver g_setObserver;
bool g_setOpen = false;

// The writes of the SET request being applied, so that a failure undoes them all (a SET applies all
// of its varbinds or none, RFC 3416). A request is applied in net-snmp's ACTION pass over every group;
// when one write fails, the library runs UNDO over every group, and the first group's UNDO takes the
// writes back, the last one first. Writes that no undo could take back (a row's destroy) are only
// checked in ACTION and made by the first group's COMMIT, once every other write has succeeded. The
// notes are kept until the request's answer: when its save fails then, everything is taken back.
struct AppliedWrite {
    MibLeaf* leaf = nullptr;
    MibRequest request;
    SnmpValue before;     // the value the object answered before the write
    bool created = false; // the write created the row: undone by taking the row away
};
struct DeferredWrite {
    MibLeaf* leaf = nullptr;
    MibRequest request;
    SnmpValue value;
};
struct DeferredDone {
    SnmpOid instance;
    std::function<int()> restore; // empty: the write cannot be taken back
};
struct AppliedSet {
    const void* request = nullptr;
    std::vector<AppliedWrite> writes;
    std::vector<DeferredWrite> deferred;
    std::vector<DeferredDone> deferredDone;
    std::set<std::pair<const MibTable*, SnmpOid>> createdRows;
    bool failed = false;
    bool committed = false;
};
AppliedSet g_applied;

bool SameValue(const SnmpValue& a, const SnmpValue& b)
{
    return a.type == b.type && a.integer == b.integer && a.bytes == b.bytes && a.oid == b.oid;
}

// Writes before back; 0 also when the write reports a failure (its save failed) but the object reads
// before again.
int WriteBack(MibLeaf& leaf, const MibRequest& request, const SnmpValue& before)
{
    const int status = leaf.commit_set_request(request, before);
    if (status == kSnmpErrNoError)
        return status;
    SnmpValue now;
    now.type = leaf.get_syntax();
    return leaf.get_request(request, now) == kSnmpErrNoError && SameValue(now, before) ? kSnmpErrNoError : status;
}

// Takes back what a request applied, the last first: the held-back writes made at its commit, then
// the writes of its ACTION pass.
void TakeBack(AppliedSet& applied)
{
    AppLog* log = AppLog::Instance();
    for (auto it = applied.deferredDone.rbegin(); it != applied.deferredDone.rend(); ++it) {
        const int status = it->restore ? it->restore() : kSnmpErrUndoFailed;
        if (status != kSnmpErrNoError)
            log->Printf(kLogError, "Mib: the write of %s could not be taken back (%d)",
                        OidToString(it->instance).c_str(), status);
    }
    for (auto it = applied.writes.rbegin(); it != applied.writes.rend(); ++it) {
        const int status = it->created ? it->leaf->undo_creation(it->request)
                                       : WriteBack(*it->leaf, it->request, it->before);
        if (status != kSnmpErrNoError)
            log->Printf(kLogError, "Mib: undoing the write of %s failed (%d)",
                        OidToString(it->request.instance).c_str(), status);
    }
}

void ForgetAppliedSet(const void* request)
{
    if (g_applied.request == request || !request)
        g_applied = AppliedSet();
}

void UndoAppliedSet(const void* request)
{
    if (g_applied.request != request)
        return;
    AppliedSet applied = std::move(g_applied);
    g_applied = AppliedSet();
    TakeBack(applied);
}

// The first COMMIT of a request: the held-back writes, the highest rows of each table first (a destroy
// renumbers the rows after its own, never those before). One that fails takes the whole request back.
int CommitDeferred(const void* request)
{
    if (g_applied.request != request || g_applied.failed || g_applied.committed)
        return kSnmpErrNoError;
    g_applied.committed = true;
    std::vector<DeferredWrite> deferred;
    deferred.swap(g_applied.deferred);
    std::stable_sort(deferred.begin(), deferred.end(), [](const DeferredWrite& a, const DeferredWrite& b) {
        const MibTable* ta = a.leaf->get_table();
        const MibTable* tb = b.leaf->get_table();
        if (ta != tb)
            return std::less<const MibTable*>()(ta, tb);
        return b.request.index < a.request.index;
    });
    std::set<std::pair<const MibLeaf*, SnmpOid>> done;
    for (DeferredWrite& d : deferred) {
        // The same row named twice is destroyed once: the second would hit the row that moved up.
        if (!done.insert({d.leaf, d.request.index}).second)
            continue;
        std::function<int()> restore;
        const int status = d.leaf->commit_deferred(d.request, d.value, restore);
        if (status != kSnmpErrNoError) {
            AppLog::Instance()->Printf(kLogError, "Mib: the write of %s failed at the commit (%d): the request is taken back",
                                       OidToString(d.request.instance).c_str(), status);
            AppliedSet applied = std::move(g_applied);
            g_applied = AppliedSet();
            g_applied.request = request;
            g_applied.failed = true;
            g_applied.committed = true;
            TakeBack(applied);
            return kSnmpErrCommitFailed;
        }
        g_applied.deferredDone.push_back({d.request.instance, std::move(restore)});
    }
    return kSnmpErrNoError;
}

void SetException(netsnmp_variable_list* vb, u_char type)
{
    snmp_set_var_typed_value(vb, type, nullptr, 0);
}

// Whether the request's manager could write name: its access's write view (VACM) holds it.
bool MayWrite(netsnmp_agent_request_info* reqinfo, const SnmpOid& name)
{
    if (!reqinfo || !reqinfo->asp || !reqinfo->asp->pdu)
        return false;
    oid buffer[MAX_OID_LEN];
    size_t length = 0;
    if (!ToNetSnmpOid(name, buffer, length))
        return false;
    // The access check picks its view by the PDU's command.
    netsnmp_pdu* pdu = reqinfo->asp->pdu;
    const int command = pdu->command;
    pdu->command = SNMP_MSG_SET;
    const int result = in_a_view(buffer, &length, pdu, ASN_OCTET_STR);
    pdu->command = command;
    return result == VACM_SUCCESS;
}

void ServeGet(MibGroup& group, uint32_t requester, netsnmp_agent_request_info* reqinfo, netsnmp_request_info* r)
{
    netsnmp_variable_list* vb = r->requestvb;
    SnmpOid name = FromNetSnmpOid(vb->name, vb->name_length);
    MibGroup::Target target;
    MibGroup::Found found = group.find_exact(name, target);
    if (found != MibGroup::Found::Object) {
        SetException(vb, found == MibGroup::Found::NoSuchObject ? SNMP_NOSUCHOBJECT : SNMP_NOSUCHINSTANCE);
        return;
    }
    MibRequest request{requester, target.instance, target.index, true};
    request.mayWrite = !target.leaf->reads_depend_on_write_access() || MayWrite(reqinfo, target.instance);
    SnmpValue value;
    value.type = target.leaf->get_syntax();
    int status = target.leaf->get_request(request, value);
    if (status == kSnmpErrNoAccess) {
        SetException(vb, SNMP_NOSUCHOBJECT);
    } else if (status == kMibNoInstance) {
        SetException(vb, SNMP_NOSUCHINSTANCE);
    } else if (status != kSnmpErrNoError) {
        netsnmp_set_request_error(reqinfo, r, status);
    } else if (!SetNetSnmpValue(vb, value)) {
        netsnmp_set_request_error(reqinfo, r, SNMP_ERR_GENERR);
    }
}

void ServeGetNext(MibGroup& group, uint32_t requester, netsnmp_agent_request_info* reqinfo, netsnmp_request_info* r)
{
    netsnmp_variable_list* vb = r->requestvb;
    SnmpOid from = FromNetSnmpOid(vb->name, vb->name_length);
    bool inclusive = r->inclusive != 0;
    // Each pass moves strictly forward through a finite group; the bound only guards against a
    // subclass whose rows never end.
    for (int pass = 0; pass < 100000; ++pass) {
        MibGroup::Target target;
        if (!group.find_next(from, inclusive, target))
            return;  // left empty: net-snmp goes on to the next registration
        MibRequest request{requester, target.instance, target.index, true};
        request.mayWrite = !target.leaf->reads_depend_on_write_access() || MayWrite(reqinfo, target.instance);
        SnmpValue value;
        value.type = target.leaf->get_syntax();
        int status = target.leaf->get_request(request, value);
        if (status == kSnmpErrNoAccess || status == kMibNoInstance) {
            from = target.instance;
            inclusive = false;
            continue;
        }
        if (status != kSnmpErrNoError) {
            netsnmp_set_request_error(reqinfo, r, status);
            return;
        }
        oid name[MAX_OID_LEN];
        size_t length = 0;
        if (!ToNetSnmpOid(target.instance, name, length)) {
            netsnmp_set_request_error(reqinfo, r, SNMP_ERR_GENERR);
            return;
        }
        snmp_set_var_objid(vb, name, length);
        if (!SetNetSnmpValue(vb, value))
            netsnmp_set_request_error(reqinfo, r, SNMP_ERR_GENERR);
        return;
    }
}

// Rows that a SET creates: (table, index) of every read-create column written at a missing row.
using Creations = std::set<std::pair<const MibTable*, SnmpOid>>;

Creations RowsBeingCreated(MibGroup& group, netsnmp_request_info* requests)
{
    Creations rows;
    for (netsnmp_request_info* r = requests; r; r = r->next) {
        netsnmp_variable_list* vb = r->requestvb;
        MibGroup::Target target;
        group.find_exact(FromNetSnmpOid(vb->name, vb->name_length), target);
        if (target.leaf && !target.rowExists && !target.index.empty() &&
            target.leaf->get_access() == MibAccess::ReadCreate && target.leaf->get_table())
            rows.insert({target.leaf->get_table(), target.index});
    }
    return rows;
}

int CheckSet(MibGroup& group, uint32_t requester, bool authenticated, netsnmp_request_info* r,
             const Creations& creations)
{
    netsnmp_variable_list* vb = r->requestvb;
    SnmpOid name = FromNetSnmpOid(vb->name, vb->name_length);
    MibGroup::Target target;
    group.find_exact(name, target);
    MibLeaf* leaf = target.leaf;
    if (!leaf)
        return kSnmpErrNoCreation;
    if (leaf->get_access() < MibAccess::ReadWrite)
        return kSnmpErrNotWritable;
    SnmpValue value = FromNetSnmpValue(vb);
    if (!target.rowExists) {
        if (target.index.empty() || !leaf->get_table())
            return kSnmpErrNoCreation;
        if (leaf->get_access() == MibAccess::ReadCreate) {
            int vote = leaf->get_table()->vote_creation(*leaf, target.index, value);
            if (vote != kSnmpErrNoError)
                return vote;
        } else if (!creations.count({leaf->get_table(), target.index})) {
            // Only a row that this same request creates may take other columns.
            return kSnmpErrNoCreation;
        }
    }
    MibRequest request{requester, target.instance, target.index, target.rowExists, authenticated};
    return leaf->prepare_set_request(request, value);
}

// createColumns: the pass over read-create columns (they create rows) or the pass over the others.
// Notes what each write replaced, for the undo of the whole request.
int ApplySet(MibGroup& group, uint32_t requester, bool authenticated, netsnmp_request_info* r, bool createColumns,
             bool& handled)
{
    netsnmp_variable_list* vb = r->requestvb;
    SnmpOid name = FromNetSnmpOid(vb->name, vb->name_length);
    MibGroup::Target target;
    group.find_exact(name, target);
    handled = false;
    if (!target.leaf)
        return createColumns ? kSnmpErrNoError : (handled = true, kSnmpErrCommitFailed);
    if ((target.leaf->get_access() == MibAccess::ReadCreate) != createColumns)
        return kSnmpErrNoError;
    handled = true;
    // A column of a row whose creation failed in this request.
    if (!target.rowExists && !createColumns)
        return kSnmpErrCommitFailed;
    MibRequest request{requester, target.instance, target.index, target.rowExists, authenticated};
    const SnmpValue value = FromNetSnmpValue(vb);
    if (target.rowExists && target.leaf->defers_to_commit(request, value)) {
        if (target.leaf->check_deferred(request, value) != kSnmpErrNoError)
            return kSnmpErrCommitFailed;
        g_applied.deferred.push_back({target.leaf, request, value});
        return kSnmpErrNoError;
    }
    AppliedWrite write;
    write.leaf = target.leaf;
    write.request = request;
    const auto row = std::make_pair(static_cast<const MibTable*>(target.leaf->get_table()), target.index);
    bool undoable = false;
    if (!target.rowExists) {
        write.created = true;
        undoable = true;
    } else if (!g_applied.createdRows.count(row)) {
        // (A column of a row this request created goes with the row.)
        write.before.type = target.leaf->get_syntax();
        undoable = target.leaf->get_request(request, write.before) == kSnmpErrNoError;
    }
    if (target.leaf->commit_set_request(request, value) != kSnmpErrNoError) {
        // A write whose save failed may have changed the value all the same: it goes back as well
        // (unless the object took its row away itself).
        MibGroup::Target now;
        group.find_exact(name, now);
        if (undoable && !write.created && now.leaf == target.leaf && now.rowExists) {
            SnmpValue current;
            current.type = target.leaf->get_syntax();
            if (target.leaf->get_request(request, current) == kSnmpErrNoError && !SameValue(current, write.before) &&
                WriteBack(*target.leaf, request, write.before) != kSnmpErrNoError)
                AppLog::Instance()->Printf(kLogError, "Mib: the failed write of %s could not be taken back",
                                           OidToString(request.instance).c_str());
        }
        return kSnmpErrCommitFailed;
    }
    if (write.created) {
        write.request.rowExists = true;
        g_applied.createdRows.insert(row);
    }
    if (undoable)
        g_applied.writes.push_back(std::move(write));
    return kSnmpErrNoError;
}

int MibHandler(netsnmp_mib_handler* handler, netsnmp_handler_registration*, netsnmp_agent_request_info* reqinfo,
               netsnmp_request_info* requests)
{
    auto* group = static_cast<MibGroup*>(handler->myvoid);
    try {
        uint32_t requester = Mib::RequesterAddress(reqinfo);
        const bool authenticated = Mib::RequestAuthenticated(reqinfo);
        Creations creations;
        if (reqinfo->mode == MODE_SET_RESERVE1) {
            Mib::BeginSetRequest(reqinfo->asp);
            // Nothing is written before every group has checked its varbinds: a new request's notes.
            g_applied = AppliedSet();
            g_applied.request = reqinfo->asp;
            creations = RowsBeingCreated(*group, requests);
        }
        for (netsnmp_request_info* r = requests; r; r = r->next) {
            if (r->processed)
                continue;
            switch (reqinfo->mode) {
            case MODE_GET:
                ServeGet(*group, requester, reqinfo, r);
                break;
            case MODE_GETNEXT:
                ServeGetNext(*group, requester, reqinfo, r);
                break;
            case MODE_SET_RESERVE1: {
                int status = CheckSet(*group, requester, authenticated, r, creations);
                if (status != kSnmpErrNoError)
                    netsnmp_set_request_error(reqinfo, r, status);
                break;
            }
            case MODE_SET_ACTION:
                // Done for the whole list below: rows are created before other columns are written.
                break;
            default:
                break;
            }
        }
        if (reqinfo->mode == MODE_SET_ACTION) {
            // Writes go in the ACTION pass, where a failure still lets the library undo the request.
            for (bool createColumns : {true, false}) {
                for (netsnmp_request_info* r = requests; r && !g_applied.failed; r = r->next) {
                    if (r->processed)
                        continue;
                    bool handled = false;
                    int status = ApplySet(*group, requester, authenticated, r, createColumns, handled);
                    if (handled && status != kSnmpErrNoError) {
                        netsnmp_set_request_error(reqinfo, r, status);
                        g_applied.failed = true;
                    }
                }
            }
        } else if (reqinfo->mode == MODE_SET_UNDO) {
            UndoAppliedSet(reqinfo->asp);
        } else if (reqinfo->mode == MODE_SET_COMMIT) {
            // The notes stay until the answer (Mib::EndSetRequest): a failed save takes them back.
            const int status = CommitDeferred(reqinfo->asp);
            if (status != kSnmpErrNoError)
                netsnmp_set_request_error(reqinfo, requests, status);
        } else if (reqinfo->mode == MODE_SET_FREE) {
            ForgetAppliedSet(reqinfo->asp);
        }
    } catch (const std::exception& e) {
        AppLog::Instance()->Printf(kLogError, "Mib handler %s: %s", group->get_name().c_str(), e.what());
        netsnmp_request_set_error_all(requests, SNMP_ERR_GENERR);
    } catch (...) {
        AppLog::Instance()->Printf(kLogError, "Mib handler %s failed", group->get_name().c_str());
        netsnmp_request_set_error_all(requests, SNMP_ERR_GENERR);
    }
    return SNMP_ERR_NOERROR;
}

}  // namespace

void Mib::SetSetObserver(SetObserver observer)
{
    g_setObserver = std::move(observer);
}

void Mib::BeginSetRequest(const void* request)
{
    // Net-snmp checks all of a request's varbinds (every group) before it commits any: the request is
    // open from the first group's check until its answer.
    static const void* current = nullptr;
    if (g_setOpen && request && request == current)
        return;
    EndSetRequest();
    current = request;
    g_setOpen = true;
    try {
        if (g_setObserver.begin)
            g_setObserver.begin();
    } catch (...) {
        AppLog::Instance()->Printf(kLogError, "Mib: the start of a SET request failed");
    }
}

bool Mib::EndSetRequest()
{
    if (!g_setOpen)
        return true;
    g_setOpen = false;
    auto end = [] {
        try {
            return !g_setObserver.end || g_setObserver.end();
        } catch (...) {
            AppLog::Instance()->Printf(kLogError, "Mib: the end of a SET request failed");
            return false;
        }
    };
    const bool saved = end();
    AppliedSet applied = std::move(g_applied);
    g_applied = AppliedSet();
    if (!saved && !applied.failed && (!applied.writes.empty() || !applied.deferredDone.empty())) {
        // What the manager is told failed does not stay applied: the old values come back (the file
        // on disk still holds them), saved once more as one request.
        AppLog::Instance()->Printf(kLogError, "Mib: the save of a SET request failed: its writes are taken back");
        try {
            if (g_setObserver.begin)
                g_setObserver.begin();
            TakeBack(applied);
        } catch (...) {
            AppLog::Instance()->Printf(kLogError, "Mib: taking back a SET request failed");
        }
        end();
    }
    return saved;
}

Mib::Mib() = default;

Mib::~Mib()
{
    unregister_groups();
}

void Mib::add(MibGroup* group)
{
    if (group)
        m_groups.emplace_back(group);
}

int Mib::register_groups()
{
    int failed = 0;
    for (const auto& group : m_groups) {
        bool done = false;
        for (const auto& reg : m_registrations)
            done = done || reg->group == group.get();
        if (done)
            continue;
        oid name[MAX_OID_LEN];
        size_t length = 0;
        if (!ToNetSnmpOid(group->get_oid(), name, length) || length == 0) {
            ++failed;
            continue;
        }
        netsnmp_handler_registration* reginfo = netsnmp_create_handler_registration(
            group->get_name().empty() ? "vgMibGroup" : group->get_name().c_str(), MibHandler, name, length,
            HANDLER_CAN_RWRITE);
        if (!reginfo) {
            ++failed;
            continue;
        }
        reginfo->handler->myvoid = group.get();
        if (netsnmp_register_handler(reginfo) != MIB_REGISTERED_OK) {
            // netsnmp_register_handler frees the registration when it fails.
            AppLog::Instance()->Printf(kLogError, "Mib: registering %s (%s) failed", group->get_name().c_str(),
                                       OidToString(group->get_oid()).c_str());
            ++failed;
            continue;
        }
        auto reg = std::make_unique<Registration>();
        reg->group = group.get();
        reg->reginfo = reginfo;
        m_registrations.push_back(std::move(reg));
    }
    return failed;
}

void Mib::unregister_groups()
{
    for (auto& reg : m_registrations)
        netsnmp_unregister_handler(reg->reginfo);
    m_registrations.clear();
}

uint32_t Mib::RequesterAddress(netsnmp_agent_request_info* reqinfo)
{
    if (!reqinfo || !reqinfo->asp || !reqinfo->asp->pdu)
        return 0;
    netsnmp_pdu* pdu = reqinfo->asp->pdu;
    if (!pdu->transport_data || pdu->transport_data_length < static_cast<int>(sizeof(struct sockaddr_in)))
        return 0;
    const auto* sa = static_cast<const struct sockaddr*>(pdu->transport_data);
    if (sa->sa_family != AF_INET)
        return 0;
    const auto* sin = static_cast<const struct sockaddr_in*>(pdu->transport_data);
    const auto* b = reinterpret_cast<const unsigned char*>(&sin->sin_addr);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
}

bool Mib::RequestAuthenticated(netsnmp_agent_request_info* reqinfo)
{
    if (!reqinfo || !reqinfo->asp || !reqinfo->asp->pdu)
        return false;
    const netsnmp_pdu* pdu = reqinfo->asp->pdu;
    return pdu->securityModel == SNMP_SEC_MODEL_USM && pdu->securityLevel >= SNMP_SEC_LEVEL_AUTHNOPRIV;
}
