#include "engine/core/consoles/ConsoleTable.h"

#include <algorithm>
#include <cstring>

#include "engine/base/AppLog.h"

using namespace console_row;

namespace {

uint32_t WordAt(const uint8_t* p, size_t index)
{
    return LoadWord(p + 4 * index);
}

// Walks one stored row at data[at, end). Answers its size (0 when it is refused, with why) and, for
// a row that ends the stored rows, sets endOfRows. slots and current tell what the row holds.
size_t CheckRow(const uint8_t* data, size_t at, size_t end, bool& endOfRows, uint64_t& slots, bool& current,
                std::string& why)
{
    endOfRows = false;
    current = true;
    if (end - at < 24) {
        why = "row head past the block";
        return 0;
    }
    const uint8_t* row = data + at;
    const uint32_t size = WordAt(row, kSize);
    const uint32_t fixed = WordAt(row, kSlotOffset);
    const uint32_t count = WordAt(row, kSlotCount);
    if (WordAt(row, 3) != 0) {
        why = "row with a payload";
        return 0;
    }
    if (size % 4 != 0 || size > end - at || fixed % 4 != 0 || fixed < kMinFixedSize || fixed > size) {
        why = "row size or fixed part out of bounds";
        return 0;
    }
    if (count == kEndOfRows) {
        endOfRows = true;
        current = false;
        slots = 0;
        return fixed;
    }
    if (fixed != kFixedSize)
        current = false;
    size_t slot = at + fixed;
    const size_t rowEnd = at + size;
    for (uint32_t i = 0; i < count; ++i) {
        if (rowEnd - slot < kMinSlotSize) {
            why = "device slot past the row";
            return 0;
        }
        const uint8_t* s = data + slot;
        const uint32_t slotSize = WordAt(s, 0);
        const uint32_t values = WordAt(s, 4);
        if (WordAt(s, 3) != 0 || slotSize % 4 != 0 || slotSize < kMinSlotSize || slotSize > rowEnd - slot ||
            values > (slotSize - kMinSlotSize) / 4) {
            why = "device slot size or value count out of bounds";
            return 0;
        }
        if (slotSize != kSlotSize || values != kSlotValueCount)
            current = false;
        slot += slotSize;
    }
    if (slot != rowEnd) {
        why = "row size does not match its slots";
        return 0;
    }
    slots = count;
    return size;
}

// Calls visit(at, slots) for each stored row from word 2 up to end, in order, until the first row
// CheckRow refuses.
template <typename Visit>
void ForEachStoredRow(const uint8_t* block, size_t end, Visit visit)
{
    for (size_t at = WordAt(block, 2); at < end;) {
        bool endOfRows = false, current = false;
        uint64_t slots = 0;
        std::string why;
        size_t rowSize = CheckRow(block, at, end, endOfRows, slots, current, why);
        if (!rowSize)
            break;
        visit(at, slots);
        at += rowSize;
    }
}

// Whether the block image (already checked) is in the current layout throughout.
bool IsCurrentLayout(const uint8_t* data, size_t size)
{
    if (size < kTableHeadSize || WordAt(data, 0) != kTableHeadSize)
        return false;
    const size_t end = kTableHeadSize + static_cast<size_t>(WordAt(data, 3));
    for (size_t at = kTableHeadSize; at < end;) {
        bool endOfRows = false, current = false;
        uint64_t slots = 0;
        std::string why;
        size_t rowSize = CheckRow(data, at, end, endOfRows, slots, current, why);
        if (!rowSize || !current || WordAt(data + at, kSize) != kFixedSize + kSlotSize * slots)
            return false;
        at += rowSize;
    }
    return true;
}

} // namespace

std::vector<uint8_t> console_row::BuildRecord(uint32_t address, uint32_t trapPort,
                                              const std::vector<uint32_t>& deviceKeys)
{
    const size_t n = deviceKeys.size();
    std::vector<uint8_t> row(kFixedSize + kSlotSize * n, 0);
    uint8_t* p = row.data();
    StoreWord(p + 4 * kSize, static_cast<uint32_t>(row.size()));
    StoreWord(p + 4 * kSlotCount, static_cast<uint32_t>(n));
    StoreWord(p + 4 * kSlotOffset, kFixedSize);
    StoreWord(p + 4 * kSelectedDevice, 1);
    StoreWord(p + 4 * kAddress, address);
    StoreWord(p + 4 * kValue10, kDefaultValue);
    StoreWord(p + 4 * kValue18, kDefaultValue);
    StoreWord(p + 4 * kTrapPort, trapPort);
    StoreWord(p + 4 * kAgentPort, kDefaultAgentPort);
    for (size_t i = 0; i < n; ++i) {
        uint8_t* slot = p + kFixedSize + kSlotSize * i;
        StoreWord(slot, kSlotSize);
        StoreWord(slot + 4, deviceKeys[i]);
        StoreWord(slot + 16, kSlotValueCount);
    }
    return row;
}

bool CConsoleTable::ParseStoredBlock(const uint8_t* data, size_t size, std::vector<uint8_t>& out, std::string& why)
{
    out.clear();
    if (!data || size < kTableHeadSize) {
        why = "block shorter than its head";
        return false;
    }
    const uint32_t head = WordAt(data, 0);
    const uint32_t first = WordAt(data, 2);
    const uint64_t end = uint64_t{first} + WordAt(data, 3);
    const uint32_t count = WordAt(data, 4);
    if (head < kTableHeadSize || head % 4 != 0 || first != head || end != size) {
        why = "block head does not match the block";
        return false;
    }
    uint32_t rows = 0;
    uint32_t previousKey = 0;
    size_t at = first;
    bool endOfRows = false;
    std::vector<std::pair<size_t, size_t>> kept; // offset, bytes kept
    while (at < end && !endOfRows) {
        bool current = false;
        uint64_t slots = 0;
        size_t rowSize = CheckRow(data, at, static_cast<size_t>(end), endOfRows, slots, current, why);
        if (!rowSize)
            return false;
        const uint32_t key = WordAt(data + at, kKey);
        if (key == 0 || (rows > 0 && key <= previousKey)) {
            why = "row keys out of order";
            return false;
        }
        previousKey = key;
        kept.emplace_back(at, rowSize);
        ++rows;
        at += endOfRows ? WordAt(data + at, kSize) : rowSize;
    }
    if (!endOfRows && rows != count) {
        why = "row count does not match the rows";
        return false;
    }
    size_t bytes = 0;
    for (const auto& row : kept)
        bytes += row.second;
    out.assign(head + bytes, 0);
    std::memcpy(out.data(), data, head);
    size_t to = head;
    for (const auto& row : kept) {
        std::memcpy(out.data() + to, data + row.first, row.second);
        if (WordAt(data + row.first, kSlotCount) == kEndOfRows) {
            StoreWord(out.data() + to + 4 * kSize, static_cast<uint32_t>(row.second));
            StoreWord(out.data() + to + 4 * kSlotCount, 0);
        }
        to += row.second;
    }
    StoreWord(out.data() + 12, static_cast<uint32_t>(bytes));
    StoreWord(out.data() + 16, rows);
    return true;
}

bool CConsoleTable::CheckBlock() const
{
    std::vector<uint8_t> copy;
    std::string why;
    if (!GetBlock() || GetSize() <= 0)
        return false;
    // A block that only loads by dropping rows is not taken as it is.
    return ParseStoredBlock(GetBlock(), static_cast<size_t>(GetSize()), copy, why) &&
           copy.size() == static_cast<size_t>(GetSize());
}

bool CConsoleTable::ReadFileBlock(const std::string& path, uint32_t blockKey)
{
    SetLastKey(blockKey);
    CMasterFileTable file;
    if (file.Read(path) == CMasterFileTable::Result::kOk) {
        const DataFileDirectoryEntry* entry = file.FindBlock(blockKey);
        if (!entry) {
            AppLog::Instance()->Printf(kLogDebug, "[DataHeader::ReadFileBlock]: Key was not located (%u) hex (0x%04x)",
                                       blockKey, blockKey);
        } else if (!file.IsInside(*entry)) {
            AppLog::Instance()->Printf(kLogError, "[CConsoleTable::ReadFileBlock]: Console block of %s lies outside the file",
                                       path.c_str());
        } else {
            std::vector<uint8_t> image;
            std::string why;
            if (!ParseStoredBlock(file.BlockData(*entry), entry->length, image, why)) {
                AppLog::Instance()->Printf(kLogError,
                                           "[CConsoleTable::ReadFileBlock]: Console block of %s is damaged (%s) and was "
                                           "not loaded",
                                           path.c_str(), why.c_str());
            } else if (auto block = AllocateBlock(image.size())) {
                std::memcpy(block.get(), image.data(), image.size());
                DataHeaderLock lock(*this);
                ReplaceBlock(std::move(block), image.size());
                SetVersion(file.Header().dataVersion);
                SetLastKeyFromBlock(blockKey);
                return true;
            } else {
                AppLog::Instance()->Printf(kLogError, "[DataHeader::ReadFileBlock]: Memory was not allocated for data block");
            }
        }
    }
    if (!CreateEmptyTable(blockKey)) {
        AppLog::Instance()->Printf(kLogError, "[CConsoleTable::ReadFileBlock]: Memory was not allocated for new block");
        return false;
    }
    SetLastKey(blockKey);
    return true;
}

uint32_t CConsoleTable::Add(uint8_t* entry, uint32_t key, bool* replaced)
{
    bool wasReplaced = false;
    uint32_t result;
    {
        DataHeaderLock lock(*this);
        result = CDataHeader::Add(entry, key, &wasReplaced);
        if (result != 0 && result != kDataKeyFailed && entry && HasBlock() && !wasReplaced)
            SetWord(4, GetWord(4) + 1);
    }
    if (replaced)
        *replaced = wasReplaced;
    return result;
}

bool CConsoleTable::Remove(uint32_t key)
{
    DataHeaderLock lock(*this);
    const bool removed = CDataHeader::Remove(key);
    if (removed && HasBlock() && GetWord(4) > 0)
        SetWord(4, GetWord(4) - 1);
    return removed;
}

int CConsoleTable::GetCount()
{
    return HasBlock() ? static_cast<int>(GetWord(4)) : CDataHeader::GetCount();
}

bool CConsoleTable::NeedsUpgrade() const
{
    return HasBlock() && !IsCurrentLayout(GetBlock(), static_cast<size_t>(GetSize()));
}

bool CConsoleTable::Upgrade()
{
    if (!HasBlock())
        return true;
    DataHeaderLock lock(*this);
    const uint8_t* old = GetBlock();
    const size_t oldSize = static_cast<size_t>(GetSize());
    const size_t end = std::min<size_t>(oldSize, uint64_t{WordAt(old, 2)} + WordAt(old, 3));
    // First pass: rows and slots, by the stored sizes (the block was checked at load).
    uint64_t rows = 0, slots = 0;
    ForEachStoredRow(old, end, [&](size_t, uint64_t n) {
        ++rows;
        slots += n;
    });
    const uint64_t total = kTableHeadSize + kFixedSize * rows + kSlotSize * slots;
    auto block = total <= INT32_MAX ? AllocateBlock(static_cast<size_t>(total)) : nullptr;
    if (!block) {
        lock.unlock();
        AppLog::Instance()->Printf(kLogError, "[CConsoleTable::Resize]: Memory was not allocated for resizing data block");
        return false;
    }
    uint8_t* p = block.get();
    StoreTableHead(p, WordAt(old, 1), total, rows);
    size_t to = kTableHeadSize;
    ForEachStoredRow(old, end, [&](size_t at, uint64_t n) {
        const uint8_t* row = old + at;
        const uint32_t fixed = WordAt(row, kSlotOffset);
        std::memcpy(p + to, row, std::min(fixed, kFixedSize));
        StoreWord(p + to + 4 * kSize, static_cast<uint32_t>(kFixedSize + kSlotSize * n));
        StoreWord(p + to + 4 * kSlotCount, static_cast<uint32_t>(n));
        StoreWord(p + to + 4 * kSlotOffset, kFixedSize);
        to += kFixedSize;
        size_t slot = at + fixed;
        for (uint64_t i = 0; i < n; ++i) {
            const uint32_t slotSize = WordAt(old + slot, 0);
            const uint32_t values = std::min(WordAt(old + slot, 4), kSlotValueCount);
            std::memcpy(p + to, old + slot, 20 + 4 * values);
            StoreWord(p + to, kSlotSize);
            StoreWord(p + to + 16, kSlotValueCount);
            to += kSlotSize;
            slot += slotSize;
        }
    });
    ReplaceBlock(std::move(block), static_cast<size_t>(total));
    return true;
}
