#pragma once
// CDeviceData: builds and stores block 0x09000000 of the device extension file, one record per device
// with seven tagged sub-blocks (0x81000000 ... 0x87000000; the remote device fills 0x83000000, its event
// table).
//
// Block: head {20, 0x09000000, 20, total size - 20, record count}; per record a head {20, record key, 20,
// L, 7} with L = 112 + the seven lengths, seven descriptors {16, tag, offset from the descriptor to its
// bytes, length}, then the seven byte strings back to back (a record takes 132 + its lengths bytes).
//
// A CDeviceData lives for one save of the device list: AddDevice for each device, BuildBlock, write the
// block with the others (CBinaryFile), destroy. BuildBlock takes a snapshot: a descriptor with an owner
// is copied from the owner's current block image under the owner's writer lock, so the record and its
// lengths always agree even while the owner changes; Serialize writes that snapshot.
//
// Threads: one CDataHeader per save, used by the saving thread only. BuildBlock takes each owner's
// writer lock in turn (never two at once); the caller must not hold an owner's read lock.

#include <cstdint>
#include <memory>

#include "engine/core/data/DataHeader.h"

constexpr uint32_t kDeviceDataTagCount = 7;
constexpr uint32_t kDeviceDataFirstTag = 0x81000000u;
constexpr uint32_t kDeviceDataEventTag = 0x83000000u;
constexpr uint32_t kDeviceDataRecordHeadSize = 20;
// Record head + seven descriptors.
constexpr uint32_t kDeviceDataRecordFixedSize = kDeviceDataRecordHeadSize + kDeviceDataTagCount * 16;

inline uint32_t DeviceDataTag(uint32_t index)
{
    return kDeviceDataFirstTag + (index << 24);
}

struct DeviceDataDescriptor {
    const uint8_t* data = nullptr; // the sub-block bytes (used when there is no owner)
    uint32_t length = 0;
    CDataHeader* owner = nullptr; // serialises the sub-block; its image is taken at BuildBlock
};

// One device's item; owned by the device entry (ownedByDevice 1) or by CDeviceData (0: then the item
// and its byte strings were allocated with new / new[] and are freed with it).
struct DeviceDataItem {
    uint32_t entryHead[4] = {kEntryHeadSize, 0, 0, 0}; // word 1: the record key
    std::unique_ptr<uint32_t[]> recordHead;             // {20, record key, 0, 0, 0}, made by AddDevice
    DeviceDataDescriptor descriptors[kDeviceDataTagCount];
    uint32_t ownedByDevice = 1;
};

class CDeviceData : public CDataHeader {
public:
    ~CDeviceData() override;

    // Gives the item its record head and appends it to the list under recordKey (kDataKeyNew: the next
    // key); answers the key, or kDataKeyFailed when memory is short.
    uint32_t AddDevice(DeviceDataItem* item, uint32_t recordKey, bool ownedByDevice);
    // Builds the block from the items in list order; false with no items or no memory.
    bool BuildBlock(uint32_t blockKey) override;
    // Storing: the block built by BuildBlock. Loading: nothing.
    void Serialize(CDataArchive& ar) override;
    void FreeItem(POSITION position) override;

protected:
    uint32_t GetItemKey(const void* item) const override;
};
