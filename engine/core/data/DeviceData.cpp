#include "engine/core/data/DeviceData.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "engine/base/AppLog.h"
#include "engine/core/data/DataArchive.h"

CDeviceData::~CDeviceData()
{
    RemoveAll();
}

uint32_t CDeviceData::AddDevice(DeviceDataItem* item, uint32_t recordKey, bool ownedByDevice)
{
    if (!item)
        return 0;
    DataHeaderLock lock(*this);
    uint32_t key = recordKey == kDataKeyNew ? NextKey() : recordKey;
    if (key == kDataKeyFailed)
        return kDataKeyFailed;
    std::unique_ptr<uint32_t[]> head(new (std::nothrow) uint32_t[5]{kDeviceDataRecordHeadSize, key, 0, 0, 0});
    if (!head || key == 0)
        return head ? 0 : kDataKeyFailed;
    try {
        m_items.AddTail(item);
    } catch (const std::bad_alloc&) {
        return kDataKeyFailed;
    }
    item->recordHead = std::move(head);
    item->ownedByDevice = ownedByDevice ? 1 : 0;
    item->entryHead[1] = key;
    return key;
}

uint32_t CDeviceData::GetItemKey(const void* item) const
{
    return static_cast<const DeviceDataItem*>(item)->entryHead[1];
}

void CDeviceData::FreeItem(POSITION position)
{
    auto* item = static_cast<DeviceDataItem*>(m_items.GetAt(position));
    if (!item)
        return;
    item->recordHead.reset();
    if (item->ownedByDevice == 0) {
        for (DeviceDataDescriptor& d : item->descriptors)
            delete[] d.data;
        delete item;
    }
}

bool CDeviceData::BuildBlock(uint32_t blockKey)
{
    std::vector<const DeviceDataItem*> items;
    {
        DataHeaderLock lock(*this);
        ReplaceBlock(nullptr, 0);
        for (POSITION at = m_items.GetHeadPosition(); at;)
            items.push_back(static_cast<const DeviceDataItem*>(m_items.GetNext(at)));
    }
    if (items.empty())
        return false;
    // The snapshot: each sub-block's bytes as they are now, each owner under its own writer lock
    // (one lock at a time).
    struct Record {
        uint32_t key;
        std::string parts[kDeviceDataTagCount];
    };
    std::vector<Record> records;
    uint64_t total = kTableHeadSize;
    try {
        for (const DeviceDataItem* item : items) {
            Record record;
            record.key = item->entryHead[1];
            for (uint32_t k = 0; k < kDeviceDataTagCount; ++k) {
                const DeviceDataDescriptor& d = item->descriptors[k];
                std::string& part = record.parts[k];
                if (d.owner) {
                    // A throw while the image grows gives the owner's lock back on the way out.
                    DataHeaderLock lock(*d.owner);
                    if (d.owner->GetSize() > 0) {
                        CMemoryOutputStream stream(part);
                        CDataArchive ar(&stream, CDataArchive::kStoring);
                        d.owner->Serialize(ar);
                        ar.Close();
                    }
                } else if (d.length > 0) {
                    part = d.data ? std::string(reinterpret_cast<const char*>(d.data), d.length)
                                  : std::string(d.length, '\0');
                }
                total += part.size();
            }
            total += kDeviceDataRecordFixedSize;
            records.push_back(std::move(record));
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    auto block = total <= INT32_MAX ? AllocateBlock(total) : nullptr;
    if (!block)
        return false;
    uint8_t* out = block.get();
    StoreTableHead(out, blockKey, total, records.size());
    size_t at = kTableHeadSize;
    for (const Record& record : records) {
        uint32_t lengths = 0;
        for (const std::string& part : record.parts)
            lengths += static_cast<uint32_t>(part.size());
        uint8_t* head = out + at;
        StoreWord(head, kDeviceDataRecordHeadSize);
        StoreWord(head + 4, record.key);
        StoreWord(head + 8, kDeviceDataRecordHeadSize);
        StoreWord(head + 12, kDeviceDataRecordFixedSize - kDeviceDataRecordHeadSize + lengths);
        StoreWord(head + 16, kDeviceDataTagCount);
        uint32_t before = 0;
        for (uint32_t k = 0; k < kDeviceDataTagCount; ++k) {
            uint8_t* d = head + kDeviceDataRecordHeadSize + 16 * k;
            StoreWord(d, 16);
            StoreWord(d + 4, DeviceDataTag(k));
            StoreWord(d + 8, (kDeviceDataTagCount - k) * 16 + before);
            StoreWord(d + 12, static_cast<uint32_t>(record.parts[k].size()));
            before += static_cast<uint32_t>(record.parts[k].size());
        }
        size_t bytesAt = at + kDeviceDataRecordFixedSize;
        for (const std::string& part : record.parts) {
            if (!part.empty())
                std::memcpy(out + bytesAt, part.data(), part.size());
            bytesAt += part.size();
        }
        at = bytesAt;
    }
    DataHeaderLock lock(*this);
    ReplaceBlock(std::move(block), total);
    return true;
}

void CDeviceData::Serialize(CDataArchive& ar)
{
    if (ar.IsLoading())
        return;
    CDataHeader::Serialize(ar);
}
