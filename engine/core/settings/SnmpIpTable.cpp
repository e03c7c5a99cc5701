#include "engine/core/settings/SnmpIpTable.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/base/AppLog.h"
#include "engine/core/data/BlockWords.h"
#include "engine/core/config/ConfigFileInterface.h"
#include "engine/core/data/DataArchive.h"
#include "engine/core/interfaces/EngineHooks.h"
#include "engine/base/Helpers.h"
#include "engine/core/config/IniFile.h"
#include "engine/core/data/StringTable.h"

namespace {

// E.14.2.2 (E = 1.3.6.1.4.1.64950): the trap-destination table in list-change traps, and the prefix of
// its cells E.14.2.2.1.column.row in value-change traps.
constexpr uint32_t kTableOid[] = {1, 3, 6, 1, 4, 1, 64950, 14, 2, 2};
constexpr size_t kTableOidLength = sizeof kTableOid / sizeof kTableOid[0];

constexpr int32_t kListChangedRowRemoved = 6;
constexpr int32_t kListChangedRowEnabled = 0;

// The leading decimal number of an import field as the 32-bit word it is stored in. A negative number
// keeps its two's-complement word and a larger one is cut to the largest word, so that a stored value,
// exported as its unsigned decimal, reads back as the same word.
uint32_t LeadingInteger(const std::string& text)
{
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value > static_cast<long long>(UINT32_MAX))
        value = UINT32_MAX;
    if (value < INT_MIN)
        value = INT_MIN;
    return static_cast<uint32_t>(value);
}

} // namespace

CSnmpIpTable::CSnmpIpTable(EngineHooks* hooks, CStringTable* strings)
    : m_hooks(hooks), m_strings(strings), m_rowsMutex("SnmpIpTableRowsMutex#")
{
}

CSnmpIpTable::~CSnmpIpTable() = default;

bool CSnmpIpTable::CheckBlock() const
{
    const uint8_t* block = GetBlock();
    return block && GetSize() >= static_cast<int>(kTableHeadSize) && LoadWord(block) >= kTableHeadSize &&
           CheckEntries(kEntryHeadSize);
}

void CSnmpIpTable::Serialize(CDataArchive& ar)
{
    CDataHeader::Serialize(ar);
}

int CSnmpIpTable::GetCount()
{
    DataHeaderLock lock(*this, DataHeaderLock::kRead);
    const uint8_t* block = GetBlock();
    if (block && GetSize() >= static_cast<int>(kTableHeadSize))
        return static_cast<int>(LoadWord(block + 16) & 0x7FFFFFFF);
    return m_items.GetCount();
}

int CSnmpIpTable::NormaliseLocked(uint32_t blockKey)
{
    const uint8_t* block = GetBlock();
    if (!block)
        return 0;
    // Enabled rows, in order; CheckBlock has made sure the walk stays inside the block.
    std::vector<std::pair<size_t, size_t>> kept; // offset, bytes to keep
    int dropped = 0;
    for (size_t offset = FirstEntryOffset(); offset; offset = NextEntryOffset(offset)) {
        const uint8_t* row = block + offset;
        size_t size = static_cast<size_t>(LoadWord(row)) + LoadWord(row + 12);
        size_t keep = size < kTrapDestinationRowSize ? size : kTrapDestinationRowSize;
        uint32_t flags = keep >= 4 * (TrapDestinationWord::kFlags + 1) ? LoadWord(row + 4 * TrapDestinationWord::kFlags) : 0;
        if (!(flags & kTrapDestinationEnabled)) {
            ++dropped;
            continue;
        }
        kept.emplace_back(offset, keep);
    }
    const size_t n = kept.size();
    const size_t newSize = kTableHeadSize + n * kTrapDestinationRowSize;
    bool sameLayout = dropped == 0 && static_cast<size_t>(GetSize()) == newSize && LoadWord(block) == kTableHeadSize &&
                      LoadWord(block + 4) == blockKey && LoadWord(block + 8) == kTableHeadSize;
    for (size_t i = 0; sameLayout && i < n; ++i)
        sameLayout = kept[i].first == kTableHeadSize + i * kTrapDestinationRowSize &&
                     LoadWord(block + kept[i].first) == kTrapDestinationRowSize &&
                     LoadWord(block + kept[i].first + 12) == 0 &&
                     LoadWord(block + kept[i].first + 4) == blockKey + i + 1;
    if (sameLayout) {
        SetLastKey(blockKey + static_cast<uint32_t>(n));
        return 0;
    }
    std::unique_ptr<uint8_t[]> fresh = AllocateBlock(newSize);
    if (!fresh) {
        AppLog::Instance()->Log(kLogError, "[CSnmpIpTable::ReadFileBlock]: Memory was not allocated for new block");
        return 0;
    }
    StoreTableHead(fresh.get(), blockKey, newSize, n);
    for (size_t i = 0; i < n; ++i) {
        uint8_t* row = fresh.get() + kTableHeadSize + i * kTrapDestinationRowSize;
        std::memcpy(row, block + kept[i].first, kept[i].second);
        StoreWord(row, kTrapDestinationRowSize);
        StoreWord(row + 4, blockKey + static_cast<uint32_t>(i + 1));
        StoreWord(row + 8, 0);
        StoreWord(row + 12, 0);
    }
    ReplaceBlock(std::move(fresh), newSize);
    SetLastKey(blockKey + static_cast<uint32_t>(n));
    return dropped;
}

bool CSnmpIpTable::ReadFileBlock(const std::string& path, uint32_t blockKey)
{
    bool read = CDataHeader::ReadFileBlock(path, blockKey);
    m_loadedFromFile = read;
    if (read) {
        int dropped;
        {
            MutexLock rows(m_rowsMutex);
            DataHeaderLock lock(*this);
            dropped = NormaliseLocked(blockKey);
        }
        // The load's caller saves the whole file right after; one notice covers every dropped row.
        if (dropped)
            SendListChanged(kListChangedRowRemoved);
    } else if (!HasBlock()) {
        bool created;
        {
            MutexLock rows(m_rowsMutex);
            DataHeaderLock lock(*this);
            created = CreateEmptyTable(blockKey);
        }
        if (!created) {
            AppLog::Instance()->Log(kLogError, "[CSnmpIpTable::ReadFileBlock]: Memory was not allocated for new block");
            return false;
        }
        SetLastKey(kSnmpIpBlockKey);
        SetConfigurationValues();
    }
    // Exactly the rows the table holds, also after a reload that left fewer.
    if (m_hooks)
        m_hooks->SetSnmpIpRowCount(GetCount());
    return true;
}

uint8_t* CSnmpIpTable::RowLocked(uint32_t row)
{
    uint8_t* block = GetBlock();
    if (!block || row == 0 || GetSize() < static_cast<int>(kTableHeadSize) || row > LoadWord(block + 16))
        return nullptr;
    size_t offset = FirstEntryOffset();
    for (uint32_t i = 1; offset && i < row; ++i)
        offset = NextEntryOffset(offset);
    if (!offset || offset + kTrapDestinationRowSize > static_cast<size_t>(GetSize()) ||
        LoadWord(block + offset) < kTrapDestinationRowSize)
        return nullptr;
    return block + offset;
}

bool CSnmpIpTable::CopyRow(uint32_t row, uint32_t (&words)[TrapDestinationWord::kCount])
{
    DataHeaderLock lock(*this, DataHeaderLock::kRead);
    const uint8_t* p = RowLocked(row);
    if (p)
        for (int i = 0; i < TrapDestinationWord::kCount; ++i)
            words[i] = blockwords::Load(p + 4 * i);
    return p != nullptr;
}

uint32_t CSnmpIpTable::GetRowWord(uint32_t row, int word)
{
    if (word < 0 || word >= TrapDestinationWord::kCount)
        return 0;
    DataHeaderLock lock(*this, DataHeaderLock::kRead);
    uint8_t* p = RowLocked(row);
    return p ? blockwords::Load(p + 4 * word) : 0;
}

bool CSnmpIpTable::SetRowWord(uint32_t row, int word, uint32_t value)
{
    if (word < TrapDestinationWord::kFlags || word >= TrapDestinationWord::kCount)
        return false;
    DataHeaderLock lock(*this, DataHeaderLock::kRead);
    uint8_t* p = RowLocked(row);
    if (p)
        blockwords::Store(p + 4 * word, value);
    return p != nullptr;
}

uint32_t CSnmpIpTable::AppendRow(uint32_t flags, uint32_t address, uint32_t name, uint32_t community, uint32_t port)
{
    uint8_t row[kTrapDestinationRowSize] = {};
    StoreWord(row, kTrapDestinationRowSize);
    StoreWord(row + 4 * TrapDestinationWord::kFlags, flags);
    StoreWord(row + 4 * TrapDestinationWord::kAddress, address);
    StoreWord(row + 4 * TrapDestinationWord::kName, name);
    StoreWord(row + 4 * TrapDestinationWord::kCommunity, community);
    StoreWord(row + 4 * TrapDestinationWord::kPort, port);
    return AppendNumbered(row, kSnmpIpBlockKey, static_cast<uint32_t>(kMaxTrapDestinations));
}

uint32_t CSnmpIpTable::AddEmptyRow()
{
    MutexLock rows(m_rowsMutex);
    return AppendRow(0, 0, 0, 0, 0);
}

bool CSnmpIpTable::Remove(uint32_t rowKey)
{
    bool removed;
    {
        MutexLock rows(m_rowsMutex);
        removed = RemoveAndRenumber(rowKey);
    }
    if (!removed)
        return false;
    Save();
    SendListChanged(kListChangedRowRemoved);
    return true;
}

bool CSnmpIpTable::CopyRowOut(uint32_t row, RowCopy& copy)
{
    if (!CopyRow(row, copy.words))
        return false;
    copy.name = CopyText(copy.words[TrapDestinationWord::kName]);
    copy.community = CopyText(copy.words[TrapDestinationWord::kCommunity]);
    copy.text = CopyText(copy.words[TrapDestinationWord::kText]);
    return true;
}

bool CSnmpIpTable::InsertRow(uint32_t row, const RowCopy& copy)
{
    uint32_t words[TrapDestinationWord::kCount];
    std::memcpy(words, copy.words, sizeof words);
    const struct {
        int word;
        const std::string& text;
    } texts[] = {{TrapDestinationWord::kName, copy.name},
                 {TrapDestinationWord::kCommunity, copy.community},
                 {TrapDestinationWord::kText, copy.text}};
    {
        MutexLock rows(m_rowsMutex);
        // The texts again (the removal may have dropped them), under the string table's key mutex from
        // their adding until their keys are in the row, as a SET of a text column does: a save meanwhile
        // would drop texts no row refers to yet.
        std::unique_ptr<MutexLock> keys;
        if (m_strings)
            keys = std::make_unique<MutexLock>(m_strings->KeyMutex());
        for (const auto& t : texts) {
            words[t.word] = t.text.empty() ? 0 : AddText(t.text.data(), t.text.size());
            if (words[t.word] == kDataKeyFailed)
                return false;
        }
        const uint32_t key = AppendRow(0, 0, 0, 0, 0);
        if (key == kDataKeyFailed)
            return false;
        const uint32_t last = key & 0xFF;
        if (row < 1 || row > last) {
            RemoveAndRenumber(key);
            return false;
        }
        uint32_t stuck = 0; // the row the shift could not write; 0 when it went through
        {
            DataHeaderLock lock(*this, DataHeaderLock::kRead);
            for (uint32_t r = last; r >= row; --r) {
                uint8_t* to = RowLocked(r);
                const uint8_t* from = r > row ? RowLocked(r - 1) : nullptr;
                if (!to || (r > row && !from)) {
                    stuck = r;
                    break;
                }
                for (int w = TrapDestinationWord::kFlags; w < TrapDestinationWord::kCount; ++w)
                    blockwords::Store(to + 4 * w, from ? blockwords::Load(from + 4 * w) : words[w]);
            }
        }
        if (stuck) {
            // The rows above it have moved up one, so the row just above it repeats it (or, when none
            // moved, it is the appended row): taking that row away puts the table back as it was.
            RemoveAndRenumber(key - last + std::min(stuck + 1, last));
            return false;
        }
    }
    Save();
    SendListChanged(kListChangedRowEnabled);
    return true;
}

uint32_t CSnmpIpTable::FindByAddress(uint32_t address)
{
    DataHeaderLock lock(*this, DataHeaderLock::kRead);
    uint32_t found = 0;
    uint8_t* block = GetBlock();
    if (block)
        for (size_t offset = FirstEntryOffset(); offset && !found; offset = NextEntryOffset(offset)) {
            if (offset + kTrapDestinationRowSize > static_cast<size_t>(GetSize()))
                break;
            if (blockwords::Load(block + offset + 4 * TrapDestinationWord::kAddress) == address)
                found = LoadWord(block + offset + 4);
        }
    return found;
}

std::string CSnmpIpTable::CopyText(uint32_t key)
{
    std::string out;
    if (!m_strings || !key)
        return out;
    DataHeaderLock lock(*m_strings, DataHeaderLock::kRead);
    const char* text = nullptr;
    uint32_t length = 0;
    if (m_strings->GetStringPtr(key, text, length) && text)
        out.assign(text, strnlen(text, length));
    return out;
}

uint32_t CSnmpIpTable::AddText(const char* data, size_t length)
{
    // A text ends at its first NUL; an empty text is no text.
    if (data)
        length = strnlen(data, length);
    if (!m_strings || !data || !length || length >= UINT32_MAX)
        return 0;
    return m_strings->AddString(data, static_cast<uint32_t>(length), kDataKeyNew);
}

bool CSnmpIpTable::IsAcceptableName(const char* data, size_t length)
{
    return IsIniValueSafe(data, length) && (length == 0 || !std::memchr(data, ',', length));
}

bool CSnmpIpTable::IsAcceptableCommunity(const char* data, size_t length)
{
    // A community with a NUL in it would be kept as its first part only.
    return (!data || std::memchr(data, 0, length) == nullptr) && IsIniValueSafe(data, length);
}

EngineValue CSnmpIpTable::GetValue(uint32_t key, uint32_t /*requester*/)
{
    EngineValue answer;
    const uint32_t row = key & 0xFF;
    const uint32_t column = (key >> 8) & 0xFF;
    uint32_t words[TrapDestinationWord::kCount] = {};
    if (!CopyRow(row, words))
        return answer;
    switch (column) {
    case 1: answer.integer = row; break;
    case 2: answer.integer = (words[TrapDestinationWord::kFlags] & kTrapDestinationEnabled) ? 1 : 2; break;
    case 3: answer = EngineValue::Integer(words[TrapDestinationWord::kAddress], kValueIpAddress); break;
    case 4: answer = EngineValue::Text(CopyText(words[TrapDestinationWord::kName])); break;
    case 5: answer = EngineValue::Text(CopyText(words[TrapDestinationWord::kCommunity])); break;
    case 8: answer = EngineValue::Text(CopyText(words[TrapDestinationWord::kText])); break;
    case 6: answer.integer = words[TrapDestinationWord::kPort]; break;
    case 7: answer.integer = (words[TrapDestinationWord::kFlags] & kTrapDestinationVersionMask) >> 4; break;
    default: break;
    }
    return answer;
}

bool CSnmpIpTable::SetValue(uint32_t key, uint32_t /*requester*/, int type, const void* data, size_t length)
{
    const uint32_t row = key & 0xFF;
    const uint32_t column = (key >> 8) & 0xFF;
    if (row == 0 || row > static_cast<uint32_t>(GetCount()) || column < 2 || column > 8)
        return false;
    const bool isText = column == 4 || column == 5 || column == 8;
    int32_t integer = 0;
    uint32_t textKey = 0;
    // Held from adding the text until its key is in the row (the save drops texts no row refers to),
    // and let go before the save.
    std::unique_ptr<MutexLock> keys;
    if (isText && m_strings)
        keys = std::make_unique<MutexLock>(m_strings->KeyMutex());
    if (isText) {
        const char* text = static_cast<const char*>(data);
        if (length && !text)
            return false;
        bool acceptable = column == 4   ? IsAcceptableName(text, length)
                          : column == 5 ? IsAcceptableCommunity(text, length)
                                        : true;
        if (!acceptable) {
            AppLog::Instance()->PrintfLimited(kLogWarning, "refused text",
                                       "[CSnmpIpTable::SetValue]: text for column %u of row %u refused: it would "
                                       "not read back from the INI file",
                                       column, row);
            return false;
        }
        textKey = AddText(text, length);
        if (textKey == kDataKeyFailed)
            return false;
    } else {
        if (!data || length < sizeof integer)
            return false;
        std::memcpy(&integer, data, sizeof integer);
    }

    bool changed = false;
    bool enabled = false;
    DataHeaderLock rowLock(*this, DataHeaderLock::kRead);
    if (uint8_t* p = RowLocked(row)) {
        changed = true;
        uint8_t* flags = p + 4 * TrapDestinationWord::kFlags;
        switch (column) {
        case 2:
            if (integer == 1 || integer == 4)
                blockwords::Modify(flags, 0, kTrapDestinationEnabled);
            else if (integer == 2 || integer == 3 || integer == 5)
                blockwords::Modify(flags, kTrapDestinationEnabled, 0);
            break;
        case 3: blockwords::Store(p + 4 * TrapDestinationWord::kAddress, static_cast<uint32_t>(integer)); break;
        case 4: blockwords::Store(p + 4 * TrapDestinationWord::kName, textKey); break;
        case 5: blockwords::Store(p + 4 * TrapDestinationWord::kCommunity, textKey); break;
        case 6: blockwords::Store(p + 4 * TrapDestinationWord::kPort, static_cast<uint32_t>(integer)); break;
        case 7:
            blockwords::Modify(flags, kTrapDestinationVersionMask, (static_cast<uint32_t>(integer) & 0xF) << 4);
            break;
        case 8: blockwords::Store(p + 4 * TrapDestinationWord::kText, textKey); break;
        default: break;
        }
        enabled = blockwords::Load(flags) & kTrapDestinationEnabled;
    }
    rowLock.unlock();
    keys.reset();
    if (!changed)
        return false;
    // A change to a disabled row is stored by the next save and dropped by the next load.
    if (enabled) {
        Save();
        if (column == 2) {
            SendListChanged(kListChangedRowEnabled);
        } else if (m_hooks) {
            uint32_t oid[kTableOidLength + 3];
            std::memcpy(oid, kTableOid, sizeof kTableOid);
            oid[kTableOidLength] = 1;
            oid[kTableOidLength + 1] = column;
            oid[kTableOidLength + 2] = row;
            m_hooks->SendValueChanged(oid, kTableOidLength + 3, type, data, length);
        }
    }
    return true;
}

void CSnmpIpTable::SetConfigurationValues()
{
    CIniFile ini;
    std::string path = genericConfigFileInterface::GetEngineIniPath();
    if (path.empty() || !ini.Open(path.c_str(), std::ios_base::in))
        return;
    if (ini.SeekSection("[IPAddresses]")) {
        while (ini.ReadNextKey()) {
            if (!ini.IsKey("IP"))
                continue;
            const std::string& value = ini.GetValue();
            if (value.size() > kMaxTrapDestinationLine) {
                AppLog::Instance()->Printf(kLogWarning,
                                           "[CSnmpIpTable::SetConfigurationValues]: IP line of %zu characters "
                                           "skipped (at most %zu)",
                                           value.size(), kMaxTrapDestinationLine);
                continue;
            }
            size_t c1 = value.find(',');
            size_t c2 = c1 == std::string::npos ? c1 : value.find(',', c1 + 1);
            size_t c3 = c2 == std::string::npos ? c2 : value.find(',', c2 + 1);
            if (c3 == std::string::npos)
                continue;
            std::string addressText = value.substr(0, c1);
            std::string name = value.substr(c1 + 1, c2 - c1 - 1);
            std::string portText = value.substr(c2 + 1, c3 - c2 - 1);
            std::string community = value.substr(c3 + 1);
            TrimString(addressText);
            uint32_t address = 0;
            if (name.find("Vigilon") != std::string::npos || community.empty() ||
                !ParseIpv4(addressText.c_str(), address) || FindByAddress(address))
                continue;
            if (GetCount() >= kMaxTrapDestinations) {
                AppLog::Instance()->Printf(kLogWarning,
                                           "[CSnmpIpTable::SetConfigurationValues]: more than %d trap destinations; "
                                           "the rest are skipped",
                                           kMaxTrapDestinations);
                break;
            }
            uint32_t nameKey = name.empty() ? 0 : AddText(name.data(), name.size());
            uint32_t communityKey = AddText(community.data(), community.size());
            if (nameKey == kDataKeyFailed || communityKey == kDataKeyFailed || communityKey == 0)
                continue;
            MutexLock rows(m_rowsMutex);
            AppendRow(kTrapDestinationEnabled, address, nameKey, communityKey, LeadingInteger(portText));
        }
    }
    ini.Close();
}

void CSnmpIpTable::WriteConfigurationValues(std::ostream& out)
{
    out << "[IPAddresses]\n";
    const int count = GetCount();
    for (int row = 1; row <= count; ++row) {
        uint32_t words[TrapDestinationWord::kCount] = {};
        if (!CopyRow(static_cast<uint32_t>(row), words))
            break;
        std::string name = CopyText(words[TrapDestinationWord::kName]);
        std::string community = CopyText(words[TrapDestinationWord::kCommunity]);
        if (!IsAcceptableName(name.data(), name.size()) || !IsAcceptableCommunity(community.data(), community.size())) {
            AppLog::Instance()->Printf(kLogWarning,
                                       "[CSnmpIpTable::WriteConfigurationValues]: row %d left out: its name or "
                                       "community would not read back from the INI file",
                                       row);
            continue;
        }
        out << "IP=" << IpAddressToString(words[TrapDestinationWord::kAddress]) << "," << name << ","
            << words[TrapDestinationWord::kPort] << "," << community << "\n";
    }
    out << "\n";
}

void CSnmpIpTable::Save()
{
    if (m_hooks)
        m_hooks->SaveUserExtension();
}

void CSnmpIpTable::SendListChanged(int32_t value)
{
    if (m_hooks)
        m_hooks->SendListChanged(kTableOid, kTableOidLength, value);
}
