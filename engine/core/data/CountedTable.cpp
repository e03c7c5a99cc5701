#include "engine/core/data/CountedTable.h"

uint32_t CCountedTable::AddCounted(uint8_t* row, uint32_t key, bool* replaced)
{
    DataHeaderLock lock(*this);
    bool wasReplaced = false;
    uint32_t result = CDataHeader::Add(row, key, replaced ? replaced : &wasReplaced);
    if (!replaced && !wasReplaced && HasBlock() && result != 0 && result != kDataKeyFailed)
        SetWord(4, GetWord(4) + 1);
    return result;
}

uint32_t CCountedTable::AppendNumbered(uint8_t* row, uint32_t blockKey, uint32_t maxRows)
{
    DataHeaderLock lock(*this);
    if (!HasBlock() && !CreateEmptyTable(blockKey))
        return kDataKeyFailed;
    const uint32_t count = GetWord(4);
    if (count >= maxRows)
        return kDataKeyFailed;
    const uint32_t key = RowKeyBase() + count + 1;
    bool replaced = false;
    if (CDataHeader::Add(row, key, &replaced) != key || replaced)
        return kDataKeyFailed;
    SetWord(4, count + 1);
    SetLastKey(key);
    return key;
}

bool CCountedTable::RemoveCounted(uint32_t key)
{
    DataHeaderLock lock(*this);
    if (!HasBlock() || !CDataHeader::Remove(key))
        return false;
    if (GetWord(4) > 0)
        SetWord(4, GetWord(4) - 1);
    return true;
}

bool CCountedTable::RemoveAndRenumber(uint32_t key)
{
    DataHeaderLock lock(*this);
    if (!RemoveCounted(key))
        return false;
    uint8_t* block = GetBlock();
    for (size_t at = FirstEntryOffset(); at; at = NextEntryOffset(at)) {
        uint32_t k = LoadWord(block + at + 4);
        if (k > key)
            StoreWord(block + at + 4, k - 1);
    }
    SetLastKey(RowKeyBase() + GetWord(4));
    return true;
}
