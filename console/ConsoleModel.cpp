#include "console/ConsoleModel.h"

#include "console/ConsoleOids.h"
#include "console/SnmpServer.h"

using namespace console_oid;

StatusClass ClassifyStatus(int32_t status)
{
    switch (status) {
    case 1:
        return StatusClass::Critical;
    case 2:
        return StatusClass::Warning;
    case 3:
        return StatusClass::Info;
    case 5:
    case 6:
    case 7:
        return StatusClass::Offline;
    default:
        return StatusClass::Normal;
    }
}

const char* StatusText(StatusClass status)
{
    switch (status) {
    case StatusClass::Critical:
        return "Critical";
    case StatusClass::Warning:
        return "Warning";
    case StatusClass::Info:
        return "Info";
    case StatusClass::Offline:
        return "Offline";
    case StatusClass::Normal:
        break;
    }
    return "Normal";
}

TraySlot TraySlotFor(StatusClass worst)
{
    switch (worst) {
    case StatusClass::Critical:
        return TraySlot::Critical;
    case StatusClass::Warning:
        return TraySlot::Warning;
    case StatusClass::Offline:
        return TraySlot::Offline;
    default:
        return TraySlot::Normal;
    }
}

const char* TraySlotText(TraySlot slot)
{
    switch (slot) {
    case TraySlot::Warning:
        return "Warning";
    case TraySlot::Critical:
        return "Critical";
    case TraySlot::Offline:
        return "Offline";
    case TraySlot::Locked:
        return "Locked";
    case TraySlot::Normal:
        break;
    }
    return "Normal";
}

EngineSnapshot ReadSnapshot(SnmpServer& s)
{
    EngineSnapshot snap;
    auto answering = [&s] { return s.StillAnswers(kDeviceCount); };
    int32_t value = 0;
    snap.redundant = s.GetInt(value, kShutdownRequired) && value == 1;
    if (!answering())
        return EngineSnapshot();
    value = 0;
    snap.hibernationAllowed = s.GetInt(value, kHibernationAllowed) && value == 1;
    value = 0;
    snap.hibernate = s.GetInt(value, kEnableHibernation) && value == 1;

    int32_t devices = 0;
    if (!s.GetInt(devices, kDeviceCount))
        devices = 0;
    if (!answering())
        return EngineSnapshot();
    devices = devices < 0 ? 0 : (devices > kMaxDevices ? kMaxDevices : devices);
    for (int32_t d = 1; d <= devices; ++d) {
        DeviceEntry device(d);
        if (!device.Load(s))
            return EngineSnapshot();
        snap.devices.push_back(std::move(device));
    }

    if (!s.GetInt(snap.remoteCount, kRemoteCount) || snap.remoteCount < 0)
        snap.remoteCount = 0;
    if (!answering())
        return EngineSnapshot();
    const int32_t rows = snap.remoteCount > kMaxRemotes ? kMaxRemotes : snap.remoteCount;
    for (int32_t r = 1; r <= rows; ++r) {
        RemoteEntry remote(r);
        remote.Load(s);
        if (!answering())
            return EngineSnapshot();
        snap.remotes.push_back(std::move(remote));
    }
    snap.reached = true;
    return snap;
}

void ConsoleModel::Clear()
{
    Apply(EngineSnapshot());
}

void ConsoleModel::Apply(EngineSnapshot snap)
{
    m_redundant = snap.redundant;
    m_hibernationAllowed = snap.hibernationAllowed;
    m_hibernate = snap.hibernate;
    m_remoteCount = snap.remoteCount;
    m_devices = std::move(snap.devices);
    m_remoteRows = std::move(snap.remotes);
    m_remoteSlot[0] = m_remoteSlot[1] = -1;
    m_upsDevice[0] = m_upsDevice[1] = 0;
    m_monitored = static_cast<int>(m_remoteRows.size());
    if (m_remoteRows.empty())
        return;

    auto indexOf = [](DeviceEntry* d) { return d ? d->DeviceIndex() : 0; };
    m_remoteSlot[0] = 0;
    m_upsDevice[0] = indexOf(FindDeviceOfRemote(1, static_cast<int>(m_remoteRows[0].Positions() & 0xFF)));
    if (m_remoteRows.size() == 1) {
        // One agent row whose second position names another device of the same agent: it is UPS 2.
        const int second = static_cast<int>((m_remoteRows[0].Positions() >> 8) & 0xFF);
        if (second != 0) {
            m_remoteSlot[1] = 0;
            DeviceEntry* device = FindDeviceOfRemote(1, second);
            if (device) {
                device->SetRemoteIndex(2);
                m_upsDevice[1] = device->DeviceIndex();
            }
            m_monitored = 2;
        }
    } else {
        m_remoteSlot[1] = 1;
        m_upsDevice[1] = indexOf(FindDeviceOfRemote(2, static_cast<int>(m_remoteRows[1].Positions() & 0xFF)));
    }
}

const RemoteEntry* ConsoleModel::Remote(int slot) const
{
    if (slot < 0 || slot > 1 || m_remoteSlot[slot] < 0)
        return nullptr;
    return &m_remoteRows[static_cast<size_t>(m_remoteSlot[slot])];
}

DeviceEntry* ConsoleModel::UpsDevice(int slot)
{
    if (slot < 0 || slot > 1)
        return nullptr;
    return FindDevice(m_upsDevice[slot]);
}

DeviceEntry* ConsoleModel::FindDevice(int deviceIndex)
{
    if (deviceIndex == 0)
        return nullptr;
    for (DeviceEntry& d : m_devices)
        if (d.DeviceIndex() == deviceIndex)
            return &d;
    return nullptr;
}

DeviceEntry* ConsoleModel::FindDeviceOfRemote(int remoteIndex, int position)
{
    int skip = position <= 1 ? 0 : position - 1;
    for (DeviceEntry& d : m_devices) {
        if (d.RemoteIndex() != remoteIndex)
            continue;
        if (skip > 0) {
            --skip;
            continue;
        }
        if (!d.IsSensor())
            return &d;
    }
    return nullptr;
}

StatusClass ConsoleModel::UpsStatus(int slot)
{
    const RemoteEntry* remote = Remote(slot);
    if (!remote)
        return StatusClass::Normal;
    if (remote->IsAggregate()) {
        StatusClass worst = StatusClass::Normal;
        for (const DeviceEntry& d : m_devices)
            if (d.RemoteIndex() == slot + 1 && ClassifyStatus(d.Status()) > worst)
                worst = ClassifyStatus(d.Status());
        return worst;
    }
    DeviceEntry* device = UpsDevice(slot);
    return device ? ClassifyStatus(device->Status()) : StatusClass::Normal;
}

StatusClass ConsoleModel::WorstStatus()
{
    if (!Remote(0) && !Remote(1))
        return StatusClass::Offline;
    StatusClass worst = StatusClass::Normal;
    for (int slot = 0; slot < 2; ++slot) {
        if (!Remote(slot))
            continue;
        StatusClass s = UpsStatus(slot);
        if (s > worst)
            worst = s;
    }
    return worst;
}

std::vector<EventListRow> ConsoleModel::BuildEventList()
{
    std::vector<EventListRow> rows;
    for (int slot = 0; slot < 2; ++slot) {
        DeviceEntry* device = UpsDevice(slot);
        if (!device || (slot == 1 && device == UpsDevice(0)))
            continue;
        for (const EventEntry& e : device->Events()) {
            EventListRow* row = nullptr;
            for (EventListRow& r : rows)
                if (r.name == e.Name())
                    row = &r;
            if (!row) {
                rows.push_back({e.Name(), {}});
                row = &rows.back();
            }
            row->events.emplace_back(device->DeviceIndex(), e.EventIndex());
        }
    }
    return rows;
}

std::vector<std::pair<int, int>> ConsoleModel::AllEventKeys() const
{
    std::vector<std::pair<int, int>> keys;
    for (const DeviceEntry& d : m_devices) {
        const int32_t count = d.EventCount() > DeviceEntry::kMaxEvents ? DeviceEntry::kMaxEvents : d.EventCount();
        for (int32_t e = 1; e <= count; ++e)
            keys.emplace_back(d.DeviceIndex(), e);
    }
    return keys;
}

void ConsoleModel::ClearEventActions()
{
    for (DeviceEntry& d : m_devices)
        for (EventEntry& e : d.Events())
            e.ClearActions();
}

void ClearEngineEventActions(SnmpServer& s, const std::vector<std::pair<int, int>>& events)
{
    for (const auto& [device, event] : events)
        s.SetInt(0, Column(kEventEntry, kEventActions), static_cast<uint32_t>(device), static_cast<uint32_t>(event));
}

void ConsoleModel::LayEdits(const std::vector<EventEntry>& edited)
{
    for (const EventEntry& e : edited) {
        DeviceEntry* device = FindDevice(e.DeviceIndex());
        EventEntry* target = device ? device->FindEvent(e.EventIndex()) : nullptr;
        if (target && target->Name() == e.Name())
            target->TakeEditsFrom(e);
    }
}
