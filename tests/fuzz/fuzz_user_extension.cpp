// Fuzzes the loaders of the user extension file's own blocks: the engine settings record and the
// trap-destination table. The input is one byte choosing the block, four bytes of data version and
// the block's bytes; it is wrapped into a data file and loaded as the engine loads it. No input may
// crash, hang or overrun, and what is accepted must come out in the engine's layout.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <unistd.h>

#include "engine/base/AppLog.h"
#include "engine/core/config/ConfigFileInterface.h"
#include "engine/core/data/DataFile.h"
#include "engine/core/settings/DeviceEngineTable.h"
#include "engine/core/settings/SnmpIpTable.h"
#include "engine/core/data/StringTable.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

const std::string& FilePath()
{
    static const std::string path = [] {
        vgfuzz::SilenceLog();
        genericConfigFileInterface::SetEngineIniPath("");
        return vgfuzz::MakeScratchFile("fuzz_user_extension");
    }();
    return path;
}

// A user extension file holding the block under key, and an empty string table.
std::string MakeFile(uint32_t key, uint32_t version, const std::string& block)
{
    std::string strings;
    for (uint32_t w : {20u, kStringTableBlockKey, 20u, 0u, 0u})
        AppendWord(strings, w);
    std::string file;
    for (uint32_t w : {28u, kUserExtensionFileId, 28u, 32u, 2u, version, 0u})
        AppendWord(file, w);
    for (uint32_t w : {16u, kStringTableBlockKey, 32u, static_cast<uint32_t>(strings.size())})
        AppendWord(file, w);
    for (uint32_t w : {16u, key, 32u + static_cast<uint32_t>(strings.size()), static_cast<uint32_t>(block.size())})
        AppendWord(file, w);
    return file + strings + block;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5)
        return 0;
    const std::string& path = FilePath();
    const bool record = data[0] & 1;
    const uint32_t version = LoadWord(data + 1);
    const std::string block(reinterpret_cast<const char*>(data + 5), size - 5);
    const std::string file = MakeFile(record ? kEngineConfigBlockKey : kSnmpIpBlockKey, version, block);
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out)
        return 0;
    std::fwrite(file.data(), 1, file.size(), out);
    std::fclose(out);

    CStringTable strings;
    strings.ReadFileBlock(path, kStringTableBlockKey);
    std::ostringstream ini;
    if (record) {
        CDeviceEngineTable table(nullptr, &strings);
        if (!table.ReadFileBlock(path, kEngineConfigBlockKey))
            std::abort();
        if (table.IsHeaderSizeDifferent(kEngineConfigRecordSize) && !table.FixRecordSize())
            std::abort();
        if (table.GetSize() != static_cast<int>(kEngineConfigRecordSize) || table.GetWord(0) != kEngineConfigRecordSize)
            std::abort();
        table.WriteConfigurationValues(ini);
        std::string text;
        table.GetDiscoveryAddresses(text);
    } else {
        CSnmpIpTable table(nullptr, &strings);
        if (!table.ReadFileBlock(path, kSnmpIpBlockKey))
            std::abort();
        const int count = table.GetCount();
        if (table.GetSize() != static_cast<int>(kTableHeadSize + count * kTrapDestinationRowSize))
            std::abort();
        for (int row = 1; row <= count; ++row) {
            if (table.GetRowWord(row, TrapDestinationWord::kKey) != kSnmpIpBlockKey + static_cast<uint32_t>(row) ||
                !(table.GetRowWord(row, TrapDestinationWord::kFlags) & kTrapDestinationEnabled))
                std::abort();
            for (uint32_t column = 1; column <= 8 && row <= 255; ++column)
                table.GetValue(kSnmpIpBlockKey | column << 8 | static_cast<uint32_t>(row), 0);
        }
        table.WriteConfigurationValues(ini);
    }
    return 0;
}
