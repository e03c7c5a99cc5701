#include "engine/agent/MervaneSnmp.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include "engine/agent/AgentSetup.h"
#include "engine/base/AppLog.h"
#include "engine/base/Helpers.h"
#include "engine/base/SteadyClock.h"
#include "engine/core/server/Server.h"
#include "platform/NetInterfaces.h"
#include "platform/PowerState.h"

namespace {

constexpr int64_t kAddressLifetimeMs = 10000;
constexpr size_t kAgentCommunityLimit = 128;

std::string ServerMac()
{
    CServer* server = CServer::Instance();
    return server ? server->GetEngineMac() : std::string("00.00.00.00.00.00");
}

} // namespace

CMervaneSnmp::CMervaneSnmp(SnmpFacadeHost host, MibRowCounts& rows)
    : Lockable("MervaneSnmpMutex"), m_host(std::move(host)), m_rows(rows)
{
    if (!m_host.engineMac)
        m_host.engineMac = ServerMac;
    if (!m_host.hostName)
        m_host.hostName = [] { return vgplat::GetComputerName(); };
    if (!m_host.resolver)
        m_host.resolver = mervane_trap_sender::ResolveHost;
    if (!m_host.primaryAddress)
        m_host.primaryAddress = [](std::string& address) { return vgplat::PrimaryAddress(address); };
    if (!m_host.swapCommunity) {
        auto post = m_host.post;
        m_host.swapCommunity = [post](const std::string& name) {
            return post && post([name] { SetAgentCommunity(name.data(), name.size()); });
        };
    }
    m_sender = std::make_unique<mervane_trap_sender>(m_host.postTrap, m_host.engineMac, m_host.resolver,
                                                     [this] { return GetEngineIPAddress(); });
}

CMervaneSnmp::~CMervaneSnmp() = default;

int CMervaneSnmp::SnmpAddDevice()
{
    MutexLock lock(GetMutex());
    if (!lock.Locked())
        return -1;
    return static_cast<int>(m_rows.devices.Append());
}

int CMervaneSnmp::SnmpRegisterDeviceData(int deviceIndex, int controls, int variables, int events, int loads,
                                         int schedules, int loadGroups)
{
    AppLog::Instance()->Printf(kLogInfo,
                               "SnmpRegisterDeviceData( DeviceIndex='%d', CtlCount='%d', VarCount='%d', "
                               "EvtCount='%d', LodCount='%d', SchedCount='%d') invoked",
                               deviceIndex, controls, variables, events, loads, schedules);
    int result = -1;
    {
        MutexLock lock(GetMutex());
        if (lock.Locked()) {
            // Each item table registers on its own; the device's registration fails when any of them does.
            const bool device = deviceIndex >= 1 && m_rows.devices.HasRow(static_cast<uint32_t>(deviceIndex));
            int failed = 0;
            DeviceItems items;
            auto registration = [&](int count, int& slot) {
                if (!device || count < 0) {
                    ++failed;
                    return;
                }
                slot = count;
            };
            registration(variables, items.variables);
            registration(events, items.events);
            registration(controls, items.controls);
            registration(loads, items.loads);
            registration(schedules, items.schedules);
            registration(loadGroups, items.loadGroups);
            if (device)
                m_rows.deviceItems.Set(deviceIndex, items);
            if (device && deviceIndex == 1) {
                m_rows.upsLoads.SetCount(static_cast<uint32_t>(items.loads));
                m_rows.upsLoadGroups.SetCount(static_cast<uint32_t>(items.loadGroups));
            }
            result = failed ? -1 : 0;
        }
    }
    if (result == -1)
        AppLog::Instance()->Printf(kLogError, "SnmpRegisterDeviceData failed!");
    else
        AppLog::Instance()->Printf(kLogDebug, "SnmpRegisterDeviceData succeeded");
    return result;
}

void CMervaneSnmp::SnmpRemoveDevice(int)
{
    // The devices have moved down already: their item counts are read again (before the lock, which
    // calls no manager) and replace the old numbering, device 1's loads with them.
    const uint32_t before = m_rows.devices.Count();
    std::optional<std::map<int, DeviceItems>> rebuilt;
    if (m_host.deviceItems && before > 0)
        rebuilt = m_host.deviceItems(static_cast<int>(before - 1));
    MutexLock lock(GetMutex());
    if (!lock.Locked())
        return;
    if (m_rows.devices.RemoveLast()) {
        if (rebuilt) {
            const DeviceItems first = rebuilt->count(1) ? (*rebuilt)[1] : DeviceItems{};
            m_rows.deviceItems.Replace(std::move(*rebuilt));
            m_rows.upsLoads.SetCount(static_cast<uint32_t>(std::max(first.loads, 0)));
            m_rows.upsLoadGroups.SetCount(static_cast<uint32_t>(std::max(first.loadGroups, 0)));
        } else {
            m_rows.deviceItems.Truncate(static_cast<int>(m_rows.devices.Count()));
        }
    }
    if (m_rows.devices.Count() == 0) {
        m_rows.upsLoads.SetCount(0);
        m_rows.upsLoadGroups.SetCount(0);
    }
}

int CMervaneSnmp::SnmpAddAlarm(int)
{
    MutexLock lock(GetMutex());
    if (!lock.Locked())
        return -1;
    const uint32_t ups = m_rows.upsAlarms.Add();
    const uint32_t engine = m_rows.engineAlarms.Add();
    if (ups != engine)
        AppLog::Instance()->Printf(kLogError, "CMervaneSnmp::SnmpAddAlarm: alarm tables out of step (%u, %u)", ups,
                                   engine);
    return static_cast<int>(ups);
}

void CMervaneSnmp::SnmpRemoveAlarm(int, int alarmRow)
{
    MutexLock lock(GetMutex());
    if (!lock.Locked() || alarmRow <= 0)
        return;
    m_rows.upsAlarms.Remove(static_cast<uint32_t>(alarmRow));
    m_rows.engineAlarms.Remove(static_cast<uint32_t>(alarmRow));
}

uint32_t CMervaneSnmp::SnmpGetSysUpTime()
{
    MutexLock lock(GetMutex());
    if (!lock.Locked() || !m_host.sysUpTime)
        return 0;
    return m_host.sysUpTime();
}

int CMervaneSnmp::SnmpRegisterRemoteAgentData()
{
    AppLog::Instance()->Printf(kLogDebug, "CMervaneSnmp::SnmpRegisterRemoteAgentData( ) invoked");
    int result = -1;
    {
        MutexLock lock(GetMutex());
        if (lock.Locked())
            result = static_cast<int>(m_rows.remoteAgents.Append());
    }
    AppLog::Instance()->Printf(kLogDebug, "CMervaneSnmp::SnmpRegisterRemoteAgentData( ) returning %d", result);
    return result;
}

void CMervaneSnmp::SnmpRemoveRemoteAgentData(int)
{
    MutexLock lock(GetMutex());
    if (lock.Locked())
        m_rows.remoteAgents.RemoveLast();
}

void CMervaneSnmp::SnmpSetRemoteAgentRowCount(int count)
{
    MutexLock lock(GetMutex());
    if (lock.Locked() && count >= 0)
        m_rows.remoteAgents.SetCount(static_cast<uint32_t>(count));
}

int CMervaneSnmp::SetSnmpIpRowCount(int count)
{
    MutexLock lock(GetMutex());
    if (!lock.Locked())
        return -1;
    if (count < 0) {
        AppLog::Instance()->Printf(kLogError, "CMervaneSnmp::SnmpSetSnmpIpRowCount: row count %d refused", count);
        return -1;
    }
    m_rows.trapDestinations.SetCount(static_cast<uint32_t>(count));
    return 0;
}

int CMervaneSnmp::SnmpSetCommunity(const char* name, size_t length)
{
    if (!name)
        length = 0;
    MutexLock lock(GetMutex());
    if (!lock.Locked())
        return 0;
    if (length >= kAgentCommunityLimit)
        return 0;
    const std::string community(name ? name : "", length);
    if (!m_host.swapCommunity || !m_host.swapCommunity(community)) {
        AppLog::Instance()->Printf(kLogError, "CMervaneSnmp::SnmpSetCommunity: the agent takes no more work");
        return 0;
    }
    // CServer::SetCommunity takes only the server's text mutex, a leaf.
    if (CServer* server = CServer::Instance())
        server->SetCommunity(community.empty() ? std::string(kCommunityReadWrite) : community);
    return 1;
}

void CMervaneSnmp::SnmpSetCommunity(const std::string& community)
{
    SnmpSetCommunity(community.data(), community.size());
}

uint32_t CMervaneSnmp::GetEngineIPAddress()
{
    const std::string configured = m_host.configuredEngineIp ? m_host.configuredEngineIp() : std::string();
    if (!configured.empty())
        return StringToIpAddress(configured.c_str());
    const int64_t now = SteadyMs();
    {
        std::lock_guard<std::mutex> lock(m_addressMutex);
        if (m_addressExpiresMs > now)
            return m_cachedAddress;
    }
    uint32_t address = 0;
    if (!m_host.resolver(m_host.hostName(), address))
        address = 0;
    std::string primary;
    if ((address & 0xFF) == 127 && m_host.primaryAddress(primary) && IsValidIpAddress(primary.c_str()))
        address = StringToIpAddress(primary.c_str());
    std::lock_guard<std::mutex> lock(m_addressMutex);
    m_cachedAddress = address;
    m_addressExpiresMs = now + kAddressLifetimeMs;
    return address;
}

void CMervaneSnmp::SnmpStopAgent()
{
    MutexLock lock(GetMutex());
    if (lock.Locked() && m_host.requestStop)
        m_host.requestStop();
}

int CMervaneSnmp::SendTrap(TrapData& record)
{
    if (AppLog::Instance()->IsEnabled(kLogDebug))
        AppLog::Instance()->LogRecord(kLogDebug, TrapDebugRecord(record));
    return m_sender->sendtrap(record, &GetMutex());
}
