#include "console/DeviceEntry.h"

#include <strings.h>

#include "console/ConsoleOids.h"
#include "console/SnmpServer.h"

using namespace console_oid;

bool DeviceEntry::Load(SnmpServer& s)
{
    const uint32_t d = static_cast<uint32_t>(m_deviceIndex);
    if (d == 0)
        return true;
    s.GetString(m_model, kMaxModel, Column(kDeviceEntry, kDeviceModel), d);
    if (!s.StillAnswers(kDeviceCount))
        return false;
    s.GetString(m_location, kMaxLocation, Column(kDeviceEntry, kDeviceLocation), d);
    s.GetInt(m_eventCount, Column(kDeviceEntry, kDeviceEventCount), d);
    s.GetInt(m_remoteIndex, Column(kDeviceEntry, kDeviceRemoteIndex), d);
    s.GetInt(m_status, Column(kDeviceEntry, kDeviceStatus), d);
    m_events.clear();
    const int32_t count = m_eventCount < 0 ? 0 : (m_eventCount > kMaxEvents ? kMaxEvents : m_eventCount);
    for (int32_t e = 1; e <= count; ++e) {
        EventEntry event(m_deviceIndex, e);
        if (event.Load(s))
            m_events.push_back(std::move(event));
        else if (!s.StillAnswers(kDeviceCount))
            return false;
    }
    return s.StillAnswers(kDeviceCount);
}

bool DeviceEntry::IsSensor() const
{
    return strcasecmp(m_model.c_str(), "ambiscope") == 0;
}

EventEntry* DeviceEntry::FindEvent(int eventIndex)
{
    for (EventEntry& e : m_events)
        if (e.EventIndex() == eventIndex)
            return &e;
    return nullptr;
}

void RemoteEntry::Load(SnmpServer& s)
{
    const uint32_t r = static_cast<uint32_t>(m_rowIndex);
    if (r == 0)
        return;
    s.GetString(m_address, kMaxAddress, Column(kRemoteEntry, kRemoteAddress), r);
    s.GetString(m_community, kMaxCommunity, Column(kRemoteEntry, kRemoteCommunity), r);
    s.GetString(m_text, kMaxText, Column(kRemoteEntry, kRemoteText), r);
    int32_t single = 0;
    s.GetInt(single, Column(kRemoteEntry, kRemoteSingleDevice), r);
    if (single == 1) {
        int32_t positions = 0;
        if (s.GetInt(positions, Column(kRemoteEntry, kRemotePositions), r))
            m_positions = static_cast<uint32_t>(positions);
    } else {
        m_aggregate = true;
    }
}
