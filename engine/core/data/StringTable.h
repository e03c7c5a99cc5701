#pragma once
// CStringTable: the texts of a data file (block 0x06000000). Records elsewhere store a text as its key;
// key 0 means no text. In a new table the first key handed out is the block key + 1.
//
// Block: head {20, block key, 20, entry bytes, entry count}; entry {16, key, length, padded length},
// then the data and zero bytes up to the padded length (the length rounded up to a multiple of 4).
// A text is stored with its terminating NUL, so its length is its characters + 1. Texts compare by
// length and bytes (a stored text equals "ab" only if it is the three bytes 'a' 'b' NUL).
//
// List mode (before a block exists): items {20, key, length, padded length, owned copy of the data}.
//
// Threads and locks: AddBytes (search and insert) and Serialize hold the writer lock; GetBytes, GetPtr,
// GetString and FindByString hold the reader lock while they look. GetAt and Find take none (see
// CDataHeader). A pointer from GetPtr is valid until the block is next replaced; hold ReadLock around
// its use when other threads may change the table.
//
// Texts that nothing refers to any more: a writer that adds a text for a record holds KeyMutex from the
// AddString until the key is stored in its record, and DropUnreferenced holds it while it sweeps, so a
// text just added is never swept before its key is in place. KeyMutex comes before every block lock
// (this table's and the records'; rank 8 of engine/base/LockOrder.h); nothing that takes it is called
// with a block lock held.

#include <cstdint>
#include <functional>
#include <string>

#include "engine/base/Mutex.h"
#include "engine/core/data/DataHeader.h"

class CStringTable : public CIndexedDataHeader {
public:
    // The padded length up to which GetString answers a text (127 characters and the NUL).
    static constexpr uint32_t kMaxGetStringPadded = 128;

    CStringTable() = default;
    ~CStringTable() override;

    // Stores length bytes of data under key (kDataKeyNew: the key of an equal entry, else a new key).
    // Answers the key; 0 for null data, length 0, key 0, or a given key that a list item already has;
    // kDataKeyFailed when memory is short. With a block a given key replaces that entry.
    virtual uint32_t AddBytes(const void* data, uint32_t length, uint32_t key = kDataKeyNew);
    // The first length characters (fewer if the text ends sooner) and a NUL.
    // (key has no default, so AddString("text", key) always means the whole text.)
    virtual uint32_t AddString(const char* text, uint32_t length, uint32_t key);
    // The whole text and a NUL.
    virtual uint32_t AddString(const std::string& text, uint32_t key = kDataKeyNew);
    // The key of the first entry, in key order, holding exactly this text and its NUL; 0 when none.
    virtual uint32_t FindByString(const std::string& text);
    // The text of key when its padded length is at most 128 bytes; otherwise, or for an absent key,
    // the empty text. The terminating NUL is not part of the answer.
    virtual void GetString(uint32_t key, std::string& out);
    // Copies the entry's length bytes when size is at least its padded length; size then holds the
    // bytes copied. Otherwise false, and size holds the padded length needed (0 for an absent key).
    virtual bool GetBytes(uint32_t key, void* buffer, uint32_t& size);
    // The entry's data and its length (with the NUL); false when absent.
    virtual bool GetPtr(uint32_t key, const uint8_t*& data, uint32_t& length);
    // GetPtr with the length less one (the text's length) when it is not 0.
    virtual bool GetStringPtr(uint32_t key, const char*& text, uint32_t& length);
    // The whole stored text of any length (convenience; not limited like GetString).
    std::string GetText(uint32_t key);

    // Word 4 of the block, else the number of list items.
    int GetCount() override;
    // The indexed read; when no block results, an empty block {20, key, 20, 0, 0} with the last key at
    // the block key, and true. False only when that block cannot be allocated.
    bool ReadFileBlock(const std::string& path, uint32_t blockKey) override;
    // Under the writer lock: the block image.
    void Serialize(CDataArchive& ar) override;
    // From the items: one entry per item in list order. A table that already has its block keeps its
    // texts and takes the items into it. False with no block and no items, or when memory is short.
    bool BuildBlock(uint32_t blockKey) override;
    // Removes the entry and keeps word 4 and the index right.
    bool Remove(uint32_t key) override;
    void FreeItem(POSITION position) override;

    // See the header comment.
    Mutex& KeyMutex() { return m_keyMutex; }
    // Under KeyMutex (taken here too): removes every text of the block whose key referenced() denies.
    // Answers how many went.
    int DropUnreferenced(const std::function<bool(uint32_t key)>& referenced);

    // The padded length of length bytes.
    static uint32_t PaddedLength(uint32_t length) { return (length + 3u) & ~3u; }

protected:
    // Under the writer lock: inserts or replaces the entry of key in the block.
    uint32_t AddBytesToBlob(const void* data, uint32_t length, uint32_t key);
    bool CheckBlock() const override;
    bool CheckEntry(const uint8_t* entry, size_t entrySize) const override;
    uint32_t GetItemKey(const void* item) const override;

private:
    struct Item {
        uint32_t headSize = 20;
        uint32_t key = 0;
        uint32_t length = 0;
        uint32_t padded = 0;
        uint8_t* data = nullptr; // owned
    };
    // The data of key in the block or the items; caller holds a lock.
    bool LookUp(uint32_t key, const uint8_t*& data, uint32_t& length, uint32_t& padded);
    uint32_t FindEqualLocked(const void* data, uint32_t length);

    Mutex m_keyMutex{"StringTableKeyMutex#"};
};
