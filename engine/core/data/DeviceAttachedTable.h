#pragma once
// CDeviceAttachedTable: the table of attached devices (block 0xA1000000 of the device extension file
// and its template). One 76-byte row of 19 words per device:
//   0 head size 76, 1 row key, 2-3 entry head words, 4 device field compared when a template row is
//   claimed, 5-6 string keys, 7-8 device fields, 9 flag word (bits 0-3 compared when claiming, bit 3 a
//   remote device re-created at start, bit 8 a template row not yet claimed), 10 device field, 11 string
//   key of the remote agent's address, 12 device key, 13-17 fields added at build 40, 18 added at build 49.
//
// Rows of files older than build 40 are 52 bytes; loaders keep them as stored and the device list
// re-pads them (NeedsResize, then Resize(20, 76, count)).
//
// Threads and locks: as CDataHeader. Add (including the claim of a template row) and Remove hold the
// writer lock for their whole change, row count included.

#include <cstdint>
#include <string>

#include "engine/core/data/CountedTable.h"

class CDeviceAttachedTable : public CCountedTable {
public:
    static constexpr uint32_t kRowSize = 76;
    static constexpr uint32_t kRowWords = 19;
    // Rows hold at least words 0-12 (the layout before build 40).
    static constexpr uint32_t kMinRowSize = 52;
    static constexpr uint32_t kFlagWord = 9;
    static constexpr uint32_t kKindBits = 0x0000000Fu;
    static constexpr uint32_t kRemoteRecreateBit = 0x00000008u;
    static constexpr uint32_t kTemplateRowBit = 0x00000100u;

    ~CDeviceAttachedTable() override = default;

    // key kDataKeyNew first claims a template row of the same kind (word 9 bits 0-3) and word 4: that
    // row takes words 6, 7, 8, 11 and 12 of the new row, loses bit 8, and its key is answered. Otherwise
    // the add of CDataHeader; with a replaced pointer from the caller the row count is left to the
    // caller, without one it rises unless a row was replaced.
    uint32_t Add(uint8_t* row, uint32_t key, bool* replaced = nullptr) override;
    // The block's row count, or the number of list items before a block exists.
    int GetCount() override;
    // The read of CDataHeader; when no block results, an empty table {20, key, 20, 0, 0} and the last
    // key at key. False only when that block cannot be allocated.
    bool ReadFileBlock(const std::string& path, uint32_t blockKey) override;
    // Storing: the block image (head, count, rows). Loading: the image, with the words a file of that
    // data version did not hold left zero (13-18 up to build 40, 18 up to build 49).
    void Serialize(CDataArchive& ar) override;
    // Removes the row and lowers the count; later keys are kept.
    bool Remove(uint32_t key) override;

    // Only when the table has no rows: copies the template over the file (whole, atomically), reads the
    // block again and marks every row as a template row (bit 8). True when it seeded the table.
    bool SeedFromTemplate(const std::string& filePath, const std::string& templatePath, uint32_t blockKey);
    // The table needs Resize(20, 76, count): its head is not 20 bytes or its rows are not 76.
    bool NeedsResize();

protected:
    // A table whose rows all have one size of at least 52 bytes (whole words) and no payload.
    bool CheckBlock() const override;
    bool CheckEntry(const uint8_t* entry, size_t entrySize) const override;
};
