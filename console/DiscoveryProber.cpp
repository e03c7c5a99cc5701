#include "console/DiscoveryProber.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include <QPointer>

#include "console/ConsoleOids.h"
#include "console/SnmpServer.h"

using namespace console_oid;

namespace {

// E.10.1.11.x.0 of the notification's varbinds.
const SnmpOid kFoundAddress = E({10, 1, 11, 12});
// On a network card: its device count, its agent type, its device table entry, and the type of a row
// that is not a UPS.
const SnmpOid kCardDeviceCount = E({1, 1, 1, 1, 0});
const SnmpOid kCardAgentType = E({1, 2, 1, 1, 1, 0});
const SnmpOid kCardDeviceEntry = E({1, 1, 1, 2, 1});
const SnmpOid kCardSkippedType = E({1, 1, 3, 3});
constexpr uint32_t kCardRowType = 3;
constexpr uint32_t kCardRowName = 5;
constexpr size_t kMaxWalkOid = 48;

int Number(const std::string& text)
{
    return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}

bool StartsWith(const SnmpOid& oid, const SnmpOid& prefix)
{
    return oid.size() > prefix.size() && std::equal(prefix.begin(), prefix.end(), oid.begin());
}

void ProbeEngine(SnmpServer& s, const DiscoveredAgent& agent, std::vector<DiscoveredAgent>& out)
{
    int32_t devices = 0;
    int32_t agentType = 0;
    if (!s.GetInt(devices, kDeviceCount) || !s.GetInt(agentType, kEngineAgentType))
        return;
    if (devices > discovery::kMaxEngineDevices)
        devices = discovery::kMaxEngineDevices;
    for (int32_t d = 1; d <= devices; ++d) {
        std::string model;
        if (!s.GetString(model, 127, Column(kDeviceEntry, kDeviceModel), static_cast<uint32_t>(d)))
            return;
        DiscoveredAgent row = agent;
        row.model = model;
        if (agentType == 1) {
            row.position = d;
            row.type = "pc";
        } else {
            if (strcasecmp(model.c_str(), "ambiscope") == 0 || model.rfind("Ambi", 0) == 0)
                continue;
            row.position = 0;
            row.type = "card";
        }
        out.push_back(std::move(row));
    }
}

void ProbeCard(SnmpServer& s, const DiscoveredAgent& agent, std::vector<DiscoveredAgent>& out)
{
    uint32_t count = 0;
    int32_t agentType = 0;
    if (!s.GetUnsigned(count, kCardDeviceCount) || !s.GetInt(agentType, kCardAgentType))
        return;
    if (count > discovery::kMaxCardRows)
        count = discovery::kMaxCardRows;
    // The walk follows the first column it meets; it ends at the table's end (an answer outside the
    // entry or in another column), at the count, or when the agent does not move forward.
    SnmpOid at = kCardDeviceEntry;
    uint32_t column = 0;
    for (uint32_t step = 0; step < count; ++step) {
        SnmpOid next;
        if (!s.GetNextOid(next, kMaxWalkOid, at) || !StartsWith(next, kCardDeviceEntry) ||
            next.size() < kCardDeviceEntry.size() + 2 || !(at < next))
            return;
        const uint32_t thisColumn = next[kCardDeviceEntry.size()];
        if (column == 0)
            column = thisColumn;
        else if (thisColumn != column)
            return;
        at = next;
        const uint32_t row = next.back();
        SnmpOid type;
        if (!s.GetOid(type, kMaxWalkOid, Column(kCardDeviceEntry, kCardRowType), row))
            return;
        if (type == kCardSkippedType)
            continue;
        std::string name;
        if (!s.GetString(name, 127, Column(kCardDeviceEntry, kCardRowName), row))
            return;
        DiscoveredAgent result = agent;
        result.model = name;
        result.position = agentType == 1 ? static_cast<int>(row) : 0;
        result.type = agentType == 1 ? "pc" : "card";
        out.push_back(std::move(result));
    }
}

}  // namespace

bool discovery::ParseNotice(const TrapRecord& record, DiscoveryNotice& notice, bool& foundAgent,
                            DiscoveredAgent& agent)
{
    foundAgent = false;
    if (record.varbinds.size() < 4)
        return false;
    notice.status = Number(record.varbinds[0].value);
    notice.count = Number(record.varbinds[1].value);
    notice.scanned = Number(record.varbinds[2].value);
    notice.found = Number(record.varbinds[3].value);
    if (record.varbinds.size() >= 10 && StartsWith(record.varbinds[6].oid, kFoundAddress)) {
        foundAgent = true;
        agent.address = record.varbinds[6].value;
        agent.community = record.varbinds[7].value;
        agent.port = Number(record.varbinds[8].value);
        agent.version = Number(record.varbinds[9].value);
    }
    return true;
}

std::vector<DiscoveredAgent> discovery::ProbeAgent(IEngineTransport& transport, const DiscoveredAgent& agent)
{
    std::vector<DiscoveredAgent> out;
    SnmpServer s(transport);
    if (!s.Open(agent.address, agent.community, agent.port, agent.version))
        return out;
    std::string version;
    if (!s.GetString(version, 31, kEngineVersion))
        return out;
    const int generation = Number(version);
    if (generation == 12)
        ProbeEngine(s, agent, out);
    else if (generation == 15 || generation == 20)
        ProbeCard(s, agent, out);
    return out;
}

DiscoveryProber::DiscoveryProber(IEngineTransport& transport) : m_transport(transport)
{
    m_runner = new QObject;
    m_runner->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_runner, &QObject::deleteLater);
    m_thread.setObjectName("haltwatch-discovery");
    m_thread.start();
}

DiscoveryProber::~DiscoveryProber()
{
    m_thread.quit();
    m_thread.wait();
}

void DiscoveryProber::Handle(const TrapRecord& record, QObject* context,
                             std::function<void(const DiscoveryNotice&)> done)
{
    DiscoveryNotice notice;
    DiscoveredAgent agent;
    bool found = false;
    if (!discovery::ParseNotice(record, notice, found, agent))
        return;
    QMetaObject::invokeMethod(
        m_runner,
        [this, notice, agent, found, guard = QPointer<QObject>(context), done = std::move(done)]() mutable {
            if (found)
                notice.results = discovery::ProbeAgent(m_transport, agent);
            // Back through the prober (GUI thread), where the context's guard can be read safely.
            QMetaObject::invokeMethod(
                this,
                [guard, done, notice] {
                    if (guard)
                        done(notice);
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}
