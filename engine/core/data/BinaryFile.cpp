#include "engine/core/data/BinaryFile.h"

#include <new>

#include "engine/base/AppLog.h"
#include "engine/core/data/DataArchive.h"
#include "engine/core/data/DataFile.h"
#include "engine/core/data/DataHeader.h"
#include "platform/AtomicFile.h"

bool CBinaryFile::AddBlock(CDataHeader* header, uint32_t directoryKey)
{
    try {
        m_blocks.push_back({header, directoryKey});
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool CBinaryFile::BuildImage(uint32_t fileId, uint32_t dataVersion, std::string& image)
{
    image.clear();
    try {
        // Each block is serialised on its own under its writer lock: its length is what was written,
        // so the directory always matches the bytes even if the block changes right after.
        std::vector<std::string> bodies;
        std::vector<uint32_t> keys;
        for (const Block& block : m_blocks) {
            if (!block.header)
                continue;
            std::string body;
            {
                DataHeaderLock lock(*block.header);
                if (block.header->GetSize() == 0)
                    continue; // a header without a block is left out of the file
                CMemoryOutputStream stream(body);
                CDataArchive ar(&stream, CDataArchive::kStoring);
                block.header->Serialize(ar);
                if (!ar.Close() || body.size() > INT32_MAX)
                    return false;
            }
            bodies.push_back(std::move(body));
            keys.push_back(block.directoryKey);
        }
        uint32_t count = static_cast<uint32_t>(bodies.size());
        uint64_t total = kDataFileHeaderSize + uint64_t{kDataFileDirectoryEntrySize} * count;
        for (const std::string& body : bodies)
            total += body.size();
        if (total > UINT32_MAX)
            return false;
        image.reserve(total);
        AppendWord(image, kDataFileHeaderSize);
        AppendWord(image, fileId);
        AppendWord(image, kDataFileHeaderSize);
        AppendWord(image, kDataFileDirectoryEntrySize * count);
        AppendWord(image, count);
        AppendWord(image, dataVersion);
        AppendWord(image, 0);
        uint32_t offset = kDataFileDirectoryEntrySize * count;
        for (uint32_t i = 0; i < count; ++i) {
            AppendWord(image, kDataFileDirectoryEntrySize);
            AppendWord(image, keys[i]);
            AppendWord(image, offset);
            AppendWord(image, static_cast<uint32_t>(bodies[i].size()));
            offset += static_cast<uint32_t>(bodies[i].size());
        }
        for (const std::string& body : bodies)
            image += body;
    } catch (const std::bad_alloc&) {
        image.clear();
        return false;
    }
    return true;
}

bool CBinaryFile::WriteSerializedFile(const std::string& path, uint32_t fileId, uint32_t dataVersion, mode_t mode)
{
    std::string image;
    if (!BuildImage(fileId, dataVersion, image)) {
        AppLog::Instance()->Printf(kLogError, "[CBinaryFile::WriteSerializedFile]: Data file \"%s\" was not created (%s)",
                                   path.c_str(), "the blocks could not be serialised");
        return false;
    }
    std::string error;
    if (!vgplat::WriteFileAtomically(path, image.data(), image.size(), mode, &error)) {
        AppLog::Instance()->Printf(kLogError, "[CBinaryFile::WriteSerializedFile]: Data file \"%s\" was not created (%s)",
                                   path.c_str(), error.c_str());
        return false;
    }
    return true;
}
