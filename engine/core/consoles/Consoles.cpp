#include "engine/core/consoles/Consoles.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "engine/base/AppLog.h"
#include "engine/core/data/BinaryFile.h"
#include "engine/base/Helpers.h"
#include "engine/core/data/DataFile.h"
#include "platform/AtomicFile.h"
#include "platform/NetInterfaces.h"

using namespace console_row;

namespace {

constexpr size_t kMaxRefusedRemembered = 1024;
constexpr size_t kMaxCommunityText = CConsoles::kMaxConsoleCommunityBytes; // this length or more: refused

// Reads a fixed-width field of decimal digits; false when any character is not a digit.
bool ReadDigits(const char* text, size_t count, int& value)
{
    value = 0;
    for (size_t i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

bool ReadInteger(int type, const void* data, size_t length, uint32_t& value)
{
    if (type == kValueOctetString || !data || length < 4)
        return false;
    std::memcpy(&value, data, sizeof value);
    return true;
}

uint32_t RowWord(const uint8_t* row, int index)
{
    return CDataHeader::EntryWord(row, index);
}

void SetRowWord(uint8_t* row, int index, uint32_t value)
{
    CDataHeader::SetEntryWord(row, index, value);
}

// The text of a field of size bytes, up to its NUL (a field from a file may lack one).
std::string FieldText(const uint8_t* row, int word, size_t size)
{
    const char* text = reinterpret_cast<const char*>(row + 4 * word);
    return std::string(text, strnlen(text, size));
}

void StoreField(uint8_t* row, int word, size_t size, const char* text, size_t length)
{
    uint8_t* field = row + 4 * word;
    std::memset(field, 0, size);
    std::memcpy(field, text, std::min(length, size - 1));
}

constexpr uint32_t kKeySelectedDevice = 0x85020006;
constexpr uint32_t kKeyTrapPort = 0x85020011;

} // namespace

bool IsValidDateText(const char* text, size_t length)
{
    if (!text || length != 8 || text[0] == '\0')
        return false;
    int year = 0, month = 0, day = 0;
    if (!ReadDigits(text, 4, year) || !ReadDigits(text + 4, 2, month) || !ReadDigits(text + 6, 2, day))
        return false;
    return year >= 1990 && year <= 2038 && month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

bool IsValidTimeText(const char* text, size_t length)
{
    if (!text || length != 6 || text[0] == '\0')
        return false;
    int hours = 0, minutes = 0, seconds = 0;
    if (!ReadDigits(text, 2, hours) || !ReadDigits(text + 2, 2, minutes) || !ReadDigits(text + 4, 2, seconds))
        return false;
    return hours <= 23 && minutes < 60 && seconds < 60;
}

CConsoles::CConsoles(IConsoleHost& host, ConsoleOptions options)
    : m_host(host), m_options(options), m_fileMutex("CConsolesFileMutex#"), m_mutex("CConsolesMutex#")
{
}

CConsoles::~CConsoles()
{
    DestroyAll();
}

std::vector<uint32_t> CConsoles::TrapOid(uint32_t specific)
{
    return {1, 3, 6, 1, 4, 1, 64950, 15, 0, specific, 0};
}

int CConsoles::Initialize()
{
    DestroyAll();
    const std::string path = m_host.GetConsoleFilePath();
    bool save = false;
    {
        MutexLock lock(m_mutex);
        m_refused.clear();
        m_strings.ReadFileBlock(path, kStringTableBlockKey);
        m_table.ReadFileBlock(path, kConsoleTableKey);
        if (m_table.NeedsUpgrade()) {
            if (m_table.Upgrade()) {
                m_table.SetVersion(kEngineDataVersion);
                save = true;
            } else {
                AppLog::Instance()->Printf(kLogError, "[CConsoles::Initialize]: %s could not be upgraded", path.c_str());
            }
        }
    }
    if (save)
        Save();

    MutexLock lock(m_mutex);
    int position = 0;
    for (size_t at = m_table.FirstEntryOffset(); at; at = m_table.NextEntryOffset(at), ++position) {
        if (m_entries.size() >= m_options.maxConsoles) {
            AppLog::Instance()->Printf(kLogWarning,
                                       "[CConsoles::Initialize]: only the first %zu of %d consoles are loaded",
                                       m_options.maxConsoles, m_table.GetCount());
            break;
        }
        std::shared_ptr<CConsoleEntry> entry;
        try {
            entry = std::make_shared<CConsoleEntry>("CONSOLE_" + std::to_string(position), m_options.keepAlivePeriodMs);
            m_entries.push_back(entry);
        } catch (const std::bad_alloc&) {
            AppLog::Instance()->Printf(kLogError, "[CConsoles::Initialize]: Console entry allocation failed");
            m_closed = false;
            return 0;
        }
        entry->BuildFromRow(m_table.GetBlock() + at, m_strings);
        SetRowWord(m_table.GetBlock() + at, kSettingBytes, RowWord(m_table.GetBlock() + at, kSettingBytes) & ~0x000F0000u);
    }
    // Registrations only once the loaded entries are in place (no row is walked twice).
    m_closed = false;
    return 1;
}

void CConsoles::DestroyAll()
{
    StopFanOutThread();
    std::vector<std::shared_ptr<CConsoleEntry>> entries;
    {
        MutexLock lock(m_mutex);
        m_closed = true;
        entries.swap(m_entries);
    }
    for (auto& entry : entries)
        entry->Deactivate(true);
}

bool CConsoles::CopyFile(const std::string& from, const std::string& to)
{
    MutexLock lock(m_fileMutex);
    if (from.empty() || to.empty() || !FileExists(from.c_str()))
        return false;
    // The file names the consoles' communities: the copy is private, like the file.
    std::string error;
    if (vgplat::CopyFileWithMode(from, to, 0600, false, kMaxDataFileSize, &error))
        return true;
    AppLog::Instance()->Printf(kLogError, "[CConsoles]: copy of %s to %s failed: %s", from.c_str(), to.c_str(),
                               error.c_str());
    return false;
}

int CConsoles::Backup()
{
    return CopyFile(m_host.GetConsoleFilePath(), m_host.GetConsoleBackupPath()) ? 1 : 0;
}

int CConsoles::Restore()
{
    return CopyFile(m_host.GetConsoleBackupPath(), m_host.GetConsoleFilePath()) ? 1 : 0;
}

int CConsoles::CreateSafePoint()
{
    return CopyFile(m_host.GetConsoleFilePath(), m_host.GetConsoleSafePointPath()) ? 1 : 0;
}

int CConsoles::Save()
{
    const std::string path = m_host.GetConsoleFilePath();
    if (path.empty())
        return 0;
    MutexLock fileLock(m_fileMutex);
    std::string image;
    {
        // The snapshot of both blocks together: no row or text changes between the two.
        MutexLock lock(m_mutex);
        CBinaryFile file;
        if (!file.AddBlock(&m_table, kConsoleTableKey) || !file.AddBlock(&m_strings, kStringTableBlockKey) ||
            !file.BuildImage(kConsoleExtensionFileId, m_host.GetDataFileVersion(), image)) {
            AppLog::Instance()->Printf(kLogError, "[CConsoles::Save]: the image of %s could not be built", path.c_str());
            return 0;
        }
    }
    std::string error;
    if (!vgplat::WriteFileAtomically(path, image.data(), image.size(), 0600, &error)) {
        AppLog::Instance()->Printf(kLogError, "[CConsoles::Save]: %s was not saved (%s); the old file is kept",
                                   path.c_str(), error.c_str());
        return 0;
    }
    return 1;
}

std::shared_ptr<CConsoleEntry> CConsoles::FindLocked(uint32_t address)
{
    for (const auto& entry : m_entries)
        if (entry->GetAddress() == address)
            return entry;
    return nullptr;
}

std::shared_ptr<CConsoleEntry> CConsoles::Find(uint32_t address)
{
    MutexLock lock(m_mutex);
    return FindLocked(address);
}

std::vector<uint32_t> IConsoleHost::GetOwnHostAddresses()
{
    std::vector<uint32_t> out;
    std::vector<vgplat::InterfaceAddress> interfaces;
    if (vgplat::ListInterfaceAddresses(interfaces))
        for (const auto& i : interfaces)
            if (const uint32_t address = StringToIpAddress(i.ipv4.c_str()))
                out.push_back(address);
    return out;
}

std::shared_ptr<CConsoleEntry> CConsoles::ChooseEvictionLocked(uint32_t address)
{
    const std::vector<uint32_t> hostAddresses = m_host.GetOwnHostAddresses();
    auto isOwn = [&](uint32_t a) {
        return (a & 0xFFu) == 127u || std::find(hostAddresses.begin(), hostAddresses.end(), a) != hostAddresses.end();
    };
    std::vector<bool> own(m_entries.size());
    for (size_t i = 0; i < m_entries.size(); ++i)
        own[i] = isOwn(m_entries[i]->GetAddress());
    // The longest silent of the entries that pass; registration order breaks ties.
    auto longestSilent = [&](auto passes) {
        std::shared_ptr<CConsoleEntry> chosen;
        for (size_t i = 0; i < m_entries.size(); ++i)
            if (passes(i) && (!chosen || m_entries[i]->GetLastContactMs() < chosen->GetLastContactMs()))
                chosen = m_entries[i];
        return chosen;
    };
    if (auto chosen = longestSilent([&](size_t i) { return !own[i] && !m_entries[i]->IsActive(); }))
        return chosen;
    if (!isOwn(address))
        return nullptr;
    if (auto chosen = longestSilent([&](size_t i) { return !own[i]; }))
        return chosen;
    return longestSilent([](size_t) { return true; });
}

void CConsoles::RemoveLocked(const std::shared_ptr<CConsoleEntry>& entry)
{
    const uint32_t key = entry->GetRowKey();
    uint32_t textKey = 0;
    if (const uint8_t* row = m_table.Find(key))
        textKey = RowWord(row, kCommunityKey);
    m_table.Remove(key);
    if (textKey != 0) {
        bool used = false;
        for (size_t at = m_table.FirstEntryOffset(); at && !used; at = m_table.NextEntryOffset(at))
            used = RowWord(m_table.GetBlock() + at, kCommunityKey) == textKey;
        if (!used)
            m_strings.Remove(textKey);
    }
    m_entries.erase(std::remove(m_entries.begin(), m_entries.end(), entry), m_entries.end());
}

std::shared_ptr<CConsoleEntry> CConsoles::PingLocked(uint32_t address, const std::vector<uint32_t>& deviceKeys,
                                                     std::shared_ptr<CConsoleEntry>& evicted)
{
    if (m_entries.size() >= m_options.maxConsoles) {
        evicted = ChooseEvictionLocked(address);
        if (!evicted) {
            if (m_refused.size() < kMaxRefusedRemembered && m_refused.insert(address).second)
                AppLog::Instance()->Printf(kLogWarning,
                                           "[CConsoles::Ping]: Console limit of %zu reached; %s was not registered",
                                           m_options.maxConsoles, IpAddressToString(address).c_str());
            return nullptr;
        }
        AppLog::Instance()->Printf(kLogNotice,
                                   "[CConsoles::Ping]: Console limit of %zu reached; %s takes the row of %s",
                                   m_options.maxConsoles, IpAddressToString(address).c_str(),
                                   evicted->GetAddressText().c_str());
        RemoveLocked(evicted);
    }
    std::vector<uint8_t> row;
    try {
        row = BuildRecord(address, static_cast<uint32_t>(m_host.GetTrapPort()), deviceKeys);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    const uint32_t key = m_table.Add(row.data(), kDataKeyNew);
    if (key == 0 || key == kDataKeyFailed)
        return nullptr;
    std::shared_ptr<CConsoleEntry> entry;
    try {
        entry = std::make_shared<CConsoleEntry>("CONSOLE_" + std::to_string(address), m_options.keepAlivePeriodMs);
        m_entries.push_back(entry);
    } catch (const std::bad_alloc&) {
        AppLog::Instance()->Printf(kLogError, "[CConsoles::Ping]: Console entry allocation failed");
        return nullptr;
    }
    if (const uint8_t* stored = m_table.Find(key))
        entry->BuildFromRow(stored, m_strings);
    return entry;
}

std::shared_ptr<CConsoleEntry> CConsoles::ActivateEntry(uint32_t address)
{
    if (address == 0)
        return nullptr;
    std::shared_ptr<CConsoleEntry> entry;
    std::shared_ptr<CConsoleEntry> evicted;
    bool created = false;
    {
        MutexLock lock(m_mutex);
        if (m_closed)
            return nullptr;
        entry = FindLocked(address);
    }
    if (!entry) {
        // The device list is asked before the lock; the find and the registration are one step.
        const std::vector<uint32_t> keys = m_host.GetDeviceKeys();
        MutexLock lock(m_mutex);
        if (m_closed)
            return nullptr;
        entry = FindLocked(address);
        if (!entry) {
            entry = PingLocked(address, keys, evicted);
            created = entry != nullptr || evicted != nullptr;
        }
    }
    // The console that gave its row up stops, outside the registry's lock (its thread may take a while).
    if (evicted)
        evicted->Deactivate(true);
    if (created)
        Save();
    if (entry)
        entry->Activate();
    return entry;
}

int CConsoles::GetCount()
{
    MutexLock lock(m_mutex);
    return static_cast<int>(m_entries.size());
}

std::vector<std::shared_ptr<CConsoleEntry>> CConsoles::GetEntries()
{
    MutexLock lock(m_mutex);
    return m_entries;
}

bool CConsoles::CopyRow(uint32_t address, std::vector<uint8_t>& row)
{
    MutexLock lock(m_mutex);
    auto entry = FindLocked(address);
    const uint8_t* stored = entry ? RowLocked(*entry) : nullptr;
    if (!stored)
        return false;
    row.assign(stored, stored + RowWord(stored, kSize));
    return true;
}

uint8_t* CConsoles::RowLocked(const CConsoleEntry& entry)
{
    uint8_t* row = m_table.Find(entry.GetRowKey());
    // Every row in the table has its 128-byte fixed part (the load upgrades older ones).
    if (!row || RowWord(row, kSize) < kFixedSize || RowWord(row, kSlotOffset) != kFixedSize)
        return nullptr;
    return row;
}

int CConsoles::SelectedDeviceLocked(const CConsoleEntry& entry, int deviceCount)
{
    uint8_t* row = RowLocked(entry);
    if (!row)
        return 0;
    const uint32_t count = deviceCount > 0 ? static_cast<uint32_t>(deviceCount) : 0;
    uint32_t selected = RowWord(row, kSelectedDevice);
    if (selected > count || (selected == 0 && count > 0)) {
        selected = count > 0 ? 1 : 0;
        SetRowWord(row, kSelectedDevice, selected);
    }
    return static_cast<int>(selected);
}

int CConsoles::GetSelectedDevice(uint32_t requester)
{
    const int count = m_host.GetDeviceCount();
    MutexLock lock(m_mutex);
    auto entry = FindLocked(requester);
    if (!entry)
        return 1;
    return SelectedDeviceLocked(*entry, count);
}

int CConsoles::GetValue(uint32_t key, uint32_t requester, EngineValue& value)
{
    value = EngineValue();
    auto entry = ActivateEntry(requester);
    if (!entry)
        return 1;
    const int count = key == kKeySelectedDevice ? m_host.GetDeviceCount() : 0;
    MutexLock lock(m_mutex);
    uint8_t* row = RowLocked(*entry);
    if (!row)
        return 1;
    switch (key) {
    case kKeySelectedDevice:
        value = EngineValue::Integer(static_cast<uint32_t>(SelectedDeviceLocked(*entry, count)));
        break;
    case 0x85020009:
        value = EngineValue::Integer((RowWord(row, kSettingBytes) >> 8) & 0xFF);
        break;
    case 0x8502000A:
        value = EngineValue::Integer(RowWord(row, kValue18));
        break;
    case 0x8502000B:
        value = EngineValue::Text(FieldText(row, kDate19, kDateFieldBytes));
        break;
    case 0x8502000C:
        value = EngineValue::Text(FieldText(row, kDate22, kDateFieldBytes));
        break;
    case 0x8502000D: {
        const uint32_t code = RowWord(row, kCodes17) & 0xF;
        value = EngineValue::Integer(code <= 6 ? 1u << code : 0);
        break;
    }
    case 0x8502000E:
        value = EngineValue::Integer((RowWord(row, kCodes17) >> 4) & 0xF);
        break;
    case kKeyTrapPort:
        value = EngineValue::Integer(static_cast<uint32_t>(entry->GetTrapPort()));
        break;
    case 0x85020013:
        value = EngineValue::Integer(static_cast<uint32_t>(entry->GetAgentPort()));
        break;
    case 0x85020014:
        value = EngineValue::Text(entry->GetCommunity());
        break;
    default:
        break; // commands, the stored-only settings and unknown keys: INTEGER 0
    }
    return 1;
}

bool CConsoles::SetValue(uint32_t key, uint32_t requester, int type, const void* data, size_t length, bool* saved)
{
    auto entry = ActivateEntry(requester);
    if (!entry)
        return true;
    bool changed = false;
    {
        MutexLock lock(m_mutex);
        const uint8_t* row = RowLocked(*entry);
        const std::vector<uint8_t> before = row ? std::vector<uint8_t>(row, row + RowWord(row, kSize))
                                                : std::vector<uint8_t>();
        ApplyLocked(key, *entry, type, data, length);
        const uint8_t* after = RowLocked(*entry);
        changed = !after || RowWord(after, kSize) != before.size() ||
                  std::memcmp(after, before.data(), before.size()) != 0;
    }
    // A changed setting is acknowledged only once it is on disk.
    if (changed && Save() == 0) {
        if (saved)
            *saved = false;
        return false;
    }
    return true;
}

void CConsoles::ApplyLocked(uint32_t key, CConsoleEntry& entry, int type, const void* data, size_t length)
{
    uint8_t* row = RowLocked(entry);
    if (!row)
        return;
    const bool isText = type == kValueOctetString && (data || length == 0);
    const char* text = static_cast<const char*>(data);
    uint32_t number = 0;
    const bool isNumber = ReadInteger(type, data, length, number);
    const int32_t signedNumber = static_cast<int32_t>(number);

    auto storeDate = [&](int word) {
        if (isText && IsValidDateText(text, length))
            StoreField(row, word, kDateFieldBytes, text, length);
    };
    auto storeTime = [&](int word) {
        if (isText && IsValidTimeText(text, length))
            StoreField(row, word, kTimeFieldBytes, text, length);
    };
    auto setByte = [&](int shift) {
        if (isNumber)
            SetRowWord(row, kSettingBytes, (RowWord(row, kSettingBytes) & ~(0xFFu << shift)) | (number & 0xFF) << shift);
    };

    switch (key) {
    case kKeySelectedDevice:
        if (isNumber)
            SetRowWord(row, kSelectedDevice, number);
        break;
    case 0x85020007: // command 1
    case 0x85020008: // command 2
    case 0x85020016: // command 4
        entry.Wake();
        break;
    case 0x85020015: // command 3
        if (isNumber && number == 1)
            entry.Wake();
        break;
    case 0x85020009:
        setByte(8);
        break;
    case 0x85020017:
        setByte(0);
        break;
    case 0x8502000A:
        if (isNumber && signedNumber >= 1 && signedNumber <= 1000)
            SetRowWord(row, kValue18, number);
        break;
    case 0x85020018:
        if (isNumber && signedNumber > 0)
            SetRowWord(row, kValue10, static_cast<uint32_t>(std::min(signedNumber, 1000)));
        break;
    case 0x8502000B:
        storeDate(kDate19);
        break;
    case 0x8502000C:
        storeDate(kDate22);
        break;
    case 0x85020019:
        storeDate(kDate11);
        break;
    case 0x8502001A:
        storeDate(kDate14);
        break;
    case 0x8502001B:
        storeTime(kTime28);
        break;
    case 0x8502001C:
        storeTime(kTime30);
        break;
    case 0x8502000D:
        if (isNumber) {
            uint32_t code = 0;
            for (uint32_t c = 0; c <= 6; ++c)
                if (number == (1u << c))
                    code = c;
            SetRowWord(row, kCodes17, (RowWord(row, kCodes17) & ~0xFu) | code);
        }
        break;
    case 0x8502000E:
        if (isNumber)
            SetRowWord(row, kCodes17, (RowWord(row, kCodes17) & ~0xF0u) | (number & 0xF) << 4);
        break;
    case kKeyTrapPort:
        if (isNumber) {
            SetRowWord(row, kTrapPort, number);
            entry.SetTrapPort(static_cast<int>(number));
        }
        break;
    case 0x85020013:
        if (isNumber) {
            SetRowWord(row, kAgentPort, number);
            entry.SetAgentPort(static_cast<int>(number));
        }
        break;
    case 0x85020014:
        // A community with a NUL in it is refused, not cut.
        if (isText && length < kMaxCommunityText && (!text || strnlen(text, length) == length)) {
            const std::string community(text ? text : "", text ? strnlen(text, length) : 0);
            const uint32_t stringKey =
                community.empty() ? 0 : m_strings.AddString(community.c_str(), static_cast<uint32_t>(community.size()),
                                                             kDataKeyNew);
            if (stringKey == kDataKeyFailed)
                break;
            const uint32_t oldKey = RowWord(row, kCommunityKey);
            SetRowWord(row, kCommunityKey, stringKey);
            entry.SetCommunity(community);
            // A text no row refers to any more goes, so that a console changing its community again
            // and again does not grow the file.
            if (oldKey != 0 && oldKey != stringKey) {
                bool used = false;
                for (size_t at = m_table.FirstEntryOffset(); at && !used; at = m_table.NextEntryOffset(at))
                    used = RowWord(m_table.GetBlock() + at, kCommunityKey) == oldKey;
                if (!used)
                    m_strings.Remove(oldKey);
            }
        }
        break;
    default:
        break; // 0x8502000F, 0x85020010, 0x85020012 and unknown keys: nothing
    }
}

void CConsoles::SendValueNotification(const std::vector<uint32_t>& oid, uint32_t trapId, const EngineValue& value)
{
    TrapVarbind varbind;
    varbind.oid = oid;
    varbind.syntax = value.type;
    varbind.integer = static_cast<int32_t>(value.integer);
    varbind.octets = value.bytes;
    SendTrap(TrapOid(trapId), static_cast<int>(trapId), {varbind});
}

void CConsoles::SendNotification(const std::vector<uint32_t>& oid, uint32_t trapId, const EngineValue& value)
{
    TrapVarbind varbind;
    varbind.oid = oid;
    varbind.syntax = kTrapSyntaxInteger;
    varbind.integer = static_cast<int32_t>(value.integer);
    SendTrap(TrapOid(trapId), static_cast<int>(trapId), {varbind});
}

void CConsoles::SendTrap(const std::vector<uint32_t>& trapOid, int specific, const std::vector<TrapVarbind>& varbinds,
                         const std::shared_ptr<CConsoleEntry>& console)
{
    FanOut fanOut;
    if (console) {
        fanOut.targets.push_back(console);
    } else {
        MutexLock lock(m_mutex);
        fanOut.targets = m_entries;
    }
    if (!m_host.GetTrapSender() || fanOut.targets.empty())
        return;

    TrapData& trap = fanOut.trap;
    trap.engine = kTrapName;
    trap.version = 0;
    trap.agent = m_host.GetEngineName();
    trap.type = 6;
    trap.specific = specific;
    trap.trapOid = trapOid;
    trap.varbinds = varbinds;
    trap.port = m_host.GetTrapPort();
    trap.community = m_host.GetCommunity().substr(0, kMaxTrapCommunity);

    if (m_options.deferFanOut && m_options.deferFanOut())
        Defer(std::move(fanOut));
    else
        Deliver(fanOut);
}

void CConsoles::SendOne(CConsoleEntry& entry, TrapData& trap)
{
    ITrapSender* sender = m_host.GetTrapSender();
    if (!sender)
        return;
    trap.peername = entry.GetAddressText();
    trap.port = entry.GetTrapPort();
    try {
        sender->SendTrap(trap);
    } catch (const std::exception& e) {
        AppLog::Instance()->Printf(kLogError, "[CConsoles::SendTrap]: trap to %s failed: %s", trap.peername.c_str(),
                                   e.what());
    } catch (...) {
        AppLog::Instance()->Printf(kLogError, "[CConsoles::SendTrap]: trap to %s failed", trap.peername.c_str());
    }
}

void CConsoles::Deliver(FanOut& fanOut)
{
    for (const auto& entry : fanOut.targets) {
        if (!entry->IsActive())
            continue;
        SendOne(*entry, fanOut.trap);
        SleepMs(m_options.fanOutSpacingMs);
    }
}

bool SupersedesNotice(const TrapData& queued, const TrapData& later)
{
    if (queued.trapOid != later.trapOid || queued.varbinds.size() != later.varbinds.size())
        return false;
    bool sameValues = true;
    for (size_t i = 0; i < queued.varbinds.size(); ++i) {
        const TrapVarbind& a = queued.varbinds[i];
        const TrapVarbind& b = later.varbinds[i];
        if (a.oid != b.oid)
            return false;
        sameValues = sameValues && a.syntax == b.syntax && a.hasValue == b.hasValue && a.integer == b.integer &&
                     a.octets == b.octets && a.objectId == b.objectId;
    }
    // A value notice tells the latest value of its objects, and a list-changed notice makes a console
    // read its list again whatever its value says; any other notice replaces only its exact repeat.
    return sameValues || later.specific == kValueChangedTrap || later.specific == kListChangedTrap;
}

// Sends the handed-over notices. Each notice walks its consoles in registration order, 50 ms between
// one console and the next; each console gets its notices in the order they were handed over, 50 ms
// apart (from the end of one send to that console to the start of the next). Walks overlap: while one
// notice goes on to the next consoles, the next notice may already go to the first, so every console
// can be sent a notice every 50 ms however many consoles there are.
class CConsoles::FanOutThread : public VigilonThread {
public:
    explicit FanOutThread(CConsoles& owner) : VigilonThread("ConsoleFanOutThread#"), m_owner(owner) {}
    ~FanOutThread() override
    {
        Stop();
        WaitForEnd();
    }

protected:
    void main() override
    {
        AppLog::Instance()->Printf(kLogDebug, "Entering CConsoles fan-out thread ( %s )", GetName());
        int waitMs = -1;
        while (WaitForWork(waitMs)) {
            for (;;) {
                Pending item;
                std::shared_ptr<CConsoleEntry> entry;
                waitMs = m_owner.NextNotice(entry, item);
                if (!item.walk)
                    break;
                const bool send = entry->IsActive();
                if (send)
                    SendCatching(*entry, *item.walk->notice);
                // Whatever became of the send: the walk goes on to its next console.
                m_owner.NoticeDone(*entry, item, send);
                if (!CheckRunning())
                    break;
            }
            if (!CheckRunning())
                break;
        }
        AppLog::Instance()->Printf(kLogDebug, "Leaving CConsoles fan-out thread ( %s )", GetName());
    }

private:
    // A notice that fails in any way costs that console this notice only, never the thread.
    void SendCatching(CConsoleEntry& entry, const TrapData& notice)
    {
        try {
            TrapData trap = notice;
            m_owner.SendOne(entry, trap);
        } catch (const std::exception& e) {
            AppLog::Instance()->Printf(kLogError, "[CConsoles::FanOutThread]: a notice to %s failed: %s",
                                       entry.GetAddressText().c_str(), e.what());
        } catch (...) {
            AppLog::Instance()->Printf(kLogError, "[CConsoles::FanOutThread]: a notice to %s failed",
                                       entry.GetAddressText().c_str());
        }
    }

    CConsoles& m_owner;
};

void CConsoles::Walk::Done(size_t position)
{
    done[position] = true;
    while (firstPending < done.size() && done[firstPending])
        ++firstPending;
}

int CConsoles::NextNotice(std::shared_ptr<CConsoleEntry>& entry, Pending& item)
{
    MutexLock lock(m_fanOutMutex);
    const auto now = FanOutClock::now();
    const auto spacing = std::chrono::milliseconds(m_options.fanOutSpacingMs);
    Outbox* next = nullptr;
    FanOutClock::time_point nextDue;
    for (auto it = m_outboxes.begin(); it != m_outboxes.end();) {
        if (it->items.empty() && !it->entry->IsActive()) {
            it = m_outboxes.erase(it);  // a console gone quiet keeps no outbox
            continue;
        }
        if (!it->items.empty()) {
            const Walk& walk = *it->items.front().walk;
            // Its walk must have passed the consoles before this one.
            if (walk.firstPending == it->items.front().position) {
                const auto due = walk.sentAny ? std::max(it->nextDue, walk.lastSent + spacing) : it->nextDue;
                if (!next || due < nextDue) {
                    next = &*it;
                    nextDue = due;
                }
            }
        }
        ++it;
    }
    if (!next)
        return -1;
    if (nextDue > now)
        return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(nextDue - now).count() + 1);
    entry = next->entry;
    item = std::move(next->items.front());
    next->items.pop_front();
    --m_deferredCount;
    return 0;
}

void CConsoles::NoticeDone(const CConsoleEntry& entry, const Pending& item, bool sent)
{
    MutexLock lock(m_fanOutMutex);
    item.walk->Done(item.position);
    if (!sent)
        return;
    const auto now = FanOutClock::now();
    item.walk->lastSent = now;
    item.walk->sentAny = true;
    for (Outbox& box : m_outboxes)
        if (box.entry.get() == &entry)
            box.nextDue = now + std::chrono::milliseconds(m_options.fanOutSpacingMs);
}

void CConsoles::Defer(FanOut fanOut)
{
    std::vector<std::shared_ptr<CConsoleEntry>> targets;
    for (const auto& entry : fanOut.targets)
        if (entry->IsActive())
            targets.push_back(entry);
    if (targets.empty())
        return;
    auto walk = std::make_shared<Walk>();
    walk->notice = std::make_shared<const TrapData>(std::move(fanOut.trap));
    walk->done.assign(targets.size(), false);
    MutexLock lock(m_fanOutMutex);
    for (size_t position = 0; position < targets.size(); ++position) {
        const auto& entry = targets[position];
        auto box = std::find_if(m_outboxes.begin(), m_outboxes.end(),
                                [&](const Outbox& b) { return b.entry == entry; });
        if (box == m_outboxes.end()) {
            m_outboxes.push_back(Outbox{entry, {}, {}});
            box = m_outboxes.end() - 1;
        }
        // A console waits for at most one notice of each object: the older one gives way. A value notice
        // takes its place, so the latest value (the countdown above all) never queues behind what came
        // since; any other goes last, so that a list read again never comes before notices made earlier.
        auto old = std::find_if(box->items.begin(), box->items.end(), [&](const Pending& queued) {
            return SupersedesNotice(*queued.walk->notice, *walk->notice);
        });
        if (old != box->items.end()) {
            old->walk->Done(old->position);
            if (walk->notice->specific == kValueChangedTrap) {
                *old = Pending{walk, position};
            } else {
                box->items.erase(old);
                box->items.push_back(Pending{walk, position});
            }
            continue;
        }
        if (box->items.size() >= kMaxNoticeBacklog) {
            // Full, and nothing this notice replaces: it is dropped for this console (it still reads
            // every value at its next refresh).
            walk->Done(position);
            if (m_noticesDropped++ % 100 == 0)
                AppLog::Instance()->Printf(kLogWarning,
                                           "[CConsoles::SendTrap]: %zu notices waiting for %s; trap %d dropped "
                                           "(%llu so far)",
                                           box->items.size(), entry->GetAddressText().c_str(), walk->notice->specific,
                                           static_cast<unsigned long long>(m_noticesDropped));
            continue;
        }
        box->items.push_back(Pending{walk, position});
        ++m_deferredCount;
    }
    // One thread for every hand-over, started with the first (a Start finds it running after that).
    if (!m_fanOutThread)
        m_fanOutThread = std::make_unique<FanOutThread>(*this);
    if (!m_fanOutThread->Start()) {
        AppLog::Instance()->Log(kLogError, "[CConsoles::SendTrap]: the fan-out thread could not be started");
        return;
    }
    m_fanOutThread->Signal();
}

size_t CConsoles::GetDeferredCount()
{
    MutexLock lock(m_fanOutMutex);
    return m_deferredCount;
}

void CConsoles::StopFanOutThread()
{
    std::unique_ptr<FanOutThread> thread;
    {
        MutexLock lock(m_fanOutMutex);
        thread = std::move(m_fanOutThread);
        m_outboxes.clear();
        m_deferredCount = 0;
    }
    thread.reset(); // stops it and waits for its end, outside the lock it takes
}
