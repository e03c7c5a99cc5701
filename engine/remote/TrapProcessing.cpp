#include "engine/remote/TrapProcessing.h"

#include <cstdlib>
#include <cstring>

#include "engine/base/AppLog.h"
#include "engine/base/Helpers.h"
#include "engine/core/devices/DeviceEntryRemote.h"
#include "engine/remote/RemoteAgent.h"
#include "engine/remote/RemoteAgentEntry.h"

namespace {

SnmpOid E(std::initializer_list<uint32_t> tail)
{
    SnmpOid o = {1, 3, 6, 1, 4, 1, 64950};
    o.insert(o.end(), tail);
    return o;
}

const SnmpOid kEngineTraps = E({15});
const SnmpOid kMacEngine = E({10, 1, 2, 6});
const SnmpOid kMacCard = E({1, 2, 1, 1, 4});
const SnmpOid kAlarmTrap15a = E({1, 4, 1, 1, 0});
const SnmpOid kAlarmTrap15b = E({1, 4, 1, 2, 0});
const SnmpOid kStatusTraps[] = {E({1, 4, 1, 3, 0}), E({1, 4, 1, 4, 0}), E({1, 4, 1, 5, 0})};
const SnmpOid kAlarmAdded[] = {E({100, 2, 0, 3}), E({100, 2, 3, 0})};
const SnmpOid kAlarmRemoved[] = {E({100, 2, 0, 4}), E({100, 2, 4, 0})};
const SnmpOid kAlarmTraps = E({100, 2});
const SnmpOid kUpsWellKnownAlarms = {1, 3, 6, 1, 2, 1, 33, 1, 6, 3};
const SnmpOid kEnterpriseAlarms = E({0, 0});
// Generation-4 alarm table columns.
const SnmpOid kAlarmColumn = E({1, 3, 2, 1});

SnmpOid VarbindOid(const RemoteTrapVarbind& vb)
{
    return SnmpOid(vb.oid, vb.oid + vb.UsableOidLength());
}

bool EqualsAny(const SnmpOid& oid, const SnmpOid (&list)[2])
{
    return oid == list[0] || oid == list[1];
}

TrapDecision DecodeAlarmTrap15(const RemoteTrapRecord& record)
{
    TrapDecision d;
    if (record.varbinds.size() < 7)
        return d;
    TrapAlarmChange& a = d.alarm;
    uint32_t state = 0;
    for (const RemoteTrapVarbind& vb : record.varbinds) {
        const SnmpOid oid = VarbindOid(vb);
        if (!OidHasPrefix(oid, kAlarmColumn) || oid.size() <= kAlarmColumn.size())
            continue;
        const uint32_t number = static_cast<uint32_t>(std::strtoul(vb.value, nullptr, 10));
        switch (oid[kAlarmColumn.size()]) {
        case 1: a.id = number; break;
        case 4: a.tableRef = vb.value; break;
        case 5: a.rowRef = vb.value; break;
        case 6: a.description = vb.value; break;
        case 7: a.value = number; break;
        case 8: state = number; break;
        default: break;
        }
    }
    d.route = TrapRoute::Alarm;
    a.device = CRemoteAgentEntry::ParseRowRef(a.tableRef, a.rowRef);
    a.unknownDevice = a.device == 0;
    a.add = state == 1;
    if (!a.add)
        a.value = 0;
    a.eventType = static_cast<int>(a.value);
    return d;
}

}  // namespace

bool OidHasPrefix(const SnmpOid& oid, const SnmpOid& prefix)
{
    return oid.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), oid.begin());
}

const char* TrapValue(const RemoteTrapRecord& record, size_t n)
{
    return n < record.varbinds.size() ? record.varbinds[n].value : "";
}

uint32_t TrapNumber(const RemoteTrapRecord& record, size_t n)
{
    return static_cast<uint32_t>(std::strtol(TrapValue(record, n), nullptr, 10));
}

std::string TrapMac(const RemoteTrapRecord& record)
{
    for (const RemoteTrapVarbind& vb : record.varbinds) {
        const SnmpOid oid = VarbindOid(vb);
        if ((OidHasPrefix(oid, kMacEngine) || OidHasPrefix(oid, kMacCard)) && vb.value[0] != '\0')
            return vb.value;
    }
    return std::string();
}

TrapDecision DecodeTrap(const RemoteTrapRecord& record)
{
    TrapDecision d;
    SnmpOid trap;
    if (!ParseOid(record.trapOid, trap))
        return d;
    const size_t count = record.varbinds.size();
    if (OidHasPrefix(trap, kEngineTraps)) {
        // The agent is named by the MAC of varbind 2.
        if ((record.specific == 1009 || record.specific == 1010 || record.specific == 1011) && count >= 3)
            d.route = TrapRoute::Engine;
        return d;
    }
    if (OidHasPrefix(trap, kAlarmTrap15a) || OidHasPrefix(trap, kAlarmTrap15b))
        return DecodeAlarmTrap15(record);
    for (const SnmpOid& status : kStatusTraps)
        if (OidHasPrefix(trap, status)) {
            if (count >= 3)
                d.route = TrapRoute::Status;
            return d;
        }
    TrapAlarmChange& a = d.alarm;
    const bool added = EqualsAny(trap, kAlarmAdded), removed = EqualsAny(trap, kAlarmRemoved);
    if (added || removed || OidHasPrefix(trap, kAlarmTraps)) {
        if (count < 4)
            return d;
        a.id = TrapNumber(record, 0);
        a.description = TrapValue(record, 2);
        a.device = TrapNumber(record, 3);
        const uint32_t value = TrapNumber(record, 6);
        if (added || (!removed && record.specific == 3)) {
            a.add = true;
            a.value = value;
            a.eventType = static_cast<int>(value);
        } else if (removed) {
            a.eventType = 0;
        } else if (record.specific == 4) {
            a.eventType = static_cast<int>(value);
        } else {
            return d;
        }
        d.route = TrapRoute::Alarm;
        return d;
    }
    if (OidHasPrefix(trap, kUpsWellKnownAlarms) || OidHasPrefix(trap, kEnterpriseAlarms)) {
        if (count < 6)
            return d;
        a.id = TrapNumber(record, 0);
        a.description = TrapValue(record, 1);
        a.device = TrapNumber(record, 2);
        a.value = TrapNumber(record, 5);
        a.add = a.value != 0;
        a.eventType = static_cast<int>(a.value);
        d.route = TrapRoute::Alarm;
    }
    return d;
}

bool IsDeviceExcludedBySelection(uint32_t statusCode, uint32_t selection, uint32_t device)
{
    if (statusCode != 1 || (selection & 0xFFFF) == 0)
        return false;
    return device != (selection & 0xFF) && device != ((selection >> 8) & 0xFF);
}

bool ReadTrapTokenField(const char*& cursor, char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return false;
    buffer[0] = '\0';
    if (!cursor || *cursor == '\0')
        return false;
    const char* bar = std::strchr(cursor, '|');
    const size_t length = bar ? static_cast<size_t>(bar - cursor) : std::strlen(cursor);
    const char* start = cursor;
    cursor = bar ? bar + 1 : cursor + length;
    if (length >= size)
        return false;
    std::memcpy(buffer, start, length);
    buffer[length] = '\0';
    return true;
}

std::unique_ptr<RemoteTrapRecord> ParseForwardedTrap(uint32_t requester, const std::string& text)
{
    if (text.find('\0') != std::string::npos)
        return nullptr;
    auto record = std::make_unique<RemoteTrapRecord>();
    record->reason = 0;
    record->pduType = RemoteTrapRecord::kPduTrap;
    RemoteTrapRecord::SetText(record->sender, IpAddressToString(requester));
    const char* cursor = text.c_str();
    char number[16];
    ReadTrapTokenField(cursor, record->trapOid, sizeof record->trapOid);
    ReadTrapTokenField(cursor, number, sizeof number);
    record->specific = static_cast<uint32_t>(std::strtoul(number, nullptr, 10));
    ReadTrapTokenField(cursor, number, sizeof number);
    const long count = std::strtol(number, nullptr, 10);
    if (count < 0 || static_cast<size_t>(count) > kMaxForwardedVarbinds)
        return nullptr;
    for (long i = 0; i < count; ++i) {
        char oidText[512];
        char type[16];
        SnmpOid oid;
        if (!ReadTrapTokenField(cursor, oidText, sizeof oidText) || !ParseOid(oidText, oid))
            return nullptr;
        ReadTrapTokenField(cursor, type, sizeof type);
        RemoteTrapVarbind vb;
        vb.SetOid(oid.data(), oid.size());
        ReadTrapTokenField(cursor, vb.value, sizeof vb.value);
        record->varbinds.push_back(vb);
    }
    return record;
}

// The manager's side: identification, the community, and the changes on the devices.

bool CRemoteAgent::ReadTrapToken(const char*& cursor, char* buffer, size_t size)
{
    return ReadTrapTokenField(cursor, buffer, size);
}

void CRemoteAgent::QueueForwardedTrap(uint32_t requester, const std::string& text)
{
    std::unique_ptr<RemoteTrapRecord> record = ParseForwardedTrap(requester, text);
    if (!record) {
        AppLog::Instance()->Printf(kLogDebug, "[CRemoteAgent::QueueForwardedTrap] a forwarded trap from %s is refused",
                                   IpAddressToString(requester).c_str());
        return;
    }
    QueueTrap(record);  // a refused record is freed here
}

bool CRemoteAgent::IsDeviceExcluded(CRemoteAgentEntry& entry, uint32_t device)
{
    RemoteAgentRow row;
    if (!m_store || !m_store->Table().GetRowByKey(entry.GetKey(), row))
        return false;
    return IsDeviceExcludedBySelection(row.StatusCode(), row.deviceSelection, device);
}

std::shared_ptr<CRemoteAgentEntry> CRemoteAgent::FindByMac(const std::string& mac)
{
    std::lock_guard<std::recursive_mutex> lock(m_accessLock);
    for (auto& entry : m_list)
        if (!entry->IsQueuedForRemoval() && entry->IsSameMac(mac))
            return entry;
    return nullptr;
}

std::shared_ptr<CRemoteAgentEntry> CRemoteAgent::IdentifyTrapSender(const RemoteTrapRecord& record,
                                                                    const std::string& ip, const std::string& mac,
                                                                    bool& foreignMac, bool checkOnly, bool quiet)
{
    AppLog* log = quiet ? nullptr : AppLog::Instance();
    foreignMac = false;
    if (ip.empty() || mac.empty()) {
        if (!log)
            return nullptr;
        if (!ip.empty())
            log->Printf(kLogInfo, "[CRemoteAgent::ProcessTrap] Received a trap from %s, but cannot determine the mac "
                                  "address, ignoring trap", ip.c_str());
        else if (!mac.empty())
            log->Printf(kLogInfo, "[CRemoteAgent::ProcessTrap] Received a trap which contains the mac address %s, but "
                                  "cannot determine the IP address, ignoring trap", mac.c_str());
        else
            log->Printf(kLogInfo, "[CRemoteAgent::ProcessTrap] Received a trap but cannot determine its ip address or "
                                  "mac address, ignoring trap");
        return nullptr;
    }
    auto communityFails = [&](const std::shared_ptr<CRemoteAgentEntry>& entry) {
        if (entry->GetCommunity() == record.community)
            return false;
        if (log)
            log->Printf(kLogDebug, "[CRemoteAgent::ProcessTrap] Received trap from %s (%08X) with an invalid community",
                        ip.c_str(), entry->GetKey());
        return true;
    };
    // The community is checked against the agent the trap claims to come from before anything changes:
    // a trap that fails it neither relocates, replaces nor teaches a MAC to any agent.
    int result = 1;
    std::shared_ptr<CRemoteAgentEntry> atAddress = Find(ip, std::string(), false, &result);
    if (atAddress) {
        if (communityFails(atAddress))
            return nullptr;
        std::shared_ptr<CRemoteAgentEntry> found = Find(ip, mac, false, &result);
        if (found)
            return found;
        // This address belongs to an agent with another MAC: the handlers below may replace it.
        foreignMac = true;
        return atAddress;
    }
    std::shared_ptr<CRemoteAgentEntry> owner = FindByMac(mac);
    if (!owner) {
        if (log)
            log->Printf(kLogInfo, "[CRemoteAgent::ProcessTrap] Received a trap from a device that is not recognized "
                                  "ip address = %s and mac address = %s", ip.c_str(), mac.c_str());
        return nullptr;
    }
    if (communityFails(owner))
        return nullptr;
    if (checkOnly)
        return owner;
    log = AppLog::Instance();
    log->Printf(kLogError, "IP/MAC Mismatch detected for %s and %s; relocating device", ip.c_str(), mac.c_str());
    std::shared_ptr<CRemoteAgentEntry> moved = RelocateEntry(ip, mac);
    if (!moved)
        log->Printf(kLogInfo, "[CRemoteAgent::ProcessTrap] Received a trap from a device that is not recognized ip "
                              "address = %s and mac address = %s", ip.c_str(), mac.c_str());
    return moved;
}

bool CRemoteAgent::AdmitTrap(const RemoteTrapRecord& record, std::string& key)
{
    key.clear();
    const std::string ip = record.sender;
    const std::string mac = TrapMac(record);
    bool foreignMac = false;
    // A flood of refused traps writes one line per hundred (the first of them included).
    const bool quiet = m_notAdmitted.load() % 100 != 0;
    if (!IdentifyTrapSender(record, ip, mac, foreignMac, true, quiet)) {
        m_notAdmitted.fetch_add(1);
        return false;
    }
    // An alarm trap carries the whole state of one alarm: a later one of the same agent, device and
    // alarm makes it obsolete.
    const TrapDecision decision = DecodeTrap(record);
    if (decision.route == TrapRoute::Alarm && !decision.alarm.unknownDevice)
        key = ip + '|' + mac + '|' + record.community + '|' + std::to_string(decision.alarm.device) + '|' +
              std::to_string(decision.alarm.id);
    return true;
}

void CRemoteAgent::ProcessTrap(const RemoteTrapRecord& record)
{
    AppLog* log = AppLog::Instance();
    if (log->IsDebugEnabled()) {
        AppLogRecord lines;
        char title[400];
        std::snprintf(title, sizeof title,
                      "[RemotAgent::ProcessTrap)] Trap from %s: reason=0x%08X, type=%u, OID=%s, varbinds=%zu",
                      record.sender, record.reason, record.pduType, record.trapOid, record.varbinds.size());
        lines.SetTitle(title);
        for (size_t i = 0; i < record.varbinds.size(); ++i) {
            const RemoteTrapVarbind& vb = record.varbinds[i];
            std::string line = "[VB#" + std::to_string(i) + ": OID='";
            for (size_t k = 0; k < vb.UsableOidLength(); ++k)
                line += (k ? "." : "") + std::to_string(vb.oid[k]);
            line += "'; value='" + std::string(vb.value) + "' ]";
            lines.AddLine(line);
        }
        log->LogRecord(kLogDebug, lines);
    }
    const std::string ip = record.sender;
    const std::string mac = TrapMac(record);
    log->Printf(kLogDebug, "[RemoteAgent::ProcessTrap] received trap ip=%s, mac=%s", ip.c_str(), mac.c_str());

    bool foreignMac = false;
    std::shared_ptr<CRemoteAgentEntry> entry = IdentifyTrapSender(record, ip, mac, foreignMac);
    if (!entry)
        return;
    if (!foreignMac)
        log->Printf(kLogDebug, "[CRemoteAgent::ProcessTrap] received trap from %s (%08X) isInitialized=%d", ip.c_str(),
                    entry->GetKey(), entry->GetDeviceCount() > 0 ? 1 : 0);

    const TrapDecision decision = DecodeTrap(record);
    switch (decision.route) {
    case TrapRoute::Engine:
    case TrapRoute::Status:
        ResolveAgentTrap(record, ip, decision.route);
        return;
    case TrapRoute::Alarm:
        break;
    case TrapRoute::None:
        return;
    }
    // Device traps act on the agent at the sender's address.
    std::shared_ptr<CRemoteAgentEntry> agent = Find(ip, std::string(), false);
    if (!agent)
        return;
    agent->SetOnline(true, false);
    ApplyAlarmChange(agent, decision.alarm);
}

void CRemoteAgent::ProcessAlarmTrap15(const std::shared_ptr<CRemoteAgentEntry>& entry, const RemoteTrapRecord& record)
{
    const TrapDecision decision = DecodeTrap(record);
    if (decision.route == TrapRoute::Alarm)
        ApplyAlarmChange(entry, decision.alarm);
}

void CRemoteAgent::ApplyAlarmChange(const std::shared_ptr<CRemoteAgentEntry>& agent, const TrapAlarmChange& change)
{
    AppLog* log = AppLog::Instance();
    if (IsDeviceExcluded(*agent, change.device))
        return;
    if (change.unknownDevice) {
        log->Printf(kLogError, "[RemoteAgent::ProcessAlarmTrap15] Dropping trap from %s, could parse table row ref oid "
                               "to get the device id TableRef==%s, TableRowRef=%s",
                    agent->GetServerAddress().c_str(), change.tableRef.c_str(), change.rowRef.c_str());
        return;
    }
    IDeviceManager* devices = m_host->GetDevices();
    std::shared_ptr<CDeviceEntryRemote> device = devices ? devices->FindRemoteDevice(agent.get(), change.device) : nullptr;
    if (!device) {
        log->Printf(kLogError, "ProcessTrap pDevice==NULL (device %u of %s)", change.device,
                    agent->GetServerAddress().c_str());
        return;
    }
    bool changed = false;
    if (change.add) {
        changed = device->AddAlarm(change.id, change.description, change.value) == 1;
    } else if (device->HasAlarm(change.id)) {
        device->RemoveAlarm(change.id);
        changed = true;
    }
    // A repeated trap changes nothing and writes no second event.
    if (changed)
        LogEvent(device->GetRowKey(), change.eventType, change.description, agent->GetServerAddress(), agent->GetMac());
}

void CRemoteAgent::ResolveAgentTrap(const RemoteTrapRecord& record, const std::string& ip, TrapRoute route)
{
    AppLog* log = AppLog::Instance();
    const std::string mac = TrapValue(record, 2);
    auto handle = [&](const std::shared_ptr<CRemoteAgentEntry>& entry, bool forced) {
        if (route == TrapRoute::Engine)
            entry->ProcessEngineTrap(record, forced);
        else
            entry->ProcessStatusTrap(record, forced);
    };
    int result = 1;
    std::shared_ptr<CRemoteAgentEntry> found = Find(ip, mac, false, &result);
    if (found) {
        handle(found, true);
        return;
    }
    if (result == 2) {
        log->Printf(kLogWarning, "RemoteFindMismatch: IP = %s; MAC = %s", ip.c_str(), mac.c_str());
        // Only an agent that shares the trap's community may be moved by it.
        std::shared_ptr<CRemoteAgentEntry> owner = FindByMac(mac);
        if (!owner || owner->GetCommunity() != record.community)
            return;
        if (std::shared_ptr<CRemoteAgentEntry> moved = RelocateEntry(ip, mac))
            handle(moved, false);
        return;
    }
    if (result == 3) {
        log->Printf(kLogWarning, "RemoteFindMacMismatch: IP = %s; MAC = %s", ip.c_str(), mac.c_str());
        std::shared_ptr<CRemoteAgentEntry> old = Find(ip, std::string(), false);
        if (!old || old->GetCommunity() != record.community || !CRemoteAgentTable::IsValidMacText(mac))
            return;
        const std::string community = old->GetCommunity();
        const uint32_t port = old->GetPort(), version = old->GetSnmpVersion();
        Find(ip, mac, true, &result);
        AddByAddress(ip, community, port, version, mac);
    }
}
