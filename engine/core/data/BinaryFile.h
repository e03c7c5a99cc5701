#pragma once
// CBinaryFile: writes a data file from an ordered list of blocks (header, directory, blocks).
//
// A save never leaves a torn file: each block is serialised into memory under its writer lock (so its
// directory length and its bytes always agree, whatever other threads do to it meanwhile), the whole
// image is written to a temporary file beside the target, every write is checked, the file is flushed
// and renamed over the old one and the folder is flushed. A failed save answers false and leaves the
// old file as it was.
//
// Threads: a CBinaryFile belongs to one thread; saves of one file must be serialised by its owner.
// WriteSerializedFile takes each block's writer lock in turn (never two at once), so the caller must
// not hold any block's read lock.

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

class CDataHeader;

class CBinaryFile {
public:
    CBinaryFile() = default;
    virtual ~CBinaryFile() = default;
    CBinaryFile(const CBinaryFile&) = delete;
    CBinaryFile& operator=(const CBinaryFile&) = delete;

    // Appends a block (not owned) written under directoryKey; false only when memory is short.
    bool AddBlock(CDataHeader* header, uint32_t directoryKey);
    // Builds the image and writes it atomically; mode: permission bits of the new file (extension
    // files hold communities and passwords: 0600).
    bool WriteSerializedFile(const std::string& path, uint32_t fileId, uint32_t dataVersion, mode_t mode = 0600);
    // The file image: header, directory of the blocks that have a block, the blocks.
    bool BuildImage(uint32_t fileId, uint32_t dataVersion, std::string& image);

private:
    struct Block {
        CDataHeader* header;
        uint32_t directoryKey;
    };
    std::vector<Block> m_blocks;
};
