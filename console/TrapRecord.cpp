#include "console/TrapRecord.h"

#include "engine/snmp/SnmpTrapSession.h"

TrapRecord TrapRecord::From(const SnmpReceivedNotification& n)
{
    TrapRecord r;
    r.pduType = n.pduType;
    if (n.sender.size() <= kMaxSender)
        r.sender = n.sender;
    std::string oid = OidToString(n.trapOid);
    if (oid.size() <= kMaxTrapOid)
        r.trapOid = oid;
    r.specific = n.trapOid.empty() ? 0 : static_cast<int>(n.trapOid.back());
    r.varbinds.reserve(n.varbinds.size());
    for (const SnmpVarbind& vb : n.varbinds) {
        TrapVarbindRecord v;
        v.oidLength = vb.oid.size();
        if (vb.oid.size() <= TrapVarbindRecord::kMaxOid)
            v.oid = vb.oid;
        std::string text = vb.value.ToText();
        if (text.size() <= TrapVarbindRecord::kMaxValue)
            v.value = std::move(text);
        r.varbinds.push_back(std::move(v));
    }
    return r;
}
