#include "engine/remote/RemoteAgentTable.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "engine/base/AppLog.h"
#include "engine/base/Helpers.h"
#include "engine/core/config/ConfigFileInterface.h"
#include "engine/core/config/IniFile.h"
#include "engine/core/data/DataArchive.h"
#include "engine/core/data/StringTable.h"

namespace {

constexpr uint32_t kMinRowSize = 36;  // words 0-8: the rows of files up to build 39
constexpr int32_t kListChangedSelection = 6;

uint32_t DecimalWord(const std::string& text)
{
    return static_cast<uint32_t>(std::strtoll(text.c_str(), nullptr, 10));
}

} // namespace

void RemoteAgentRow::ToBytes(uint8_t* out) const
{
    const uint32_t* words = &entrySize;
    for (uint32_t i = 0; i < kWords; ++i)
        StoreWord(out + 4 * i, words[i]);
}

RemoteAgentRow RemoteAgentRow::FromBytes(const uint8_t* row, size_t size)
{
    RemoteAgentRow r;
    uint32_t* words = &r.entrySize;
    for (uint32_t i = 0; i < kWords; ++i)
        words[i] = 4 * i + 4 <= size ? LoadWord(row + 4 * i) : 0;
    return r;
}

size_t CRemoteAgentTable::MaxTextLength(uint32_t column)
{
    switch (column) {
    case 3: return 15;   // dotted IPv4
    case 5: return 63;   // the client session's limit
    case 10: return 17;  // six pairs and five separators
    case 11: return 255;
    default: return 0;
    }
}

CRemoteAgentTable::CRemoteAgentTable(CStringTable* strings, IRemoteTableOwner* owner) : m_strings(strings), m_owner(owner)
{
}

CRemoteAgentTable::~CRemoteAgentTable() = default;

bool CRemoteAgentTable::CheckEntry(const uint8_t* entry, size_t) const
{
    return EntryWord(entry, 0) >= kMinRowSize && EntryWord(entry, 0) % 4 == 0 && EntryWord(entry, 3) == 0;
}

bool CRemoteAgentTable::CheckBlock() const
{
    return GetWord(0) >= kTableHeadSize && CheckEntries(kMinRowSize);
}

int CRemoteAgentTable::GetCount()
{
    DataHeaderLock lock(*this, DataHeaderLock::kRead);
    return HasBlock() && GetSize() >= static_cast<int>(kTableHeadSize) ? static_cast<int>(GetWord(4) & 0x7FFFFFFF) : 0;
}

uint32_t CRemoteAgentTable::Add(uint8_t* row, uint32_t key, bool* replaced)
{
    return AddCounted(row, key, replaced);
}

bool CRemoteAgentTable::Remove(uint32_t key)
{
    return RemoveAndRenumber(key);
}

bool CRemoteAgentTable::ReadFileBlock(const std::string& path, uint32_t blockKey)
{
    const bool read = CDataHeader::ReadFileBlock(path, blockKey);
    m_loadedFromFile = read && HasBlock();
    DataHeaderLock lock(*this);
    bool ok = true;
    if (!HasBlock()) {
        ok = CreateEmptyTable(blockKey);
    } else {
        // Keys of an untrusted file: row n is 0xA8100000 + n whatever the file said.
        uint8_t* block = GetBlock();
        uint32_t n = 0;
        for (size_t at = FirstEntryOffset(); at; at = NextEntryOffset(at))
            StoreWord(block + at + 4, kRemoteRowKeyBase + ++n);
    }
    if (ok)
        SetLastKey(kRemoteRowKeyBase + GetWord(4));
    lock.unlock();
    if (!ok)
        AppLog::Instance()->Log(kLogError, "[CRemoteAgentTable::ReadFileBlock]: Memory was not allocated for new block");
    return ok;
}

void CRemoteAgentTable::Serialize(CDataArchive& ar)
{
    CDataHeader::Serialize(ar);
    if (!ar.IsLoading() || ar.IsFailed() || IsDataVersionNewer(GetVersion(), 0x28))
        return;
    // A file before build 40 held words 0-8 only: whatever follows in a longer row is not ours.
    for (size_t at = FirstEntryOffset(); at; at = NextEntryOffset(at)) {
        uint8_t* row = GetBlock() + at;
        for (uint32_t word = 9; word < RemoteAgentRow::kWords && 4 * word + 4 <= LoadWord(row); ++word)
            SetEntryWord(row, static_cast<int>(word), 0);
    }
}

bool CRemoteAgentTable::NeedsResize()
{
    DataHeaderLock lock(*this, DataHeaderLock::kRead);
    bool needs = false;
    if (HasBlock()) {
        needs = GetWord(0) != kTableHeadSize;
        for (size_t at = FirstEntryOffset(); at && !needs; at = NextEntryOffset(at))
            needs = LoadWord(GetBlock() + at) != RemoteAgentRow::kSize;
    }
    return needs;
}

bool CRemoteAgentTable::Relayout()
{
    DataHeaderLock lock(*this);
    bool ok = Resize(kTableHeadSize, RemoteAgentRow::kSize, static_cast<int>(GetWord(4)));
    if (ok && HasBlock()) {
        uint8_t* block = GetBlock();
        uint32_t n = 0;
        for (size_t at = FirstEntryOffset(); at; at = NextEntryOffset(at))
            StoreWord(block + at + 4, kRemoteRowKeyBase + ++n);
        SetWord(4, n);
        SetLastKey(kRemoteRowKeyBase + n);
    }
    return ok;
}

uint32_t CRemoteAgentTable::AddRow(RemoteAgentRow& row)
{
    row.entrySize = RemoteAgentRow::kSize;
    row.reserved = 0;
    row.payload = 0;
    uint8_t bytes[RemoteAgentRow::kSize];
    row.ToBytes(bytes);
    const uint32_t key = AppendNumbered(bytes, kRemoteTableBlockKey, kMaxRows);
    if (key != kDataKeyFailed)
        row.key = key;
    return key;
}

uint32_t CRemoteAgentTable::AddEmptyRow()
{
    RemoteAgentRow row;
    return AddRow(row);
}

uint8_t* CRemoteAgentTable::RowLocked(uint32_t rowNumber)
{
    if (!HasBlock() || rowNumber == 0 || rowNumber > GetWord(4))
        return nullptr;
    size_t at = FirstEntryOffset();
    for (uint32_t i = 1; at && i < rowNumber; ++i)
        at = NextEntryOffset(at);
    if (!at || LoadWord(GetBlock() + at) < RemoteAgentRow::kSize ||
        at + RemoteAgentRow::kSize > static_cast<size_t>(GetSize()))
        return nullptr;
    return GetBlock() + at;
}

uint8_t* CRemoteAgentTable::RowByKeyLocked(uint32_t key)
{
    if (key <= kRemoteRowKeyBase)
        return nullptr;
    uint8_t* row = RowLocked(key - kRemoteRowKeyBase);
    return row && LoadWord(row + 4) == key ? row : nullptr;
}

bool CRemoteAgentTable::GetRow(uint32_t rowNumber, RemoteAgentRow& out)
{
    DataHeaderLock lock(*this, DataHeaderLock::kRead);
    uint8_t* row = RowLocked(rowNumber);
    if (row)
        out = RemoteAgentRow::FromBytes(row, RemoteAgentRow::kSize);
    return row != nullptr;
}

bool CRemoteAgentTable::GetRowByKey(uint32_t key, RemoteAgentRow& out)
{
    DataHeaderLock lock(*this, DataHeaderLock::kRead);
    uint8_t* row = RowByKeyLocked(key);
    if (row)
        out = RemoteAgentRow::FromBytes(row, RemoteAgentRow::kSize);
    return row != nullptr;
}

bool CRemoteAgentTable::UpdateRow(uint32_t key, const std::function<void(RemoteAgentRow&)>& change)
{
    DataHeaderLock lock(*this);
    uint8_t* row = RowByKeyLocked(key);
    if (row) {
        RemoteAgentRow r = RemoteAgentRow::FromBytes(row, RemoteAgentRow::kSize);
        change(r);
        // The identity words stay.
        r.entrySize = RemoteAgentRow::kSize;
        r.key = key;
        r.reserved = 0;
        r.payload = 0;
        r.ToBytes(row);
    }
    return row != nullptr;
}

std::string CRemoteAgentTable::CopyText(uint32_t stringKey)
{
    if (!m_strings || !stringKey)
        return std::string();
    std::string text = m_strings->GetText(stringKey);
    return text.substr(0, strnlen(text.c_str(), text.size()));
}

uint32_t CRemoteAgentTable::AddText(const std::string& text)
{
    if (!m_strings || text.empty() || text.size() >= 0xFFFF)
        return 0;
    return m_strings->AddString(text, kDataKeyNew);
}

bool CRemoteAgentTable::IsValidMacText(const std::string& text)
{
    if (text.size() != 17)
        return false;
    for (size_t i = 0; i < 17; ++i) {
        if (i % 3 == 2) {
            if (text[i] != ':' && text[i] != '-')
                return false;
        } else if (!std::isxdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

EngineValue CRemoteAgentTable::GetValue(uint32_t key, uint32_t /*requester*/)
{
    EngineValue answer = EngineValue::Integer(0);
    if (key == kRemoteForwardedTrapKey)
        return EngineValue::Text(std::string());
    const uint32_t rowNumber = key & 0xFFF;
    const uint32_t column = (key >> 12) & 0xF;
    RemoteAgentRow row;
    if (column < 1 || column > 12 || !GetRow(rowNumber, row))
        return answer;
    switch (column) {
    case 1: answer.integer = rowNumber; break;
    case 2: answer.integer = row.IsEnabled() ? 1 : 2; break;
    case 3: answer = EngineValue::Text(CopyText(row.address)); break;
    case 4: answer.integer = row.VersionCode(); break;
    case 5: answer = EngineValue::Text(CopyText(row.community)); break;
    case 6: answer.integer = row.port; break;
    case 7: answer.integer = row.trapPort; break;
    case 8: answer.integer = row.StatusCode(); break;
    case 9: answer = EngineValue::Text(CopyText(row.versionText)); break;
    case 10: answer = EngineValue::Text(CopyText(row.mac)); break;
    case 11: answer = EngineValue::Text(CopyText(row.serverName)); break;
    case 12: answer.integer = row.deviceSelection; break;
    default: break;
    }
    return answer;
}

int CRemoteAgentTable::Save()
{
    return m_owner ? m_owner->SaveDataFile() : 1;
}

bool CRemoteAgentTable::SetRowStatus(uint32_t rowNumber, int32_t value)
{
    RemoteAgentRow row;
    if (!GetRow(rowNumber, row))
        return false;
    const bool wasEnabled = row.IsEnabled();
    auto enable = [&](bool on) {
        UpdateRow(row.key, [on](RemoteAgentRow& r) {
            r.flags = on ? r.flags | kRemoteRowEnabled : r.flags & ~kRemoteRowEnabled;
        });
    };
    // A change of a row that is or becomes enabled is acknowledged only once it is on disk; one that
    // cannot be saved is taken back here and answers false.
    if (value == 2 || value == 3 || value == 5) {
        enable(false);
        if (wasEnabled && Save() == 0) {
            enable(true);
            return false;
        }
        return true;
    }
    if (value != 1 && value != 4)
        return true;  // nothing changes
    enable(true);
    // Saved before a new agent is monitored, so that a save that fails leaves nothing to undo.
    if (Save() == 0) {
        if (!wasEnabled)
            enable(false);
        return false;
    }
    // A row whose agent is monitored already is only enabled: it keeps its agent and its place.
    if (m_owner && m_owner->HasEntry(row.key))
        return true;
    row.flags |= kRemoteRowEnabled;
    if (m_owner && !m_owner->AddAgent(row, rowNumber)) {
        Remove(row.key);
        m_owner->OnActivationFailed(rowNumber);
        // The file loses the row it was just given.
        Save();
        return false;
    }
    return true;
}

bool CRemoteAgentTable::SetValue(uint32_t key, uint32_t requester, int type, const void* data, size_t length)
{
    if (key == kRemoteForwardedTrapKey) {
        if (m_owner && data)
            m_owner->QueueForwardedTrap(requester, std::string(static_cast<const char*>(data), strnlen(static_cast<const char*>(data), length)));
        return true;
    }
    const uint32_t rowNumber = key & 0xFFF;
    const uint32_t column = (key >> 12) & 0xF;
    RemoteAgentRow row;
    if (!GetRow(rowNumber, row) || column < 2 || column > 12 || column == 8 || column == 9)
        return false;

    const bool isText = column == 3 || column == 5 || column == 10 || column == 11;
    std::string text;
    int32_t integer = 0;
    if (isText) {
        if (length && !data)
            return false;
        if (data)
            text.assign(static_cast<const char*>(data), strnlen(static_cast<const char*>(data), length));
        if (text.size() > MaxTextLength(column))
            return false;
        uint32_t address = 0;
        if (column == 3 && !text.empty() && !ParseIpv4(text.c_str(), address))
            return false;
        // A community is a secret: one with a NUL in it is refused, not cut.
        if (column == 5 && (!IsIniValueSafe(text) || text.size() != length))
            return false;
        if (column == 10 && !text.empty() && !IsValidMacText(text))
            return false;
    } else {
        (void)type;
        if (!data || length < sizeof integer)
            return false;
        std::memcpy(&integer, data, sizeof integer);
    }

    switch (column) {
    case 2:
        return SetRowStatus(rowNumber, integer);
    case 3: {
        const uint32_t textKey = AddText(text);
        std::string mac;
        const bool found = !text.empty() && m_owner && m_owner->LookUpMac(text, mac) && IsValidMacText(mac);
        const uint32_t macKey = found ? AddText(mac) : 0;
        UpdateRow(row.key, [&](RemoteAgentRow& r) {
            r.address = textKey;
            if (found)
                r.mac = macKey;
        });
        break;
    }
    case 4:
        if (integer < 0 || integer > 2)
            return false;
        UpdateRow(row.key, [&](RemoteAgentRow& r) {
            r.flags = (r.flags & ~kRemoteRowVersionMask) | static_cast<uint32_t>(integer) << 4;
        });
        break;
    case 5:
    case 10:
    case 11: {
        const uint32_t textKey = AddText(text);
        UpdateRow(row.key, [&](RemoteAgentRow& r) {
            (column == 5 ? r.community : column == 10 ? r.mac : r.serverName) = textKey;
        });
        break;
    }
    case 6:
    case 7:
        UpdateRow(row.key, [&](RemoteAgentRow& r) { (column == 6 ? r.port : r.trapPort) = static_cast<uint32_t>(integer); });
        break;
    case 12:
        UpdateRow(row.key, [&](RemoteAgentRow& r) { r.deviceSelection = static_cast<uint32_t>(integer); });
        if (!row.IsEnabled())
            return true;
        if (m_owner)
            m_owner->SendListChanged(kListChangedSelection);
        break;
    default:
        return false;
    }
    // An enabled row's change is acknowledged only once it is on disk (a failed save answers false:
    // the MIB writes the old value back).
    RemoteAgentRow now;
    if (GetRowByKey(row.key, now) && now.IsEnabled())
        return Save() != 0;
    return true;
}

void CRemoteAgentTable::SetConfigurationValues()
{
    AppLog* log = AppLog::Instance();
    if (m_loadedFromFile) {
        log->Log(kLogDebug, "[CRemoteAgentTable::SetConfigurationValues] data retrieved from .dat file");
        return;
    }
    if (!HasBlock()) {
        log->Log(kLogError, "[CRemoteAgentTable::SetConfigurationValues] called with null table!");
        return;
    }
    const std::string path = genericConfigFileInterface::GetEngineIniPath();
    for (const char* section : {"[VG_Remote]", "[VG_Remote_2]"}) {
        CIniFile ini;
        if (!path.empty() && !FileExists(path.c_str())) {
            // No INI is the normal first start: there is simply nothing to import.
            log->Printf(kLogInfo, "[CRemoteAgentTable::SetConfigurationValues] no configuration file '%s'; no "
                        "remote agents to import", path.c_str());
            return;
        }
        if (path.empty() || !ini.Open(path.c_str())) {
            log->Printf(kLogError, "[CRemoteAgentTable::SetConfigurationValues] failed to open configuration file '%s'",
                        path.c_str());
            return;
        }
        if (!ini.SeekSection(section))
            continue;
        // An imported agent is monitored like one made active over SNMP: its row is enabled, so it
        // reads active and the SETs of its columns are saved.
        RemoteAgentRow row;
        row.flags = kRemoteRowEnabled;
        std::string address, mac, community;
        while (ini.ReadNextKey()) {
            const std::string& value = ini.GetValue();
            if (ini.IsKey("Server"))
                address = value;
            else if (ini.IsKey("SNMPMacAddress"))
                mac = value;
            else if (ini.IsKey("SNMPVersion"))
                row.flags = (row.flags & ~kRemoteRowVersionMask) | (DecimalWord(value) & 0xF) << 4;
            else if (ini.IsKey("SNMPCommunity"))
                community = value;
            else if (ini.IsKey("SNMPPort"))
                row.port = DecimalWord(value);
            else if (ini.IsKey("SNMPTrapPort"))
                row.trapPort = DecimalWord(value);
        }
        ini.Close();
        uint32_t parsed = 0;
        if (address.empty())
            continue;
        if (address.size() > MaxTextLength(3) || !ParseIpv4(address.c_str(), parsed) ||
            community.size() > MaxTextLength(5) || row.VersionCode() > 2) {
            log->Printf(kLogError, "[CRemoteAgentTable::SetConfigurationValues] section %s skipped: its address, "
                        "community or version cannot be used", section);
            continue;
        }
        if (mac.empty() || mac == "00:00:00:00:00:00" || !IsValidMacText(mac)) {
            mac.clear();
            std::string found;
            if (m_owner && m_owner->LookUpMac(address, found) && IsValidMacText(found))
                mac = found;
            else
                log->Printf(kLogError, "[CRemoteAgentTable::SetConfigurationValues] failed to find MAC address for %s",
                            address.c_str());
        }
        if (mac.empty())
            continue;
        row.address = AddText(address);
        row.mac = AddText(mac);
        row.community = AddText(community);
        if (AddRow(row) == kDataKeyFailed)
            continue;
        if (m_owner && !m_owner->AddAgent(row, 0))
            Remove(row.key);
        Save();
    }
}

void CRemoteAgentTable::WriteSection(std::ostream& out, int number, const std::string& address, const std::string& mac,
                                     uint32_t versionCode, const std::string& community, uint32_t port,
                                     uint32_t trapPort)
{
    out << "[VG_Remote";
    if (number > 1)
        out << "_" << number;
    out << "]\n";
    out << "Server=" << address << "\nSNMPMacAddress=" << mac << "\nSNMPVersion=" << versionCode
        << "\nSNMPCommunity=" << community << "\nSNMPPort=" << port << "\nSNMPTrapPort=" << (trapPort & 0xFFFF)
        << "\n";
}
