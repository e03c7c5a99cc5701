#include "engine/core/devices/Devices.h"

#include <algorithm>
#include <new>

#include "engine/base/AppLog.h"
#include "engine/base/Helpers.h"
#include "engine/core/config/MervaneApp.h"
#include "engine/core/data/BinaryFile.h"
#include "engine/core/data/DataArchive.h"
#include "engine/core/data/DeviceData.h"
#include "engine/core/devices/WellKnownAlarms.h"
#include "platform/AtomicFile.h"

namespace {

constexpr uint32_t kEnterprise[] = {1, 3, 6, 1, 4, 1, 64950};

std::vector<uint32_t> EnterpriseOid(std::initializer_list<uint32_t> parts)
{
    std::vector<uint32_t> oid(std::begin(kEnterprise), std::end(kEnterprise));
    oid.insert(oid.end(), parts);
    return oid;
}

// The 76-byte image of a row.
void StoreRow(const DeviceRow& row, uint8_t* out)
{
    for (int i = 0; i < DeviceWord::kCount; ++i)
        StoreWord(out + 4 * i, row[i]);
}

DeviceRow LoadRow(const uint8_t* row)
{
    DeviceRow words{};
    const uint32_t size = LoadWord(row);
    for (int i = 0; i < DeviceWord::kCount && 4u * i + 4 <= size; ++i)
        words[i] = LoadWord(row + 4 * i);
    return words;
}

// The image of an event table for the device-data block (empty without a block).
std::string EventImage(CDeviceDataRemoteEvt& events)
{
    std::string part;
    DataHeaderLock lock(events);
    if (events.GetSize() > 0) {
        CMemoryOutputStream stream(part);
        CDataArchive ar(&stream, CDataArchive::kStoring);
        events.Serialize(ar);
        ar.Close();
    }
    return part;
}

// A device-data item owned by CDeviceData holding one event-table image.
DeviceDataItem* MakeItem(const std::string& image)
{
    auto* item = new (std::nothrow) DeviceDataItem;
    if (!item)
        return nullptr;
    item->ownedByDevice = 0;
    if (!image.empty()) {
        auto* bytes = new (std::nothrow) uint8_t[image.size()];
        if (!bytes) {
            delete item;
            return nullptr;
        }
        std::copy(image.begin(), image.end(), bytes);
        DeviceDataDescriptor& events = item->descriptors[2];
        events.data = bytes;
        events.length = static_cast<uint32_t>(image.size());
    }
    return item;
}

} // namespace

void EventTimerExpired(AgentTimerData* data)
{
    if (data && data->object)
        static_cast<IDeviceContext*>(data->object)->OnEventTimer(*data);
}

CDevices::CDevices(IDeviceHost& host)
    : m_host(host), m_fileMutex("DevicesFileMutex#"), m_listLock("DevicesRWSemaphore"),
      m_pendingMutex("DevicesPendingMutex#"), m_shutdownMutex("DevicesShutdownMutex#")
{
}

CDevices::~CDevices()
{
    Destroy();
}

// ---- Start, stop and files

int CDevices::Initialize()
{
    m_busy = true;
    m_templatePath = m_host.GetFileName(VG_FILE_DATA_DEVICE_TEMPLATE, false);
    m_devicePath = m_host.GetFileName(VG_FILE_EXT_DEVICE, false);

    struct Stored {
        DeviceRow row{};
        std::string model, port, address;
    };
    std::vector<Stored> rows;
    WriteLockGuard list(m_listLock);
    m_destroyed = false;
    m_stopping = false;
    m_table.ReadFileBlock(m_devicePath, kDeviceAttachedBlockKey);
    if (m_table.GetCount() == 0 && FileExists(m_templatePath.c_str()))
        m_table.SeedFromTemplate(m_devicePath, m_templatePath, kDeviceAttachedBlockKey);
    if (m_table.NeedsResize())
        m_table.Resize(kTableHeadSize, kDeviceRowSize, m_table.GetCount());
    m_strings.ReadFileBlock(m_devicePath, kStringTableBlockKey);
    for (size_t at = m_table.FirstEntryOffset(); at; at = m_table.NextEntryOffset(at)) {
        Stored stored;
        stored.row = LoadRow(m_table.GetBlock() + at);
        const DeviceRow& row = stored.row;
        if ((row[DeviceWord::kFlags] & kDeviceFlagRemote) && row[DeviceWord::kModel] && row[DeviceWord::kPort] &&
            row[DeviceWord::kServerAddress]) {
            stored.model = m_strings.GetText(row[DeviceWord::kModel]);
            stored.port = m_strings.GetText(row[DeviceWord::kPort]);
            stored.address = m_strings.GetText(row[DeviceWord::kServerAddress]);
        }
        rows.push_back(std::move(stored));
    }
    list.unlock();

    // The agents are found, and the event tables read, with no list lock held: the remote-agent
    // manager's lock comes before the list's, and an empty event table is asked of the agent.
    std::vector<Candidate> candidates;
    std::vector<std::pair<uint32_t, std::unique_ptr<CDeviceDataRemoteEvt>>> orphans;
    std::map<const IRemoteAgentEntry*, int> perAgent;
    IRemoteAgentManager* agents = m_host.GetRemoteAgents();
    RefreshAgentCount();
    bool ok = true;
    for (size_t i = 0; i < rows.size(); ++i) {
        const Stored& stored = rows[i];
        const uint32_t rowKey = stored.row[DeviceWord::kKey];
        IRemoteAgentEntry* agent = !stored.address.empty() && agents ? agents->FindAgentByAddress(stored.address) : nullptr;
        if (!agent || perAgent[agent] >= static_cast<int>(kMaxDevicesPerAgent)) {
            // The row stays in the file; so does its event table.
            auto orphan = std::unique_ptr<CDeviceDataRemoteEvt>(new (std::nothrow) CDeviceDataRemoteEvt);
            if (orphan && orphan->ReadFileBlock(m_devicePath, rowKey) && orphan->GetCount() > 0)
                orphans.emplace_back(rowKey, std::move(orphan));
            continue;
        }
        Candidate candidate;
        try {
            candidate.entry = std::make_shared<CDeviceEntryRemote>(*this, agent, stored.row[DeviceWord::kDeviceKey]);
        } catch (const std::bad_alloc&) {
            AppLog::Instance()->Printf(kLogError, "[CDevices::Initialize]: Remote device entry allocation failed");
            ok = false;
            break;
        }
        ++perAgent[agent];
        candidate.row = stored.row;
        candidate.ordinal = static_cast<int>(i);
        candidate.model = stored.model;
        candidate.port = stored.port;
        candidate.entry->PrepareEvents(rowKey);
        candidates.push_back(std::move(candidate));
    }

    DeviceWork work;
    {
        WriteLockGuard insert(m_listLock);
        for (auto& orphan : orphans) {
            m_orphanKeys.push_back(orphan.first);
            m_orphans.push_back(std::move(orphan.second));
        }
        for (Candidate& candidate : candidates)
            InsertLocked(candidate, work);
    }
    for (Candidate& candidate : candidates)
        candidate.entry->GetAgent()->NoteStoredDevice(candidate.row[DeviceWord::kDeviceKey] & 0xFFFF);

    m_host.OnDeviceListChanged();
    m_busy = false;
    if (m_savePending.exchange(false))
        work.save = true;
    Perform(work);
    return ok ? 1 : 0;
}

void CDevices::InsertLocked(Candidate& candidate, DeviceWork& work)
{
    m_devices.push_back(candidate.entry);
    NoteDevice(candidate.entry->GetAgent(), 1);
    candidate.entry->Initialize(candidate.ordinal, candidate.row, candidate.model, candidate.port, work);
}

void CDevices::BeginStop()
{
    m_stopping = true;
}

void CDevices::Destroy()
{
    BeginStop();
    WriteLockGuard list(m_listLock);
    if (m_destroyed.exchange(true) && m_devices.empty())
        return;
    AppLog::Instance()->Printf(kLogDebug, "[CDevices::Destroy]: %lu devices will be destroyed.",
                               static_cast<unsigned long>(m_devices.size()));
    // An engine stop: no save, no notices, and no clear reaction for an alarm that never cleared.
    DeviceWork ignored;
    for (const auto& device : m_devices) {
        if (CAgentTimer* timers = m_host.GetTimers())
            timers->KillAllTimers(device->GetRowKey());
        device->Close(false, ignored);
    }
    m_devices.clear();
    {
        MutexLock lock(m_pendingMutex);
        m_agents.clear();
    }
    NoteAllShutdownsKilled();
    AppLog::Instance()->Printf(kLogDebug, "[CDevices::Destroy]: Device destruction complete.");
}

bool CDevices::BuildImage(std::string& image)
{
    CDeviceData data;
    data.ReplaceBlock(nullptr, 0);
    int records = 0;
    auto add = [&](uint32_t key, const std::string& events) {
        DeviceDataItem* item = MakeItem(events);
        if (!item)
            return false;
        if (data.AddDevice(item, key, false) == kDataKeyFailed) {
            delete[] item->descriptors[2].data;
            delete item;
            return false;
        }
        ++records;
        return true;
    };
    for (const auto& device : m_devices) {
        auto remote = std::dynamic_pointer_cast<CDeviceEntryRemote>(device);
        std::string events;
        DeviceRow row;
        {
            MutexLock lock(device->GetLock());
            row = device->GetRow();
            if (remote)
                events = EventImage(remote->GetEventTableLocked());
        }
        uint8_t bytes[kDeviceRowSize];
        StoreRow(row, bytes);
        const uint32_t key = m_table.Add(bytes, row[DeviceWord::kKey]);
        if (key == kDataKeyFailed || !add(row[DeviceWord::kKey], events))
            return false;
    }
    for (size_t i = 0; i < m_orphans.size(); ++i) {
        if (m_table.Find(m_orphanKeys[i]) && !add(m_orphanKeys[i], EventImage(*m_orphans[i])))
            return false;
    }
    CBinaryFile file;
    if (records > 0) {
        if (!data.BuildBlock(kDeviceDataBlockKey))
            return false;
        file.AddBlock(&data, kDeviceDataBlockKey);
    }
    if (!file.AddBlock(&m_table, kDeviceAttachedBlockKey) || !file.AddBlock(&m_strings, kStringTableBlockKey))
        return false;
    return file.BuildImage(kDeviceFileId, m_host.GetDataFileVersion(), image);
}

int CDevices::Save()
{
    // A stopping engine writes no device file: what the stop removes from the list was not removed.
    if (m_busy || m_stopping) {
        m_savePending = true;
        return 1;
    }
    MutexLock file(m_fileMutex);
    std::string image;
    {
        WriteLockGuard list(m_listLock);
        const bool built = !m_devicePath.empty() && BuildImage(image);
        m_savePending = false;
        list.unlock();
        if (!built) {
            AppLog::Instance()->Printf(kLogError, "[CDevices::Save]: the device file image could not be built");
            return 0;
        }
    }
    std::string error;
    if (!vgplat::WriteFileAtomically(m_devicePath, image.data(), image.size(), 0600, &error)) {
        AppLog::Instance()->Printf(kLogError, "[CDevices::Save]: %s", error.c_str());
        return 0;
    }
    return 1;
}

bool CDevices::CopyFile(const std::string& from, const std::string& to)
{
    MutexLock file(m_fileMutex);
    if (from.empty() || to.empty() || !FileExists(from.c_str()))
        return false;
    std::string error;
    if (!vgplat::CopyFileAtomically(from, to, false, &error)) {
        AppLog::Instance()->Printf(kLogError, "[CDevices]: %s", error.c_str());
        return false;
    }
    return true;
}

int CDevices::Backup()
{
    return CopyFile(m_host.GetFileName(VG_FILE_EXT_DEVICE, false), m_host.GetFileName(VG_FILE_EXT_DEVICE, true)) ? 1 : 0;
}

int CDevices::Restore()
{
    return CopyFile(m_host.GetFileName(VG_FILE_EXT_DEVICE, true), m_host.GetFileName(VG_FILE_EXT_DEVICE, false)) ? 1 : 0;
}

int CDevices::CreateSafePoint()
{
    const std::string path = m_host.GetFileName(VG_FILE_EXT_DEVICE, false);
    const std::string safe = m_host.GetSafePointFileName(VG_FILE_EXT_DEVICE);
    AppLog* log = AppLog::Instance();
    if (!FileExists(path.c_str())) {
        log->Printf(kLogInfo, "Could not find %s - no safe point file created", path.c_str());
        return 0;
    }
    if (safe.empty()) {
        log->Printf(kLogInfo, "Could not create find name for safe point file for %s", path.c_str());
        return 0;
    }
    if (!CopyFile(path, safe)) {
        log->Printf(kLogInfo, "Attempted copy of %s to %s to create safepoint file has failed", path.c_str(), safe.c_str());
        return 0;
    }
    log->Printf(kLogInfo, "Copy of %s to %s to create safepoint file was successful", path.c_str(), safe.c_str());
    return 1;
}

void CDevices::WriteConfig(std::ostream& out)
{
    std::string text;
    for (const auto& device : GetDevices()) {
        auto remote = std::dynamic_pointer_cast<CDeviceEntryRemote>(device);
        if (!remote)
            continue;
        MutexLock lock(remote->GetLock());
        remote->GetEventTableLocked().WriteConfig(text);
    }
    out << text;
}

// ---- Adding and removing

int CDevices::CountAgentDevicesLocked(const IRemoteAgentEntry* agent)
{
    int count = 0;
    for (const auto& device : m_devices) {
        auto remote = std::dynamic_pointer_cast<CDeviceEntryRemote>(device);
        count += remote && remote->GetAgent() == agent;
    }
    return count;
}

int CDevices::Add(IRemoteAgentEntry* agent, uint32_t position)
{
    // An engine that stops takes no new devices (an agent's first contact may still end meanwhile).
    if (!agent || m_stopping)
        return 1;
    std::vector<RemoteDeviceInfo> infos = agent->GetDeviceInfo();
    if (infos.empty())
        return 1;
    const std::string address = agent->GetServerAddress();
    RefreshAgentCount();
    DeviceWork work;
    std::vector<Candidate> fresh;

    // The writer lock is held across allocations (strings, rows, entries): a throw gives it back.
    WriteLockGuard list(m_listLock);
    if (m_destroyed)
        return 1;
    int agentDevices = CountAgentDevicesLocked(agent);
    for (const RemoteDeviceInfo& info : infos) {
        const uint32_t number = info.deviceNumber & 0xFFFF;
        Candidate candidate;
        DeviceRow& row = candidate.row;
        row[DeviceWord::kSize] = kDeviceRowSize;
        row[DeviceWord::kModel] = m_strings.AddString(info.model);
        row[DeviceWord::kPort] = m_strings.AddString(info.port);
        // Only the agent's column-4 value: its other bits must not mark the device as something else.
        row[DeviceWord::kFlags] = (info.column4 & kDeviceFlagKindBits) | kDeviceFlagRemote | kDeviceFlagEnabled;
        row[DeviceWord::kServerAddress] = m_strings.AddString(address);
        row[DeviceWord::kDeviceKey] = position << 16 | number;
        row[DeviceWord::kText8] = m_strings.AddString(info.text8);
        row[DeviceWord::kName] = m_strings.AddString(info.name);
        if (!info.column13.empty())
            row[DeviceWord::kColumn13] = m_strings.AddString(info.column13);
        if (!info.location.empty())
            row[DeviceWord::kLocation] = m_strings.AddString(info.location);
        for (uint32_t& word : row)
            if (word == kDataKeyFailed)
                word = 0;

        if (auto existing = FindRemoteDeviceLocked(agent, number)) {
            if (existing->HasSameIdentity(row)) {
                existing->EnableDevice(work);
                continue;
            }
            AppLog::Instance()->Printf(kLogInfo, "[%X] DIFFERENT DEVICE FOUND ON PORT", existing->GetRowKey());
            if (!DeleteLocked(existing, true, work))
                continue;
            --agentDevices;
        }
        if (agentDevices >= static_cast<int>(kMaxDevicesPerAgent)) {
            AppLog::Instance()->Printf(kLogWarning, "[CDevices::Add(Remote)]: agent %s has %d devices; device %u not added",
                                       address.c_str(), agentDevices, number);
            continue;
        }
        uint8_t bytes[kDeviceRowSize];
        StoreRow(row, bytes);
        const uint32_t key = m_table.Add(bytes, kDataKeyNew);
        if (key == 0 || key == kDataKeyFailed)
            continue;
        row[DeviceWord::kKey] = key;
        // A claimed template row keeps its own family code.
        if (const uint8_t* stored = m_table.Find(key))
            row[DeviceWord::kFamily] = LoadRow(stored)[DeviceWord::kFamily];
        try {
            candidate.entry = std::make_shared<CDeviceEntryRemote>(*this, agent, row[DeviceWord::kDeviceKey]);
        } catch (const std::bad_alloc&) {
            AppLog::Instance()->Printf(kLogError, "[CDevices::Add(Remote)]: Device entry allocation failed");
            m_table.Remove(key);
            continue;
        }
        candidate.model = info.model;
        candidate.port = info.port;
        ++agentDevices;
        fresh.push_back(std::move(candidate));
    }
    list.unlock();

    // The event lists come from the agent: no list lock while its requests wait for the SNMP thread.
    for (Candidate& candidate : fresh)
        candidate.entry->PrepareEvents(candidate.row[DeviceWord::kKey]);

    {
        WriteLockGuard insert(m_listLock);
        for (Candidate& candidate : fresh) {
            candidate.ordinal = static_cast<int>(m_devices.size());
            InsertLocked(candidate, work);
            if (m_host.GetConsoles()) {
                SendListChangedLocked(0, work);
                work.listChanged = true;
            }
        }
    }
    Perform(work);
    return 1;
}

void CDevices::SendListChangedLocked(int32_t value, DeviceWork& work)
{
    if (m_trapsHeld)
        return;
    DeviceNotice notice;
    notice.oid = EnterpriseOid({10, 2, 2});
    notice.trapId = kListChangedTrap;
    notice.value = EngineValue::Integer(static_cast<uint32_t>(value));
    work.notices.push_back(std::move(notice));
}

bool CDevices::DeleteLocked(const std::shared_ptr<CDeviceEntry>& device, bool removeMibRow, DeviceWork& work)
{
    auto it = std::find(m_devices.begin(), m_devices.end(), device);
    if (!device || it == m_devices.end())
        return false;
    const uint32_t rowKey = device->GetRowKey();
    if (CAgentTimer* timers = m_host.GetTimers())
        timers->KillAllTimers(rowKey);
    const int index = device->GetDeviceIndex();
    device->Close(true, work);
    m_devices.erase(it);
    if (auto remote = std::dynamic_pointer_cast<CDeviceEntryRemote>(device))
        NoteDevice(remote->GetAgent(), -1);
    m_table.Remove(rowKey);
    work.save = true;
    // A device without a MIB row takes none away and moves no other device.
    if (index != -1) {
        for (const auto& other : m_devices) {
            MutexLock lock(other->GetLock());
            const int at = other->GetDeviceIndex();
            if (at > index)
                other->SetDeviceIndexLocked(at - 1);
        }
        if (removeMibRow) {
            if (ISnmpFacade* snmp = m_host.GetSnmp())
                snmp->SnmpRemoveDevice();
        }
    }
    AppLog::Instance()->Printf(kLogDebug, "[%X] DELETED DEVICE", rowKey);
    SendListChangedLocked(6, work);
    work.listChanged = true;
    return true;
}

bool CDevices::Delete(const std::shared_ptr<CDeviceEntry>& device, bool removeMibRow)
{
    RefreshAgentCount();
    DeviceWork work;
    bool ok = false;
    {
        WriteLockGuard list(m_listLock);
        ok = DeleteLocked(device, removeMibRow, work);
    }
    Perform(work);
    return ok;
}

int CDevices::DeleteByIndex(int index)
{
    if (index <= 0 || index >= 0x10000)
        return 0;
    auto device = FindByIndex(index);
    return device && Delete(device, false) ? 1 : 0;
}

void CDevices::RemoveAgentDevices(uint32_t position)
{
    RefreshAgentCount();
    DeviceWork work;
    WriteLockGuard list(m_listLock);
    for (bool again = true; again;) {
        again = false;
        for (const auto& device : m_devices) {
            if (device->IsRemote() && device->GetAgentPosition() == position) {
                auto keep = device;
                DeleteLocked(keep, true, work);
                again = true;
                break;
            }
        }
    }
    for (const auto& device : m_devices) {
        auto remote = std::dynamic_pointer_cast<CDeviceEntryRemote>(device);
        if (remote && remote->GetAgentPosition() > position)
            remote->DecrementPosition();
    }
    list.unlock();
    work.save = true;
    Perform(work);
}

void CDevices::SetRemoteAddress(uint32_t position, const std::string& address)
{
    DeviceWork work;
    for (const auto& device : GetDevices()) {
        auto remote = std::dynamic_pointer_cast<CDeviceEntryRemote>(device);
        if (remote && remote->GetAgentPosition() == position)
            remote->SetServerAddress(address, work);
    }
    Perform(work);
}

// ---- Lookups

std::vector<std::shared_ptr<CDeviceEntry>> CDevices::GetDevices()
{
    ReadLockGuard list(m_listLock);
    return m_devices;
}

std::shared_ptr<CDeviceEntryRemote> CDevices::FindRemoteDeviceLocked(const IRemoteAgentEntry* agent, uint32_t number)
{
    for (const auto& device : m_devices) {
        auto remote = std::dynamic_pointer_cast<CDeviceEntryRemote>(device);
        if (remote && remote->BelongsTo(agent, number))
            return remote;
    }
    return nullptr;
}

std::shared_ptr<CDeviceEntryRemote> CDevices::FindRemoteDevice(const IRemoteAgentEntry* agent, uint32_t number)
{
    ReadLockGuard list(m_listLock);
    return FindRemoteDeviceLocked(agent, number);
}

std::shared_ptr<CDeviceEntry> CDevices::FindByKey(uint32_t rowKey)
{
    ReadLockGuard list(m_listLock);
    for (const auto& device : m_devices)
        if (device->GetRowKey() == rowKey)
            return device;
    return nullptr;
}

std::shared_ptr<CDeviceEntry> CDevices::FindByIndex(int index)
{
    if (index <= 0)
        return nullptr;
    for (const auto& device : GetDevices())
        if (device->GetDeviceIndex() == index)
            return device;
    return nullptr;
}

std::shared_ptr<CDeviceEntry> CDevices::FindByDeviceKey(uint32_t deviceKey)
{
    for (const auto& device : GetDevices())
        if (device->GetDeviceKey() == deviceKey)
            return device;
    return nullptr;
}

uint32_t CDevices::GetKeyAt(int ordinal)
{
    for (const auto& device : GetDevices())
        if (device->GetOrdinal() == ordinal)
            return device->GetRowKey();
    return 0;
}

bool CDevices::IsAnySuspended()
{
    for (const auto& device : GetDevices()) {
        if (!device) {
            AppLog::Instance()->Printf(kLogDebug, "CDevices::IsAnySuspended() called with invalid CDeviceEntry in list");
            continue;
        }
        if (device->GetFlags() & kDeviceFlagSuspended)
            return true;
    }
    return false;
}

int CDevices::GetCount()
{
    ReadLockGuard list(m_listLock);
    return static_cast<int>(m_devices.size());
}

uint32_t CDevices::GetDeviceKeyAt(int position)
{
    std::shared_ptr<CDeviceEntry> device;
    {
        ReadLockGuard list(m_listLock);
        if (position >= 0 && position < static_cast<int>(m_devices.size()))
            device = m_devices[position];
    }
    return device ? device->GetDeviceKey() : 0;
}

bool CDevices::GetDeviceName(uint32_t rowKey, std::string& name)
{
    auto device = FindByKey(rowKey);
    if (!device)
        return false;
    name = device->GetName();
    return true;
}

// ---- Values

int CDevices::GetDeviceValue(int deviceIndex, uint32_t itemKey, uint32_t column, EngineValue& value)
{
    auto device = FindByIndex(deviceIndex);
    return device ? device->GetValue(itemKey, column, value) : 0;
}

uint32_t CDevices::GetDeviceInt(int deviceIndex, uint32_t itemKey, uint32_t column)
{
    EngineValue value;
    if (!GetDeviceValue(deviceIndex, itemKey, column, value) || value.type == kValueOctetString)
        return 0;
    return value.integer;
}

std::string CDevices::GetDeviceString(int deviceIndex, uint32_t itemKey, uint32_t column)
{
    EngineValue value = EngineValue::Text(std::string());
    if (!GetDeviceValue(deviceIndex, itemKey, column, value) || value.type != kValueOctetString)
        return std::string();
    return value.bytes;
}

bool CDevices::SetDeviceValue(int deviceIndex, uint32_t itemKey, uint32_t column, int type, const void* data,
                              size_t length, bool* saved)
{
    auto device = FindByIndex(deviceIndex);
    if (!device)
        return false;
    DeviceWork work;
    const bool ok = device->SnmpSetDeviceValue(itemKey, column, type, data, length, work);
    // The save is made here, so that its failure reaches the caller.
    const bool save = work.save;
    work.save = false;
    Perform(work);
    if (save && Save() == 0 && saved)
        *saved = false;
    return ok;
}

bool CDevices::SetDeviceInt(int deviceIndex, uint32_t itemKey, uint32_t column, uint32_t value)
{
    return SetDeviceValue(deviceIndex, itemKey, column, kValueInteger, &value, 4);
}

int CDevices::GetAlarmValue(uint32_t key, uint32_t row, EngineValue& value)
{
    for (const auto& device : GetDevices()) {
        auto remote = std::dynamic_pointer_cast<CDeviceEntryRemote>(device);
        if (remote && remote->GetAlarmValue(key, row, value))
            return 1;
    }
    return 0;
}

int CDevices::GetValue(uint32_t key, int deviceIndex, EngineValue& value, uint32_t length)
{
    if (key >= 0x8301000Bu && key <= 0x83010011u)
        return GetAlarmValue(key, length, value);
    auto device = FindByIndex(deviceIndex);
    if (!device)
        return 0;
    switch (key) {
    case 0x85030005u: return device->GetValue(0, 4, value);
    case 0x85030009u: return device->GetValue(0, 8, value);
    case 0x8503000Au: return device->GetValue(0, 9, value);
    case 0x87060001u: value = EngineValue::Integer(static_cast<uint32_t>(device->GetLoadGroupCount())); return 1;
    case 0x85090019u: return 0;
    case kUpsBatteryStatusKey:
    case kUpsSecondsOnBatteryKey:
    case kUpsOutputSourceKey:
        if (auto remote = std::dynamic_pointer_cast<CDeviceEntryRemote>(device))
            return remote->GetPowerValue(key, value);
        return 0;
    default: return 0;
    }
}

bool CDevices::SetValue(uint32_t, int, int, const void*, size_t)
{
    return true;
}

void CDevices::SetBusy(bool busy)
{
    m_busy = busy;
}

// ---- Reactions across devices

void CDevices::NoteDevice(const IRemoteAgentEntry* agent, int change)
{
    MutexLock lock(m_pendingMutex);
    AgentState& state = m_agents[reinterpret_cast<uintptr_t>(agent)];
    state.devices += change;
    if (state.devices <= 0)
        m_agents.erase(reinterpret_cast<uintptr_t>(agent));
}

void CDevices::NotePendingReaction(const IRemoteAgentEntry* agent, bool pending)
{
    MutexLock lock(m_pendingMutex);
    auto it = m_agents.find(reinterpret_cast<uintptr_t>(agent));
    if (it == m_agents.end())
        return;
    it->second.pending = std::max(0, it->second.pending + (pending ? 1 : -1));
}

std::map<uintptr_t, bool> CDevices::GetAgentsPending(const IRemoteAgentEntry* agent, bool excludeOne)
{
    std::map<uintptr_t, bool> out;
    MutexLock lock(m_pendingMutex);
    for (const auto& [id, state] : m_agents) {
        int pending = state.pending;
        if (excludeOne && id == reinterpret_cast<uintptr_t>(agent))
            --pending;
        out[id] = pending > 0;
    }
    return out;
}

bool CDevices::AgentHasPendingReactions(const IRemoteAgentEntry* agent)
{
    MutexLock lock(m_pendingMutex);
    auto it = m_agents.find(reinterpret_cast<uintptr_t>(agent));
    return it != m_agents.end() && it->second.pending > 0;
}

void CDevices::SetEventFlagsOnAllDevices(const std::string& name, uint32_t bits)
{
    for (const auto& device : GetDevices())
        if (auto remote = std::dynamic_pointer_cast<CDeviceEntryRemote>(device))
            remote->SetEventFlags(name, bits);
}

void CDevices::ClearEventFlagsOnAllDevices(const std::string& name, uint32_t bits)
{
    for (const auto& device : GetDevices())
        if (auto remote = std::dynamic_pointer_cast<CDeviceEntryRemote>(device))
            remote->ClearEventFlags(name, bits);
}

void CDevices::NoteShutdownArmed(uint32_t ownerKey, uint32_t itemKey, int64_t dueSteadyMs)
{
    MutexLock lock(m_shutdownMutex);
    m_shutdownDue[{ownerKey, itemKey}] = dueSteadyMs;
}

void CDevices::NoteShutdownKilled(uint32_t ownerKey, uint32_t itemKey)
{
    MutexLock lock(m_shutdownMutex);
    m_shutdownDue.erase({ownerKey, itemKey});
}

void CDevices::NoteAllShutdownsKilled()
{
    MutexLock lock(m_shutdownMutex);
    m_shutdownDue.clear();
}

int64_t CDevices::GetEarliestShutdown()
{
    MutexLock lock(m_shutdownMutex);
    int64_t earliest = 0;
    for (const auto& entry : m_shutdownDue)
        if (earliest == 0 || entry.second < earliest)
            earliest = entry.second;
    return earliest;
}

void CDevices::UpdateCountdownTime()
{
    const int64_t due = GetEarliestShutdown();
    if (due == 0) {
        m_host.SetCountdownTime(0);
        return;
    }
    const TimerClock& clock = m_host.GetClock();
    m_host.SetCountdownTime(clock.wallSeconds() + CountdownSeconds(due, clock.steadyMilliseconds()));
}

void CDevices::RefreshAgentCount()
{
    if (IRemoteAgentManager* agents = m_host.GetRemoteAgents())
        m_agentCount = agents->GetRowCount();
}

void CDevices::SendCountdown(uint32_t seconds)
{
    m_countdownShown = seconds != 0;
    if (IConsoleManager* consoles = m_host.GetConsoles())
        consoles->SendValueNotification(EnterpriseOid({10, 5, 1, 0}), kValueChangedTrap,
                                        EngineValue::Integer(seconds));
}

void CDevices::RunCommand(uint32_t key, bool enabled)
{
    AppLog* log = AppLog::Instance();
    if (key == 0 || !enabled) {
        log->Printf(kLogWarning, "EventTimerExpired: Script execution timer expired, but script execution is not "
                                 "enabled. Script execution cancelled.");
        return;
    }
    const std::string command = m_strings.GetText(key);
    if (command.empty()) {
        log->Printf(kLogError, "EventTimerExpired: GetStringByKey() failed. Could not retrieve execution script name.");
        return;
    }
    log->Printf(kLogDebug, "EventTimerExpired: Executing script: %s", command.c_str());
    m_host.ExecuteCommand(command);
}

bool CDevices::ConfirmBeforeShutdown(CDeviceEntryRemote& device, const std::string& alarm)
{
    // The own state may be stale (a lost clear trap, or an engine as the agent, which sends no alarm
    // traps): the agent has the last word when it answers; no lock is held while it is asked.
    IRemoteAgentManager* agents = m_host.GetRemoteAgents();
    IRemoteAgentEntry* agent = device.GetAgent();
    return !agents || !agent || agents->ConfirmAlarm(agent, device.GetDeviceNumber(), alarm);
}

void CDevices::OnEventTimer(AgentTimerData& data)
{
    AppLog* log = AppLog::Instance();
    log->Printf(kLogDebug, "EventTimerExpired: Device:%08X Item:%08X Event:%08X", data.ownerKey, data.itemKey,
                data.eventId);
    auto device = std::dynamic_pointer_cast<CDeviceEntryRemote>(FindByKey(data.ownerKey));
    if (!device || data.state != 1)
        return;
    const uint32_t action = data.eventId;
    const uint32_t mark = FiredMark(action);
    const bool all = m_host.IsShutdownRequiredAll();
    const uint32_t mask = m_host.GetReactionMask();
    std::string name;
    uint32_t commandKey = 0;
    bool commandEnabled = false;
    {
        MutexLock lock(device->GetLock());
        CDeviceDataRemoteEvt& events = device->GetEventTableLocked();
        uint8_t* row = events.RowByKey(data.itemKey);
        const uint32_t state = row ? CDeviceDataRemoteEvt::Word(row, EventWord::kState) : 0;
        const uint32_t flags = row ? CDeviceDataRemoteEvt::Word(row, EventWord::kFlags) : 0;
        // The reaction acts only while its alarm stands and the user still wants it, and a shutdown or
        // command only once per alarm (a delay write may have re-armed one whose old timer was already
        // on its way here; in "All" the marks are shared by every device's row of that name).
        const bool ranAlready = !all && data.repeatSeconds == 0 && (flags & mark);
        if (!row || !(state & kEventStateActive) || !(mask & action) || !(flags & action) || AreReactionsSuspended() ||
            ranAlready) {
            log->Printf(kLogDebug, "EventTimerExpired: Device:%08X Item:%08X Event:%08X no longer stands",
                        data.ownerKey, data.itemKey, action);
            if (action == kActionShutdown)
                NoteShutdownKilled(data.ownerKey, data.itemKey);
            return;
        }
        name = CDeviceDataRemoteEvt::RowName(row);
        commandKey = CDeviceDataRemoteEvt::Word(row, EventWord::kCommandOnSet);
        commandEnabled = (flags & kEventFlagCommand) != 0;
        if (!all)
            CDeviceDataRemoteEvt::SetRowWord(row, EventWord::kFlags, flags | mark);
    }
    if (all)
        SetEventFlagsOnAllDevices(name, mark);

    switch (action) {
    case kActionExecuteCommand:
        log->Printf(kLogDebug, "EventTimerExpired: Script execution timer expired.");
        RunCommand(commandKey, commandEnabled);
        break;
    case kActionShutdown: {
        IRemoteAgentEntry* agent = device->GetAgent();
        const std::string address = agent ? agent->GetServerAddress() : std::string();
        const std::string deviceName = device->GetName();
        if (!ConfirmBeforeShutdown(*device, name)) {
            // What the engine did not do to the host is told as plainly as what it did.
            log->Printf(kLogError, "Shutdown cancelled: agent %s no longer reports the alarm [%s] of %s "
                                   "(Device:%08X Item:%08X)",
                        address.c_str(), name.c_str(), deviceName.c_str(), data.ownerKey, data.itemKey);
            m_host.ReportDeviceEvent(data.ownerKey, 3,
                                     "Shutdown cancelled: the agent no longer reports the alarm [" + name + "]",
                                     address);
            NoteShutdownKilled(data.ownerKey, data.itemKey);
            UpdateCountdownTime();
            break;
        }
        NoteShutdownKilled(data.ownerKey, data.itemKey);
        UpdateCountdownTime();
        const std::string cause = "the alarm [" + name + "] of " + deviceName + (address.empty() ? "" : " on " + address);
        m_host.BeginShutdown(cause);
        m_host.ExecuteShutdown(cause);
        break;
    }
    case kActionShutdownCountdown:
        SendCountdown(CountdownSeconds(GetEarliestShutdown(), m_host.GetClock().steadyMilliseconds()));
        break;
    default:
        break;
    }

    if (data.repeatSeconds > 0 && data.cancelled.load() == 0) {
        MutexLock lock(device->GetLock());
        const uint8_t* row = device->GetEventTableLocked().RowByKey(data.itemKey);
        if (row && (CDeviceDataRemoteEvt::Word(row, EventWord::kState) & kEventStateActive)) {
            if (CAgentTimer* timers = m_host.GetTimers())
                timers->SetTimer(uint64_t{data.repeatSeconds} * 1000, &data);
        }
    }
}

void CDevices::RunClearReaction(const ClearReaction& clear)
{
    const AgentTimerData& data = clear.record;
    AppLog::Instance()->Printf(kLogDebug, "EventTimerExpired: Device:%08X Item:%08X Event:%08X", data.ownerKey,
                               data.itemKey, data.eventId);
    // An engine stop is no clear: a reaction decided just before it does not run.
    if (m_stopping)
        return;
    if (m_host.IsShutdownRequiredAll())
        ClearEventFlagsOnAllDevices(clear.eventName, FiredMark(data.eventId));
    switch (data.eventId) {
    case kActionExecuteCommand:
        AppLog::Instance()->Printf(kLogDebug, "EventTimerExpired: Script execution timer expired.");
        RunCommand(clear.commandKey, clear.commandEnabled);
        break;
    case kActionShutdownCountdown:
        // 0 closes the consoles' alert: only when no other shutdown is still armed.
        SendCountdown(ClearNoticeSeconds(GetEarliestShutdown(), m_host.GetClock().steadyMilliseconds()));
        break;
    default:
        break;
    }
}

void CDevices::Perform(DeviceWork& work)
{
    if (IConsoleManager* consoles = m_host.GetConsoles()) {
        for (const DeviceNotice& notice : work.notices) {
            if (notice.trapId == kListChangedTrap)
                consoles->SendNotification(notice.oid, notice.trapId, notice.value);
            else
                consoles->SendValueNotification(notice.oid, notice.trapId, notice.value);
        }
    }
    bool closed = false;
    for (const ClearReaction& clear : work.clearReactions) {
        RunClearReaction(clear);
        closed = closed || clear.record.eventId == kActionShutdownCountdown;
    }
    if (work.closeCountdownIfShown) {
        for (const auto& device : GetDevices())
            if (auto remote = std::dynamic_pointer_cast<CDeviceEntryRemote>(device))
                remote->ForgetCountdownMarks();
        if (m_countdownShown)
            work.closeCountdown = true;
    }
    // One closing notice per piece of work, whichever paths asked for it.
    if (work.closeCountdown && !closed && !m_stopping)
        SendCountdown(ClearNoticeSeconds(GetEarliestShutdown(), m_host.GetClock().steadyMilliseconds()));
    if (work.updateCountdown)
        UpdateCountdownTime();
    if (work.save)
        Save();
    if (work.listChanged)
        m_host.OnDeviceListChanged();
    for (int index : work.statusChanged)
        m_host.OnDeviceStatus(index, 1);
    work = DeviceWork();
}
