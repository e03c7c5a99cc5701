#pragma once
// CDeviceDataEntry: one tagged sub-block of one device record of block 0x09000000, loaded from the
// device extension file or its template. Subclasses (a device's event table and the like) give the
// sub-block its meaning; rows are of equal size.
//
// The read walks only inside the file, the block and the record: every record head, descriptor and
// sub-block is checked to lie inside what contains it, and every step advances.
//
// Threads: the owning device entry's thread; the sub-block's lock as CDataHeader.

#include <cstdint>
#include <string>

#include "engine/core/data/DataHeader.h"

class CDeviceEntry;

class CDeviceDataEntry : public CDataHeader {
public:
    // Row index of equal-size rows: row i lies i x the first row's head size after the first row.
    uint8_t* GetAt(int index) override;
    using CDataHeader::ReadFileBlock;

    virtual void SetOwner(CDeviceEntry* owner) { m_owner = owner; }
    CDeviceEntry* GetOwner() const { return m_owner; }
    // Loads the sub-block of that tag from the record of recordKey. True when it was found and loaded;
    // false (the object keeps what it held) for a missing file, a file of another system, a missing
    // block, record or tag ("Key was not located"), or a damaged block. After a load the last key is the
    // key of the sub-block's last entry, or the tag when it has none.
    virtual bool ReadFileBlock(const std::string& path, uint32_t recordKey, uint32_t tag);

private:
    CDeviceEntry* m_owner = nullptr;
};
