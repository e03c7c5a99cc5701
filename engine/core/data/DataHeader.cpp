#include "engine/core/data/DataHeader.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "engine/base/AppLog.h"
#include "engine/core/data/DataArchive.h"

namespace {

constexpr uint64_t kMaxBlockSize = INT32_MAX;

} // namespace

CDataHeader::CDataHeader() : m_lock("DataHeaderAccessSemaphore#") {}

CDataHeader::~CDataHeader()
{
    CDataHeader::RemoveAll();
}

std::unique_ptr<uint8_t[]> CDataHeader::AllocateBlock(size_t size)
{
    if (size == 0 || size > kMaxBlockSize)
        return nullptr;
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[size]());
}

void CDataHeader::ReplaceBlock(std::unique_ptr<uint8_t[]> block, size_t size)
{
    m_block = std::move(block);
    m_blockSize = m_block ? static_cast<int32_t>(size) : 0;
    OnBlockReplaced();
}

void CDataHeader::StoreTableHead(uint8_t* block, uint32_t blockKey, size_t blockSize, size_t count)
{
    StoreWord(block, kTableHeadSize);
    StoreWord(block + 4, blockKey);
    StoreWord(block + 8, kTableHeadSize);
    StoreWord(block + 12, static_cast<uint32_t>(blockSize - kTableHeadSize));
    StoreWord(block + 16, static_cast<uint32_t>(count));
}

bool CDataHeader::CreateEmptyTable(uint32_t blockKey)
{
    auto block = AllocateBlock(kTableHeadSize);
    if (!block)
        return false;
    StoreTableHead(block.get(), blockKey, kTableHeadSize, 0);
    DataHeaderLock lock(*this);
    ReplaceBlock(std::move(block), kTableHeadSize);
    return true;
}

uint32_t CDataHeader::GetWord(size_t index) const
{
    if (!m_block || index >= static_cast<size_t>(m_blockSize) / 4)
        return 0;
    return LoadWord(m_block.get() + 4 * index);
}

bool CDataHeader::SetWord(size_t index, uint32_t value)
{
    if (!m_block || index >= static_cast<size_t>(m_blockSize) / 4)
        return false;
    StoreWord(m_block.get() + 4 * index, value);
    return true;
}

namespace {

// The size of the entry at offset when it lies whole inside [.., end), else 0.
size_t EntrySizeAt(const uint8_t* block, size_t offset, size_t end)
{
    if (offset + kEntryHeadSize > end)
        return 0;
    uint64_t head = LoadWord(block + offset);
    uint64_t size = head + LoadWord(block + offset + 12);
    if (head < kEntryHeadSize || offset + size > end)
        return 0;
    return static_cast<size_t>(size);
}

// End of the entries: word 2 + word 3, cut to the block.
size_t EntriesEnd(const uint8_t* block, size_t blockSize)
{
    if (!block || blockSize < kEntryHeadSize)
        return 0;
    uint64_t end = uint64_t{LoadWord(block + 8)} + LoadWord(block + 12);
    return static_cast<size_t>(std::min<uint64_t>(end, blockSize));
}

} // namespace

size_t CDataHeader::FirstEntryOffset() const
{
    if (!m_block || m_blockSize < static_cast<int32_t>(kEntryHeadSize))
        return 0;
    size_t first = LoadWord(m_block.get() + 8);
    if (first < kEntryHeadSize)
        return 0;
    size_t end = EntriesEnd(m_block.get(), m_blockSize);
    return EntrySizeAt(m_block.get(), first, end) ? first : 0;
}

size_t CDataHeader::NextEntryOffset(size_t offset) const
{
    if (!m_block || offset < kEntryHeadSize)
        return 0;
    size_t end = EntriesEnd(m_block.get(), m_blockSize);
    size_t size = EntrySizeAt(m_block.get(), offset, end);
    if (!size)
        return 0;
    size_t next = offset + size;
    return EntrySizeAt(m_block.get(), next, end) ? next : 0;
}

int CDataHeader::CountEntries() const
{
    int count = 0;
    for (size_t at = FirstEntryOffset(); at; at = NextEntryOffset(at))
        ++count;
    return count;
}

void CDataHeader::FindInsertPlace(uint32_t key, size_t& insertAt, size_t& removed) const
{
    const uint8_t* block = m_block.get();
    insertAt = GetWord(2);
    removed = 0;
    size_t end = EntriesEnd(block, m_blockSize);
    for (size_t at = FirstEntryOffset(); at; at = NextEntryOffset(at)) {
        size_t size = EntrySizeAt(block, at, end);
        uint32_t atKey = LoadWord(block + at + 4);
        insertAt = at;
        if (atKey == key) {
            removed = size;
            return;
        }
        if (atKey > key)
            return;
        insertAt = at + size;
    }
}

uint32_t CDataHeader::Add(uint8_t* entry, uint32_t key, bool* replaced)
{
    if (replaced)
        *replaced = false;
    if (key == kDataKeyNew) {
        DataHeaderLock lock(*this);
        key = NextKey();
    }
    if (!entry || key == 0)
        return key;
    if (key == kDataKeyFailed) {
        AppLog::Instance()->Printf(kLogError, "[CDataHeader::Add]: No key is left for a new entry");
        return kDataKeyFailed;
    }
    SetEntryWord(entry, 1, key);
    SetEntryWord(entry, 2, 0);
    uint64_t entryHead = EntryWord(entry, 0);
    uint64_t entrySize = entryHead + EntryWord(entry, 3);
    if (entryHead < kEntryHeadSize || entrySize > kMaxBlockSize) {
        AppLog::Instance()->Printf(kLogError, "[CDataHeader::Add]: Entry of key (%X) has an impossible size", key);
        return 0;
    }

    DataHeaderLock lock(*this);
    if (!m_block) {
        uint8_t* copy = new (std::nothrow) uint8_t[entrySize];
        if (!copy) {
            lock.unlock();
            AppLog::Instance()->Printf(kLogError, "Error [CDataHeader::Add]: Memory was not allocated for new key (%X)", key);
            return kDataKeyFailed;
        }
        std::memcpy(copy, entry, entrySize);
        m_items.AddTail(copy);
        return key;
    }

    const uint8_t* old = m_block.get();
    size_t oldSize = static_cast<size_t>(m_blockSize);
    if (oldSize < kEntryHeadSize || LoadWord(old + 8) < kEntryHeadSize || LoadWord(old + 8) > oldSize) {
        lock.unlock();
        AppLog::Instance()->Printf(kLogError, "[CDataHeader::Add]: Block (0x%08X) holds no table", LoadWord(old + 4));
        return 0;
    }
    size_t insertAt = 0;
    size_t removed = 0;
    FindInsertPlace(key, insertAt, removed);
    uint64_t newSize = uint64_t{oldSize} - removed + entrySize;
    auto block = AllocateBlock(newSize);
    if (!block) {
        lock.unlock();
        AppLog::Instance()->Printf(kLogError, "Error [CDataHeader::Add]: Memory was not allocated for new key (%X)", key);
        return kDataKeyFailed;
    }
    std::memcpy(block.get(), old, insertAt);
    std::memcpy(block.get() + insertAt, entry, entrySize);
    std::memcpy(block.get() + insertAt + entrySize, old + insertAt + removed, oldSize - insertAt - removed);
    StoreWord(block.get() + 12, static_cast<uint32_t>(LoadWord(old + 12) - removed + entrySize));
    ReplaceBlock(std::move(block), newSize);
    if (replaced)
        *replaced = removed != 0;
    return key;
}

uint8_t* CDataHeader::GetAt(int index)
{
    if (index < 0)
        return nullptr;
    if (!m_items.IsEmpty()) {
        POSITION position = m_items.FindIndex(index);
        return position ? static_cast<uint8_t*>(m_items.GetAt(position)) : nullptr;
    }
    size_t at = FirstEntryOffset();
    for (int i = 0; at && i < index; ++i)
        at = NextEntryOffset(at);
    return at ? m_block.get() + at : nullptr;
}

int CDataHeader::GetCount()
{
    return m_items.GetCount();
}

uint8_t* CDataHeader::Find(uint32_t key)
{
    for (size_t at = FirstEntryOffset(); at; at = NextEntryOffset(at))
        if (LoadWord(m_block.get() + at + 4) == key)
            return m_block.get() + at;
    return nullptr;
}

bool CDataHeader::ReadFileBlock(const std::string& path, uint32_t blockKey)
{
    CMasterFileTable file;
    bool ok = file.Read(path) == CMasterFileTable::Result::kOk && LoadBlock(file, blockKey);
    if (!ok && !HasBlock())
        SetLastKey(blockKey);
    return ok;
}

bool CDataHeader::LoadBlock(const CMasterFileTable& file, uint32_t blockKey)
{
    const DataFileDirectoryEntry* entry = file.FindBlock(blockKey);
    if (!entry) {
        AppLog::Instance()->Printf(kLogDebug, "[DataHeader::ReadFileBlock]: Key was not located (%u) hex (0x%04x)",
                                   blockKey, blockKey);
        return false;
    }
    if (!file.IsInside(*entry) || entry->length < kEntryHeadSize) {
        AppLog::Instance()->Printf(kLogError, "[DataHeader::ReadFileBlock]: Data block (0x%08X) lies outside the file",
                                   blockKey);
        return false;
    }
    if (!LoadBlockImage(file.BlockData(*entry), entry->length, file.Header().dataVersion))
        return false;
    SetLastKeyFromBlock(blockKey);
    return true;
}

bool CDataHeader::LoadBlockImage(const uint8_t* data, size_t size, uint32_t version)
{
    if (!data || size < kEntryHeadSize)
        return false;
    auto block = AllocateBlock(size);
    if (!block) {
        AppLog::Instance()->Printf(kLogError, "[DataHeader::ReadFileBlock]: Memory was not allocated for data block");
        return false;
    }
    DataHeaderLock lock(*this);
    // The new buffer is put in place for Serialize to fill; the old one comes back if the load fails.
    std::unique_ptr<uint8_t[]> oldBlock = std::move(m_block);
    int32_t oldSize = m_blockSize;
    uint32_t oldVersion = m_dataVersion;
    m_block = std::move(block);
    m_blockSize = static_cast<int32_t>(size);
    m_dataVersion = version;
    bool ok = false;
    {
        CMemoryInputStream stream(data, size);
        CDataArchive ar(&stream, CDataArchive::kLoading);
        Serialize(ar);
        ok = !ar.IsFailed() && CheckBlock();
    }
    if (ok) {
        OnBlockReplaced();
    } else {
        uint32_t key = GetWord(1);
        m_block = std::move(oldBlock);
        m_blockSize = oldSize;
        m_dataVersion = oldVersion;
        OnBlockReplaced();
        lock.unlock();
        AppLog::Instance()->Printf(kLogError, "[DataHeader::ReadFileBlock]: Data block (0x%08X) is damaged and was not loaded",
                                   key);
    }
    return ok;
}

bool CDataHeader::CheckBlock() const
{
    if (!m_block || m_blockSize < static_cast<int32_t>(kEntryHeadSize))
        return false;
    if (GetWord(2) == 0)
        return true; // one record
    return CheckEntries(kEntryHeadSize);
}

bool CDataHeader::CheckEntry(const uint8_t*, size_t) const
{
    return true;
}

bool CDataHeader::CheckEntries(uint32_t minEntrySize) const
{
    if (!m_block || m_blockSize < static_cast<int32_t>(kEntryHeadSize))
        return false;
    const uint8_t* block = m_block.get();
    size_t size = static_cast<size_t>(m_blockSize);
    uint32_t head = LoadWord(block);
    uint32_t first = LoadWord(block + 8);
    uint64_t end = uint64_t{first} + LoadWord(block + 12);
    if (head < kEntryHeadSize || head > size || first < head || end != size)
        return false;
    uint32_t count = 0;
    uint32_t previousKey = 0;
    for (size_t at = first; at < end;) {
        size_t entrySize = EntrySizeAt(block, at, static_cast<size_t>(end));
        if (!entrySize || entrySize < minEntrySize)
            return false;
        uint32_t key = LoadWord(block + at + 4);
        if (key == 0 || (count > 0 && key <= previousKey))
            return false;
        if (!CheckEntry(block + at, entrySize))
            return false;
        previousKey = key;
        ++count;
        at += entrySize;
    }
    return head < kTableHeadSize || LoadWord(block + 16) == count;
}

void CDataHeader::SetLastKeyFromBlock(uint32_t blockKey)
{
    uint32_t last = blockKey;
    for (size_t at = FirstEntryOffset(); at; at = NextEntryOffset(at))
        last = LoadWord(m_block.get() + at + 4);
    SetLastKey(last);
}

bool CDataHeader::Resize(uint32_t headSize, uint32_t entrySize, int /*count*/)
{
    if (!m_block)
        return true;
    if (headSize < kEntryHeadSize || entrySize < kEntryHeadSize)
        return false;
    DataHeaderLock lock(*this);
    const uint8_t* old = m_block.get();
    size_t oldSize = static_cast<size_t>(m_blockSize);
    // The block's own entries, never a count from outside.
    uint32_t count = static_cast<uint32_t>(CountEntries());
    uint64_t newSize = uint64_t{headSize} + uint64_t{entrySize} * count;
    auto block = newSize <= kMaxBlockSize ? AllocateBlock(newSize) : nullptr;
    if (!block) {
        lock.unlock();
        AppLog::Instance()->Printf(kLogError, "[CDataHeader::Resize]: Memory was not allocated for resizing data block");
        return false;
    }
    std::memcpy(block.get(), old, std::min<size_t>({LoadWord(old), headSize, oldSize}));
    StoreWord(block.get(), headSize);
    StoreWord(block.get() + 8, headSize);
    StoreWord(block.get() + 12, entrySize * count);
    if (headSize >= kTableHeadSize)
        StoreWord(block.get() + 16, count);
    size_t slot = headSize;
    size_t end = EntriesEnd(old, oldSize);
    for (size_t at = FirstEntryOffset(); at; at = NextEntryOffset(at)) {
        size_t size = EntrySizeAt(old, at, end);
        std::memcpy(block.get() + slot, old + at, std::min<size_t>(size, entrySize));
        StoreWord(block.get() + slot, entrySize);
        StoreWord(block.get() + slot + 12, 0);
        slot += entrySize;
    }
    ReplaceBlock(std::move(block), newSize);
    return true;
}

bool CDataHeader::Resize(uint32_t bytes)
{
    if (!m_block)
        return true;
    if (bytes < kEntryHeadSize)
        return false;
    DataHeaderLock lock(*this);
    auto block = AllocateBlock(bytes);
    if (!block) {
        lock.unlock();
        AppLog::Instance()->Printf(kLogError, "[CDataHeader::Resize]: Memory was not allocated for resizing data block");
        return false;
    }
    std::memcpy(block.get(), m_block.get(), std::min<size_t>(bytes, static_cast<size_t>(m_blockSize)));
    StoreWord(block.get(), bytes);
    ReplaceBlock(std::move(block), bytes);
    return true;
}

void CDataHeader::SetLastKey(uint32_t key)
{
    m_lastKey = key;
}

uint32_t CDataHeader::GetLastKey()
{
    return m_lastKey;
}

uint32_t CDataHeader::NextKey()
{
    // 0xFFFFFFFF is kDataKeyNew and kDataKeyFailed at once, so it is never handed out as a key: once the
    // last key is 0xFFFFFFFE the block takes no new entry.
    if (m_lastKey >= kDataKeyFailed - 1)
        return kDataKeyFailed;
    return ++m_lastKey;
}

bool CDataHeader::SerializeHeader(CDataArchive& ar, uint32_t words[4])
{
    bool ok = true;
    for (int i = 0; i < 4; ++i)
        ok = (ar.IsLoading() ? ar.ReadU32(words[i]) : ar.WriteU32(words[i])) && ok;
    return ok;
}

void CDataHeader::Serialize(CDataArchive& ar)
{
    if (!m_block || m_blockSize < static_cast<int32_t>(kEntryHeadSize))
        return;
    uint32_t head[4];
    if (ar.IsLoading()) {
        SerializeHeader(ar, head);
        for (int i = 0; i < 4; ++i)
            StoreWord(m_block.get() + 4 * i, head[i]);
        ar.ReadBytes(m_block.get() + kEntryHeadSize, m_blockSize - kEntryHeadSize);
    } else {
        for (int i = 0; i < 4; ++i)
            head[i] = LoadWord(m_block.get() + 4 * i);
        SerializeHeader(ar, head);
        ar.WriteBytes(m_block.get() + kEntryHeadSize, m_blockSize - kEntryHeadSize);
    }
}

bool CDataHeader::BuildBlock(uint32_t)
{
    return false;
}

bool CDataHeader::Remove(uint32_t key)
{
    if (!m_block) {
        POSITION position = nullptr;
        return FindItem(key, position) && RemoveItem(position);
    }
    DataHeaderLock lock(*this);
    const uint8_t* old = m_block.get();
    size_t oldSize = static_cast<size_t>(m_blockSize);
    size_t end = EntriesEnd(old, oldSize);
    for (size_t at = FirstEntryOffset(); at; at = NextEntryOffset(at)) {
        if (LoadWord(old + at + 4) != key)
            continue;
        size_t size = EntrySizeAt(old, at, end);
        auto block = AllocateBlock(oldSize - size);
        if (!block) {
            lock.unlock();
            AppLog::Instance()->Printf(kLogError, "[CDataHeader::Remove]: Memory was not reallocated for deleted key (%X)", key);
            return false;
        }
        std::memcpy(block.get(), old, at);
        std::memcpy(block.get() + at, old + at + size, oldSize - at - size);
        StoreWord(block.get() + 12, static_cast<uint32_t>(LoadWord(old + 12) - size));
        ReplaceBlock(std::move(block), oldSize - size);
        return true;
    }
    return false;
}

void CDataHeader::RemoveAll()
{
    DataHeaderLock lock(*this);
    while (!m_items.IsEmpty()) {
        POSITION position = m_items.GetHeadPosition();
        FreeItem(position);
        m_items.RemoveAt(position);
    }
}

void CDataHeader::FreeItem(POSITION position)
{
    delete[] static_cast<uint8_t*>(m_items.GetAt(position));
}

uint32_t CDataHeader::GetItemKey(const void* item) const
{
    return LoadWord(static_cast<const uint8_t*>(item) + 4);
}

bool CDataHeader::FindItem(uint32_t key, POSITION& position)
{
    for (POSITION at = m_items.GetHeadPosition(); at;) {
        POSITION here = at;
        void* item = m_items.GetNext(at);
        if (item && GetItemKey(item) == key) {
            position = here;
            return true;
        }
    }
    position = nullptr;
    return false;
}

bool CDataHeader::RemoveItem(POSITION position)
{
    if (!position)
        return false;
    DataHeaderLock lock(*this);
    FreeItem(position);
    m_items.RemoveAt(position);
    return true;
}

bool CDataHeader::IsHeaderSizeDifferent(uint32_t headSize) const
{
    return m_block && GetWord(0) != headSize;
}

bool CDataHeader::IsLayoutDifferent(uint32_t headSize, uint32_t entrySize) const
{
    if (!m_block)
        return false;
    if (GetWord(0) != headSize)
        return true;
    size_t first = FirstEntryOffset();
    return first && LoadWord(m_block.get() + first) != entrySize;
}

bool CDataHeader::ReadLock()
{
    return m_lock.ReadLock() == 1;
}

bool CDataHeader::ReadUnlock()
{
    return m_lock.ReadUnlock() == 1;
}

bool CDataHeader::Lock()
{
    return m_lock.WriteLock() == 1;
}

bool CDataHeader::Unlock()
{
    return m_lock.WriteUnlock() == 1;
}

// CIndexedDataHeader

uint8_t* CIndexedDataHeader::Find(uint32_t key)
{
    if (m_index.empty())
        return CDataHeader::Find(key);
    auto it = std::lower_bound(m_index.begin(), m_index.end(), key,
                               [](const IndexPair& pair, uint32_t k) { return pair.key < k; });
    if (it == m_index.end() || it->key != key || it->offset >= static_cast<uint32_t>(GetSize()))
        return nullptr;
    return GetBlock() + it->offset;
}

bool CIndexedDataHeader::ReadFileBlock(const std::string& path, uint32_t blockKey)
{
    return CDataHeader::ReadFileBlock(path, blockKey) && HasIndex();
}

void CIndexedDataHeader::Serialize(CDataArchive& ar)
{
    CDataHeader::Serialize(ar);
}

void CIndexedDataHeader::RebuildIndex()
{
    m_index.clear();
    try {
        for (size_t at = FirstEntryOffset(); at; at = NextEntryOffset(at))
            m_index.push_back({EntryWord(GetBlock() + at, 1), static_cast<uint32_t>(at)});
        // The index is searched by key: a block built out of order falls back to the linear walk.
        if (!std::is_sorted(m_index.begin(), m_index.end(),
                            [](const IndexPair& a, const IndexPair& b) { return a.key < b.key; }))
            m_index.clear();
    } catch (const std::bad_alloc&) {
        m_index.clear();
        AppLog::Instance()->Printf(kLogError, "[CIndexedDataHeader::RebuildIndex]: Memory was not allocated for index table");
    }
}
