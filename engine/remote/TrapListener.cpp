#include "engine/remote/TrapListener.h"

#include <algorithm>

#include "engine/base/AppLog.h"

std::unique_ptr<RemoteTrapRecord> BuildRemoteTrapRecord(const SnmpReceivedNotification& n, size_t* cut)
{
    if (cut)
        *cut = 0;
    if (n.errorStatus != 0)
        return nullptr;
    auto record = std::make_unique<RemoteTrapRecord>();
    record->reason = CSnmpListener::kReasonReceived;
    record->pduType = n.pduType == kSnmpPduInform ? RemoteTrapRecord::kPduInform : RemoteTrapRecord::kPduTrap;
    RemoteTrapRecord::SetText(record->sender, n.sender);
    RemoteTrapRecord::SetText(record->community, n.community);
    RemoteTrapRecord::SetText(record->trapOid, OidToString(n.trapOid));
    record->specific = n.trapOid.empty() ? 0 : n.trapOid.back();
    const size_t count = std::min(n.varbinds.size(), CSnmpListener::kMaxVarbinds);
    if (cut)
        *cut = n.varbinds.size() - count;
    record->varbinds.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const SnmpVarbind& in = n.varbinds[i];
        RemoteTrapVarbind& out = record->varbinds[i];
        out.SetOid(in.oid.data(), in.oid.size());
        RemoteTrapRecord::SetText(out.value, in.value.ToText());
    }
    return record;
}

CSnmpListener::CSnmpListener() : m_counters(std::make_shared<Counters>()) {}

CSnmpListener::~CSnmpListener()
{
    std::vector<std::unique_ptr<Entry>> entries;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        entries.swap(m_entries);
    }
    entries.clear();  // each session closes on the SNMP thread
}

void CSnmpListener::SetOpener(TrapSessionOpener opener)
{
    m_opener = std::move(opener);
}

int CSnmpListener::SetOwner(TrapSink sink)
{
    m_sink = std::move(sink);
    return 1;
}

CSnmpListener::Entry* CSnmpListener::FindLocked(uint32_t port)
{
    for (auto& entry : m_entries)
        if (entry->port == port)
            return entry.get();
    return nullptr;
}

int CSnmpListener::Subscribe(const std::string& localAddress, uint32_t port, std::string* errorOut)
{
    AppLog* log = AppLog::Instance();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (Entry* entry = FindLocked(port)) {
            ++entry->useCount;
            return 1;
        }
    }
    if (port > 0xFFFF || !m_opener) {
        log->Printf(kLogError, "[CSnmpListenerEntry::Initialize]: SNMP++ Session Create Fail, %s",
                    m_opener ? "port out of range" : "no SNMP thread");
        if (errorOut)
            *errorOut = "port " + std::to_string(port) + (m_opener ? " is out of range" : ": no SNMP thread");
        return 0;
    }
    TrapSink sink = m_sink;
    std::shared_ptr<Counters> counters = m_counters;
    // On the SNMP thread, one notification at a time.
    SnmpTrapSession::Handler handler = [sink, counters](SnmpReceivedNotification&& n) {
        counters->received.fetch_add(1, std::memory_order_relaxed);
        size_t cut = 0;
        std::unique_ptr<RemoteTrapRecord> record = BuildRemoteTrapRecord(n, &cut);
        if (cut)
            counters->cut.fetch_add(cut, std::memory_order_relaxed);
        if (!record)
            return;
        if (!sink || !sink(record))
            counters->refused.fetch_add(1, std::memory_order_relaxed);
    };
    const std::string address = localAddress.empty() ? std::string("0.0.0.0") : localAddress;
    std::string error;
    std::unique_ptr<SnmpTrapSession> session =
        m_opener(address, static_cast<uint16_t>(port), std::move(handler), &error);
    if (!session) {
        log->Printf(kLogError, "[CSnmpListenerEntry::Initialize]: Register for notify (%d) on port %u: %s", -1, port,
                    error.c_str());
        if (errorOut)
            *errorOut = error;
        return 0;
    }
    log->Printf(kLogDebug, "[CSnmpListenerEntry::Initialize]: Waiting for traps/informs on port %u", port);
    auto entry = std::make_unique<Entry>();
    entry->port = port;
    entry->useCount = 1;
    entry->session = std::move(session);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.push_back(std::move(entry));
    return 1;
}

void CSnmpListener::Unsubscribe(uint32_t port)
{
    std::unique_ptr<Entry> closing;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
            if ((*it)->port != port)
                continue;
            if (--(*it)->useCount <= 0) {
                closing = std::move(*it);
                m_entries.erase(it);
            }
            break;
        }
    }
    if (closing)
        AppLog::Instance()->Printf(kLogDebug, "CSnmpListenerEntry::StopThread 'SnmpListenerEntry' port %u", port);
    // The session closes on the SNMP thread as closing goes.
}

uint16_t CSnmpListener::BoundPort(uint32_t port)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Entry* entry = FindLocked(port);
    return entry && entry->session ? entry->session->Port() : 0;
}

int CSnmpListener::UseCount(uint32_t port)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Entry* entry = FindLocked(port);
    return entry ? entry->useCount : 0;
}
