#include "engine/core/data/DataFile.h"

#include "engine/base/AppLog.h"
#include "platform/AtomicFile.h"

namespace {

const char* DescribeDamage(const std::string& image, const DataFileHeader& header, uint64_t& end)
{
    end = 0;
    if (image.size() < kDataFileHeaderSize)
        return "shorter than its header";
    if (header.directoryBase < kDataFileHeaderSize || header.directoryBase > image.size())
        return "directory base outside the file";
    uint64_t directoryEnd = kDataFileHeaderSize + uint64_t{kDataFileDirectoryEntrySize} * header.entryCount;
    if (directoryEnd > image.size())
        return "directory runs past the end of the file";
    end = directoryEnd;
    return nullptr;
}

} // namespace

CMasterFileTable::Result CMasterFileTable::Read(const std::string& path)
{
    std::string image;
    std::string error;
    if (!vgplat::ReadWholeFile(path, image, kMaxDataFileSize, &error)) {
        if (error.rfind("file too large", 0) == 0) {
            AppLog::Instance()->Printf(kLogError, "[CMasterFileTable::Read]: Data file \"%s\" is damaged (%s)",
                                       path.c_str(), "larger than any data file");
            return Result::kDamaged;
        }
        return Result::kNotOpened;
    }
    return Parse(std::move(image), path);
}

CMasterFileTable::Result CMasterFileTable::Parse(std::string image, const std::string& nameForLog)
{
    m_image = std::move(image);
    m_header = DataFileHeader();
    m_directory.clear();
    const auto* bytes = reinterpret_cast<const uint8_t*>(m_image.data());
    auto damaged = [&](const char* what) {
        AppLog::Instance()->Printf(kLogError, "[CMasterFileTable::Read]: Data file \"%s\" is damaged (%s)",
                                   nameForLog.c_str(), what);
        m_directory.clear();
        return Result::kDamaged;
    };
    if (m_image.size() < 8)
        return damaged("shorter than its header");
    m_header.headerSize = LoadWord(bytes);
    m_header.fileId = LoadWord(bytes + 4);
    if ((m_header.fileId & kDataFileIdMask) != kDataFileIdFamily) {
        AppLog::Instance()->Printf(kLogError, "[CMasterFileTable::Read]: Data file specified is not a Mervane file");
        return Result::kNotOurFile;
    }
    if (m_image.size() < kDataFileHeaderSize)
        return damaged("shorter than its header");
    m_header.directoryBase = LoadWord(bytes + 8);
    m_header.directorySize = LoadWord(bytes + 12);
    m_header.entryCount = LoadWord(bytes + 16);
    m_header.dataVersion = LoadWord(bytes + 20);
    m_header.reserved = LoadWord(bytes + 24);
    uint64_t directoryEnd = 0;
    if (const char* what = DescribeDamage(m_image, m_header, directoryEnd))
        return damaged(what);
    m_directory.reserve(m_header.entryCount);
    for (uint32_t i = 0; i < m_header.entryCount; ++i) {
        const uint8_t* p = bytes + kDataFileHeaderSize + size_t{kDataFileDirectoryEntrySize} * i;
        DataFileDirectoryEntry entry;
        entry.entrySize = LoadWord(p);
        entry.blockKey = LoadWord(p + 4);
        entry.offset = LoadWord(p + 8);
        entry.length = LoadWord(p + 12);
        m_directory.push_back(entry);
    }
    return Result::kOk;
}

const DataFileDirectoryEntry* CMasterFileTable::FindBlock(uint32_t blockKey) const
{
    for (const DataFileDirectoryEntry& entry : m_directory)
        if (entry.blockKey == blockKey)
            return &entry;
    return nullptr;
}

bool CMasterFileTable::IsInside(const DataFileDirectoryEntry& entry) const
{
    uint64_t directoryEnd = kDataFileHeaderSize + uint64_t{kDataFileDirectoryEntrySize} * m_directory.size();
    uint64_t start = uint64_t{m_header.directoryBase} + entry.offset;
    return start >= directoryEnd && start + entry.length <= m_image.size();
}

const uint8_t* CMasterFileTable::BlockData(const DataFileDirectoryEntry& entry) const
{
    return reinterpret_cast<const uint8_t*>(m_image.data()) + m_header.directoryBase + entry.offset;
}
