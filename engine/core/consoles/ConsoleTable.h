#pragma once
// CConsoleTable: the block 0xA7000000 of the console extension file vgcnsext, one ConsoleRecord row per
// registered console.
//
// ConsoleRecord (current layout): a fixed part of 32 little-endian words (128 bytes), then one
// ConsoleDeviceSlot of 9 words (36 bytes) per device the engine had when the console registered:
//   0 row size (128 + 36 x n)   1 row key   2, 3 zero   4 n   5 offset of the first slot (128)
//   6 byte 0 / byte 1: two console settings (bits 16-19 cleared whenever an entry is built)
//   7 selected device (1-based index, 0 none)   8 console IPv4 address (first octet lowest)   9 zero
//   10 a setting 1..1000   11-13, 14-16 date texts (12 bytes)   17 bits 0-3 power-of-two code, bits 4-7
//   18 a setting 1..1000   19-21, 22-24 date texts   25 console trap port   26 console agent port
//   27 string-table key of the console's community (0 none)   28-29, 30-31 time texts (8 bytes)
// ConsoleDeviceSlot: 36, device key, 0, 0, 4 (value words), four value words.
//
// Layout history of stored rows:
//   older engines  a shorter fixed part (word 5 gives its size; rows before the time texts had 112
//                  bytes) and slots of any value count (word 0 gives each slot's size)
//   12.04.0059     the layout above; older rows are upgraded at load (Upgrade) and the file saved
// A row whose word 4 reads 0xFFFFFFFF ends the stored rows: it is kept with no slots and the rows
// after it are dropped.
//
// Loading treats the file as untrusted: every row and slot size, offset and value count is checked
// against the row and the block before the block is used, and a block that fails is refused and
// logged (the table then starts empty).
//
// Threads and locks: the CDataHeader locks (see DataHeader.h). CConsoles is the only user and calls
// every operation under its own mutex; rows are read under ReadLock and changed under Lock.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/data/DataHeader.h"

namespace console_row {

constexpr uint32_t kFixedSize = 128;
constexpr uint32_t kSlotSize = 36;
constexpr uint32_t kSlotValueCount = 4;
// The smallest stored fixed part that still holds the address (word 8).
constexpr uint32_t kMinFixedSize = 36;
constexpr uint32_t kMinSlotSize = 20;
constexpr uint32_t kEndOfRows = 0xFFFFFFFFu;

enum Word : int {
    kSize = 0,
    kKey = 1,
    kSlotCount = 4,
    kSlotOffset = 5,
    kSettingBytes = 6,
    kSelectedDevice = 7,
    kAddress = 8,
    kValue10 = 10,
    kDate11 = 11,
    kDate14 = 14,
    kCodes17 = 17,
    kValue18 = 18,
    kDate19 = 19,
    kDate22 = 22,
    kTrapPort = 25,
    kAgentPort = 26,
    kCommunityKey = 27,
    kTime28 = 28,
    kTime30 = 30,
};

constexpr uint32_t kDateFieldBytes = 12;
constexpr uint32_t kTimeFieldBytes = 8;
constexpr uint32_t kDefaultAgentPort = 3664;
constexpr uint32_t kDefaultValue = 50;

// A new row for a console at address: the defaults and one slot per device key.
std::vector<uint8_t> BuildRecord(uint32_t address, uint32_t trapPort, const std::vector<uint32_t>& deviceKeys);

} // namespace console_row

class CConsoleTable : public CDataHeader {
public:
    CConsoleTable() = default;

    // Keeps the row count (word 4): a row that did not replace one of the same key raises it by one.
    // The add and the count change happen under one hold of the writer lock.
    uint32_t Add(uint8_t* entry, uint32_t key, bool* replaced = nullptr) override;
    // Removes the row of that key and lowers the row count, under one hold of the writer lock.
    bool Remove(uint32_t key) override;
    int GetCount() override;
    // The checked load; when the file or its block is missing or refused, an empty block
    // {20, 0xA7000000, 20, 0, 0}. False only when that block cannot be allocated.
    bool ReadFileBlock(const std::string& path, uint32_t blockKey) override;

    // Whether any part of the block is not in the current layout (head size, fixed part, slots).
    bool NeedsUpgrade() const;
    // Rewrites every row in the current layout under the writer lock; false (block unchanged) when
    // memory is short.
    bool Upgrade();

    // Checks a stored block image and answers its usable copy in out (see the header comment);
    // false with a reason when it is refused. Public for the fuzz target.
    static bool ParseStoredBlock(const uint8_t* data, size_t size, std::vector<uint8_t>& out, std::string& why);

protected:
    bool CheckBlock() const override;
};
