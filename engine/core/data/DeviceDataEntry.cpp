#include "engine/core/data/DeviceDataEntry.h"

#include <algorithm>

#include "engine/base/AppLog.h"
#include "engine/core/data/DeviceData.h"

uint8_t* CDeviceDataEntry::GetAt(int index)
{
    size_t first = FirstEntryOffset();
    if (index < 0 || !first)
        return nullptr;
    uint64_t rowSize = LoadWord(GetBlock() + first);
    uint64_t at = first + rowSize * static_cast<uint64_t>(index);
    uint64_t end = std::min<uint64_t>(uint64_t{GetWord(2)} + GetWord(3), static_cast<uint64_t>(GetSize()));
    if (at + rowSize > end)
        return nullptr;
    return GetBlock() + at;
}

bool CDeviceDataEntry::ReadFileBlock(const std::string& path, uint32_t recordKey, uint32_t tag)
{
    CMasterFileTable file;
    if (file.Read(path) != CMasterFileTable::Result::kOk)
        return false;
    auto notLocated = [&] {
        AppLog::Instance()->Printf(kLogError, "[CDeviceDataEntry::ReadFileBlock]: Key was not located (%u) hex (0x%04x)",
                                   tag, tag);
        return false;
    };
    auto damaged = [&](const char* what) {
        AppLog::Instance()->Printf(kLogError, "[CDeviceDataEntry::ReadFileBlock]: Device data in \"%s\" is damaged (%s)",
                                   path.c_str(), what);
        return false;
    };
    const DataFileDirectoryEntry* entry = file.FindBlock(kDeviceDataBlockKey);
    if (!entry)
        return notLocated();
    if (!file.IsInside(*entry))
        return damaged("block outside the file");
    const uint8_t* block = file.BlockData(*entry);
    const uint64_t end = entry->length;
    if (end < kTableHeadSize)
        return damaged("block shorter than its head");
    uint64_t at = LoadWord(block);
    if (at < kTableHeadSize || at > end)
        return damaged("block head size");
    uint32_t records = LoadWord(block + 16);
    for (uint32_t r = 0; r < records; ++r) {
        if (at + kDeviceDataRecordHeadSize > end)
            return damaged("record head past the block");
        const uint8_t* record = block + at;
        uint64_t headSize = LoadWord(record);
        uint64_t recordSize = headSize + LoadWord(record + 12);
        if (headSize < kDeviceDataRecordHeadSize || at + recordSize > end)
            return damaged("record past the block");
        if (LoadWord(record + 4) != recordKey) {
            at += recordSize;
            continue;
        }
        uint32_t descriptors = LoadWord(record + 16);
        for (uint32_t d = 0; d < descriptors; ++d) {
            uint64_t descriptorAt = headSize + 16ull * d;
            if (descriptorAt + 16 > recordSize)
                return damaged("descriptor past the record");
            const uint8_t* descriptor = record + descriptorAt;
            if (LoadWord(descriptor + 4) != tag)
                continue;
            uint64_t dataAt = descriptorAt + LoadWord(descriptor + 8);
            uint64_t length = LoadWord(descriptor + 12);
            if (length == 0)
                return notLocated();
            if (dataAt + length > recordSize || length < kEntryHeadSize)
                return damaged("sub-block past the record");
            if (!LoadBlockImage(record + dataAt, static_cast<size_t>(length), file.Header().dataVersion))
                return false;
            SetLastKeyFromBlock(tag);
            return true;
        }
        return notLocated();
    }
    return notLocated();
}
