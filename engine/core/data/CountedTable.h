#pragma once
// CCountedTable: a table block whose head holds word 4, the number of rows, kept up by its adds and
// removes. A table whose rows are numbered keeps the row keys RowKeyBase() + 1 .. RowKeyBase() + count
// in row order: a row is appended under the next number, and a removal moves every later row down one.
//
// Threads and locks: as CDataHeader. Each operation holds the writer lock for its whole change, count
// and keys included.

#include <cstdint>

#include "engine/core/data/DataHeader.h"

class CCountedTable : public CDataHeader {
protected:
    // The add of CDataHeader, counted: word 4 rises when a row went into a block without replacing
    // one. With a replaced pointer from the caller the count is left to the caller.
    uint32_t AddCounted(uint8_t* row, uint32_t key, bool* replaced);
    // Appends row (word 0 its size) under the key RowKeyBase() + count + 1 while fewer than maxRows
    // rows are held, after an empty table of blockKey when there is no block yet; the count rises and
    // the last key becomes the row's key. The key, or kDataKeyFailed when full or short of memory.
    uint32_t AppendNumbered(uint8_t* row, uint32_t blockKey, uint32_t maxRows);
    // Removes the block's row of that key and lowers the count (never below 0). False without a block
    // or when the key is absent.
    bool RemoveCounted(uint32_t key);
    // RemoveCounted, then every later row's key drops by one and the last key becomes
    // RowKeyBase() + count.
    bool RemoveAndRenumber(uint32_t key);

    // The key before the first row's: here the block's own key (word 1).
    virtual uint32_t RowKeyBase() const { return GetWord(1); }
};
