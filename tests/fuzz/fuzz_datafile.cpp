// Fuzzes the binary data-file loaders with whole files: the string table, the attached-device table,
// a one-record block, and a device record's tagged sub-block; whatever loads is then changed, saved to an
// image and loaded again, which must give the same block.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "engine/core/data/BinaryFile.h"
#include "engine/core/data/DeviceAttachedTable.h"
#include "engine/core/data/DeviceDataEntry.h"
#include "engine/core/data/StringTable.h"
#include "platform/AtomicFile.h"

namespace {

class RecordBlock : public CDataHeader {};

std::string BlockBytes(const CDataHeader& header)
{
    return std::string(reinterpret_cast<const char*>(header.GetBlock()), header.GetSize());
}

// Saves header to an image and loads it into back; the two blocks must match.
template <typename T>
void RoundTrip(T& header, uint32_t key)
{
    CBinaryFile file;
    file.AddBlock(&header, key);
    std::string image;
    if (!file.BuildImage(kUserExtensionFileId, kEngineDataVersion, image))
        std::abort();
    CMasterFileTable parsed;
    if (parsed.Parse(image) != CMasterFileTable::Result::kOk)
        std::abort();
    T back;
    if (!header.HasBlock())
        return;
    if (!back.LoadBlock(parsed, key) || BlockBytes(back) != BlockBytes(header))
        std::abort();
}

const std::string& ScratchPath()
{
    static const std::string path = [] {
        const char* folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string name = std::string(folder) + "/vg_fuzz_datafile." + std::to_string(getpid());
        std::atexit([] { ::unlink(ScratchPath().c_str()); });
        return name;
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = ScratchPath();
    if (!vgplat::WriteFileAtomically(path, data, size, 0600))
        return 0;

    {
        CStringTable strings;
        if (!strings.ReadFileBlock(path, kStringTableBlockKey))
            std::abort();
        int count = strings.GetCount();
        for (int i = 0; i < count + 1; ++i) {
            const uint8_t* entry = strings.GetAt(i);
            if (!entry)
                break;
            uint32_t key = CDataHeader::EntryWord(entry, 1);
            std::string text;
            strings.GetString(key, text);
            std::string whole = strings.GetText(key);
            if (strings.FindByString(whole) == 0 && whole.find('\0') == std::string::npos &&
                CDataHeader::EntryWord(entry, 2) == whole.size() + 1)
                std::abort(); // a stored text must be found again
        }
        strings.AddString("fuzz");
        if (count > 0)
            strings.Remove(CDataHeader::EntryWord(strings.GetAt(0), 1));
        RoundTrip(strings, kStringTableBlockKey);
    }
    {
        CDeviceAttachedTable attached;
        if (!attached.ReadFileBlock(path, kDeviceAttachedBlockKey))
            std::abort();
        if (attached.NeedsResize())
            attached.Resize(kTableHeadSize, CDeviceAttachedTable::kRowSize, attached.GetCount());
        uint8_t row[CDeviceAttachedTable::kRowSize] = {};
        StoreWord(row, CDeviceAttachedTable::kRowSize);
        StoreWord(row + 36, 1);
        attached.Add(row, kDataKeyNew);
        for (int i = 0; attached.GetAt(i); ++i)
            attached.Find(CDataHeader::EntryWord(attached.GetAt(i), 1));
        RoundTrip(attached, kDeviceAttachedBlockKey);
    }
    {
        RecordBlock record;
        if (record.ReadFileBlock(path, kEngineConfigBlockKey)) {
            if (record.GetWord(2) == 0)
                record.Resize(188);
            record.GetWord(46);
            RoundTrip(record, kEngineConfigBlockKey);
        }
    }
    {
        CDeviceDataEntry entry;
        if (entry.ReadFileBlock(path, 0xA1000001, 0x83000000)) {
            for (int i = 0; entry.GetAt(i); ++i) {
            }
            RoundTrip(entry, 0x83000000);
        }
    }
    return 0;
}
