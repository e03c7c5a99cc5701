#include "engine/core/data/DeviceAttachedTable.h"

#include "engine/base/AppLog.h"
#include "engine/core/data/DataArchive.h"
#include "platform/AtomicFile.h"

namespace {

// Word i of a row, 0 when the row is too short to hold it.
uint32_t RowWord(const uint8_t* row, uint32_t i)
{
    return 4 * i + 4 <= LoadWord(row) ? LoadWord(row + 4 * i) : 0;
}

} // namespace

int CDeviceAttachedTable::GetCount()
{
    if (HasBlock())
        return static_cast<int>(GetWord(4));
    return m_items.GetCount();
}

uint32_t CDeviceAttachedTable::Add(uint8_t* row, uint32_t key, bool* replaced)
{
    if (!row)
        return CDataHeader::Add(row, key, replaced);
    DataHeaderLock lock(*this);
    if (key == kDataKeyNew && HasBlock() && CDataHeader::EntryWord(row, 0) >= kMinRowSize) {
        uint32_t kind = EntryWord(row, kFlagWord) & kKindBits;
        uint32_t field = EntryWord(row, 4);
        for (size_t at = FirstEntryOffset(); at; at = NextEntryOffset(at)) {
            uint8_t* candidate = GetBlock() + at;
            if (LoadWord(candidate) < kMinRowSize)
                continue;
            uint32_t flags = RowWord(candidate, kFlagWord);
            if (!(flags & kTemplateRowBit) || (flags & kKindBits) != kind || RowWord(candidate, 4) != field)
                continue;
            for (uint32_t word : {6u, 7u, 8u, 11u, 12u})
                SetEntryWord(candidate, static_cast<int>(word), EntryWord(row, static_cast<int>(word)));
            SetEntryWord(candidate, kFlagWord, flags & ~kTemplateRowBit);
            uint32_t claimed = EntryWord(candidate, 1);
            if (replaced)
                *replaced = true;
            return claimed;
        }
    }
    return AddCounted(row, key, replaced);
}

bool CDeviceAttachedTable::Remove(uint32_t key)
{
    if (!HasBlock())
        return CDataHeader::Remove(key);
    return RemoveCounted(key);
}

bool CDeviceAttachedTable::ReadFileBlock(const std::string& path, uint32_t blockKey)
{
    CDataHeader::ReadFileBlock(path, blockKey);
    if (HasBlock())
        return true;
    if (!CreateEmptyTable(blockKey)) {
        AppLog::Instance()->Printf(kLogError, "[CDeviceAttachedTable::ReadFileBlock]: Memory was not allocated for new block");
        return false;
    }
    SetLastKey(blockKey);
    return true;
}

void CDeviceAttachedTable::Serialize(CDataArchive& ar)
{
    CDataHeader::Serialize(ar);
    if (!ar.IsLoading() || ar.IsFailed())
        return;
    // Words a file of that version did not hold stay zero.
    uint32_t version = GetVersion();
    uint32_t firstUnread = !IsDataVersionNewer(version, 0x28) ? 13 : !IsDataVersionNewer(version, 0x31) ? 18 : kRowWords;
    if (firstUnread == kRowWords)
        return;
    for (size_t at = FirstEntryOffset(); at; at = NextEntryOffset(at)) {
        uint8_t* row = GetBlock() + at;
        for (uint32_t word = firstUnread; word < kRowWords && 4 * word + 4 <= LoadWord(row); ++word)
            SetEntryWord(row, static_cast<int>(word), 0);
    }
}

bool CDeviceAttachedTable::CheckEntry(const uint8_t* entry, size_t) const
{
    return EntryWord(entry, 0) >= kMinRowSize && EntryWord(entry, 0) % 4 == 0 && EntryWord(entry, 3) == 0;
}

bool CDeviceAttachedTable::CheckBlock() const
{
    if (!CheckEntries(kMinRowSize) || GetWord(0) < kTableHeadSize)
        return false;
    size_t first = FirstEntryOffset();
    for (size_t at = first; at; at = NextEntryOffset(at))
        if (LoadWord(GetBlock() + at) != LoadWord(GetBlock() + first))
            return false;
    return true;
}

bool CDeviceAttachedTable::SeedFromTemplate(const std::string& filePath, const std::string& templatePath,
                                            uint32_t blockKey)
{
    if (GetCount() != 0)
        return false;
    std::string error;
    if (!vgplat::CopyFileAtomically(templatePath, filePath, false, &error)) {
        AppLog::Instance()->Printf(kLogError, "[CDeviceAttachedTable::SeedFromTemplate]: %s", error.c_str());
        return false;
    }
    if (!ReadFileBlock(filePath, blockKey))
        return false;
    DataHeaderLock lock(*this);
    for (size_t at = FirstEntryOffset(); at; at = NextEntryOffset(at)) {
        uint8_t* row = GetBlock() + at;
        if (LoadWord(row) >= 4 * kFlagWord + 4)
            SetEntryWord(row, kFlagWord, EntryWord(row, kFlagWord) | kTemplateRowBit);
    }
    return true;
}

bool CDeviceAttachedTable::NeedsResize()
{
    if (!HasBlock())
        return false;
    if (GetWord(0) != kTableHeadSize)
        return true;
    size_t first = FirstEntryOffset();
    return first && LoadWord(GetBlock() + first) != kRowSize;
}
