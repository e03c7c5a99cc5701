#pragma once
// The layout of the engine's binary data files (extension files and their templates), and the checked
// reader of a file's header and directory.
//
// A data file is a 28-byte header, a directory of 16-byte entries (one per block) and the blocks, back to
// back in directory order. Every number is an unsigned 32-bit little-endian word; sizes and offsets are
// in bytes. Words are always converted explicitly (LoadWord / StoreWord), never copied as structs.
//
//   header     28, file id, 28 (directory offset base), 16 x entries, entries, data version, 0
//   directory  16, block key, offset of the block from byte 28, block length
//
// Block layout (identical in memory and in the file):
//   word 0  head size (20 for tables; the record's size for a block that is one record)
//   word 1  block key
//   word 2  offset of the first entry (= word 0 in tables; 0 in a one-record block)
//   word 3  bytes of all entries after the head
//   word 4  tables only: the number of entries
// Entries: four head words {head size, key, kind-specific, payload bytes}; the next entry starts at
// start + word 0 + word 3; entries are sorted by key (unsigned).
//
// Data version: major << 24 | minor << 16 | build << 8. Version history of the engine's own files:
//   12.04.0023  settings record gains the data-log words
//   12.04.0040  settings record gains the discovery and remote words; attached-device rows grow to 76 bytes
//   12.04.0041  settings record gains words 32-41
//   12.04.0049  settings record gains the event-log size; attached-device rows gain word 18
//   12.04.0056  settings record gains the remote-agent cap, retries, time-out and offline cycles
//   12.04.0059  the version this engine writes (kEngineDataVersion)
//
// Threads: the free functions are safe from any thread; a CMasterFileTable belongs to one thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t kDataFileHeaderSize = 28;
constexpr uint32_t kDataFileDirectoryEntrySize = 16;
constexpr uint32_t kDataFileIdMask = 0xFFFF0000u;
constexpr uint32_t kDataFileIdFamily = 0x24780000u;

constexpr uint32_t kUserExtensionFileId = 0x24780203u;
constexpr uint32_t kDeviceExtensionFileId = 0x24780204u;
constexpr uint32_t kConsoleExtensionFileId = 0x24780205u;
constexpr uint32_t kRemoteExtensionFileId = 0x24780207u;

// The data version this engine writes: 12.04.0059.
constexpr uint32_t kEngineDataVersion = 0x0C043B00u;

// Block keys (DataBlockKey).
constexpr uint32_t kStringTableBlockKey = 0x06000000u;
constexpr uint32_t kDeviceDataBlockKey = 0x09000000u;
constexpr uint32_t kDeviceAttachedBlockKey = 0xA1000000u;
constexpr uint32_t kEngineConfigBlockKey = 0xA2000000u;
constexpr uint32_t kSnmpIpBlockKey = 0xA40C0000u;
constexpr uint32_t kConsoleBlockKey = 0xA7000000u;
constexpr uint32_t kRemoteAgentBlockKey = 0xA8000000u;

// Head sizes of table blocks and of entries with a payload.
constexpr uint32_t kTableHeadSize = 20;
constexpr uint32_t kEntryHeadSize = 16;

// Loaders refuse files larger than this.
constexpr size_t kMaxDataFileSize = 64u * 1024u * 1024u;

// Keys answered by the data-table operations: 0 nothing was done, this value when memory is short.
constexpr uint32_t kDataKeyFailed = 0xFFFFFFFFu;
// The key argument that asks for a new key.
constexpr uint32_t kDataKeyNew = 0xFFFFFFFFu;

inline uint32_t LoadWord(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

inline void StoreWord(uint8_t* p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

inline void AppendWord(std::string& out, uint32_t value)
{
    uint8_t bytes[4];
    StoreWord(bytes, value);
    out.append(reinterpret_cast<const char*>(bytes), 4);
}

// The three-way test of the data-version rules: a version is newer than build X when its major number
// is above 12, or its minor number above 4, or its build number at least X. It is not an ordered
// comparison (11.05.0000 counts as newer than every build).
inline bool IsDataVersionNewer(uint32_t version, uint32_t build)
{
    return (version >> 24) > 12 || ((version >> 16) & 0xFF) > 4 || ((version >> 8) & 0xFF) >= build;
}

constexpr uint32_t MakeDataVersion(uint32_t major, uint32_t minor, uint32_t build)
{
    return major << 24 | minor << 16 | build << 8;
}

// DataFileHeader: the seven words at bytes 0-27.
struct DataFileHeader {
    uint32_t headerSize = kDataFileHeaderSize;
    uint32_t fileId = 0;
    uint32_t directoryBase = kDataFileHeaderSize;
    uint32_t directorySize = 0;
    uint32_t entryCount = 0;
    uint32_t dataVersion = 0;
    uint32_t reserved = 0;
};

// DataFileDirectoryEntry: one 16-byte entry per block.
struct DataFileDirectoryEntry {
    uint32_t entrySize = kDataFileDirectoryEntrySize;
    uint32_t blockKey = 0;
    uint32_t offset = 0; // from byte 28
    uint32_t length = 0;
};

// The header and directory of one data file, read whole into memory and checked: the header fits, the
// id is of this system's family and the directory fits. Each block's extent is checked when it is
// used (IsInside), so one bad entry does not cost the other blocks.
class CMasterFileTable {
public:
    enum class Result {
        kOk,
        kNotOpened,  // missing or unreadable (no message)
        kNotOurFile, // wrong id (logged)
        kDamaged,    // header, directory or a block extent does not fit the file (logged)
    };

    // Reads the file at path (at most kMaxDataFileSize bytes) and checks it.
    Result Read(const std::string& path);
    // Checks an image already in memory; the image is kept.
    Result Parse(std::string image, const std::string& nameForLog = "");

    const DataFileHeader& Header() const { return m_header; }
    const std::vector<DataFileDirectoryEntry>& Directory() const { return m_directory; }
    // The first directory entry with that key, or null.
    const DataFileDirectoryEntry* FindBlock(uint32_t blockKey) const;
    // Whether the entry's block lies inside the file, after the directory.
    bool IsInside(const DataFileDirectoryEntry& entry) const;
    // The bytes of a directory entry's block; only for an entry that IsInside.
    const uint8_t* BlockData(const DataFileDirectoryEntry& entry) const;
    const std::string& Image() const { return m_image; }

private:
    std::string m_image;
    DataFileHeader m_header;
    std::vector<DataFileDirectoryEntry> m_directory;
};
