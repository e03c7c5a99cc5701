#pragma once
// CDataHeader: one block of a data file held in memory as its exact file image (little-endian words and
// bytes), with the operations shared by every block kind: add, find, walk and remove entries, resize old
// layouts, load from a file and store into one.
//
// Block and entry layout: see DataFile.h. A header is in list mode while its item list is not empty (the
// kinds that build their block from items before the first save); otherwise it works on its block.
//
// Ownership: Add never takes ownership of the caller's memory, in either mode: with a block the entry's
// bytes are copied into the new block; without one a copy of the entry is appended to the item list and
// freed by FreeItem. Items that a kind inserts itself (string-table items, device items) are freed by the
// kind's own FreeItem. A kind with its own items must call RemoveAll in its own destructor, because the
// base destructor can only free base items.
//
// Loading treats the file as untrusted: the block must lie inside the file, its Serialize must not run
// past the block, and CheckBlock must accept the result (entries at least their head size, inside the
// block, sorted by key, counts that match). A refused block is logged and the header keeps what it held,
// so the owner takes its path for a missing block.
//
// Threads and locks: each header has its own ReadWriteSemaphore "DataHeaderAccessSemaphore#". Add,
// Remove, both Resize forms, RemoveItem and the block replacement in ReadFileBlock hold the writer side
// (Lock/Unlock) while they replace the buffer; the writer side is recursive, so a writer may call them
// while it holds Lock. GetAt, Find and GetCount take no lock: callers walking a table hold ReadLock
// (never ask for Lock while holding ReadLock: the writer waits for the readers to leave). Pointers into
// a block are valid until the next change of the block. DataHeaderLock (below) takes either side for a
// scope.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/data/DataFile.h"
#include "engine/base/Mutex.h"
#include "engine/base/PtrList.h"

class CDataArchive;

class CDataHeader {
public:
    CDataHeader();
    virtual ~CDataHeader();
    CDataHeader(const CDataHeader&) = delete;
    CDataHeader& operator=(const CDataHeader&) = delete;

    // Adds or replaces an entry (its word 0 + word 3 bytes) and answers its key. key kDataKeyNew takes
    // NextKey; a null entry or key 0 adds nothing and answers the key. With a block the entry replaces
    // the one of the same key or is inserted in key order, and word 3 of the head is updated (table
    // kinds keep word 4 themselves); *replaced tells which. Without a block a copy is appended to the
    // item list. The entry's words 1 (key) and 2 (0) are set in the caller's memory too.
    // Answers kDataKeyFailed when memory is short.
    virtual uint32_t Add(uint8_t* entry, uint32_t key, bool* replaced = nullptr);
    // List mode: the index-th item; block mode: the index-th entry walking from word 2. Null outside.
    virtual uint8_t* GetAt(int index);
    // The number of list items (table kinds answer word 4 of the block).
    virtual int GetCount();
    // Linear walk of the block's entries; null when absent or there is no block.
    virtual uint8_t* Find(uint32_t key);
    // Loads the block of that key from a data file. False (no message) when the file cannot be read;
    // false with a message for a file of another system, a missing key or a damaged block. The last key
    // becomes the block key, and after a load the key of the block's last entry.
    virtual bool ReadFileBlock(const std::string& path, uint32_t blockKey);
    // Re-pads a table to entries of entrySize bytes after a head of headSize bytes. The block's own
    // entries are moved (its word 4 where the head has one, else the entries walked); count is only a
    // hint and never trusted. Each entry keeps its first min(old, entrySize) bytes; its word 0 becomes
    // entrySize, its word 3 becomes 0; word 2 becomes headSize. True without a block.
    virtual bool Resize(uint32_t headSize, uint32_t entrySize, int count);
    // Grows (or cuts) a one-record block to bytes, keeping its content and zero-filling the rest; word 0
    // becomes bytes. True without a block.
    virtual bool Resize(uint32_t bytes);
    virtual void SetLastKey(uint32_t key);
    // Stores or loads the whole block image (the four head words through SerializeHeader, then the rest
    // of the block's bytes). Loading fills the buffer that ReadFileBlock allocated (GetSize bytes).
    virtual void Serialize(CDataArchive& ar);
    // Builds the block from the item list (kinds with a list mode supply it); false here.
    virtual bool BuildBlock(uint32_t blockKey);
    virtual uint32_t GetLastKey();
    // Adds 1 to the last key and answers it; kDataKeyFailed once the last key is 0xFFFFFFFE.
    virtual uint32_t NextKey();
    // Removes the entry of that key (block) or the item (list). Table kinds keep word 4 themselves.
    virtual bool Remove(uint32_t key);
    // Removes and frees every list item (FreeItem each).
    virtual void RemoveAll();
    // Frees the item at that position (not the list node). Here: a copy made by Add.
    virtual void FreeItem(POSITION position);

    // Loads or stores 4 words (a block head or an entry head).
    static bool SerializeHeader(CDataArchive& ar, uint32_t words[4]);

    int GetSize() const { return m_blockSize; }
    bool HasBlock() const { return m_block != nullptr; }
    uint32_t GetVersion() const { return m_dataVersion; }
    void SetVersion(uint32_t version) { m_dataVersion = version; }
    // A block exists and its word 0 differs.
    bool IsHeaderSizeDifferent(uint32_t headSize) const;
    // A block exists and its word 0 differs, or word 0 of its first entry differs.
    bool IsLayoutDifferent(uint32_t headSize, uint32_t entrySize) const;

    bool ReadLock();
    bool ReadUnlock();
    bool Lock();
    bool Unlock();

    // The list item whose key word equals key.
    bool FindItem(uint32_t key, POSITION& position);
    // Under the writer lock: FreeItem and unlink. False for a null position.
    bool RemoveItem(POSITION position);

    // Raw access to the block image (null without a block). Callers hold the lock that fits.
    uint8_t* GetBlock() { return m_block.get(); }
    const uint8_t* GetBlock() const { return m_block.get(); }
    // Word index of the block; 0 outside the block.
    uint32_t GetWord(size_t index) const;
    // False (nothing written) outside the block.
    bool SetWord(size_t index, uint32_t value);

    // Entry walking inside the block, bounded by the block and by word 2 + word 3: the offset of the
    // first entry, or 0 when there is none; the offset of the entry after the one at offset, or 0 when
    // there is none (a walk always advances and never leaves the block).
    size_t FirstEntryOffset() const;
    size_t NextEntryOffset(size_t offset) const;
    // The number of entries a walk finds.
    int CountEntries() const;
    // Where an entry of that key goes in the block, walking it in key order: at the entry of the same
    // key (removed = that entry's size), else before the first larger key, else after the last entry
    // (word 2 without entries); removed is 0 unless an entry is replaced. The caller holds the writer
    // lock and has checked that the block holds a table.
    void FindInsertPlace(uint32_t key, size_t& insertAt, size_t& removed) const;

    // Words of an entry in memory.
    static uint32_t EntryWord(const uint8_t* entry, int index) { return LoadWord(entry + 4 * index); }
    static void SetEntryWord(uint8_t* entry, int index, uint32_t value) { StoreWord(entry + 4 * index, value); }

    // Writes the 5-word head of a table block of blockSize bytes (at least kTableHeadSize) whose entries
    // follow the head: {20, blockKey, 20, blockSize - 20, count}.
    static void StoreTableHead(uint8_t* block, uint32_t blockKey, size_t blockSize, size_t count);
    // A zeroed buffer of size bytes, or null when memory is short.
    static std::unique_ptr<uint8_t[]> AllocateBlock(size_t size);
    // Replaces the block (the old one is freed). The caller holds the writer lock or the header is not
    // shared yet.
    void ReplaceBlock(std::unique_ptr<uint8_t[]> block, size_t size);
    // Replaces the block by a new zeroed table block {20, key, 20, 0, 0}. False when memory is short.
    bool CreateEmptyTable(uint32_t blockKey);

    // Loads the block of that key from a file table already read (used by ReadFileBlock).
    bool LoadBlock(const CMasterFileTable& file, uint32_t blockKey);
    // Loads one block image (size bytes at data) with that data version: allocates GetSize bytes,
    // Serialize, IsFailed and CheckBlock. On refusal the header keeps its previous block and false.
    bool LoadBlockImage(const uint8_t* data, size_t size, uint32_t version);

protected:
    // The structure check after a load. Here: a one-record block (word 2 = 0) needs its 16-byte head;
    // a table needs CheckEntries(16).
    virtual bool CheckBlock() const;
    // Checks every entry: head words inside the block, each entry at least minEntrySize bytes and its
    // word 0 at least 16, inside word 2 + word 3, the walk ending exactly there, keys strictly rising,
    // CheckEntry for each, and, when the head has word 4, that count.
    bool CheckEntries(uint32_t minEntrySize) const;
    virtual bool CheckEntry(const uint8_t* entry, size_t entrySize) const;
    // Called after every block replacement (under the writer lock), e.g. to rebuild an index.
    virtual void OnBlockReplaced() {}
    // The key word of a list item (word 1 of its memory here).
    virtual uint32_t GetItemKey(const void* item) const;
    // Sets the last key from the block: its last entry's key, or blockKey without entries.
    void SetLastKeyFromBlock(uint32_t blockKey);

    CPtrList m_items;

private:
    std::unique_ptr<uint8_t[]> m_block;
    int32_t m_blockSize = 0;
    std::atomic<uint32_t> m_lastKey{0};
    uint32_t m_dataVersion = 0;
    ReadWriteSemaphore m_lock;
};

// Scoped lock of a CDataHeader: the writer side (Lock/Unlock) by default, the reader side
// (ReadLock/ReadUnlock) with kRead. Released on destruction or at unlock(); owns() answers whether the
// lock was taken, and a failed take releases nothing. The same rules as the header's own calls hold:
// never ask for the writer side while holding the reader side.
class DataHeaderLock : public ScopedLockGuard<CDataHeader, bool> {
public:
    enum Side { kWrite, kRead };

    explicit DataHeaderLock(CDataHeader& header, Side side = kWrite)
        : ScopedLockGuard(header, side == kRead ? &CDataHeader::ReadLock : &CDataHeader::Lock,
                          side == kRead ? &CDataHeader::ReadUnlock : &CDataHeader::Unlock)
    {
    }
};

// CIndexedDataHeader: a sorted index of (key, offset) pairs over the block, rebuilt after every block
// replacement, so Find is a binary search.
class CIndexedDataHeader : public CDataHeader {
public:
    uint8_t* Find(uint32_t key) override;
    bool ReadFileBlock(const std::string& path, uint32_t blockKey) override;
    void Serialize(CDataArchive& ar) override;

    // Drops the index and builds it again from the block's entries (none when there are none).
    void RebuildIndex();
    bool HasIndex() const { return !m_index.empty(); }

protected:
    void OnBlockReplaced() override { RebuildIndex(); }

private:
    struct IndexPair {
        uint32_t key;
        uint32_t offset;
    };
    std::vector<IndexPair> m_index;
};
