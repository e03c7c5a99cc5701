#include "engine/core/data/StringTable.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "engine/base/AppLog.h"
#include "engine/core/data/DataArchive.h"

namespace {

// Lengths above this are refused: the entry would not fit a block.
constexpr uint32_t kMaxTextBytes = 0x7FFFFF00u;

std::string TextOf(const uint8_t* data, uint32_t length)
{
    if (length > 0 && data[length - 1] == 0)
        --length;
    return std::string(reinterpret_cast<const char*>(data), length);
}

} // namespace

CStringTable::~CStringTable()
{
    RemoveAll();
}

int CStringTable::GetCount()
{
    if (HasBlock())
        return static_cast<int>(GetWord(4));
    return m_items.GetCount();
}

uint32_t CStringTable::FindEqualLocked(const void* data, uint32_t length)
{
    if (HasBlock()) {
        for (size_t at = FirstEntryOffset(); at; at = NextEntryOffset(at)) {
            const uint8_t* entry = GetBlock() + at;
            if (EntryWord(entry, 2) == length && std::memcmp(entry + kEntryHeadSize, data, length) == 0)
                return EntryWord(entry, 1);
        }
    }
    for (POSITION at = m_items.GetHeadPosition(); at;) {
        const Item* item = static_cast<const Item*>(m_items.GetNext(at));
        if (item->length == length && std::memcmp(item->data, data, length) == 0)
            return item->key;
    }
    return 0;
}

uint32_t CStringTable::AddBytes(const void* data, uint32_t length, uint32_t key)
{
    if (!data || length == 0 || length > kMaxTextBytes || key == 0)
        return 0;
    // One writer-lock hold for the search and the insert, so two threads adding the same text get one
    // entry.
    DataHeaderLock lock(*this);
    bool newKey = key == kDataKeyNew;
    if (newKey) {
        if (uint32_t found = FindEqualLocked(data, length))
            return found;
        key = NextKey();
        if (key == kDataKeyFailed) {
            lock.unlock();
            AppLog::Instance()->Printf(kLogError, "[CStringTable::AddBytes]: No key is left for a new text");
            return kDataKeyFailed;
        }
    } else {
        POSITION existing = nullptr;
        if (!HasBlock() && FindItem(key, existing))
            return 0;
        // A key given from outside must never be handed out again.
        if (key > GetLastKey())
            SetLastKey(key);
    }
    uint32_t result = key;
    if (HasBlock()) {
        result = AddBytesToBlob(data, length, key);
    } else {
        Item* item = new (std::nothrow) Item;
        uint8_t* copy = item ? new (std::nothrow) uint8_t[length] : nullptr;
        if (!copy) {
            delete item;
            lock.unlock();
            AppLog::Instance()->Printf(kLogError, "[CStringTable::AddBytes]: Memory was not allocated for new key (%X)", key);
            return kDataKeyFailed;
        }
        std::memcpy(copy, data, length);
        item->key = key;
        item->length = length;
        item->padded = PaddedLength(length);
        item->data = copy;
        POSITION before = nullptr;
        if (!newKey) {
            for (POSITION at = m_items.GetHeadPosition(); at;) {
                POSITION here = at;
                if (static_cast<const Item*>(m_items.GetNext(at))->key > key) {
                    before = here;
                    break;
                }
            }
        }
        if (before)
            m_items.InsertBefore(before, item);
        else
            m_items.AddTail(item);
    }
    return result;
}

uint32_t CStringTable::AddString(const char* text, uint32_t length, uint32_t key)
{
    if (!text || length >= kMaxTextBytes)
        return 0;
    size_t n = strnlen(text, length);
    std::string copy(text, n);
    return AddBytes(copy.c_str(), static_cast<uint32_t>(n + 1), key);
}

uint32_t CStringTable::AddString(const std::string& text, uint32_t key)
{
    if (text.size() >= kMaxTextBytes)
        return 0;
    return AddBytes(text.c_str(), static_cast<uint32_t>(text.size() + 1), key);
}

uint32_t CStringTable::AddBytesToBlob(const void* data, uint32_t length, uint32_t key)
{
    DataHeaderLock lock(*this);
    const uint8_t* old = GetBlock();
    size_t oldSize = static_cast<size_t>(GetSize());
    uint32_t padded = PaddedLength(length);
    size_t entrySize = kEntryHeadSize + padded;
    size_t insertAt = GetWord(2);
    if (oldSize < kTableHeadSize || insertAt < kTableHeadSize || insertAt > oldSize) {
        lock.unlock();
        AppLog::Instance()->Printf(kLogError, "[CStringTable::AddBytesToBlob]: Block (0x%08X) holds no table", GetWord(1));
        return 0;
    }
    size_t removed = 0;
    FindInsertPlace(key, insertAt, removed);
    uint64_t newSize = uint64_t{oldSize} - removed + entrySize;
    auto block = AllocateBlock(newSize);
    if (!block) {
        lock.unlock();
        AppLog::Instance()->Printf(kLogError, "[CStringTable::AddBytesToBlob]: Memory was not allocated for new key (%X)", key);
        return kDataKeyFailed;
    }
    uint8_t* out = block.get();
    std::memcpy(out, old, insertAt);
    uint8_t* entry = out + insertAt;
    SetEntryWord(entry, 0, kEntryHeadSize);
    SetEntryWord(entry, 1, key);
    SetEntryWord(entry, 2, length);
    SetEntryWord(entry, 3, padded);
    std::memcpy(entry + kEntryHeadSize, data, length); // the pad stays zero
    std::memcpy(entry + entrySize, old + insertAt + removed, oldSize - insertAt - removed);
    StoreWord(out + 12, static_cast<uint32_t>(newSize - kTableHeadSize));
    if (!removed)
        StoreWord(out + 16, LoadWord(old + 16) + 1);
    ReplaceBlock(std::move(block), newSize);
    if (key > GetLastKey())
        SetLastKey(key);
    return key;
}

bool CStringTable::LookUp(uint32_t key, const uint8_t*& data, uint32_t& length, uint32_t& padded)
{
    if (HasBlock()) {
        const uint8_t* entry = Find(key);
        if (entry) {
            data = entry + kEntryHeadSize;
            length = EntryWord(entry, 2);
            padded = EntryWord(entry, 3);
            return true;
        }
    }
    POSITION position = nullptr;
    if (FindItem(key, position)) {
        const Item* item = static_cast<const Item*>(m_items.GetAt(position));
        data = item->data;
        length = item->length;
        padded = item->padded;
        return true;
    }
    return false;
}

uint32_t CStringTable::FindByString(const std::string& text)
{
    if (text.size() >= kMaxTextBytes)
        return 0;
    DataHeaderLock lock(*this, DataHeaderLock::kRead);
    return FindEqualLocked(text.c_str(), static_cast<uint32_t>(text.size() + 1));
}

void CStringTable::GetString(uint32_t key, std::string& out)
{
    out.clear();
    DataHeaderLock lock(*this, DataHeaderLock::kRead);
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    uint32_t padded = 0;
    if (LookUp(key, data, length, padded) && padded <= kMaxGetStringPadded)
        out = TextOf(data, length);
}

std::string CStringTable::GetText(uint32_t key)
{
    std::string out;
    DataHeaderLock lock(*this, DataHeaderLock::kRead);
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    uint32_t padded = 0;
    if (LookUp(key, data, length, padded))
        out = TextOf(data, length);
    return out;
}

bool CStringTable::GetBytes(uint32_t key, void* buffer, uint32_t& size)
{
    DataHeaderLock lock(*this, DataHeaderLock::kRead);
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    uint32_t padded = 0;
    bool ok = false;
    if (!LookUp(key, data, length, padded)) {
        size = 0;
    } else if (buffer && size >= padded) {
        std::memcpy(buffer, data, length);
        size = length;
        ok = true;
    } else {
        size = padded;
    }
    return ok;
}

bool CStringTable::GetPtr(uint32_t key, const uint8_t*& data, uint32_t& length)
{
    bool ok;
    {
        DataHeaderLock lock(*this, DataHeaderLock::kRead);
        uint32_t padded = 0;
        ok = LookUp(key, data, length, padded);
    }
    if (!ok) {
        data = nullptr;
        length = 0;
    }
    return ok;
}

bool CStringTable::GetStringPtr(uint32_t key, const char*& text, uint32_t& length)
{
    const uint8_t* data = nullptr;
    bool ok = GetPtr(key, data, length);
    text = reinterpret_cast<const char*>(data);
    if (ok && length != 0)
        --length;
    return ok;
}

bool CStringTable::ReadFileBlock(const std::string& path, uint32_t blockKey)
{
    CIndexedDataHeader::ReadFileBlock(path, blockKey);
    if (HasBlock())
        return true;
    if (!CreateEmptyTable(blockKey)) {
        AppLog::Instance()->Printf(kLogError, "[CStringTable::ReadFileBlock]: Memory was not allocated for new block");
        return false;
    }
    SetLastKey(blockKey);
    return true;
}

void CStringTable::Serialize(CDataArchive& ar)
{
    DataHeaderLock lock(*this);
    CDataHeader::Serialize(ar);
}

bool CStringTable::BuildBlock(uint32_t blockKey)
{
    DataHeaderLock lock(*this);
    if (HasBlock()) {
        // The block keeps its texts; the items join it.
        for (POSITION at = m_items.GetHeadPosition(); at;) {
            const Item* item = static_cast<const Item*>(m_items.GetNext(at));
            if (AddBytesToBlob(item->data, item->length, item->key) == kDataKeyFailed)
                return false;
        }
        RemoveAll();
        return true;
    }
    if (m_items.IsEmpty())
        return false;
    std::vector<const Item*> items;
    uint64_t size = kTableHeadSize;
    for (POSITION at = m_items.GetHeadPosition(); at;) {
        const Item* item = static_cast<const Item*>(m_items.GetNext(at));
        items.push_back(item);
        size += kEntryHeadSize + uint64_t{item->padded};
    }
    // Entries must be in key order; the list is, unless given keys and new keys were mixed.
    std::stable_sort(items.begin(), items.end(), [](const Item* a, const Item* b) { return a->key < b->key; });
    auto block = AllocateBlock(size);
    if (!block) {
        lock.unlock();
        AppLog::Instance()->Printf(kLogError, "[CStringTable::BuildBlock]: Memory was not allocated for new block");
        return false;
    }
    uint8_t* out = block.get();
    StoreTableHead(out, blockKey, size, items.size());
    size_t at = kTableHeadSize;
    for (const Item* item : items) {
        SetEntryWord(out + at, 0, kEntryHeadSize);
        SetEntryWord(out + at, 1, item->key);
        SetEntryWord(out + at, 2, item->length);
        SetEntryWord(out + at, 3, item->padded);
        std::memcpy(out + at + kEntryHeadSize, item->data, item->length);
        at += kEntryHeadSize + item->padded;
    }
    ReplaceBlock(std::move(block), size);
    RemoveAll();
    return true;
}

bool CStringTable::Remove(uint32_t key)
{
    if (!HasBlock())
        return CDataHeader::Remove(key);
    DataHeaderLock lock(*this);
    bool ok = CDataHeader::Remove(key);
    if (ok)
        SetWord(4, GetWord(4) - 1);
    return ok;
}

int CStringTable::DropUnreferenced(const std::function<bool(uint32_t key)>& referenced)
{
    MutexLock keys(m_keyMutex);
    DataHeaderLock lock(*this);
    std::vector<uint32_t> unused;
    if (HasBlock())
        for (size_t at = FirstEntryOffset(); at; at = NextEntryOffset(at)) {
            const uint32_t key = EntryWord(GetBlock() + at, 1);
            if (!referenced(key))
                unused.push_back(key);
        }
    int dropped = 0;
    for (uint32_t key : unused)
        dropped += Remove(key) ? 1 : 0;
    return dropped;
}

void CStringTable::FreeItem(POSITION position)
{
    Item* item = static_cast<Item*>(m_items.GetAt(position));
    if (item)
        delete[] item->data;
    delete item;
}

uint32_t CStringTable::GetItemKey(const void* item) const
{
    return static_cast<const Item*>(item)->key;
}

bool CStringTable::CheckBlock() const
{
    return GetSize() >= static_cast<int>(kTableHeadSize) && GetWord(0) == kTableHeadSize &&
           GetWord(2) == kTableHeadSize && CheckEntries(kEntryHeadSize);
}

bool CStringTable::CheckEntry(const uint8_t* entry, size_t entrySize) const
{
    return EntryWord(entry, 0) == kEntryHeadSize && EntryWord(entry, 2) <= EntryWord(entry, 3) &&
           entrySize == kEntryHeadSize + size_t{EntryWord(entry, 3)};
}
