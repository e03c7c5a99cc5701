#include "engine/core/devices/DeviceEntry.h"

#include <ctime>

#include "engine/base/AppLog.h"
#include "engine/core/data/StringTable.h"
#include "engine/core/devices/DeviceContext.h"
#include "engine/core/interfaces/ServerManagers.h"

namespace {

constexpr uint32_t kEnterprise[] = {1, 3, 6, 1, 4, 1, 64950};

} // namespace

std::vector<uint32_t> DeviceColumnOid(uint32_t column, int deviceIndex)
{
    std::vector<uint32_t> oid(std::begin(kEnterprise), std::end(kEnterprise));
    for (uint32_t part : {10u, 2u, 2u, 1u})
        oid.push_back(part);
    oid.push_back(column);
    oid.push_back(static_cast<uint32_t>(deviceIndex));
    return oid;
}

CDeviceEntry::CDeviceEntry(IDeviceContext& context) : m_context(context), m_lock("DeviceEntryMutex#") {}

CDeviceEntry::~CDeviceEntry() = default;

int CDeviceEntry::Initialize(int ordinal, const DeviceRow&, const std::string&, const std::string&, DeviceWork& work)
{
    MutexLock lock(m_lock);
    m_ordinal = ordinal;
    ISnmpFacade* snmp = m_context.GetSnmp();
    m_deviceIndex = snmp ? snmp->SnmpAddDevice() : -1;
    if (m_deviceIndex != -1 && snmp)
        snmp->SnmpRegisterDeviceData(m_deviceIndex, 0, 0, GetEventCount(), 0, 0, GetLoadGroupCount());
    if (FlagsLocked() & kDeviceFlagSuspended) {
        Deactivate(work);
        return 0;
    }
    // A remote device has no port and no thread of its own: both start at once.
    AppLog::Instance()->Printf(kLogDebug, "[%08X] CDeviceEntry::Initialize Started device thread", m_rowKey);
    return 1;
}

void CDeviceEntry::Close(bool, DeviceWork&) {}

void CDeviceEntry::SetFlagsLocked(uint32_t clear, uint32_t set)
{
    m_row[DeviceWord::kFlags] = (m_row[DeviceWord::kFlags] & ~clear) | set;
}

void CDeviceEntry::SetOnline(DeviceWork& work)
{
    MutexLock lock(m_lock);
    if (FlagsLocked() & kDeviceFlagOnline)
        return;
    SetFlagsLocked(0, kDeviceFlagOnline);
    NotifyStatusLocked(work);
    work.save = true;
}

void CDeviceEntry::EnableDevice(DeviceWork& work)
{
    MutexLock lock(m_lock);
    if (FlagsLocked() & kDeviceFlagEnabled)
        return;
    SetFlagsLocked(0, kDeviceFlagEnabled);
    if (FlagsLocked() & kDeviceFlagSuspended) {
        AppLog::Instance()->Printf(kLogDebug, "[%0X] CDeviceEntry::EnableDevice Started device thread", m_rowKey);
        SetFlagsLocked(kDeviceFlagSuspended, 0);
    }
    NotifyStatusLocked(work);
}

void CDeviceEntry::Deactivate(DeviceWork& work)
{
    MutexLock lock(m_lock);
    if (!(FlagsLocked() & kDeviceFlagEnabled))
        return;
    AppLog::Instance()->Printf(kLogDebug, "[%X] DEACTIVATED DEVICE", m_rowKey);
    m_deactivatedAt = static_cast<int64_t>(std::time(nullptr));
    SetFlagsLocked(kDeviceFlagEnabled, 0);
    NotifyStatusLocked(work);
}

void CDeviceEntry::Suspend(DeviceWork& work)
{
    MutexLock lock(m_lock);
    if (FlagsLocked() & kDeviceFlagSuspended)
        return;
    OnSuspendLocked(work);
    if (CAgentTimer* timers = m_context.GetTimers())
        timers->KillAllTimers(m_rowKey);
    AppLog::Instance()->Printf(kLogDebug, "[%X] SUSPENDED DEVICE", m_rowKey);
    SetFlagsLocked(0, kDeviceFlagSuspended);
    NotifyStatusLocked(work);
    work.save = true;
}

void CDeviceEntry::SetOnline()
{
    DeviceWork work;
    SetOnline(work);
    m_context.Perform(work);
}

void CDeviceEntry::EnableDevice()
{
    DeviceWork work;
    EnableDevice(work);
    m_context.Perform(work);
}

void CDeviceEntry::Deactivate()
{
    DeviceWork work;
    Deactivate(work);
    m_context.Perform(work);
}

void CDeviceEntry::Suspend()
{
    DeviceWork work;
    Suspend(work);
    m_context.Perform(work);
}

int CDeviceEntry::StatusValueLocked() const
{
    const uint32_t flags = FlagsLocked();
    if (flags & kDeviceFlagSuspended)
        return 2;
    if ((flags & kDeviceFlagEnabled) && (flags & kDeviceFlagOnline))
        return 1;
    return 3;
}

void CDeviceEntry::NotifyStatusLocked(DeviceWork& work)
{
    if (!m_context.AreListChangeTrapsHeld()) {
        DeviceNotice notice;
        notice.oid = DeviceColumnOid(2, m_deviceIndex);
        notice.trapId = kValueChangedTrap;
        notice.value = EngineValue::Integer(static_cast<uint32_t>(StatusValueLocked()));
        work.notices.push_back(std::move(notice));
    }
    work.statusChanged.push_back(m_deviceIndex);
}

std::string CDeviceEntry::TextLocked(int word)
{
    const uint32_t key = m_row[word];
    return key ? m_context.GetStringTable().GetText(key) : std::string();
}

int CDeviceEntry::GetColumnValueLocked(uint32_t column, EngineValue& value)
{
    const uint32_t flags = FlagsLocked();
    switch (column) {
    case 1: value = EngineValue::Integer(static_cast<uint32_t>(m_deviceIndex)); return 1;
    case 2: value = EngineValue::Integer(static_cast<uint32_t>(StatusValueLocked())); return 1;
    case 3: value = EngineValue::Integer(0); return 1;
    case 4: value = EngineValue::Integer(flags & kDeviceFlagKindBits); return 1;
    case 5: value = EngineValue::Text((flags & 0x6) ? std::string("USB") : m_portText); return 1;
    case 6: value = EngineValue::Integer(m_row[DeviceWord::kColumn6]); return 1;
    case 7: value = EngineValue::Integer(m_row[DeviceWord::kColumn7]); return 1;
    case 8: value = EngineValue::Text(TextLocked(DeviceWord::kText8)); return 1;
    case 9: value = EngineValue::Text(TextLocked(DeviceWord::kModel)); return 1;
    case 14: value = EngineValue::Integer(2); return 1;
    case 15: value = EngineValue::Text(m_familyName); return 1;
    case 17: value = EngineValue::Integer(0); return 1;
    case 18: value = EngineValue::Integer(static_cast<uint32_t>(GetEventCount())); return 1;
    case 19: value = EngineValue::Integer(0); return 1;
    case 20: value = EngineValue::Integer(0); return 1;
    case 21: value = EngineValue::Integer(0); return 1;
    case 24: value = EngineValue::Integer(GetAgentPosition()); return 1;
    case 25: value = EngineValue::Integer(GetWorstAlarm()); return 1;
    case 26: value = EngineValue::Integer(0); return 1;
    case 27: value = EngineValue::Integer(static_cast<uint32_t>(GetLoadGroupCount())); return 1;
    case 28: value = EngineValue::Integer(0); return 1;
    default: return 0;
    }
}

bool CDeviceEntry::HasSameIdentity(const DeviceRow& row)
{
    MutexLock lock(m_lock);
    return m_row[DeviceWord::kModel] == row[DeviceWord::kModel] && m_row[DeviceWord::kText8] == row[DeviceWord::kText8] &&
           m_row[DeviceWord::kFamily] == row[DeviceWord::kFamily];
}

std::string CDeviceEntry::NameLocked()
{
    std::string name = TextLocked(DeviceWord::kName);
    return name.empty() ? m_defaultName : name;
}

std::string CDeviceEntry::GetName()
{
    MutexLock lock(m_lock);
    return NameLocked();
}

uint32_t CDeviceEntry::GetDeviceKey()
{
    MutexLock lock(m_lock);
    return m_row[DeviceWord::kDeviceKey];
}

int CDeviceEntry::GetDeviceIndex()
{
    MutexLock lock(m_lock);
    return m_deviceIndex;
}

uint32_t CDeviceEntry::GetFlags()
{
    MutexLock lock(m_lock);
    return FlagsLocked();
}

DeviceRow CDeviceEntry::GetRow()
{
    MutexLock lock(m_lock);
    return m_row;
}
